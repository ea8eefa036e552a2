// Flow control between two nodes: a peer that falls behind gets everything
// that fits into the buffers between them, and one that stops reading is
// dropped without ever holding the sender up. Run through the
// namespace runner with a veth pair (v0).
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <string>
#include <thread>

#include "zre_test_util.hpp"

using namespace zretest;
using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

namespace {

// More than every buffer between two nodes holds together: the reader's
// unread events (paused at 100,000), its inbox (1,000 a connection), the
// sender's mailbox (1,000) and what TCP takes in between.
constexpr long kBeyondAllBuffers = 400000;
// Less than they hold: beyond the reader's 100,000 unread events, its inbox
// and the sender's mailbox and backlog (up to 100,000) take the rest.
constexpr long kWithinAllBuffers = 110000;

using Tally = NumberedCount;

// Reads `node`'s events until `total` numbered messages (SHOUT or WHISPER)
// arrived or none came for `quiet`.
Tally readNumbered(zyre_t* node, long total, std::chrono::milliseconds quiet)
{
    Tally tally;
    zmq_pollitem_t item = {zsock_resolve(zyre_socket(node)), 0, ZMQ_POLLIN, 0};
    auto lastArrival = Clock::now();
    while (tally.received < total && Clock::now() - lastArrival < quiet) {
        if (zmq_poll(&item, 1, 50) <= 0)
            continue;
        zyre_event_t* e = zyre_event_new(node);
        if (countNumbered(e, tally))
            lastArrival = Clock::now();
        zyre_event_destroy(&e);
    }
    return tally;
}

// Waits until `sent` has not moved for `still` (the sender is held up) or
// has reached `total`.
void waitUntilHeldUpOrDone(const std::atomic<long>& sent, long total, std::chrono::milliseconds still)
{
    long last = -1;
    auto since = Clock::now();
    while (sent.load() < total) {
        std::this_thread::sleep_for(5ms);
        long now = sent.load();
        if (now != last) {
            last = now;
            since = Clock::now();
        } else if (Clock::now() - since >= still) {
            return;
        }
    }
}

class ZreFlow : public ::testing::Test {
protected:
    void SetUp() override
    {
        NodeOptions o;
        o.port = freshPort();
        sender = std::make_unique<TestNode>("sender", o);
        reader = std::make_unique<TestNode>("reader", o);
        zyre_join(reader->get(), "g");
        ASSERT_TRUE(sender->start());
        ASSERT_TRUE(reader->start());
        ASSERT_TRUE(sender->waitFor(isEvent("JOIN", reader->uuid(), "g"), 5000));
        ASSERT_TRUE(reader->waitFor(isEvent("ENTER", sender->uuid()), 5000));
    }

    std::unique_ptr<TestNode> sender;
    std::unique_ptr<TestNode> reader;
};

// The reader reads nothing while the sender sends more than its own unread
// events hold, then reads all: nothing is lost, nothing dropped, the peers
// keep each other, and the sender was never held up (the rest waited in
// the mailbox and the backlog behind it). The shouts are sent from the
// application's thread, or (behind a command to the node, which they must
// not overtake) from the node's own thread.
class ZreFlowBothWays : public ZreFlow, public ::testing::WithParamInterface<bool> {};

TEST_P(ZreFlowBothWays, AReaderThatFallsBehindGetsEverythingInOrder)
{
    bool throughNode = GetParam();
    std::atomic<long> sent{0};
    std::thread shouter([&] {
        for (long i = 0; i < kWithinAllBuffers; ++i, ++sent) {
            if (throughNode)
                zyre_join(sender->get(), "other");  // a command (a no-op after the first)
            zmsg_t* msg = numbered(i);
            zyre_shout(sender->get(), "g", &msg);
        }
    });
    // A sender held up would stand still this long; one that is not
    // finishes while the reader still reads nothing.
    waitUntilHeldUpOrDone(sent, kWithinAllBuffers, 500ms);
    long beforeReading = sent.load();
    Tally tally = readNumbered(reader->get(), kWithinAllBuffers, 20s);
    shouter.join();

    EXPECT_EQ(beforeReading, kWithinAllBuffers) << "the sender was held up";
    EXPECT_EQ(tally.received, kWithinAllBuffers);
    EXPECT_EQ(tally.outOfOrder, 0);
    EXPECT_EQ(zyre_dropped_events(reader->get()), 0u);
    sender->drain(200);
    EXPECT_FALSE(sender->saw(isEvent("EXIT", reader->uuid())));
}

INSTANTIATE_TEST_SUITE_P(ZreFlow, ZreFlowBothWays, ::testing::Values(false, true),
                         [](const auto& info) { return info.param ? "FromTheNodesThread" : "FromTheApplication"; });

// A reader that stops reading is dropped (EXIT) once its backlog is full
// or nothing of it went out for a second; the sender's calls never wait. What the reader gets
// later is a gapless beginning of what was sent, none of it dropped.
TEST_F(ZreFlow, AReaderThatStopsReadingIsDroppedAndTheSenderGoesOn)
{
    std::atomic<bool> dropped{false};
    std::string readerId = reader->uuid();
    // Stops at the drop: the reader may come back, a new peer then.
    std::thread whisperer([&] {
        for (long i = 0; i < kBeyondAllBuffers && !dropped; ++i) {
            zmsg_t* msg = numbered(i);
            zyre_whisper(sender->get(), readerId.c_str(), &msg);
        }
    });
    auto exit = sender->waitFor(isEvent("EXIT", readerId), 60000);
    dropped = true;
    whisperer.join();
    ASSERT_TRUE(exit);

    Tally tally = readNumbered(reader->get(), kBeyondAllBuffers, 3s);
    EXPECT_GE(tally.received, 100000);  // at least the unread events the reader holds
    EXPECT_LT(tally.received, kBeyondAllBuffers);
    EXPECT_EQ(tally.outOfOrder, 0);
    EXPECT_EQ(zyre_dropped_events(reader->get()), 0u);
}

}  // namespace
