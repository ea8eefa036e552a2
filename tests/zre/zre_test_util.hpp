// Helpers for the ZRE node tests: a node that records its events and waits
// for one with a deadline.
#pragma once

#include <zyre.h>

#include <functional>
#include <map>
#include <optional>
#include <string>
#include <vector>

namespace zretest {

struct Event {
    std::string type;
    std::string uuid;
    std::string name;
    std::string addr;
    std::string group;
    std::map<std::string, std::string> headers;
    std::vector<std::string> frames;
};

struct NodeOptions {
    std::string iface = "v0";
    int port = 5670;
    size_t interval = 100;
    int evasive = 0;  // 0: the node's default
    int expired = 0;
    std::map<std::string, std::string> headers;
    bool verbose = false;
};

using Predicate = std::function<bool(const Event&)>;

Predicate isEvent(const std::string& type, const std::string& uuid = "", const std::string& group = "");

class TestNode {
public:
    TestNode(const std::string& name, const NodeOptions& options);
    ~TestNode();
    TestNode(const TestNode&) = delete;
    TestNode& operator=(const TestNode&) = delete;

    zyre_t* get() { return node_; }
    std::string uuid() const { return zyre_uuid(node_); }
    bool start();
    void stop();
    void destroy();

    // Reads every event that arrives within `ms` milliseconds.
    void drain(int ms);
    // First recorded event (earlier ones included) matching `pred`, waiting
    // up to `ms` milliseconds for it.
    std::optional<Event> waitFor(const Predicate& pred, int ms);
    bool saw(const Predicate& pred) const;
    size_t count(const Predicate& pred) const;
    const std::vector<Event>& events() const { return events_; }

    void whisper(const std::string& peer, const std::vector<std::string>& frames);
    void shout(const std::string& group, const std::vector<std::string>& frames);

private:
    bool readOne(int ms);

    zyre_t* node_ = nullptr;
    std::vector<Event> events_;
};

// A port for one test's nodes, so nodes of earlier tests never interfere.
int freshPort();

// Numbered messages: a tag frame, then the number (a long), so that a
// reader can tell one lost, doubled or reordered.
zmsg_t* numbered(long i);
// What a reader made of the numbered messages it got.
struct NumberedCount {
    long received = 0;
    long outOfOrder = 0;  // a number other than the next one: lost, doubled or reordered
};
// Counts `event` (may be null) into `count` when it is a numbered message;
// true when it was.
bool countNumbered(zyre_event_t* event, NumberedCount& count);

}  // namespace zretest
