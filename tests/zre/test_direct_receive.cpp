// The application's thread reading the node's inbox itself
// (zyre_receive_direct): it and the node's thread take turns without losing,
// doubling or reordering a message, the node's thread still answers peers
// while the application is away, and direct reads keep the bound on unread
// events. Run through the namespace runner with a veth pair (v0).
#include <gtest/gtest.h>
#include <poll.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <memory>
#include <string>
#include <thread>

#include "zre_test_util.hpp"

using namespace zretest;
using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

namespace {

// What a reader made of the numbered messages it got, and how.
struct Tally : NumberedCount {
    long direct = 0;      // messages read on the application's thread
    long fromNode = 0;    // reads that found events the node's thread had queued
    long refused = 0;     // direct reads refused (paused, or not running)
    long pausedSeen = 0;  // direct reads refused while events waited unread
};

bool eventWaits(zyre_t* node)
{
    return (zsock_events(zyre_socket(node)) & ZMQ_POLLIN) != 0;
}

// Takes the next event (there must be one) and counts it into `tally` if
// it is a numbered message.
void readOne(zyre_t* node, Tally& tally)
{
    zyre_event_t* e = zyre_event_new(node);
    countNumbered(e, tally);
    zyre_event_destroy(&e);
}

// Takes every event that waits; counts the numbered ones into `tally`.
void readWaiting(zyre_t* node, Tally& tally)
{
    while (eventWaits(node))
        readOne(node, tally);
}

// Waits up to `ms` for the inbox's descriptor or the event socket, then
// reads the inbox directly if it signalled. `announce`: the wait is
// announced (zyre_inbox_waiting), so the node's thread leaves the inbox
// to this one meanwhile.
void waitAndReadDirect(zyre_t* node, int ms, Tally& tally, bool announce = false)
{
    int fd = zyre_inbox_fd(node);
    ASSERT_GE(fd, 0);
    zmq_pollitem_t items[2] = {{zsock_resolve(zyre_socket(node)), 0, ZMQ_POLLIN, 0}, {nullptr, fd, ZMQ_POLLIN, 0}};
    if (announce)
        zyre_inbox_waiting(node, true);
    int ready = zmq_poll(items, 2, ms);
    if (announce)
        zyre_inbox_waiting(node, false);
    if (ready <= 0)
        return;
    if (items[1].revents & ZMQ_POLLIN) {
        int read = zyre_receive_direct(node);
        if (read > 0)
            tally.direct += read;
        else if (read < 0)
            ++tally.refused;
    }
}

// Beacons rarer than the liveness timeouts: only the answers to PINGs keep
// the peers alive.
NodeOptions livenessByPingsOnly()
{
    NodeOptions o;
    o.interval = 6000;
    o.evasive = 1500;
    o.expired = 3000;
    return o;
}

class ZreDirectReceive : public ::testing::Test {
protected:
    void start(NodeOptions o)
    {
        o.port = freshPort();
        sender = std::make_unique<TestNode>("sender", o);
        reader = std::make_unique<TestNode>("reader", o);
        ASSERT_EQ(zyre_inbox_fd(reader->get()), -1) << "an inbox before the start";
        ASSERT_TRUE(sender->start());
        ASSERT_TRUE(reader->start());
        ASSERT_TRUE(sender->waitFor(isEvent("ENTER", reader->uuid()), 5000));
        ASSERT_TRUE(reader->waitFor(isEvent("ENTER", sender->uuid()), 5000));
        reader->drain(100);
    }

    // Sends `total` numbered WHISPERs from a thread of its own, with a rest
    // of a millisecond after every `burst` (0: none), so that the stream
    // lasts while the reader changes its ways.
    void sendNumbered(long total, long burst = 0)
    {
        std::string to = reader->uuid();
        sending = std::thread([this, to, total, burst] {
            for (long i = 0; i < total; ++i, ++sent) {
                zmsg_t* msg = numbered(i);
                zyre_whisper(sender->get(), to.c_str(), &msg);
                if (burst && (i + 1) % burst == 0)
                    std::this_thread::sleep_for(1ms);
            }
        });
    }

    void TearDown() override
    {
        if (sending.joinable())
            sending.join();
    }

