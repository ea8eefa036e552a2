// How a Python thread waits for a request that the loop thread completes,
// without the GIL ping-pong of a Python lock: the waiter sleeps on a C++
// condition with the GIL released, and a completion made while the loop
// thread holds the GIL to deliver events wakes it only once the GIL is free
// again, so the waiter does not wake just to block on the GIL.
//
// An event count: a waiter reads generation(), checks its own request, and
// then waits for the generation to move on; every completion moves it.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <mutex>

namespace corvo::python {

class Completions {
public:
    static Completions& instance();

    uint64_t generation();
    // Waits until the generation differs from `seen` or `seconds` pass;
    // true when it moved. Call without the GIL.
    bool wait(uint64_t seen, double seconds);
    // A request was completed: wakes the waiters at once, or, inside a
    // deferral on this thread, when the deferral ends.
    void completed();

    // Defers completions made on this thread until the matching end (the
    // loop thread while it holds the GIL for a batch of events).
    class Deferral {
    public:
        Deferral();
        ~Deferral();
        Deferral(const Deferral&) = delete;
        Deferral& operator=(const Deferral&) = delete;
    };

private:
    Completions() = default;
    void wakeAll();

    std::mutex lock;
    std::condition_variable changed;
    uint64_t count = 0;
};

}  // namespace corvo::python
