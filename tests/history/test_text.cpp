// Peer text and times as the history takes them, and the time expressions
// of the queries.
#include <corvo/history/record.h>
#include <corvo/history/timeexpr.h>
#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>
#include <cstring>

namespace h = corvo::history;

TEST(CleanText, keeps_valid_utf8_and_replaces_what_a_database_would_refuse)
{
    EXPECT_EQ(h::cleanText("caf\xC3\xA9 \xF0\x9F\x94\xAD"), "caf\xC3\xA9 \xF0\x9F\x94\xAD");
    const std::string bad = "\xEF\xBF\xBD";
    EXPECT_EQ(h::cleanText(std::string("a\0b", 3)), "a" + bad + "b");
    EXPECT_EQ(h::cleanText("\xC3"), bad);                                       // cut short
    EXPECT_EQ(h::cleanText("\xC0\xAF"), bad + bad);                             // overlong
    EXPECT_EQ(h::cleanText("\xED\xA0\x80"), bad + bad + bad);                   // surrogate
    EXPECT_EQ(h::cleanText("\xF4\x90\x80\x80x"), bad + bad + bad + bad + "x");  // beyond U+10FFFF
}

TEST(PeerTime, implausible_sender_times_are_unknown)
{
    EXPECT_EQ(h::peerTime(1, 5000), 1000005);
    EXPECT_EQ(h::peerTime(-1, 0), h::kNoTime);
    EXPECT_EQ(h::peerTime(INT64_MAX, 0), h::kNoTime);
    EXPECT_EQ(h::peerTime(0, 1000000000), h::kNoTime);
    EXPECT_EQ(h::isoTime(h::peerTime(253402300799, 999999999)), "9999-12-31T23:59:59.999999Z");
}

TEST(ValueText, json_and_text_forms)
{
    EXPECT_EQ(h::Value::ofReal(0.1).toString(), "0.1");
    EXPECT_EQ(h::Value::ofReal(NAN).toJson(), "null");
    EXPECT_EQ(h::Value::ofReal(-INFINITY).toJson(), "null");
    EXPECT_EQ(h::Value::ofText("a\"b\x01").toJson(), "\"a\\\"b\\u0001\"");
    EXPECT_EQ(std::strtod(h::Value::ofReal(1.0 / 3).toString().c_str(), nullptr), 1.0 / 3);
}

// Round numbers read as people write them, and every double reads back
// exactly from its shortest text.
TEST(ValueText, doubles_print_as_the_shortest_text_that_reads_back)
{
    const std::pair<double, const char*> cases[] = {
        {10, "10"},
        {1e6, "1000000"},
        {-1e6, "-1000000"},
        {0, "0"},
        {2.5, "2.5"},
        {100.25, "100.25"},
        {1e16, "10000000000000000"},
        {1e17, "1e+17"},
        {1.5e300, "1.5e+300"},
        {0.00012, "0.00012"},
        {1.2e-6, "1.2e-06"},
        {123456.789, "123456.789"},
    };
    for (const auto& [v, text] : cases) {
        EXPECT_EQ(h::Value::ofReal(v).toString(), text);
        EXPECT_EQ(h::Value::ofReal(v).toJson(), text);
    }
    uint64_t state = 88172645463325252ULL;
    for (int i = 0; i < 20000; ++i) {
        state ^= state << 13, state ^= state >> 7, state ^= state << 17;
        double v;
        std::memcpy(&v, &state, sizeof v);
        if (!std::isfinite(v))
            continue;
        std::string text = h::Value::ofReal(v).toString();
        EXPECT_EQ(std::strtod(text.c_str(), nullptr), v) << text;
        EXPECT_LE(text.size(), 24u) << text;
    }
}

TEST(TimeExpressions, durations)
{
    EXPECT_EQ(h::parseDuration("90s"), 90000000);
    EXPECT_EQ(h::parseDuration("1h30m"), 5400000000LL);
    EXPECT_EQ(h::parseDuration("1.5h"), 5400000000LL);
    EXPECT_EQ(h::parseDuration("250ms"), 250000);
    for (const char* bad : {"", "5", "h", "-1h", "1x", "1h ", "0s", "1e9w", "nan", "1h-5m", "99999999999999999999d"})
        EXPECT_FALSE(h::parseDuration(bad)) << bad;
}

TEST(TimeExpressions, points_in_time)
{
    const h::Micros now = 1796690000000000;
    EXPECT_EQ(h::parseTimePoint("now", now), now);
    EXPECT_EQ(h::parseTimePoint("2h", now), now - 7200000000LL);
    EXPECT_EQ(h::parseTimePoint("2026-12-08T01:02:03.5Z", now), 1796691723500000);
    EXPECT_EQ(h::parseTimePoint("2026-12-08T03:02:03.5+02:00", now), 1796691723500000);
    EXPECT_EQ(h::parseTimePoint("@1796691723.5", now), 1796691723500000);
    setenv("TZ", "UTC", 1);
    tzset();
    EXPECT_EQ(h::parseTimePoint("2026-12-08 01:02:03.5", now), 1796691723500000);
    EXPECT_EQ(h::parseTimePoint("2026-12-08", now), 1796688000000000);
    for (const char* bad : {"2026-02-31", "2026-13-01", "2026-12-08T25:00", "yesterday", "2026-12-08T01:02:03.1234567",
                            "1969-12-31", "@", "@-5", "2026-12-08Z+1"})
        EXPECT_FALSE(h::parseTimePoint(bad, now)) << bad;
}
