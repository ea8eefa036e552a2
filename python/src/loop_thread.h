// The one thread per process on which the library runs. The library is
// single-threaded (no locks), so every call from any Python thread is carried
// onto this thread as a task; the nodes living here (site clients and device
// servers) are polled together with the task queue in one wait.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <deque>
#include <functional>
#include <mutex>
#include <thread>
#include <vector>

#include <sys/types.h>

namespace corvo::python {

// A network node driven by the loop thread. All methods run on it.
class LoopNode {
public:
    virtual ~LoopNode() = default;
    // The libzmq socket to wait on, or null while the node is not running.
    virtual void* socket() = 0;
    // Handles every event pending on the socket.
    virtual void drain() = 0;
    // Called once per loop turn (after events and tasks).
    virtual void idle() {}
};

class LoopThread {
public:
    using Task = std::function<void()>;

    // Tasks waiting to run; a post beyond this fails, so a caller that
    // outruns the loop learns it instead of growing memory without bound.
    static constexpr std::size_t kMaxPendingTasks = 100000;

    // The process's loop thread, started on first use.
    static LoopThread& instance();
    // True once instance() has started the thread.
    static bool started();

    // True in a child of fork(): the loop thread, and the nodes it polls,
    // stayed in the parent. post() then fails and call() throws at once
    // instead of waiting for ever.
    bool forkedChild() const;
    // Throws the error of a call made in a child of fork().
    void refuseInForkedChild() const;

    // Queues `task` to run on the loop thread. False when the queue is full
    // or the thread has stopped; the task is then dropped unrun.
    bool post(Task task);
    // Runs `task` on the loop thread and waits for it; on the loop thread
    // itself it runs at once. Exceptions of the task reach the caller.
    void call(const Task& task);
    bool onLoopThread() const;

    void addNode(LoopNode* node);
    void removeNode(LoopNode* node);

    // Ends the thread after the tasks already queued; later posts fail.
    void shutdown();

private:
    LoopThread();
    ~LoopThread();
    void run();
    void runPendingTasks();
    void wake();

    std::mutex lock;
    std::deque<Task> tasks;
    bool stopping = false;
    int wakeFd = -1;
    std::vector<LoopNode*> nodes;  // loop thread only
    std::thread thread;
    std::atomic<std::thread::id> threadId;
    pid_t ownerPid;  // the process the thread runs in
};

}  // namespace corvo::python
