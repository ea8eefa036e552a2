#include "zre_test_util.hpp"

#include <chrono>
#include <cstring>

namespace zretest {

namespace {

std::string frameText(zframe_t* frame)
{
    return std::string(reinterpret_cast<const char*>(zframe_data(frame)), zframe_size(frame));
}

zmsg_t* makeMessage(const std::vector<std::string>& frames)
{
    zmsg_t* msg = zmsg_new();
    for (const auto& f : frames)
        zmsg_addmem(msg, f.data(), f.size());
    return msg;
}

}  // namespace

Predicate isEvent(const std::string& type, const std::string& uuid, const std::string& group)
{
    return [=](const Event& e) {
        return e.type == type && (uuid.empty() || e.uuid == uuid) && (group.empty() || e.group == group);
    };
}

TestNode::TestNode(const std::string& name, const NodeOptions& options)
{
    node_ = zyre_new(name.c_str());
    zyre_set_interface(node_, options.iface.c_str());
    zyre_set_port(node_, options.port);
    zyre_set_interval(node_, options.interval);
    if (options.evasive)
        zyre_set_evasive_timeout(node_, options.evasive);
    if (options.expired)
        zyre_set_expired_timeout(node_, options.expired);
    for (const auto& [key, value] : options.headers)
        zyre_set_header(node_, key.c_str(), "%s", value.c_str());
    if (options.verbose || getenv("ZRE_TEST_VERBOSE"))
        zyre_set_verbose(node_);
}

TestNode::~TestNode()
{
    destroy();
}

bool TestNode::start()
{
    return zyre_start(node_) == 0;
}
void TestNode::stop()
{
    zyre_stop(node_);
}
void TestNode::destroy()
{
    zyre_destroy(&node_);
}

bool TestNode::readOne(int ms)
{
    zmq_pollitem_t item = {zsock_resolve(zyre_socket(node_)), 0, ZMQ_POLLIN, 0};
    if (zmq_poll(&item, 1, ms) <= 0)
        return false;
    zyre_event_t* raw = zyre_event_new(node_);
    if (!raw)
        return false;
    Event e;
    e.type = zyre_event_type(raw);
    e.uuid = zyre_event_peer_uuid(raw);
    e.name = zyre_event_peer_name(raw);
    if (zyre_event_peer_addr(raw))
        e.addr = zyre_event_peer_addr(raw);
    if (zyre_event_group(raw))
        e.group = zyre_event_group(raw);
    if (zhash_t* headers = zyre_event_headers(raw)) {
        for (void* v = zhash_first(headers); v; v = zhash_next(headers))
            e.headers[zhash_cursor(headers)] = static_cast<const char*>(v);
    }
    if (zmsg_t* msg = zyre_event_msg(raw)) {
        for (zframe_t* f = zmsg_first(msg); f; f = zmsg_next(msg))
            e.frames.push_back(frameText(f));
    }
    zyre_event_destroy(&raw);
    events_.push_back(std::move(e));
    return true;
}

void TestNode::drain(int ms)
{
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
    while (true) {
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0)
            break;
        readOne(int(left.count()));
    }
}

std::optional<Event> TestNode::waitFor(const Predicate& pred, int ms)
{
    size_t checked = 0;
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
    while (true) {
        for (; checked < events_.size(); ++checked)
            if (pred(events_[checked]))
                return events_[checked];
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0)
            return std::nullopt;
        readOne(int(left.count()));
    }
}

bool TestNode::saw(const Predicate& pred) const
{
    return count(pred) > 0;
}

size_t TestNode::count(const Predicate& pred) const
{
    size_t n = 0;
    for (const auto& e : events_)
        n += pred(e) ? 1 : 0;
    return n;
}

void TestNode::whisper(const std::string& peer, const std::vector<std::string>& frames)
{
    zmsg_t* msg = makeMessage(frames);
    zyre_whisper(node_, peer.c_str(), &msg);
}

void TestNode::shout(const std::string& group, const std::vector<std::string>& frames)
{
    zmsg_t* msg = makeMessage(frames);
    zyre_shout(node_, group.c_str(), &msg);
}

int freshPort()
{
    static int next = 5670;
    return next++;
}

zmsg_t* numbered(long i)
{
    zmsg_t* msg = zmsg_new();
    zmsg_addstr(msg, "\x01");
    zmsg_addmem(msg, &i, sizeof i);
    return msg;
}

bool countNumbered(zyre_event_t* event, NumberedCount& count)
{
    zmsg_t* msg = event ? zyre_event_msg(event) : nullptr;
    if (!msg || zmsg_size(msg) != 2 || zframe_size(zmsg_last(msg)) != sizeof(long))
        return false;
    long i;
    std::memcpy(&i, zframe_data(zmsg_last(msg)), sizeof i);
    count.outOfOrder += i != count.received;
    ++count.received;
    return true;
}

}  // namespace zretest
