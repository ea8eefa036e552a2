#include "loop_thread.h"

#include <sys/eventfd.h>
#include <unistd.h>
#include <zmq.h>

#include <algorithm>
#include <cstdint>
#include <exception>
#include <future>
#include <iostream>
#include <stdexcept>

namespace corvo::python {

namespace {
// Longest single wait: nodes get their idle turn at least this often.
constexpr long kMaxWaitMs = 20;
std::atomic<bool> threadStarted{false};
}  // namespace

LoopThread& LoopThread::instance()
{
    // Never destroyed: the thread is ended by shutdown() at interpreter exit,
    // and destroying a joinable std::thread at process exit would abort.
    static LoopThread* loop = new LoopThread;
    return *loop;
}

bool LoopThread::started()
{
    return threadStarted.load();
}

LoopThread::LoopThread() : wakeFd(eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC)), ownerPid(getpid())
{
    if (wakeFd < 0)
        throw std::runtime_error("cannot create the loop thread's wake-up descriptor");
    thread = std::thread([this] { run(); });
    threadId = thread.get_id();
    threadStarted = true;
}

bool LoopThread::forkedChild() const
{
    return getpid() != ownerPid;
}

void LoopThread::refuseInForkedChild() const
{
    if (forkedChild())
        throw std::runtime_error(
            "corvo cannot be used in a child of fork(): the library's thread stayed in the parent process "
            "(use corvo only after the fork, or start the child with multiprocessing's \"spawn\" or "
            "\"forkserver\" method)");
}

LoopThread::~LoopThread()
{
    shutdown();
}

bool LoopThread::post(Task task)
{
    if (forkedChild())
        return false;  // nothing would run it (and the lock may be held for ever)
    {
        std::lock_guard<std::mutex> guard(lock);
        if (stopping || tasks.size() >= kMaxPendingTasks)
            return false;
        tasks.push_back(std::move(task));
    }
    wake();
    return true;
}

void LoopThread::call(const Task& task)
{
    refuseInForkedChild();
    if (onLoopThread()) {
        task();
        return;
    }
    std::promise<void> done;
    auto result = done.get_future();
    bool queued = post([&task, &done] {
        try {
            task();
            done.set_value();
        } catch (...) {
            done.set_exception(std::current_exception());
        }
    });
    if (!queued)
        throw std::runtime_error("the library's loop thread is not accepting calls (stopped or overloaded)");
    result.get();
}

bool LoopThread::onLoopThread() const
{
    return std::this_thread::get_id() == threadId.load();
}

void LoopThread::addNode(LoopNode* node)
{
    nodes.push_back(node);
}

void LoopThread::removeNode(LoopNode* node)
{
    nodes.erase(std::remove(nodes.begin(), nodes.end(), node), nodes.end());
}

void LoopThread::shutdown()
{
    if (forkedChild())
        return;  // the thread, and the wake-up descriptor it reads, are the parent's
    {
        std::lock_guard<std::mutex> guard(lock);
        stopping = true;
    }
    wake();
    if (thread.joinable() && !onLoopThread())
        thread.join();
}

void LoopThread::wake()
{
    uint64_t one = 1;
    ssize_t written = write(wakeFd, &one, sizeof one);
    (void)written;  // a full counter already wakes the loop
}

void LoopThread::runPendingTasks()
{
    std::deque<Task> batch;
    {
        std::lock_guard<std::mutex> guard(lock);
        batch.swap(tasks);
    }
    for (Task& task : batch) {
        try {
            task();
        } catch (const std::exception& e) {
            std::cerr << "corvo: exception in a call on the loop thread: " << e.what() << std::endl;
        } catch (...) {
            std::cerr << "corvo: unknown exception in a call on the loop thread" << std::endl;
        }
    }
}

void LoopThread::run()
{
    std::vector<zmq_pollitem_t> items;
    std::vector<LoopNode*> polled;
    for (;;) {
        items.clear();
        polled.clear();
        items.push_back({nullptr, wakeFd, ZMQ_POLLIN, 0});
        for (LoopNode* node : nodes) {
            if (void* socket = node->socket()) {
                items.push_back({socket, 0, ZMQ_POLLIN, 0});
                polled.push_back(node);
            }
        }
        int rc = zmq_poll(items.data(), static_cast<int>(items.size()), kMaxWaitMs);
        if (rc > 0 && (items[0].revents & ZMQ_POLLIN)) {
            uint64_t count;
            ssize_t got = read(wakeFd, &count, sizeof count);
            (void)got;
        }
        runPendingTasks();
        // A node removed by a task is no longer in `nodes`.
        for (size_t i = 0; i < polled.size(); ++i) {
            LoopNode* node = polled[i];
            if ((items[i + 1].revents & ZMQ_POLLIN) && std::find(nodes.begin(), nodes.end(), node) != nodes.end())
                node->drain();
        }
        std::vector<LoopNode*> current = nodes;
        for (LoopNode* node : current)
            if (std::find(nodes.begin(), nodes.end(), node) != nodes.end())
                node->idle();
        std::lock_guard<std::mutex> guard(lock);
        if (stopping && tasks.empty())
            break;
    }
    runPendingTasks();
}

}  // namespace corvo::python
