// Notification delivery: the command hook's outcomes and deadline, a
// webhook nobody answers, the bound of the queue, and a hook that does not
// read its input.
#include <gtest/gtest.h>

#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <string>
#include <vector>

#include "notifier.h"

using namespace corvo::alarmd;
using Clock = std::chrono::steady_clock;

TEST(AlarmHook, ReportsExitStatusAndGetsTheJsonOnItsInput)
{
    std::string why;
    EXPECT_TRUE(runHook({"/bin/sh", "-c", "grep -q '\"to\":\"unacked\"'"}, "{\"to\":\"unacked\"}\n", 5000, why)) << why;
    EXPECT_FALSE(runHook({"/bin/sh", "-c", "exit 3"}, "{}", 5000, why));
    EXPECT_EQ(why, "exit status 3");
    EXPECT_FALSE(runHook({"/nonexistent/hook"}, "{}", 5000, why));
    EXPECT_EQ(why, "exit status 127");
}

TEST(AlarmHook, IsKilledAtItsDeadline)
{
    std::string why;
    auto start = Clock::now();
    EXPECT_FALSE(runHook({"/bin/sleep", "30"}, "{}", 300, why));
    EXPECT_EQ(why, "timed out");
    EXPECT_LT(Clock::now() - start, std::chrono::seconds(10));
}

TEST(AlarmWebhook, FailsOnARefusedConnectionAndOnSilence)
{
    std::string why;
    // A port that was free a moment ago: nobody listens.
    int probe = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ASSERT_EQ(bind(probe, reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0);
    socklen_t len = sizeof addr;
    getsockname(probe, reinterpret_cast<sockaddr*>(&addr), &len);
    int port = ntohs(addr.sin_port);
    close(probe);
    EXPECT_FALSE(postJson("http://127.0.0.1:" + std::to_string(port) + "/x", "{}", 2000, why));
    EXPECT_NE(why.find("connect"), std::string::npos) << why;

    // One that accepts and never answers: the deadline ends the attempt.
    int silent = socket(AF_INET, SOCK_STREAM, 0);
    addr.sin_port = 0;
    ASSERT_EQ(bind(silent, reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0);
    listen(silent, 4);
    getsockname(silent, reinterpret_cast<sockaddr*>(&addr), &len);
    auto start = Clock::now();
    EXPECT_FALSE(postJson("http://127.0.0.1:" + std::to_string(ntohs(addr.sin_port)) + "/x", "{}", 300, why));
    EXPECT_EQ(why, "no answer in time");
    EXPECT_LT(Clock::now() - start, std::chrono::seconds(5));
    close(silent);
    EXPECT_FALSE(postJson("ftp://127.0.0.1/x", "{}", 300, why));
}

TEST(AlarmNotifier, DropsTheOldestBeyondItsBoundAndNeverBlocksTheCaller)
{
    std::atomic<int> reports{0};
    Notifier notifier([&](const std::string&) { ++reports; });
    Notify slow;
    slow.command = {"/bin/sleep", "1"};
    auto start = Clock::now();
    for (size_t i = 0; i < Notifier::kMaxQueued + 50; ++i)
        notifier.post(slow, "{}");
    EXPECT_LT(Clock::now() - start, std::chrono::seconds(1));
    notifier.stop(0);
    EXPECT_GE(notifier.dropped(), 50u);
    EXPECT_EQ(notifier.delivered() + notifier.failed() + notifier.dropped(), Notifier::kMaxQueued + 50);
}

TEST(AlarmNotifier, AHookThatReadsNothingCannotEndTheProcess)
{
    Notifier notifier(nullptr);
    // More than a pipe holds: the write meets a pipe closed by the hook.
    Notify ignoresItsInput;
    ignoresItsInput.command = {"/bin/true"};
    notifier.post(ignoresItsInput, std::string(1 << 20, 'x'));
    // What the notifier's thread blocks is not passed on to a hook.
    Notify checksItsSignals;
    checksItsSignals.command = {"/bin/sh", "-c", "exec grep -q '^SigBlk:[[:space:]]*0*$' /proc/self/status"};
    notifier.post(checksItsSignals, "{}");
    notifier.stop(20000);
    EXPECT_EQ(notifier.delivered(), 2u);
}
