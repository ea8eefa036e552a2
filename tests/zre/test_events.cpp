// How events reach the application: the event socket is readable exactly
// while events wait, content frames of every number and size arrive whole
// (as a zmsg_t and read in place),
// events outlive their node, and one flooding peer holds up no other.
#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "zre_test_util.hpp"

using namespace zretest;

namespace {

NodeOptions onLoopback()
{
    NodeOptions o;
    o.iface = "lo";
    o.port = freshPort();
    return o;
}

bool readable(zyre_t* node, int ms)
{
    zmq_pollitem_t item = {zsock_resolve(zyre_socket(node)), 0, ZMQ_POLLIN, 0};
    return zmq_poll(&item, 1, ms) > 0 && (item.revents & ZMQ_POLLIN);
}

// Both started, `b` in "g", and each has seen the other (and a has seen the
// JOIN); then everything that arrived is read.
bool startPair(TestNode& a, TestNode& b)
{
    zyre_join(b.get(), "g");
    if (!a.start() || !b.start() || !a.waitFor(isEvent("JOIN", b.uuid(), "g"), 5000) ||
        !b.waitFor(isEvent("ENTER", a.uuid()), 5000))
        return false;
    a.drain(200);
    b.drain(200);
    return true;
}

TEST(ZreEvents, SocketIsReadableExactlyWhileEventsWait)
{
    NodeOptions o = onLoopback();
    TestNode a("alpha", o);
    TestNode b("beta", o);
    ASSERT_TRUE(startPair(a, b));
    EXPECT_FALSE(readable(b.get(), 0)) << "readable with nothing waiting";

    constexpr int kShouts = 3000;
    for (int i = 0; i < kShouts; ++i)
        a.shout("g", {"\x02", std::to_string(i)});
    // Read as a polling application does: whenever the socket says
    // readable, an event must be there (a wrong token blocks the read and
    // the test times out); once the last one is read, it must say no.
    int next = 0;
    while (next < kShouts && readable(b.get(), 10000)) {
        zyre_event_t* event = zyre_event_new(b.get());
        ASSERT_NE(event, nullptr);
        if (std::string(zyre_event_type(event)) == "SHOUT") {
            zmsg_t* msg = zyre_event_msg(event);
            ASSERT_EQ(zmsg_size(msg), 2u);
            char* text = zframe_strdup(zmsg_last(msg));
            EXPECT_EQ(std::string(text), std::to_string(next));
            zstr_free(&text);
            ++next;
        }
        zyre_event_destroy(&event);
        // ZMQ_EVENTS and zmq_poll agree, and an event the queue says waits
        // makes the socket readable (the node only adds events meanwhile).
        EXPECT_EQ((zsock_events(zyre_socket(b.get())) & ZMQ_POLLIN) != 0, readable(b.get(), 0));
        if (zyre_event_waiting(b.get())) {
            EXPECT_TRUE(readable(b.get(), 0)) << "an event waits, the socket says no";
        }
    }
    EXPECT_EQ(next, kShouts);
    EXPECT_FALSE(zyre_event_waiting(b.get())) << "an event waits after the last one";
    EXPECT_FALSE(readable(b.get(), 0)) << "still readable after the last event";
    EXPECT_EQ(zsock_events(zyre_socket(b.get())) & ZMQ_POLLIN, 0);

    // It becomes readable again with the next event.
    a.whisper(b.uuid(), {"again"});
    ASSERT_TRUE(readable(b.get(), 10000));
    zyre_event_t* event = zyre_event_new(b.get());
    ASSERT_NE(event, nullptr);
    EXPECT_STREQ(zyre_event_type(event), "WHISPER");
    EXPECT_STREQ(zyre_event_peer_uuid(event), a.uuid().c_str());
    EXPECT_STREQ(zyre_event_peer_name(event), "alpha");
    EXPECT_EQ(zyre_event_group(event), nullptr);
    EXPECT_EQ(zyre_event_peer_addr(event), nullptr);
    EXPECT_EQ(zyre_event_headers(event), nullptr);
    zyre_event_destroy(&event);
    EXPECT_FALSE(readable(b.get(), 0));
}

TEST(ZreEvents, ContentFramesArriveWholeWhateverTheirNumberAndSize)
{
    NodeOptions o = onLoopback();
    TestNode a("alpha", o);
    TestNode b("beta", o);
    ASSERT_TRUE(startPair(a, b));

    auto bytes = [](size_t n, char seed) {
        std::string s(n, '\0');
        for (size_t i = 0; i < n; ++i)
            s[i] = char(seed + i * 7);
        return s;
    };
    // Sizes around libzmq's in-place limit (33 bytes) and the node's copy
    // limit (32), none at all, more frames than are held in place, a large one.
    const std::vector<std::vector<std::string>> messages = {
        {},
        {""},
        {"\x01", bytes(32, 'a')},
        {bytes(33, 'b')},
        {bytes(34, 'c'), "", bytes(1, '\0')},
        {"1", "2", "3", "4", "5", bytes(1000, 'd'), bytes(31, 'e')},
        {bytes(1 << 20, 'f'), bytes(3, 'g')},
    };
    for (const auto& frames : messages) {
        a.whisper(b.uuid(), frames);
        a.shout("g", frames);
    }
    // Every message arrives as it was sent, whisper and shout alike (the
    // frames are compared inside the predicates: a mismatch is a timeout).
    for (size_t i = 0; i < messages.size(); ++i) {
        const auto& frames = messages[i];
        EXPECT_TRUE(b.waitFor([&](const Event& e) { return e.type == "WHISPER" && e.frames == frames; }, 10000))
            << "whisper " << i << " of " << frames.size() << " frames";
        EXPECT_TRUE(
            b.waitFor([&](const Event& e) { return e.type == "SHOUT" && e.group == "g" && e.frames == frames; }, 10000))
            << "shout " << i << " of " << frames.size() << " frames";
    }
    EXPECT_EQ(b.count(isEvent("WHISPER")), messages.size());
    EXPECT_EQ(b.count(isEvent("SHOUT")), messages.size());

    // Read in place (zyre_event_frame), before and after the frames were
    // made a zmsg_t, they are the same.
    auto inPlace = [](zyre_event_t* event) {
        std::vector<std::string> frames;
        for (size_t i = 0; i < zyre_event_frame_count(event); ++i) {
            size_t size = 99;
            const void* data = zyre_event_frame(event, i, &size);
            frames.emplace_back(static_cast<const char*>(data), size);
        }
        size_t past = 99;
        EXPECT_EQ(zyre_event_frame(event, frames.size(), &past), nullptr);
        EXPECT_EQ(past, 0u);
        return frames;
    };
    for (const auto& frames : messages)
        a.whisper(b.uuid(), frames);
    for (size_t i = 0; i < messages.size();) {
        ASSERT_TRUE(readable(b.get(), 10000)) << "whisper " << i;
        zyre_event_t* event = zyre_event_new(b.get());
        ASSERT_NE(event, nullptr);
        if (std::string(zyre_event_type(event)) != "WHISPER") {
            EXPECT_EQ(zyre_event_frame_count(event), 0u);
        } else {
            EXPECT_EQ(inPlace(event), messages[i]) << "whisper " << i;
            std::vector<std::string> asMessage;
            zmsg_t* msg = zyre_event_msg(event);
            for (zframe_t* f = zmsg_first(msg); f; f = zmsg_next(msg))
                asMessage.emplace_back(reinterpret_cast<const char*>(zframe_data(f)), zframe_size(f));
            EXPECT_EQ(asMessage, messages[i]) << "whisper " << i;
            EXPECT_EQ(inPlace(event), messages[i]) << "whisper " << i << ", after zyre_event_msg";
            ++i;
        }
        zyre_event_destroy(&event);
    }
}

// An event read before its node is destroyed stays whole; events nobody
// read are released with the node (checked by the sanitizers).
TEST(ZreEvents, EventsOutliveTheirNode)
{
    NodeOptions o = onLoopback();
    TestNode a("alpha", o);
    TestNode b("beta", o);
    ASSERT_TRUE(startPair(a, b));
    for (int i = 0; i < 50; ++i)
        a.whisper(b.uuid(), {"\x03", std::string(100, char('A' + i % 26))});
    ASSERT_TRUE(readable(b.get(), 10000));
    zyre_event_t* kept = zyre_event_new(b.get());
    ASSERT_NE(kept, nullptr);
    b.destroy();  // with up to 49 events unread

    EXPECT_STREQ(zyre_event_type(kept), "WHISPER");
    EXPECT_STREQ(zyre_event_peer_uuid(kept), a.uuid().c_str());
    ASSERT_EQ(zmsg_size(zyre_event_msg(kept)), 2u);
    EXPECT_EQ(zframe_size(zmsg_last(zyre_event_msg(kept))), 100u);
    zyre_event_destroy(&kept);
    EXPECT_EQ(kept, nullptr);
}

// A peer that floods a node whose application is not reading holds up
// nobody else: another peer's event, sent after the flood was queued, is
// read within about one share (256 events) of the flooder's, not behind
// all of them; and the flooder's events still arrive all, in order.
TEST(ZreEvents, AFloodingPeerDoesNotHoldUpAnotherPeersEvents)
{
    NodeOptions o = onLoopback();
    TestNode flooder("flooder", o);
    TestNode reader("reader", o);
    TestNode other("other", o);
    ASSERT_TRUE(startPair(flooder, reader));
    ASSERT_TRUE(other.start());
    ASSERT_TRUE(reader.waitFor(isEvent("ENTER", other.uuid()), 5000));
    ASSERT_TRUE(other.waitFor(isEvent("ENTER", reader.uuid()), 5000));
    reader.drain(200);

    constexpr int kFlood = 5000;
    for (int i = 0; i < kFlood; ++i)
        flooder.whisper(reader.uuid(), {"\x02", std::to_string(i)});
    // Unread, the flood waits in the reader's event queue (far below the
    // bound of unread events) by the time the other peer speaks.
    std::this_thread::sleep_for(std::chrono::seconds(1));
    other.whisper(reader.uuid(), {"\x02", "other"});
    std::this_thread::sleep_for(std::chrono::milliseconds(300));

    size_t before = reader.events().size();
    reader.drain(500);
    const auto& events = reader.events();
    long otherAt = -1, floodSeen = 0, outOfOrder = 0;
    for (size_t i = before; i < events.size(); ++i) {
        if (events[i].type != "WHISPER")
            continue;
        if (events[i].uuid == other.uuid())
            otherAt = floodSeen;
        else if (events[i].frames.at(1) != std::to_string(floodSeen++))
            ++outOfOrder;
    }
    EXPECT_EQ(floodSeen, kFlood);
    EXPECT_EQ(outOfOrder, 0);
    ASSERT_GE(otherAt, 0) << "the other peer's message did not arrive";
    EXPECT_LE(otherAt, 2 * 256) << "read behind the flood";
}

}  // namespace
