// The access guard alone: answers with reasons, the lock and its listener,
// and the audit records it writes, throttled per peer.
#include <gtest/gtest.h>

#include "corvo/access_guard.h"
#include "corvo/peer.h"

#include <ctime>

using namespace std::chrono_literals;

namespace {

// The clocks of the lock, for one test: a wall clock that may be stepped and
// elapsed time, both from their real readings at the start. Restored at the end.
class SteppedClocks {
public:
    SteppedClocks()
    {
        corvo::detail::setAccessClocks(
            {[this] { return wallAtStart + elapsed + step; }, [this] { return steadyAtStart + elapsed; }});
    }
    ~SteppedClocks() { corvo::detail::setAccessClocks({}); }
    SteppedClocks(const SteppedClocks&) = delete;
    SteppedClocks& operator=(const SteppedClocks&) = delete;

    // Text of the wall time `since` after the start, before any step, as a lock shows it.
    std::string wallText(std::chrono::system_clock::duration since) const
    {
        std::time_t t = std::chrono::system_clock::to_time_t(wallAtStart + since);
        std::tm tm{};
        gmtime_r(&t, &tm);
        char text[32];
        std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%SZ", &tm);
        return text;
    }

    std::chrono::system_clock::duration step{};     // of the wall clock (NTP, date -s)
    std::chrono::steady_clock::duration elapsed{};  // real time since the start
private:
    const std::chrono::system_clock::time_point wallAtStart = std::chrono::system_clock::now();
    const std::chrono::steady_clock::time_point steadyAtStart = std::chrono::steady_clock::now();
};

class AccessGuardTest : public testing::Test {
protected:
    AccessGuardTest()
        : guard([this](bool warning, const std::string& text) { records.push_back((warning ? "W " : "I ") + text); },
                [this](const std::string& lock) { locks.push_back(lock); })
    {}
    corvo::Peer peer(const std::string& identity, const std::string& uuid = "")
    {
        corvo::Peer p("tool", uuid.empty() ? "U-" + identity : uuid, "tcp://127.0.0.1:9");
        p.identity = identity;
        return p;
    }
    std::vector<std::string> records, locks;
    corvo::AccessGuard guard;
};

TEST_F(AccessGuardTest, AnOpenSiteAllowsEverythingAndHasNoLockCommands)
{
    guard.configure(false, "", {});
    EXPECT_TRUE(guard.mayWrite(peer(""), "gain").allowed());
    EXPECT_TRUE(guard.mayRun(peer(""), "expose").allowed());
    EXPECT_FALSE(guard.isLockCommand("lock"));
    guard.record(peer(""), true, "set gain = 2 (was 1)");
    ASSERT_EQ(records.size(), 1u);
    EXPECT_EQ(records[0], "I audit: accepted set gain = 2 (was 1) by tool at tcp://127.0.0.1:9");
}

TEST_F(AccessGuardTest, ALockShutsOutOthersExceptSafetyCommandsAndIsAnnounced)
{
    guard.configure(true, "", {});
    guard.markSafetyCommand("abort");
    EXPECT_EQ(guard.mayWrite(peer(""), "gain").reason, "no proven identity");
    ASSERT_TRUE(guard.isLockCommand("lock"));
    EXPECT_TRUE(guard.lockRequest(peer("alice"), "lock", {"60"}).allowed());
    ASSERT_EQ(locks.size(), 1u);
    EXPECT_EQ(locks[0].rfind("alice until ", 0), 0u) << locks[0];
    EXPECT_FALSE(guard.mayWrite(peer("bob"), "gain").allowed());
    EXPECT_FALSE(guard.mayRun(peer("bob"), "expose").allowed());
    EXPECT_TRUE(guard.mayRun(peer("bob"), "abort").allowed());
    EXPECT_TRUE(guard.mayWrite(peer("alice"), "gain").allowed());
    EXPECT_FALSE(guard.lockRequest(peer("alice"), "lock", {"-1"}).allowed());
    // Without rules every trusted identity may override: bob breaks it.
    EXPECT_TRUE(guard.lockRequest(peer("bob"), "unlock", {}).allowed());
    ASSERT_EQ(locks.size(), 2u);
    EXPECT_EQ(locks[1], "");
    EXPECT_TRUE(guard.mayWrite(peer("bob"), "gain").allowed());
    // Every lock request was recorded with its outcome; a broken lock warns.
    ASSERT_EQ(records.size(), 3u);
    EXPECT_EQ(records[0].rfind("I audit: accepted lock for 60 s by alice (", 0), 0u) << records[0];
    EXPECT_EQ(records[1].rfind("W audit: refused lock for -1 s by alice", 0), 0u) << records[1];
    EXPECT_EQ(records[2], "W audit: accepted unlock by bob (tool at tcp://127.0.0.1:9), breaking the lock of alice");
}

TEST_F(AccessGuardTest, ALeaseRunsInElapsedTimeWhenTheWallClockSteps)
{
    SteppedClocks clocks;
    guard.configure(true, "", {});
    ASSERT_TRUE(guard.lockRequest(peer("alice"), "lock", {"600"}).allowed());
    EXPECT_EQ(locks.back(), "alice until " + clocks.wallText(600s));
    // One hour forward, 1 s later: the lock still holds, and its end is
    // shown in the stepped wall clock's time.
    clocks.step = 1h;
    clocks.elapsed = 1s;
    EXPECT_EQ(guard.mayWrite(peer("bob"), "gain").reason, "locked by alice until " + clocks.wallText(1h + 600s));
    EXPECT_EQ(guard.accessControl().describeLock(corvo::AccessControl::leaseNow()),
              "alice until " + clocks.wallText(1h + 600s));

    // One hour back: a 2 s lease ends after 2 s, not an hour later.
    ASSERT_TRUE(guard.lockRequest(peer("alice"), "lock", {"2"}).allowed());
    clocks.step = -1h;
    clocks.elapsed = 2s;
    EXPECT_FALSE(guard.mayWrite(peer("bob"), "gain").allowed());
    clocks.elapsed = 3s;
    EXPECT_TRUE(guard.mayWrite(peer("bob"), "gain").allowed());
}

TEST_F(AccessGuardTest, RecordsAreThrottledPerPeerAndCountedAtTheEnd)
{
    guard.configure(true, "", {});
    for (int i = 0; i < 50; ++i)
        guard.record(peer("alice"), true, "run expose");
    guard.record(peer("bob"), true, "run expose");
    EXPECT_EQ(records.size(), corvo::AccessGuard::kAuditBurst + 1);
    guard.writeHeldBack(true);
    EXPECT_EQ(records.back(), "I audit: last record of tool repeated 30 times");
}

}  // namespace
