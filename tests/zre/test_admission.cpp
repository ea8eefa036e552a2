// The lifetime of a pending peer grows each time the peer is forgotten
// while pending, so that a site too busy to greet within the first lifetime
// still forms; the growth is capped, a gossip attempt keeps its short
// lifetime, and only so many UUIDs are remembered.
#include <gtest/gtest.h>

#include "zre_admission.hpp"

using namespace zre;

namespace {

Peer& pendingPeer(Peer& peer, uint16_t id, uint32_t source = 0x0100007F)
{
    peer.uuid[0] = uint8_t(id);
    peer.uuid[1] = uint8_t(id >> 8);
    peer.source = source;
    return peer;
}

TEST(PendingLifetime, DoublesEachTimeThePeerIsForgottenUpToTheCap)
{
    NodeLog log("test");
    Admission admission(log);
    Peer slow, other, attempt;
    pendingPeer(slow, 1);
    pendingPeer(other, 2);
    pendingPeer(attempt, 3, Admission::kGossipSource);

    std::vector<int64_t> lifetimes;
    for (int i = 0; i < 6; ++i) {
        lifetimes.push_back(admission.pendingLifetime(slow));
        admission.forgotWhilePending(slow);
    }
    EXPECT_EQ(lifetimes, (std::vector<int64_t>{5000, 10000, 20000, 40000, 60000, 60000}));
    EXPECT_EQ(admission.pendingLifetime(other), Admission::kPendingTimeoutMs);

    admission.forgotWhilePending(attempt);
    EXPECT_EQ(admission.pendingLifetime(attempt), Admission::kGossipAttemptTimeoutMs);

    // The oldest UUID forgotten goes first once the bound is passed.
    Peer many;
    for (size_t i = 0; i < Admission::kRememberedExpiries; ++i)
        admission.forgotWhilePending(pendingPeer(many, uint16_t(1000 + i)));
    EXPECT_EQ(admission.pendingLifetime(pendingPeer(many, 1000 + Admission::kRememberedExpiries - 1)), 10000);
    EXPECT_EQ(admission.pendingLifetime(slow), Admission::kPendingTimeoutMs);

    admission.forgotWhilePending(other);
    admission.clear();
    EXPECT_EQ(admission.pendingLifetime(other), Admission::kPendingTimeoutMs);
}

}  // namespace
