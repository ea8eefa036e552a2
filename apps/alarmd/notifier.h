// Notifications of alarm transitions, delivered by a thread of their own so
// that a slow or failing receiver never delays the alarms: an HTTP POST of
// the JSON to a webhook, and a command hook that gets the JSON on its
// standard input, per severity.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "rules.h"

namespace corvo::alarmd {

class Notifier {
public:
    // Bounds: notifications waiting (the oldest is dropped and counted
    // beyond it), attempts per notification, time per attempt.
    static constexpr size_t kMaxQueued = 256;
    static constexpr int kAttempts = 4;
    static constexpr int kAttemptTimeoutMs = 5000;

    // `report` receives a line to log for each failure; it is called from
    // the notifier's thread.
    Notifier(std::function<void(const std::string&)> report);
    ~Notifier();
    Notifier(const Notifier&) = delete;
    Notifier& operator=(const Notifier&) = delete;

    // Queues the delivery of `json` to `target`; returns at once.
    void post(const Notify& target, const std::string& json);
    // Waits up to `ms` for the queue to empty, then ends the thread.
    void stop(int ms);
    uint64_t delivered() const;
    uint64_t failed() const;
    uint64_t dropped() const;

private:
    struct Item {
        Notify target;
        std::string json;
    };
    void run();
    bool deliver(const Item& item, std::string& why);

    std::function<void(const std::string&)> report;
    mutable std::mutex mutex;
    std::condition_variable wake;
    std::deque<Item> queue;
    bool stopping = false;
    bool busy = false;
    uint64_t deliveredCount = 0, failedCount = 0, droppedCount = 0;
    std::thread thread;
};

// One HTTP POST of `body` (application/json) to an http:// URL with a
// deadline; true for a 2xx answer, else `why` says what went wrong.
bool postJson(const std::string& url, const std::string& body, int timeoutMs, std::string& why);
// Runs the program with `input` on its standard input; true when it exits
// with status 0 before the deadline (it is killed after it).
bool runHook(const std::vector<std::string>& command, const std::string& input, int timeoutMs, std::string& why);

}  // namespace corvo::alarmd