    std::unique_ptr<TestNode> sender;
    std::unique_ptr<TestNode> reader;
    std::thread sending;
    std::atomic<long> sent{0};
};

// The application alternates: it reads the inbox itself for a while (with
// its waits announced or not), then is away (the node's thread reads),
// then reads only the event socket. Every message arrives once, in order,
// and both threads did read.
TEST_F(ZreDirectReceive, BothThreadsReadingKeepEveryMessageOnceAndInOrder)
{
    start(NodeOptions{});
    constexpr long kTotal = 100000;
    sendNumbered(kTotal, 100);
    Tally tally;
    auto lastArrival = Clock::now();
    for (int phase = 0; tally.received < kTotal && Clock::now() - lastArrival < 10s; ++phase) {
        long before = tally.received;
        if (phase % 3 == 0) {
            for (int i = 0; i < 50; ++i) {
                waitAndReadDirect(reader->get(), 5, tally, (i / 10 + phase) % 2 == 0);
                readWaiting(reader->get(), tally);
            }
        } else if (phase % 3 == 1) {
            std::this_thread::sleep_for(std::chrono::milliseconds(2 + phase % 7));
            if (eventWaits(reader->get()))
                ++tally.fromNode;
            readWaiting(reader->get(), tally);
        } else {
            zmq_pollitem_t item = {zsock_resolve(zyre_socket(reader->get())), 0, ZMQ_POLLIN, 0};
            if (zmq_poll(&item, 1, 5) > 0)
                readWaiting(reader->get(), tally);
        }
        if (tally.received != before)
            lastArrival = Clock::now();
    }
    EXPECT_EQ(tally.received, kTotal);
    EXPECT_EQ(tally.outOfOrder, 0);
    EXPECT_EQ(zyre_dropped_events(reader->get()), 0u);
    EXPECT_GT(tally.direct, 0) << "the application's thread never read the inbox";
    EXPECT_GT(tally.fromNode, 0) << "the node's thread never read the inbox";
    EXPECT_FALSE(sender->saw(isEvent("EXIT", reader->uuid())));
}

// An application that read the inbox and is then away for longer than the
// expired timeout: the node's thread answers the peer's PINGs meanwhile, so
// neither side drops the other. Beacons are rarer than the timeouts here, so
// only the answers keep the peers alive (one answer held up by a loaded
// machine may cost a SILENT).
TEST_F(ZreDirectReceive, ThePeersPingsAreAnsweredWhileTheApplicationIsAway)
{
    start(livenessByPingsOnly());
    Tally tally;
    sendNumbered(1000, 10);
    for (auto end = Clock::now() + 300ms; Clock::now() < end || (tally.direct == 0 && Clock::now() < end + 3s);) {
        waitAndReadDirect(reader->get(), 5, tally, true);
        readWaiting(reader->get(), tally);
    }
    ASSERT_GT(tally.direct, 0);
    std::this_thread::sleep_for(4500ms);  // away, nothing read
    sender->drain(300);
    EXPECT_LE(sender->count(isEvent("SILENT", reader->uuid())), 1u);
    EXPECT_FALSE(sender->saw(isEvent("EXIT", reader->uuid())));
    reader->drain(300);
    EXPECT_LE(reader->count(isEvent("SILENT", sender->uuid())), 1u);
    EXPECT_FALSE(reader->saw(isEvent("EXIT", sender->uuid())));
}

// A reader that announced a wait on the inbox and then neither reads it
// nor ends the wait (a wedged thread) holds nothing up for long: the
// node's thread looks at the inbox after its grace time (500 ms) anyway,
// so messages reach the event socket and the peer's PINGs are answered.
TEST_F(ZreDirectReceive, AnAnnouncedWaitThatNeverReadsHoldsNothingUp)
{
    start(livenessByPingsOnly());
    zyre_inbox_waiting(reader->get(), true);
    constexpr long kTotal = 20;
    sendNumbered(kTotal, 5);
    Tally tally;
    zmq_pollitem_t events = {zsock_resolve(zyre_socket(reader->get())), 0, ZMQ_POLLIN, 0};
    for (auto end = Clock::now() + 5s; tally.received < kTotal && Clock::now() < end;) {
        if (zmq_poll(&events, 1, 50) > 0)
            readWaiting(reader->get(), tally);
    }
    EXPECT_EQ(tally.received, kTotal) << "messages stayed in an inbox left to a reader that never read it";
    EXPECT_EQ(tally.outOfOrder, 0);
    // Longer than the expired timeout, the wait still announced.
    std::this_thread::sleep_for(4s);
    sender->drain(300);
    EXPECT_FALSE(sender->saw(isEvent("EXIT", reader->uuid())));
    zyre_inbox_waiting(reader->get(), false);
}

// A reader as libcorvo's loop: it waits with poll() on the inbox and on the
// event socket's descriptor, reads the inbox without signalling the socket,
// and asks zyre_event_waiting() instead of ZMQ_EVENTS. In turns, it waits on
// the event socket alone, so that the node's thread reads and hands the
// socket its token. Every burst arrives in order without a wait running
// out: a descriptor left unarmed after the token was taken would miss the
// next one. A take that leaves events makes the socket readable for them.
TEST_F(ZreDirectReceive, UnsignalledReadsAndArmedWaitsMissNothing)
{
    start(NodeOptions{});
    const int eventsFd = zsock_fd(zyre_socket(reader->get()));
    const int inboxFd = zyre_inbox_fd(reader->get());
    ASSERT_GE(inboxFd, 0);
    std::string to = reader->uuid();
    Tally tally;
    long stalls = 0;
    long leftReadable = 0;  // takes that left events and the socket readable
    for (long round = 0; round < 400 && stalls < 3; ++round) {
        long burst = round % 4 + 1;
        for (long i = 0; i < burst; ++i) {
            zmsg_t* msg = numbered(tally.received + i);
            zyre_whisper(sender->get(), to.c_str(), &msg);
        }
        const bool direct = round % 2 == 1;
        for (long goal = tally.received + burst; tally.received < goal;) {
            if (!zyre_event_waiting(reader->get())) {
                struct pollfd items[2] = {{eventsFd, POLLIN, 0}, {inboxFd, POLLIN, 0}};
                if (direct)
                    zyre_inbox_waiting(reader->get(), true);
                int ready = poll(items, direct ? 2 : 1, 2000);
                if (direct)
                    zyre_inbox_waiting(reader->get(), false);
                if (ready <= 0) {
                    ++stalls;
                    break;
                }
                if (direct && (items[1].revents & POLLIN)) {
                    int read = zyre_receive_direct_unsignalled(reader->get());
                    tally.direct += read > 0 ? read : 0;
                }
                if ((items[0].revents & POLLIN) && !zyre_event_waiting(reader->get()))
                    zsock_events(zyre_socket(reader->get()));  // libzmq's commands, no event
                continue;
            }
            readOne(reader->get(), tally);
            if (zyre_event_waiting(reader->get())) {
                EXPECT_TRUE(eventWaits(reader->get())) << "events wait, the socket says no";
                ++leftReadable;
            }
        }
    }
    EXPECT_EQ(stalls, 0) << "a wait ran out while a burst was on its way";
    EXPECT_EQ(tally.received, 1000);
    EXPECT_EQ(tally.outOfOrder, 0);
    EXPECT_GT(tally.direct, 0) << "the application's thread never read the inbox";
    EXPECT_FALSE(zyre_event_waiting(reader->get()));
    EXPECT_FALSE(eventWaits(reader->get())) << "readable after the last event";
}

// An application that reads the inbox directly but never its events: the
// direct reads stop at the pause bound (refused while the events wait), so
// nothing is dropped and everything arrives once it reads them.
TEST_F(ZreDirectReceive, DirectReadsStopAtTheBoundOfUnreadEvents)
{
    start(NodeOptions{});
    // Beyond the pause (100,000) and the bound (110,000) of unread events,
    // within all buffers.
    constexpr long kTotal = 150000;
    sendNumbered(kTotal);
    Tally tally;
    for (auto end = Clock::now() + 20s; (sent.load() < kTotal || tally.pausedSeen == 0) && Clock::now() < end;) {
        int read = zyre_receive_direct(reader->get());
        if (read > 0) {
            tally.direct += read;
        } else if (read < 0 && eventWaits(reader->get())) {
            ++tally.pausedSeen;
            std::this_thread::sleep_for(1ms);
        } else {
            waitAndReadDirect(reader->get(), 5, tally);
        }
    }
    // What the sender handed over is in buffers or events; the reader now
    // reads only through the direct path until all arrived.
    for (auto lastArrival = Clock::now(); tally.received < kTotal && Clock::now() - lastArrival < 10s;) {
        long before = tally.received;
        readWaiting(reader->get(), tally);
        waitAndReadDirect(reader->get(), 5, tally);
        if (tally.received != before)
            lastArrival = Clock::now();
    }
    EXPECT_GT(tally.pausedSeen, 0) << "direct reads were never refused at the bound";
    EXPECT_EQ(zyre_dropped_events(reader->get()), 0u);
    EXPECT_EQ(tally.received, kTotal);
    EXPECT_EQ(tally.outOfOrder, 0);
    EXPECT_FALSE(sender->saw(isEvent("EXIT", reader->uuid())));
}

}  // namespace
