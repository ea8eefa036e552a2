// The archiver's admission (change detection and budgets) and its receive
// times, driven with given times: no node, no waiting.
#include <gtest/gtest.h>

#include <corvo/property.h>

#include "admission.h"
#include "archiver.h"

using namespace corvo;
using archiver::Admission;
using archiver::DropReport;
using namespace std::chrono_literals;

namespace {

Property text(const std::string& name, const std::string& value)
{
    Property p(name, Property::STRING, "", false, nullptr);
    p.strValue = value;
    return p;
}

// A peer that leaves the table without a farewell (no onExit) has its state
// forgotten by retain: its run of drops is still reported, with its UUID,
// and a peer kept keeps its fingerprints.
TEST(ArchiverAdmission, retain_forgets_departed_peers_and_reports_their_runs)
{
    archiver::BudgetLimits limits;
    limits.rows = 1;
    limits.burstSeconds = 1;  // one row at once
    Admission admission(limits);
    const auto t = archiver::Clock::time_point(1h);
    EXPECT_EQ(admission.sample("uuid-gone", "gone", text("a", "1"), t), Admission::RECORD);
    EXPECT_EQ(admission.sample("uuid-gone", "gone", text("b", "2"), t), Admission::OVER_BUDGET);
    EXPECT_EQ(admission.sample("uuid-kept", "kept", text("a", "1"), t), Admission::RECORD);
    std::vector<DropReport> started = admission.takeReports(t);
    ASSERT_EQ(started.size(), 1u);
    EXPECT_TRUE(started[0].started);
    EXPECT_EQ(started[0].uuid, "uuid-gone");
    EXPECT_EQ(admission.peers(), 2u);

    admission.retain([](const std::string& uuid) { return uuid == "uuid-kept"; });
    EXPECT_EQ(admission.peers(), 1u);
    std::vector<DropReport> ended = admission.takeReports(t);  // before the quiet time
    ASSERT_EQ(ended.size(), 1u);
    EXPECT_FALSE(ended[0].started);
    EXPECT_EQ(ended[0].uuid, "uuid-gone");
    EXPECT_EQ(ended[0].peer, "gone");
    EXPECT_EQ(ended[0].rows, 1);
    // The kept peer's fingerprint stayed; the gone one starts afresh.
    EXPECT_EQ(admission.sample("uuid-kept", "kept", text("a", "1"), t + 10s), Admission::UNCHANGED);
    EXPECT_EQ(admission.sample("uuid-gone", "gone", text("a", "1"), t + 10s), Admission::RECORD);

    admission.retain([](const std::string&) { return false; });
    EXPECT_EQ(admission.peers(), 0u);
}

// Receive times order the rows: equal times and a jitter back of less than a
// second get 1 µs more than the last; a step back of the wall clock is
// followed (and its size reported), not pinned to the moment before it.
TEST(ArchiverReceiveClock, a_step_back_of_the_clock_is_followed_and_a_small_one_keeps_the_order)
{
    archiver::ReceiveClock clock;
    const history::Micros t = 1796796807250000;  // 2026-12-10
    EXPECT_EQ(clock.next(t).time, t);
    EXPECT_EQ(clock.next(t).time, t + 1);
    archiver::ReceiveClock::Reading jitter = clock.next(t - 500000);
    EXPECT_EQ(jitter.time, t + 2);
    EXPECT_EQ(jitter.steppedBack, 0);

    archiver::ReceiveClock::Reading stepped = clock.next(t - 3600000000);
    EXPECT_EQ(stepped.time, t - 3600000000);
    EXPECT_EQ(stepped.steppedBack, 3600000002);
    EXPECT_EQ(clock.next(t - 3600000000 + 2000000).time, t - 3600000000 + 2000000) << "later rows keep their times";
    EXPECT_EQ(clock.next(t - 3600000000 + 2000000).steppedBack, 0);
}

}  // namespace
