// A program that links the ZRE node itself and libcorvo (which holds a copy
// of its own, with its own counters) makes nodes through both: each must
// come up, in either order.
#include <corvo/network.h>
#include <gtest/gtest.h>
#include <zyre.h>

#include <memory>
#include <vector>

namespace {

struct NoEvents : corvo::EventCallback {};

TEST(NetworkBesideNode, nodes_of_both_copies_come_up_in_either_order)
{
    NoEvents events;
    auto first = std::make_unique<corvo::Network>(&events, false);
    zyre_t* direct = zyre_new("direct");
    ASSERT_NE(direct, nullptr) << "a node made after libcorvo's";
    auto second = std::make_unique<corvo::Network>(&events, false);
    zyre_t* another = zyre_new("another");
    EXPECT_NE(another, nullptr);
    EXPECT_NE(std::string(zyre_uuid(direct)), second->getUUID());
    EXPECT_NE(first->getUUID(), second->getUUID());
    zyre_destroy(&another);
    zyre_destroy(&direct);
}

}  // namespace
