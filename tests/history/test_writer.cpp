// The archiver's write path: bounded buffering while the database is
// unavailable, drops counted and recorded as a gap, and nothing lost within
// the bound when the database comes back (a locked SQLite file, a
// PostgreSQL server that stops and starts again).
#include <corvo/history/timeexpr.h>
#include <corvo/history/writer.h>
#include <gtest/gtest.h>
#include <libpq-fe.h>
#include <sqlite3.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <ctime>
#include <functional>
#include <map>
#include <mutex>
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

// Rows handed over in batches cross the chunks the write thread takes
// (batchRows) in any alignment: all are stored once, in order; a batch that
// meets the bound keeps its first rows and drops the rest as one gap.
TEST(Writer, batches_keep_their_order_across_chunks_and_meet_the_bound_row_by_row)
{
    corvotest::TempDir dir{"corvo-history"};
    std::string db = dir / "h.db";
    h::WriterOptions options = fastOptions();
    options.batchRows = 100;
    options.maxRows = 400;
    h::Writer writer(db, options);
    std::vector<h::Record> batch;
    int64_t next = 0;
    auto handOver = [&](int rows) {
        for (int i = 0; i < rows; ++i)
            batch.push_back(sample(next++));
        return writer.push(batch);
    };
    for (int round = 0; round < 10; ++round)
        ASSERT_EQ(handOver(37), 37u);
    EXPECT_TRUE(batch.empty()) << "the batch is left empty for reuse";
    ASSERT_TRUE(waitFor([&] { return writer.stats().written == next; }));

    sqlite3* blocker = nullptr;
    ASSERT_EQ(sqlite3_open(db.c_str(), &blocker), SQLITE_OK);
    ASSERT_EQ(sqlite3_exec(blocker, "BEGIN EXCLUSIVE", nullptr, nullptr, nullptr), SQLITE_OK);
    int64_t lockedFrom = next;
    EXPECT_EQ(handOver(300), 300u);
    EXPECT_EQ(handOver(170), 100u) << "the bound counts every row of a batch";
    int64_t refusedUntil = next;
    EXPECT_EQ(writer.stats().dropped, 70);
    EXPECT_EQ(writer.stats().buffered, 400u);
    sqlite3_exec(blocker, "ROLLBACK", nullptr, nullptr, nullptr);
    sqlite3_close(blocker);
    ASSERT_TRUE(waitFor([&] { return writer.stats().buffered == 0; }));
    EXPECT_EQ(handOver(3), 3u);
    ASSERT_TRUE(writer.stop(60s));

    std::vector<int64_t> expected = range(0, lockedFrom + 400);
    for (int64_t i = refusedUntil; i < next; ++i)
        expected.push_back(i);
    EXPECT_EQ(storedValues(db), expected);
    auto gaps = h::Store::open(db, false)->gaps(0, INT64_MAX);
    ASSERT_EQ(gaps.size(), 1u);
    EXPECT_EQ(gaps[0].dropped, 70);
}

