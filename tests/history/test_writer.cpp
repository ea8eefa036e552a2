// The archiver's write path: bounded buffering while the database is
// unavailable, drops counted and recorded as a gap, and nothing lost within
// the bound when the database comes back (a locked SQLite file, a
// PostgreSQL server that stops and starts again).
#include <corvo/history/timeexpr.h>
#include <corvo/history/writer.h>
#include <gtest/gtest.h>
#include <sqlite3.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <thread>

#include "support/pg_cluster.h"
#include "support/temp_dir.h"

namespace h = corvo::history;
using namespace std::chrono_literals;

namespace {

h::Sample sample(int64_t i)
{
    h::Sample s;
    s.peer = "cam";
    s.property = "n";
    s.value = h::Value::ofInt(i);
    s.recvTime = h::nowMicros() + i;  // distinct and increasing
    return s;
}

bool waitFor(const std::function<bool()>& done, std::chrono::milliseconds timeout = 60s)
{
    auto deadline = std::chrono::steady_clock::now() + timeout;
    while (!done()) {
        if (std::chrono::steady_clock::now() > deadline)
            return false;
        std::this_thread::sleep_for(10ms);
    }
    return true;
}

// The values of cam/n in the database, in receive order.
std::vector<int64_t> storedValues(const std::string& db)
{
    std::vector<int64_t> values;
    auto store = h::Store::open(db, false);
    store->samples("cam", "n", 0, INT64_MAX, [&](const h::Point& p) { values.push_back(p.value.intValue); });
    return values;
}

std::vector<int64_t> range(int64_t from, int64_t to)
{
    std::vector<int64_t> v;
    for (int64_t i = from; i < to; ++i)
        v.push_back(i);
    return v;
}

h::WriterOptions fastOptions()
{
    h::WriterOptions o;
    o.interval = 20ms;
    o.retryMin = 20ms;
    o.retryMax = 200ms;
    return o;
}

TEST(Writer, stop_writes_everything_and_closes_the_session)
{
    corvotest::TempDir dir{"corvo-history"};
    std::string db = dir / "h.db";
    h::Writer writer(db, fastOptions());
    for (int i = 0; i < 5000; ++i)
        ASSERT_TRUE(writer.push(sample(i)));
    EXPECT_TRUE(writer.stop(60s));
    EXPECT_EQ(writer.stats().written, 5000);
    EXPECT_FALSE(writer.push(sample(1))) << "nothing is taken after stop";
    EXPECT_EQ(storedValues(db), range(0, 5000));
    EXPECT_TRUE(h::Store::open(db, false)->gaps(0, INT64_MAX).empty());
}

TEST(Writer, a_locked_file_buffers_then_loses_nothing_and_drops_beyond_the_bound_are_a_gap)
{
    corvotest::TempDir dir{"corvo-history"};
    std::string db = dir / "h.db";
    h::WriterOptions options = fastOptions();
    options.maxRows = 100;
    h::Writer writer(db, options);
    ASSERT_TRUE(writer.push(sample(0)));
    ASSERT_TRUE(waitFor([&] { return writer.stats().written == 1; }));

    // Another process holds the write lock: the writer must buffer.
    sqlite3* blocker = nullptr;
    ASSERT_EQ(sqlite3_open(db.c_str(), &blocker), SQLITE_OK);
    ASSERT_EQ(sqlite3_exec(blocker, "BEGIN EXCLUSIVE", nullptr, nullptr, nullptr), SQLITE_OK);
    int accepted = 0;
    for (int i = 1; i <= 150; ++i)
        accepted += writer.push(sample(i));
    EXPECT_EQ(accepted, 100) << "the buffer holds exactly its bound";
    ASSERT_TRUE(waitFor([&] { return !writer.stats().connected; }));
    h::WriterStats during = writer.stats();
    EXPECT_EQ(during.dropped, 50);
    EXPECT_EQ(during.buffered, 100u);
    EXPECT_GT(during.lag, 0);

    sqlite3_exec(blocker, "ROLLBACK", nullptr, nullptr, nullptr);
    sqlite3_close(blocker);
    ASSERT_TRUE(waitFor([&] { return writer.stats().written == 101; }));
    ASSERT_TRUE(writer.push(sample(151)));  // ends the run of drops
    ASSERT_TRUE(writer.stop(60s));
    std::vector<int64_t> expected = range(0, 101);
    expected.push_back(151);
    EXPECT_EQ(storedValues(db), expected);
    auto gaps = h::Store::open(db, false)->gaps(0, INT64_MAX);
    ASSERT_EQ(gaps.size(), 1u);
    EXPECT_EQ(gaps[0].dropped, 50);
    bool logged = false;
    for (const std::string& text : writer.takeMessages())
        logged = logged || text.find("dropped 50 rows") != std::string::npos;
    EXPECT_TRUE(logged);
}

TEST(Writer, a_database_that_is_never_there_counts_what_is_left_at_stop_as_dropped)
{
    corvotest::TempDir dir{"corvo-history"};
    std::string blockingFile = dir.makeFile("file");
    h::Writer writer(blockingFile + "/h.db", fastOptions());  // a file where a directory should be
    for (int i = 0; i < 10; ++i)
        writer.push(sample(i));
    EXPECT_FALSE(writer.stop(300ms));
    EXPECT_EQ(writer.stats().dropped, 10);
    EXPECT_EQ(writer.stats().written, 0);
}

TEST(Writer, a_postgresql_server_that_stops_and_starts_again_costs_no_rows)
{
    if (!corvotest::PgCluster::installed())
        GTEST_SKIP() << "PostgreSQL 15 is not installed";
    corvotest::PgCluster cluster;
    ASSERT_TRUE(cluster.ok()) << cluster.serverLog();
    ASSERT_TRUE(cluster.createDatabase("w"));
    std::string db = cluster.url("w");
    h::Writer writer(db, fastOptions());
    for (int i = 0; i < 1000; ++i)
        writer.push(sample(i));
    ASSERT_TRUE(waitFor([&] { return writer.stats().written == 1000; }));

    ASSERT_TRUE(cluster.stop("immediate"));
    for (int i = 1000; i < 3000; ++i)
        ASSERT_TRUE(writer.push(sample(i)));
    ASSERT_TRUE(waitFor([&] { return !writer.stats().connected; }));
    ASSERT_TRUE(cluster.start());
    ASSERT_TRUE(waitFor([&] { return writer.stats().written == 3000; }));
    ASSERT_TRUE(writer.stop(60s));
    EXPECT_EQ(writer.stats().dropped, 0);
    EXPECT_EQ(storedValues(db), range(0, 3000));
}

}  // namespace

