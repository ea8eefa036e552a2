// Rate limit of error records caused by peers.
#include <gtest/gtest.h>

#include <string>

#include "corvo/log_throttle.h"

using corvo::LogThrottle;
using namespace std::chrono_literals;

namespace {

LogThrottle::Clock::time_point at(std::chrono::milliseconds offset)
{
    return LogThrottle::Clock::time_point(1h) + offset;
}

}  // namespace

TEST(LogThrottle, FirstFewPerKeyAreWrittenThenCountedUntilTheWindowEnds)
{
    LogThrottle throttle(3, 10s);
    for (int i = 0; i < 3; ++i)
        EXPECT_TRUE(throttle.admit("peer/command", at(0ms)).write);
    for (int i = 0; i < 97; ++i)
        EXPECT_FALSE(throttle.admit("peer/command", at(5s)).write);
    // Another key has a budget of its own.
    EXPECT_TRUE(throttle.admit("peer/property", at(5s)).write);
    EXPECT_TRUE(throttle.admit("other/command", at(5s)).write);

    // The next record after the window: written, after the count of the held back ones.
    LogThrottle::Decision next = throttle.admit("peer/command", at(10s));
    EXPECT_TRUE(next.write);
    EXPECT_EQ(next.repeated, 97u);
    next = throttle.admit("peer/command", at(11s));
    EXPECT_TRUE(next.write);
    EXPECT_EQ(next.repeated, 0u);
}

TEST(LogThrottle, ExpiredWindowsGiveTheirCountsOnceAndAreForgotten)
{
    LogThrottle throttle(2, 10s);
    for (int i = 0; i < 5; ++i)
        throttle.admit("noisy", at(0ms));
    throttle.admit("quiet", at(0ms));
    throttle.admit("late", at(8s));
    EXPECT_TRUE(throttle.expire(at(9s)).empty());

    auto summaries = throttle.expire(at(10s));
    ASSERT_EQ(summaries.size(), 1u);  // "quiet" held nothing back
    EXPECT_EQ(summaries[0].key, "noisy");
    EXPECT_EQ(summaries[0].repeated, 3u);
    EXPECT_EQ(throttle.trackedKeys(), 1u);  // "late" is still in its window
    EXPECT_TRUE(throttle.expire(at(11s)).empty());
    EXPECT_TRUE(throttle.admit("noisy", at(11s)).write);

    for (int i = 0; i < 4; ++i)
        throttle.admit("late", at(9s));
    auto flushed = throttle.flush();
    ASSERT_EQ(flushed.size(), 1u);
    EXPECT_EQ(flushed[0].key, "late");
    EXPECT_EQ(flushed[0].repeated, 3u);
    EXPECT_EQ(throttle.trackedKeys(), 0u);
}

TEST(LogThrottle, NewKeysBeyondTheTableShareOneBudget)
{
    LogThrottle throttle(2, 10s, 8);
    size_t written = 0;
    for (int i = 0; i < 10000; ++i)
        written += throttle.admit("uuid-" + std::to_string(i), at(0ms)).write ? 1 : 0;
    EXPECT_LE(throttle.trackedKeys(), 8u);
    // 7 keys of their own, one record each, then 2 for the shared key.
    EXPECT_EQ(written, 7u + 2u);
    auto summaries = throttle.expire(at(10s));
    ASSERT_EQ(summaries.size(), 1u);
    EXPECT_EQ(summaries[0].key, LogThrottle::kOverflowKey);
    EXPECT_EQ(summaries[0].repeated, 10000u - 7u - 2u);
}