// A database file removed under the writer: the next batch goes into a new
// file at the path, with a session of its own, instead of into the unlinked
// one (lost when the writer closes it).
TEST(Writer, a_removed_file_is_made_again_at_its_path_and_takes_the_later_rows)
{
    corvotest::TempDir dir{"corvo-history"};
    std::string db = dir / "h.db";
    h::Writer writer(db, fastOptions());
    for (int i = 0; i < 10; ++i)
        ASSERT_TRUE(writer.push(sample(i)));
    ASSERT_TRUE(waitFor([&] { return writer.stats().written == 10; }));

    for (const char* suffix : {"", "-wal", "-shm"})
        ASSERT_EQ(unlink((db + suffix).c_str()), 0) << suffix;
    for (int i = 10; i < 20; ++i)
        ASSERT_TRUE(writer.push(sample(i)));
    ASSERT_TRUE(waitFor([&] { return writer.stats().written == 20; }));
    ASSERT_TRUE(writer.stop(60s));
    ASSERT_EQ(access(db.c_str(), F_OK), 0) << "no file at the path";
    EXPECT_EQ(storedValues(db), range(10, 20));
    sqlite3* conn = nullptr;
    ASSERT_EQ(sqlite3_open_v2(db.c_str(), &conn, SQLITE_OPEN_READONLY, nullptr), SQLITE_OK);
    sqlite3_stmt* stmt = nullptr;
    ASSERT_EQ(sqlite3_prepare_v2(conn, "SELECT count(*), count(ended) FROM sessions", -1, &stmt, nullptr), SQLITE_OK);
    ASSERT_EQ(sqlite3_step(stmt), SQLITE_ROW);
    EXPECT_EQ(sqlite3_column_int(stmt, 0), 1) << "the new file holds one session";
    EXPECT_EQ(sqlite3_column_int(stmt, 1), 1) << "closed at the stop";
    sqlite3_finalize(stmt);
    sqlite3_close(conn);
    bool told = false;
    for (const std::string& m : writer.takeMessages())
        told |= m.find("removed or renamed") != std::string::npos;
    EXPECT_TRUE(told);
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

// Without HOME (a service's dynamic user), the database goes in the one
// directory the service may write: its state directory.
TEST(Writer, the_default_database_is_in_home_else_in_the_service_state_directory)
{
    const char* home = getenv("HOME");
    const std::string keep = home ? home : "";
    setenv("HOME", "/home/observer", 1);
    setenv("STATE_DIRECTORY", "/var/lib/corvo/archiver", 1);
    EXPECT_EQ(h::Store::defaultDatabase(), "/home/observer/.local/share/corvo/history.db");
    unsetenv("HOME");
    EXPECT_EQ(h::Store::defaultDatabase(), "/var/lib/corvo/archiver/history.db");
    setenv("STATE_DIRECTORY", "/var/lib/corvo/archiver:/var/lib/other", 1);
    EXPECT_EQ(h::Store::defaultDatabase(), "/var/lib/corvo/archiver/history.db");
    setenv("STATE_DIRECTORY", "relative", 1);
    EXPECT_EQ(h::Store::defaultDatabase(), "/var/lib/corvo/history.db");
    unsetenv("STATE_DIRECTORY");
    EXPECT_EQ(h::Store::defaultDatabase(), "/var/lib/corvo/history.db");
    if (home)
        setenv("HOME", keep.c_str(), 1);
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

// A wall clock stepped ahead by more than the retention deletes only what is
// older than the retention in time elapsed since the start, not the rows of
// this run.
TEST(Writer, a_wall_clock_stepped_beyond_the_retention_keeps_the_rows_of_this_run)
{
    corvotest::TempDir dir{"corvo-writer"};
    std::string db = dir / "h.db";
    const h::Micros day = 86400LL * 1000000;
    const h::Micros retention = 365 * day;
    const h::Micros start = h::nowMicros();
    // The first reading is the writer's start; every later one is a day
    // beyond the retention, as after a wrong `date -s`.
    std::atomic<int> readings{0};
    h::WriterOptions o = fastOptions();
    o.retention = retention;
    o.wallClock = [&] { return readings++ == 0 ? start : start + retention + day; };
    h::Writer writer(db, o);
    h::Sample old = sample(0);
    old.recvTime = start - retention - day;
    writer.push(old);
    for (int i = 1; i < 6; ++i)
        writer.push(sample(i));
    ASSERT_TRUE(waitFor([&] { return writer.stats().written == 6; }));
    EXPECT_TRUE(writer.stop(10s));
    EXPECT_EQ(storedValues(db), range(1, 6)) << "only the row older than the retention is deleted";
}

}  // namespace

namespace {

// A database that refuses part of a batch (one sample, or the batch's
// roll-ups): the whole batch is rolled back, every row stays buffered,
// nothing is dropped, and once the refusal is lifted each row is stored
// exactly once, with roll-ups that count it once. The refusal is logged once,
// and the recovery once it has ended.
class RefusalTest : public ::testing::TestWithParam<std::string> {
protected:
    void SetUp() override
    {
        if (GetParam() == "sqlite") {
            db = dir / "h.db";
            return;
        }
        if (!corvotest::PgCluster::installed())
            GTEST_SKIP() << "PostgreSQL 15 is not installed";
        cluster = std::make_unique<corvotest::PgCluster>();
        ASSERT_TRUE(cluster->ok()) << cluster->serverLog();
        ASSERT_TRUE(cluster->createDatabase("r"));
        db = cluster->url("r");
    }

    bool sqlite() const { return GetParam() == "sqlite"; }

    // SQL straight to the database, outside the writer.
    void rawExec(const std::string& sql)
    {
        if (sqlite()) {
            sqlite3* raw = nullptr;
            ASSERT_EQ(sqlite3_open(db.c_str(), &raw), SQLITE_OK);
            sqlite3_busy_timeout(raw, 10000);
            EXPECT_EQ(sqlite3_exec(raw, sql.c_str(), nullptr, nullptr, nullptr), SQLITE_OK) << sqlite3_errmsg(raw);
            sqlite3_close(raw);
        } else {
            PGconn* conn = PQconnectdb(db.c_str());
            PGresult* r = PQexec(conn, sql.c_str());
            EXPECT_EQ(PQresultStatus(r), PGRES_COMMAND_OK) << PQerrorMessage(conn);
            PQclear(r);
            PQfinish(conn);
        }
    }

    // Value i goes to property p<i % 10>: a batch has 30 roll-up buckets.
    static h::Sample spread(int64_t i)
    {
        h::Sample s = sample(i);
        s.property = "p" + std::to_string(i % 10);
        return s;
    }

    // Pushes [from, to) while the refusal holds: the writer fails, keeps
    // every row and drops none; nothing of them is in the database.
    void pushRefused(h::Writer& writer, int64_t from, int64_t to)
    {
        int64_t before = writer.stats().written;
        for (int64_t i = from; i < to; ++i)
            ASSERT_TRUE(writer.push(spread(i)));
        ASSERT_TRUE(waitFor([&] { return writer.stats().failing; }));
        std::this_thread::sleep_for(300ms);  // a few more attempts
        h::WriterStats during = writer.stats();
        EXPECT_EQ(during.written, before);
        EXPECT_EQ(during.buffered, size_t(to - from));
        EXPECT_EQ(during.dropped, 0);
        EXPECT_EQ(storedValues().size(), size_t(before));
        // Each attempt opens the database again and is refused again: told
        // once, and never as a recovery.
        std::vector<std::string> messages = writer.takeMessages();
        EXPECT_EQ(holding(messages, "Database write failed, buffering"), 1);
        EXPECT_EQ(holding(messages, " is back"), 0);
    }

    // Waits until `rows` are written once the refusal is lifted: the
    // recovery is told once.
    void expectBack(h::Writer& writer, int64_t rows)
    {
        ASSERT_TRUE(waitFor([&] { return writer.stats().written == rows; }));
        EXPECT_FALSE(writer.stats().failing);
        EXPECT_EQ(holding(writer.takeMessages(), " is back"), 1);
    }

    static int holding(const std::vector<std::string>& messages, const std::string& text)
    {
        return static_cast<int>(std::count_if(messages.begin(), messages.end(),
                                              [&](const std::string& m) { return m.find(text) != std::string::npos; }));
    }

    // Every stored value of cam/p0..p9, sorted.
    std::vector<int64_t> storedValues()
    {
        std::vector<int64_t> values;
        auto store = h::Store::open(db, false);
        for (int p = 0; p < 10; ++p)
            store->samples("cam", "p" + std::to_string(p), 0, INT64_MAX,
                           [&](const h::Point& point) { values.push_back(point.value.intValue); });
        std::sort(values.begin(), values.end());
        return values;
    }

    // Count and sum per property from the minute roll-ups.
    std::map<int, std::pair<int64_t, double>> rolledUp()
    {
        std::map<int, std::pair<int64_t, double>> out;
        auto store = h::Store::open(db, false);
        for (int p = 0; p < 10; ++p)
            for (const h::Bucket& b : store->aggregate("cam", "p" + std::to_string(p), 0, INT64_MAX, 60000000)) {
                out[p].first += b.count;
                out[p].second += b.mean * double(b.count);
            }
        return out;
    }

    corvotest::TempDir dir{"corvo-refuse"};
    std::unique_ptr<corvotest::PgCluster> cluster;
    std::string db;
};

TEST_P(RefusalTest, a_refused_row_or_roll_up_keeps_the_batch_buffered_and_it_is_stored_once_later)
{
    h::Writer writer(db, fastOptions());
    for (int64_t i = 0; i < 100; ++i)
        ASSERT_TRUE(writer.push(spread(i)));
    ASSERT_TRUE(waitFor([&] { return writer.stats().written == 100; }));

    // One sample in the middle of the batch is refused.
    rawExec(sqlite() ? "CREATE TRIGGER refuse BEFORE INSERT ON samples WHEN NEW.value_int = 1234 "
                       "BEGIN SELECT RAISE(ABORT, 'refused'); END"
                     : "ALTER TABLE samples ADD CONSTRAINT refuse CHECK (value_int IS DISTINCT FROM 1234)");
    pushRefused(writer, 100, 3000);
    rawExec(sqlite() ? "DROP TRIGGER refuse" : "ALTER TABLE samples DROP CONSTRAINT refuse");
    expectBack(writer, 3000);

    // The samples go in, the roll-ups that follow them in the same
    // transaction are refused.
    rawExec(sqlite() ? "CREATE TRIGGER refuse_new BEFORE INSERT ON rollups WHEN NEW.vmax >= 4000 "
                       "BEGIN SELECT RAISE(ABORT, 'refused'); END; "
                       "CREATE TRIGGER refuse_merge BEFORE UPDATE ON rollups WHEN NEW.vmax >= 4000 "
                       "BEGIN SELECT RAISE(ABORT, 'refused'); END"
                     : "ALTER TABLE rollups ADD CONSTRAINT refuse CHECK (vmax < 4000)");
    pushRefused(writer, 3000, 5000);
    rawExec(sqlite() ? "DROP TRIGGER refuse_new; DROP TRIGGER refuse_merge"
                     : "ALTER TABLE rollups DROP CONSTRAINT refuse");
    expectBack(writer, 5000);
    ASSERT_TRUE(writer.stop(60s));
    EXPECT_EQ(writer.stats().dropped, 0);

    EXPECT_EQ(storedValues(), range(0, 5000));
    auto sums = rolledUp();
    ASSERT_EQ(sums.size(), 10u);
    for (int p = 0; p < 10; ++p) {
        // p gets p, p + 10, ... 4990 + p: 500 values.
        EXPECT_EQ(sums[p].first, 500) << "p" << p;
        EXPECT_DOUBLE_EQ(sums[p].second, 500.0 * p + 10.0 * (499.0 * 500.0 / 2.0)) << "p" << p;
    }
    EXPECT_TRUE(h::Store::open(db, false)->gaps(0, INT64_MAX).empty());
}

INSTANTIATE_TEST_SUITE_P(Backends, RefusalTest, ::testing::Values("sqlite", "postgresql"),
                         [](const auto& info) { return info.param; });

}  // namespace

namespace {

// A Unix-socket forwarder in front of the PostgreSQL server that, the first
// `fires` times a client sends COMMIT after a COPY into samples (with
// `emptyBatches`: a COMMIT of a transaction without one, after a first COPY
// on that link), passes the COMMIT on, waits for the server's answer that it
// committed, swallows it and, once `release` is set, cuts both links: the
// write committed, the writer is told it failed.
class CommitSwallower {
public:
    CommitSwallower(const std::string& listenPath, const std::string& serverPath, int fires, bool emptyBatches = false)
        : server(serverPath), firesLeft(fires), emptyBatches(emptyBatches)
    {
        listener = socket(AF_UNIX, SOCK_STREAM, 0);
        sockaddr_un a = address(listenPath);
        ok =
            listener >= 0 && bind(listener, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0 && listen(listener, 8) == 0;
        if (ok)
            acceptor = std::thread([this] { accepting(); });
    }

    ~CommitSwallower()
    {
        shutdown(listener, SHUT_RDWR);
        if (acceptor.joinable())
            acceptor.join();
        for (int fd : fds)
            shutdown(fd, SHUT_RDWR);
        for (std::thread& t : threads)
            t.join();
        close(listener);
        for (int fd : fds)
            close(fd);
    }

    bool ok = false;
    std::atomic<int> swallowed{0};
    std::atomic<bool> release{true};

private:
    static sockaddr_un address(const std::string& path)
    {
        sockaddr_un a{};
        a.sun_family = AF_UNIX;
        path.copy(a.sun_path, sizeof a.sun_path - 1);
        return a;
    }

    void accepting()
    {
        while (true) {
            int client = accept(listener, nullptr, nullptr);
            if (client < 0)
                return;
            int upstream = socket(AF_UNIX, SOCK_STREAM, 0);
            sockaddr_un a = address(server);
            if (connect(upstream, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) {
                close(client);
                close(upstream);
                continue;
            }
            auto link = std::make_shared<Link>();
            link->client = client;
            link->upstream = upstream;
            fds.push_back(client);
            fds.push_back(upstream);
            threads.emplace_back([this, link] { toServer(*link); });
            threads.emplace_back([this, link] { toClient(*link); });
        }
    }

    struct Link {
        int client = -1, upstream = -1;
        std::atomic<bool> holding{false};
    };

    static void cut(Link& link)
    {
        shutdown(link.client, SHUT_RDWR);
        shutdown(link.upstream, SHUT_RDWR);
    }

    void toServer(Link& link)
    {
        static const std::string commit("COMMIT\0", 7);
        bool copied = false, copiedInTransaction = false;
        char buf[65536];
        ssize_t n;
        while ((n = recv(link.client, buf, sizeof buf, 0)) > 0) {
            std::string chunk(buf, static_cast<size_t>(n));
            bool copy = chunk.find("COPY samples") != std::string::npos;
            copied |= copy;
            copiedInTransaction |= copy;
            bool committing = chunk.find(commit) != std::string::npos;
            bool target = emptyBatches ? copied && !copiedInTransaction : copied;
            if (committing)
                copiedInTransaction = false;
            if (committing && target && firesLeft > 0) {
                --firesLeft;
                link.holding = true;
                send(link.upstream, buf, static_cast<size_t>(n), MSG_NOSIGNAL);
                return;  // toClient cuts the link once the server has answered
            }
            if (send(link.upstream, buf, static_cast<size_t>(n), MSG_NOSIGNAL) != n)
                break;
        }
        cut(link);
    }

    void toClient(Link& link)
    {
        // The server's CommandComplete for the COMMIT holds the tag "COMMIT".
        static const std::string commit("COMMIT\0", 7);
        std::string held;
        char buf[65536];
        ssize_t n;
        while ((n = recv(link.upstream, buf, sizeof buf, 0)) > 0) {
            if (link.holding) {
                held.append(buf, static_cast<size_t>(n));
                if (held.find(commit) != std::string::npos) {
                    ++swallowed;
                    while (!release)
                        std::this_thread::sleep_for(std::chrono::milliseconds(10));
                    break;
                }
                continue;
            }
            if (send(link.client, buf, static_cast<size_t>(n), MSG_NOSIGNAL) != n)
                break;
        }
        cut(link);
    }

    std::string server;
    std::atomic<int> firesLeft;
    const bool emptyBatches;
    int listener = -1;
    std::thread acceptor;
    // Touched by the acceptor only, then by the destructor once it is joined.
    std::vector<int> fds;
    std::vector<std::thread> threads;
};

// The name of the cluster's socket for the database `url`: ".s.PGSQL.<port>".
std::string socketName(const std::string& url)
{
    return ".s.PGSQL." + url.substr(url.rfind("port=") + 5);
}

// The cluster's socket, next to its server log.
std::string serverSocket(const corvotest::PgCluster& cluster, const std::string& url)
{
    return cluster.serverLog().substr(0, cluster.serverLog().rfind('/')) + "/" + socketName(url);
}

// The database "w" reached through a proxy listening in `dir` on the port of `url`.
std::string urlThrough(const std::string& dir, const std::string& url)
{
    return "postgresql://corvo@/w?host=" + dir + "&port=" + url.substr(url.rfind("port=") + 5);
}

// The link fails after the server committed a batch (a restart or a network
// failure at the wrong moment): the writer cannot tell from the error, and
// must not store the batch, nor count it in the roll-ups, a second time. The
// first answer lost is to the session's first batch, the second to a later
// one.
TEST(Writer, a_batch_whose_commit_answer_is_lost_is_stored_once)
{
    if (!corvotest::PgCluster::installed())
        GTEST_SKIP() << "PostgreSQL 15 is not installed";
    corvotest::PgCluster cluster;
    ASSERT_TRUE(cluster.ok()) << cluster.serverLog();
    ASSERT_TRUE(cluster.createDatabase("w"));
    std::string direct = cluster.url("w");
    corvotest::TempDir dir{"corvo-lost"};
    CommitSwallower proxy(dir / socketName(direct), serverSocket(cluster, direct), 2);
    ASSERT_TRUE(proxy.ok);
    std::string db = urlThrough(dir.path(), direct);

    h::Writer writer(db, fastOptions());
    for (int i = 0; i < 1000; ++i)
        ASSERT_TRUE(writer.push(sample(i)));
    ASSERT_TRUE(waitFor([&] { return writer.stats().written == 1000; }));
    for (int i = 1000; i < 2000; ++i)
        ASSERT_TRUE(writer.push(sample(i)));
    ASSERT_TRUE(waitFor([&] { return writer.stats().written == 2000; }));
    ASSERT_TRUE(writer.stop(60s));
    EXPECT_EQ(proxy.swallowed, 2);
    EXPECT_EQ(writer.stats().dropped, 0);

    EXPECT_EQ(storedValues(direct), range(0, 2000));
    int64_t rolledUp = 0;
    for (const h::Bucket& b : h::Store::open(direct, false)->aggregate("cam", "n", 0, INT64_MAX, 60000000))
        rolledUp += b.count;
    EXPECT_EQ(rolledUp, 2000);
    // One session, closed at the stop.
    auto store = h::Store::open(direct, false);
    EXPECT_TRUE(store->gaps(0, INT64_MAX).empty());
    PGconn* conn = PQconnectdb(direct.c_str());
    PGresult* r = PQexec(conn, "SELECT count(*), count(ended) FROM sessions");
    ASSERT_EQ(PQresultStatus(r), PGRES_TUPLES_OK) << PQerrorMessage(conn);
    EXPECT_STREQ(PQgetvalue(r, 0, 0), "1");
    EXPECT_STREQ(PQgetvalue(r, 0, 1), "1");
    PQclear(r);
    PQfinish(conn);
}

// The answer to an empty write (the heartbeat that keeps the session's
// last_seen) is lost, and rows arrive meanwhile: the heartbeat's commit says
// nothing of them, and they are written, not counted as written.
TEST(Writer, rows_after_a_heartbeat_whose_commit_answer_is_lost_are_written)
{
    if (!corvotest::PgCluster::installed())
        GTEST_SKIP() << "PostgreSQL 15 is not installed";
    corvotest::PgCluster cluster;
    ASSERT_TRUE(cluster.ok()) << cluster.serverLog();
    ASSERT_TRUE(cluster.createDatabase("w"));
    std::string direct = cluster.url("w");
    corvotest::TempDir dir{"corvo-beat"};
    CommitSwallower proxy(dir / socketName(direct), serverSocket(cluster, direct), 1, true);
    ASSERT_TRUE(proxy.ok);
    proxy.release = false;
    std::string db = urlThrough(dir.path(), direct);

    h::Writer writer(db, fastOptions());
    for (int i = 0; i < 1000; ++i)
        ASSERT_TRUE(writer.push(sample(i)));
    ASSERT_TRUE(waitFor([&] { return writer.stats().written == 1000; }));
    // The next heartbeat commits; its answer is held until these rows wait.
    ASSERT_TRUE(waitFor([&] { return proxy.swallowed == 1; }));
    for (int i = 1000; i < 2000; ++i)
        ASSERT_TRUE(writer.push(sample(i)));
    proxy.release = true;
    ASSERT_TRUE(waitFor([&] { return writer.stats().written == 2000; }));
    ASSERT_TRUE(writer.stop(60s));
    EXPECT_EQ(writer.stats().dropped, 0);
    EXPECT_EQ(storedValues(direct), range(0, 2000));
}

// One SQL statement on its own connection; the connection is kept open
// (holding what the statement left) until it is closed.
PGconn* rawConnection(const std::string& url, const std::string& sql)
{
    PGconn* conn = PQconnectdb(url.c_str());
    PGresult* r = PQexec(conn, sql.c_str());
    EXPECT_EQ(PQresultStatus(r), PGRES_COMMAND_OK) << PQerrorMessage(conn);
    PQclear(r);
    return conn;
}

// A reader stopped on its first row (a pager left open): its cursor keeps
// samples in use until it is let go, at the latest at destruction.
class StoppedReader {
public:
    explicit StoppedReader(const std::string& db)
        : thread([this, db] {
              auto store = h::Store::open(db, false);
              store->samples("cam", "n", 0, INT64_MAX, [this](const h::Point&) {
                  std::unique_lock<std::mutex> lock(mutex);
                  ++rows;
                  changed.notify_all();
                  changed.wait(lock, [this] { return released; });
              });
          })
    {}
    ~StoppedReader() { letGo(); }
    bool reading()
    {
        std::unique_lock<std::mutex> lock(mutex);
        return changed.wait_for(lock, 60s, [this] { return rows > 0; });
    }
    int64_t rowsRead()
    {
        std::lock_guard<std::mutex> lock(mutex);
        return rows;
    }
    void letGo()
    {
        {
            std::lock_guard<std::mutex> lock(mutex);
            released = true;
        }
        changed.notify_all();
        if (thread.joinable())
            thread.join();
    }

private:
    std::mutex mutex;
    std::condition_variable changed;
    int64_t rows = 0;
    bool released = false;
    std::thread thread;
};

int64_t count(const std::string& url, const std::string& sql)
{
    PGconn* conn = PQconnectdb(url.c_str());
    PGresult* r = PQexec(conn, sql.c_str());
    int64_t n = PQresultStatus(r) == PGRES_TUPLES_OK ? std::atoll(PQgetvalue(r, 0, 0)) : -1;
    PQclear(r);
    PQfinish(conn);
    return n;
}

// "samples_YYYYMMDD" for the UTC day `days` from today.
std::string partitionFromToday(int days)
{
    std::time_t t = std::time(nullptr) + days * 86400;
    std::tm tm{};
    gmtime_r(&t, &tm);
    char name[32];
    std::strftime(name, sizeof name, "samples_%Y%m%d", &tm);
    return name;
}

// Day partitions are made while samples is in use. A reader stopped in the
// middle of its result does not hold back a batch that needs a new day's
// partition, nor the stop. A partition made ahead of need that cannot be
// attached for now (its table is in use here) holds back no rows, and is
// attached at a later batch.
TEST(Writer, day_partitions_are_made_while_samples_is_in_use_and_hold_no_rows_back)
{
    if (!corvotest::PgCluster::installed())
        GTEST_SKIP() << "PostgreSQL 15 is not installed";
    corvotest::PgCluster cluster;
    ASSERT_TRUE(cluster.ok()) << cluster.serverLog();
    ASSERT_TRUE(cluster.createDatabase("w"));
    std::string db = cluster.url("w");
    const std::string inherits = "SELECT count(*) FROM pg_inherits i JOIN pg_class c ON c.oid = i.inhrelid "
                                 "WHERE i.inhparent = 'samples'::regclass";
    {
        h::Writer writer(db, fastOptions());
        for (int i = 0; i < 10; ++i)
            ASSERT_TRUE(writer.push(sample(i)));
        ASSERT_TRUE(waitFor([&] { return writer.stats().written == 10; }));
        ASSERT_EQ(count(db, inherits), 3);  // today and two days ahead

        StoppedReader reader(db);
        ASSERT_TRUE(reader.reading());
        h::Sample later = sample(10);
        later.recvTime += 6 * 86400000000LL;  // a day with no partition yet
        ASSERT_TRUE(writer.push(later));
        for (int i = 11; i < 20; ++i)
            ASSERT_TRUE(writer.push(sample(i)));
        // On failure the reader is let go (at its destruction) before the writer stops.
        ASSERT_TRUE(waitFor([&] { return writer.stats().written == 20; }, 30s));
        EXPECT_TRUE(writer.stats().connected);
        EXPECT_EQ(reader.rowsRead(), 1);  // still stopped
        EXPECT_TRUE(writer.stop(2s));
        EXPECT_EQ(reader.rowsRead(), 1);
        reader.letGo();
        EXPECT_EQ(reader.rowsRead(), 10);  // what was there when it began
        EXPECT_EQ(writer.stats().dropped, 0);
    }
    EXPECT_EQ(count(db, inherits), 4);
    std::vector<int64_t> want = range(0, 20);
    std::rotate(want.begin() + 10, want.begin() + 11, want.end());  // 10 was received last
    EXPECT_EQ(storedValues(db), want);

    // The table of the day after tomorrow is there but not attached (as if
    // the last attempt had been cut short), and is in use while a new writer
    // starts, so that it cannot be attached for now.
    const std::string ahead = partitionFromToday(2);
    PQfinish(rawConnection(db, "DROP TABLE " + ahead + "; CREATE TABLE " + ahead + " (LIKE samples)"));
    PGconn* holder = rawConnection(db, "BEGIN; LOCK TABLE " + ahead + " IN ACCESS SHARE MODE");
    h::Writer writer(db, fastOptions());
    for (int i = 20; i < 30; ++i)
        ASSERT_TRUE(writer.push(sample(i)));
    EXPECT_TRUE(waitFor([&] { return writer.stats().written == 10; }, 60s));
    EXPECT_EQ(count(db, inherits), 3);
    PQfinish(holder);
    // A later batch (within 10 s of the last try) makes it.
    EXPECT_TRUE(waitFor([&] { return count(db, inherits) == 4; }, 60s));
    EXPECT_EQ(count(db, inherits + " AND c.relname = '" + ahead + "'"), 1);
    EXPECT_TRUE(writer.stop(60s));
    EXPECT_EQ(writer.stats().dropped, 0);
    want = range(0, 30);
    std::rotate(want.begin() + 10, want.begin() + 11, want.end());
    EXPECT_EQ(storedValues(db), want);
}

}  // namespace