namespace {

// The free-space floor: writing stops below it (rows wait, the database is
// left as it was), and resumes with everything when space comes back.
TEST(Writer, stops_below_the_free_space_floor_and_resumes_when_space_returns)
{
    corvotest::TempDir dir{"corvo-writer"};
    std::string db = dir / "h.db";
    std::atomic<uint64_t> free{100u << 20};
    h::WriterOptions o = fastOptions();
    o.minFree = 64u << 20;
    o.freePath = dir.path();
    o.freeSpace = [&](const std::string& path) {
        EXPECT_EQ(path, dir.path());
        return free.load();
    };
    h::Writer writer(db, o);
    for (int i = 0; i < 10; ++i)
        writer.push(sample(i));
    ASSERT_TRUE(waitFor([&] { return writer.stats().written == 10; }));

    free = 10u << 20;
    for (int i = 10; i < 20; ++i)
        writer.push(sample(i));
    ASSERT_TRUE(waitFor([&] { return writer.stats().lowSpace; }));
    std::this_thread::sleep_for(300ms);
    EXPECT_EQ(writer.stats().written, 10);
    EXPECT_EQ(writer.stats().buffered, 10u);
    EXPECT_EQ(storedValues(db), range(0, 10));
    bool told = false;
    for (const std::string& m : writer.takeMessages())
        told |= m.find("below the floor") != std::string::npos;
    EXPECT_TRUE(told);

    free = 65u << 20;
    ASSERT_TRUE(waitFor([&] { return writer.stats().written == 20; }));
    EXPECT_FALSE(writer.stats().lowSpace);
    EXPECT_TRUE(writer.stop(10s));
    EXPECT_EQ(storedValues(db), range(0, 20));
    told = false;
    for (const std::string& m : writer.takeMessages())
        told |= m.find("writing resumed") != std::string::npos;
    EXPECT_TRUE(told);
}

TEST(Writer, the_real_free_space_is_read_where_the_database_lies)
{
    EXPECT_EQ(h::databaseDirectory("/var/lib/corvo/history.db"), "/var/lib/corvo");
    EXPECT_EQ(h::databaseDirectory("history.db"), ".");
    EXPECT_EQ(h::databaseDirectory("/h.db"), "/");
    EXPECT_EQ(h::databaseDirectory("postgresql://u@h/db"), "");
    EXPECT_GT(h::availableBytes("/"), 0u);
    EXPECT_EQ(h::availableBytes("/no/such/dir"), UINT64_MAX);
}

// Retention deletes what is older and says how much.
TEST(Writer, retention_deletes_old_rows_with_a_message)
{
    corvotest::TempDir dir{"corvo-writer"};
    std::string db = dir / "h.db";
    {
        auto store = h::Store::open(db, true);
        h::Session session{0, 1000, 1000, h::kNoTime};
        std::vector<h::Record> old;
        for (int i = 0; i < 5; ++i) {
            h::Sample s = sample(i);
            s.recvTime = 1000 + i;  // 1970
            old.push_back(s);
        }
        store->write(old, session);
    }
    h::WriterOptions o = fastOptions();
    o.retention = 86400LL * 1000000;
    h::Writer writer(db, o);
    writer.push(sample(100));
    ASSERT_TRUE(waitFor([&] { return writer.stats().written == 1; }));
    EXPECT_TRUE(writer.stop(10s));
    EXPECT_EQ(storedValues(db), std::vector<int64_t>{100});
    bool told = false;
    for (const std::string& m : writer.takeMessages())
        told |= m.find("Retention: deleted 5 rows") != std::string::npos;
    EXPECT_TRUE(told);
}

}  // namespace
