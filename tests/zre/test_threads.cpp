// Nodes made and destroyed on several threads at once. Runs in a process of
// its own, so that the first nodes made here are the process's first sockets.
#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <vector>

#include "zre_test_util.hpp"

using namespace zretest;

namespace {

// Lets every thread through at the same moment.
class StartLine {
public:
    explicit StartLine(int runners) : waiting_(runners) {}
    void arrive()
    {
        --waiting_;
        while (waiting_ > 0)
            std::this_thread::yield();
    }

private:
    std::atomic<int> waiting_;
};

TEST(ZreThreads, NodesMadeOnManyThreadsAtOnce)
{
    const int threads = 8;
    const int rounds = 3;
    NodeOptions o;
    o.iface = "lo";
    o.port = freshPort();
    std::atomic<int> made{0}, started{0}, met{0};
    for (int round = 0; round < rounds; ++round) {
        StartLine line(threads);
        StartLine finish(threads);  // nobody leaves before all have looked
        std::vector<std::thread> workers;
        for (int i = 0; i < threads; ++i) {
            workers.emplace_back([&, i] {
                line.arrive();
                TestNode node("t" + std::to_string(i), o);
                made += node.get() ? 1 : 0;
                bool up = node.get() && node.start();
                started += up ? 1 : 0;
                // A node made this way works: it meets the others.
                if (up && node.waitFor(isEvent("ENTER"), 3000))
                    ++met;
                finish.arrive();
            });
        }
        for (auto& w : workers)
            w.join();
    }
    EXPECT_EQ(made, threads * rounds);
    EXPECT_EQ(started, threads * rounds);
    EXPECT_EQ(met, threads * rounds);
}

}  // namespace
