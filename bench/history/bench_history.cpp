// bench_history: how fast the history takes rows and answers queries.
//   ingest: rows pushed into the archiver's Writer as fast as it accepts them
//           (100 series of doubles), until all are committed; count in must
//           equal count out.
//   query:  24 hours of one-second samples (86,400 rows) of one series among
//           others, read back whole and as 1-minute aggregates.
//   year:   a year (--days) at 1 Hz decimated to 1,000 points from the
//           roll-ups, against the database's GROUP BY over the raw rows.
//   cpu:    CPU per row of the insert path (Store::write, and the Writer as
//           the archiver uses it), against the database's own bulk insert of
//           the same rows into the same table (SQLite: one prepared INSERT
//           reused in one transaction per batch; PostgreSQL: COPY), in
//           alternating rounds. PostgreSQL's server CPU is shown apart.
//   flood:  (with --flood N) a daemon broadcasting N values as fast as it
//           can, recorded by a real corvo-archiver: every broadcast must be
//           stored. The archiver's CPU per row from the first broadcast until
//           the last is stored, split per thread (/proc/PID/task/*/schedstat),
//           against the database's own bulk insert of as many rows (the
//           floor, as in cpu), in alternating rounds (--rounds).
// Both backends; PostgreSQL in a throwaway cluster (fsync on). Run it inside
// a network namespace: scripts/in-netns.sh build/release/bench/history/bench_history
#include <corvo/daemon.h>
#include <corvo/history/store.h>
#include <corvo/history/timeexpr.h>
#include <corvo/history/writer.h>
#include <corvo/peer.h>
#include <signal.h>
#include <sys/resource.h>
#include <time.h>
#include <unistd.h>

#include <libpq-fe.h>
#include <sqlite3.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <functional>
#include <map>
#include <string>
#include <thread>

#include "../common/thread_cpu.h"
#include "support/child_process.h"
#include "support/pg_cluster.h"
#include "support/temp_dir.h"

namespace h = corvo::history;
using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

namespace {

// The archiver the flood records with (--archiver: another build, to compare).
std::string archiverPath = ARCHIVER_PATH;

std::string selfPath()
{
    char path[4096];
    ssize_t n = readlink("/proc/self/exe", path, sizeof path - 1);
    return n > 0 ? std::string(path, size_t(n)) : std::string();
}

long peakRssKb()
{
    std::ifstream status("/proc/self/status");
    for (std::string line; std::getline(status, line);)
        if (line.rfind("VmHWM:", 0) == 0)
            return std::stol(line.substr(6));
    return -1;
}

double seconds(Clock::duration d)
{
    return std::chrono::duration<double>(d).count();
}

int64_t countRows(const std::string& db, int series)
{
    auto store = h::Store::open(db, false);
    int64_t n = 0;
    for (int s = 0; s < series; ++s)
        store->samples("bench", "p" + std::to_string(s), 0, INT64_MAX, [&](const h::Point&) { ++n; });
    return n;
}

bool ingest(const std::string& name, const std::string& db, int64_t rows)
{
    const int series = 100;
    h::WriterOptions options;
    h::Writer writer(db, options);
    h::Micros t = h::nowMicros();
    auto start = Clock::now();
    int64_t pushed = 0, refused = 0;
    for (int64_t i = 0; i < rows; ++i) {
        h::Sample s;
        s.peer = "bench";
        s.property = "p" + std::to_string(i % series);
        s.unit = "K";
        s.value = h::Value::ofReal(static_cast<double>(i) * 0.5);
        s.recvTime = t + i;
        s.sendTime = t + i - 50;
        // A full buffer is waited out here: the benchmark measures the
        // sustained rate, not the drop policy.
        while (!writer.push(s)) {
            ++refused;
            std::this_thread::sleep_for(1ms);
        }
        ++pushed;
    }
    while (writer.stats().written < rows)
        std::this_thread::sleep_for(2ms);
    double elapsed = seconds(Clock::now() - start);
    writer.stop(60s);
    int64_t out = countRows(db, series);
    std::printf("%-10s ingest: %lld rows in %.2f s = %.0f rows/s; in %lld, out %lld%s; buffer-full waits %lld; "
                "peak RSS %ld kB\n",
                name.c_str(), static_cast<long long>(rows), elapsed, rows / elapsed, static_cast<long long>(pushed),
                static_cast<long long>(out), out == pushed ? "" : " MISMATCH", static_cast<long long>(refused),
                peakRssKb());
    return out == pushed;
}

void query(const std::string& name, const std::string& db)
{
    const h::Micros day0 = (h::nowMicros() / 86400000000LL - 1) * 86400000000LL;
    {
        auto store = h::Store::open(db, true);
        h::Session session{0, day0, day0, h::kNoTime};
        std::vector<h::Record> batch;
        for (int i = 0; i < 86400; ++i) {
            h::Sample s;
            s.peer = "bench";
            s.property = "day";
            s.value = h::Value::ofReal(20.0 + (i % 600) / 100.0);
            s.recvTime = day0 + static_cast<h::Micros>(i) * 1000000;
            batch.push_back(std::move(s));
            if (batch.size() == 20000) {
                store->write(batch, session);
                batch.clear();
            }
        }
        store->write(batch, session);
    }
    auto store = h::Store::open(db, false);
    for (int round = 0; round < 3; ++round) {
        auto start = Clock::now();
        size_t n = 0;
        double sum = 0;
        store->samples("bench", "day", day0, day0 + 86400000000LL, [&](const h::Point& p) {
            ++n;
            sum += p.value.realValue;
        });
        double rowsMs = seconds(Clock::now() - start) * 1000;
        start = Clock::now();
        auto buckets = store->aggregate("bench", "day", day0, day0 + 86400000000LL, 60000000);
        double aggMs = seconds(Clock::now() - start) * 1000;
        std::printf("%-10s query: %zu rows in %.1f ms; %zu one-minute aggregates in %.1f ms\n", name.c_str(), n, rowsMs,
                    buckets.size(), aggMs);
    }
}

// SQL straight to the database (the year is generated by the server itself).
void rawExec(const std::string& db, const std::string& sql)
{
    if (h::Store::isPostgres(db)) {
        PGconn* conn = PQconnectdb(db.c_str());
        PGresult* r = PQexec(conn, sql.c_str());
        if (PQresultStatus(r) != PGRES_COMMAND_OK && PQresultStatus(r) != PGRES_TUPLES_OK)
            std::fprintf(stderr, "bench_history: %s\n", PQerrorMessage(conn));
        PQclear(r);
        PQfinish(conn);
    } else {
        sqlite3* raw = nullptr;
        sqlite3_open(db.c_str(), &raw);
        char* error = nullptr;
        if (sqlite3_exec(raw, sql.c_str(), nullptr, nullptr, &error) != SQLITE_OK)
            std::fprintf(stderr, "bench_history: %s\n", error);
        sqlite3_free(error);
        sqlite3_close(raw);
    }
}

double median(std::vector<double> v)
{
    std::sort(v.begin(), v.end());
    return v[v.size() / 2];
}

// A year (or --days) of one sample a second of one series: the raw rows are
// generated by the database, the roll-ups built as an archiver does when it
// opens an archive without them; then the year decimated to 1,000 points,
// from the roll-ups, in alternating rounds with the database's own GROUP BY
// over the raw rows (the floor the roll-ups are measured against).
void yearOf(const std::string& name, const std::string& db, int days);

// Failures are reported, not thrown: the cluster must be stopped on the way out.
bool year(const std::string& name, const std::string& db, int days)
{
    try {
        yearOf(name, db, days);
        return true;
    } catch (const std::exception& e) {
        std::fprintf(stderr, "bench_history: year: %s\n", e.what());
        return false;
    }
}

void yearOf(const std::string& name, const std::string& db, int days)
{
    const h::Micros day = 86400000000LL;
    const h::Micros day0 = (h::nowMicros() / day - days) * day;
    const h::Micros until = day0 + days * day;
    bool pg = h::Store::isPostgres(db);
    {
        // One sample a day through the store: the series and (PostgreSQL)
        // the day partitions.
        auto store = h::Store::open(db, true);
        h::Session session{0, day0, day0, h::kNoTime};
        std::vector<h::Record> batch;
        for (int d = 0; d < days; ++d) {
            h::Sample s;
            s.peer = "bench";
            s.property = "year";
            s.value = h::Value::ofReal(0);
            s.recvTime = day0 + d * day;
            batch.push_back(s);
        }
        store->write(batch, session);
    }
    auto start = Clock::now();
    const std::string n = std::to_string(static_cast<long long>(days) * 86400 - 1);
    const std::string t0 = std::to_string(day0);
    if (pg)
        rawExec(db, "INSERT INTO samples(series, recv_time, type, source, value_real) SELECT 1, " + t0 +
                        " + CAST(i AS BIGINT) * 1000000, 2, 0, (i % 3600) / 360.0 + (i % 7) FROM generate_series(1, " +
                        n + ") AS i; ANALYZE samples");
    else
        rawExec(db, "WITH RECURSIVE i(i) AS (SELECT 1 UNION ALL SELECT i + 1 FROM i WHERE i < " + n +
                        ") INSERT INTO samples(series, recv_time, type, source, value_real) SELECT 1, " + t0 +
                        " + CAST(i AS BIGINT) * 1000000, 2, 0, (i % 3600) / 360.0 + (i % 7) FROM i; ANALYZE");
    double fillSeconds = seconds(Clock::now() - start);
    rawExec(db, "DROP TABLE rollups; DROP TABLE meta");
    start = Clock::now();
    h::Store::open(db, true);  // builds the roll-ups
    double buildSeconds = seconds(Clock::now() - start);
    std::printf("%-10s year: %d days at 1 Hz (%lld rows) generated in %.1f s; roll-ups built in %.1f s\n", name.c_str(),
                days, static_cast<long long>(days) * 86400, fillSeconds, buildSeconds);

    auto store = h::Store::open(db, false);
    const h::Micros every = h::Store::everyForPoints(day0, until, 1000);
    const std::string groupBy = "SELECT (recv_time / " + std::to_string(every) + ") * " + std::to_string(every) +
                                " AS t, min(value_real), avg(value_real), max(value_real), count(value_real) "
                                "FROM samples WHERE series = 1 AND recv_time >= " +
                                t0 + " AND recv_time < " + std::to_string(until) + " GROUP BY t ORDER BY t";
    std::vector<double> rollupMs, raggedMs, rawMs;
    size_t points = 0;
    for (int round = 0; round < 3; ++round) {
        start = Clock::now();
        rawExec(db, groupBy);
        rawMs.push_back(seconds(Clock::now() - start) * 1000);
        for (int i = 0; i < 3; ++i) {
            start = Clock::now();
            points = store->aggregate("bench", "year", day0, until, every).size();
            rollupMs.push_back(seconds(Clock::now() - start) * 1000);
            // A span that cuts hour buckets at both ends (up to 2 h of raw rows).
            start = Clock::now();
            store->aggregate("bench", "year", day0 + 1799000000LL, until - 1801000000LL, every);
            raggedMs.push_back(seconds(Clock::now() - start) * 1000);
        }
    }
    double raw = median(rawMs), rollup = median(rollupMs);
    std::printf("%-10s year in %zu points (every %.0f s): %.1f ms from the roll-ups (%.1f ms with ragged ends); "
                "the database's GROUP BY over the raw rows %.0f ms (%.0fx slower)\n",
                name.c_str(), points, every / 1e6, rollup, median(raggedMs), raw, raw / rollup);
}

// ---- CPU per row -------------------------------------------------------

double threadCpuSeconds()
{
    timespec ts{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
    return double(ts.tv_sec) + double(ts.tv_nsec) / 1e9;
}

double processCpuSeconds()
{
    rusage ru{};
    getrusage(RUSAGE_SELF, &ru);
    return double(ru.ru_utime.tv_sec + ru.ru_stime.tv_sec) + double(ru.ru_utime.tv_usec + ru.ru_stime.tv_usec) / 1e6;
}

// CPU time of another process (the PostgreSQL backend), from schedstat.
double otherCpuSeconds(int pid)
{
    if (pid <= 0)
        return 0;
    std::ifstream in("/proc/" + std::to_string(pid) + "/schedstat");
    long long ns = 0;
    in >> ns;
    return double(ns) / 1e9;
}

// The rows every contender writes: 100 series of doubles, as a busy site
// sends them (round r gets its own receive times).
std::vector<h::Record> cpuRows(int64_t rows, int round)
{
    std::vector<h::Record> out;
    out.reserve(size_t(rows));
    h::Micros t = h::nowMicros() + h::Micros(round) * rows * 10;
    for (int64_t i = 0; i < rows; ++i) {
        h::Sample s;
        s.peer = "bench";
        s.property = "p" + std::to_string(i % 100);
        s.unit = "K";
        s.value = h::Value::ofReal(double(i) * 0.5);
        s.recvTime = t + i * 10;
        s.sendTime = s.recvTime - 50;
        out.push_back(std::move(s));
    }
    return out;
}

constexpr size_t kCpuBatch = 20000;

// The floor: the database's own bulk insert of the rows' columns, series
// ids known, one transaction per batch, on a connection of its own.
struct Floor {
    virtual ~Floor() = default;
    virtual void insert(const std::vector<h::Record>& rows) = 0;
    virtual int serverPid() const { return 0; }
};

struct SqliteFloor : Floor {
    explicit SqliteFloor(const std::string& path)
    {
        sqlite3_open(path.c_str(), &db);
        sqlite3_busy_timeout(db, 2000);
        sqlite3_exec(db, "PRAGMA synchronous=FULL", nullptr, nullptr, nullptr);
        sqlite3_prepare_v2(db,
                           "INSERT INTO samples(series, recv_time, send_time, type, source, value_int, value_real, "
                           "value_text) VALUES(?, ?, ?, ?, ?, ?, ?, ?)",
                           -1, &stmt, nullptr);
    }
    ~SqliteFloor() override
    {
        sqlite3_finalize(stmt);
        sqlite3_close(db);
    }
    void insert(const std::vector<h::Record>& rows) override
    {
        for (size_t from = 0; from < rows.size(); from += kCpuBatch) {
            sqlite3_exec(db, "BEGIN IMMEDIATE", nullptr, nullptr, nullptr);
            for (size_t i = from; i < std::min(rows.size(), from + kCpuBatch); ++i) {
                const auto& s = std::get<h::Sample>(rows[i]);
                sqlite3_bind_int64(stmt, 1, 1000 + int64_t(i % 100));
                sqlite3_bind_int64(stmt, 2, s.recvTime);
                sqlite3_bind_int64(stmt, 3, s.sendTime);
                sqlite3_bind_int(stmt, 4, s.value.type);
                sqlite3_bind_int(stmt, 5, s.source);
                sqlite3_bind_null(stmt, 6);
                sqlite3_bind_double(stmt, 7, s.value.realValue);
                sqlite3_bind_null(stmt, 8);
                if (sqlite3_step(stmt) != SQLITE_DONE)
                    throw std::runtime_error(std::string("floor: ") + sqlite3_errmsg(db));
                sqlite3_reset(stmt);
            }
            if (sqlite3_exec(db, "COMMIT", nullptr, nullptr, nullptr) != SQLITE_OK)
                throw std::runtime_error(std::string("floor: ") + sqlite3_errmsg(db));
        }
    }
    sqlite3* db = nullptr;
    sqlite3_stmt* stmt = nullptr;
};

struct PgFloor : Floor {
    explicit PgFloor(const std::string& url) : conn(PQconnectdb(url.c_str())) {}
    ~PgFloor() override { PQfinish(conn); }
    void exec(const char* sql)
    {
        PGresult* r = PQexec(conn, sql);
        bool ok = PQresultStatus(r) == PGRES_COMMAND_OK;
        PQclear(r);
        if (!ok)
            throw std::runtime_error(std::string("floor: ") + PQerrorMessage(conn));
    }
    void insert(const std::vector<h::Record>& rows) override
    {
        std::string data;
        char line[160];
        for (size_t from = 0; from < rows.size(); from += kCpuBatch) {
            exec("BEGIN");
            PGresult* r =
                PQexec(conn, "COPY samples(series, recv_time, send_time, type, source, value_int, value_real, "
                             "value_text) FROM STDIN");
            bool ok = PQresultStatus(r) == PGRES_COPY_IN;
            PQclear(r);
            if (!ok)
                throw std::runtime_error(std::string("floor: ") + PQerrorMessage(conn));
            data.clear();
            for (size_t i = from; i < std::min(rows.size(), from + kCpuBatch); ++i) {
                const auto& s = std::get<h::Sample>(rows[i]);
                int n = std::snprintf(line, sizeof line, "%d\t%lld\t%lld\t%d\t%d\t\\N\t%.17g\t\\N\n",
                                      1000 + int(i % 100), static_cast<long long>(s.recvTime),
                                      static_cast<long long>(s.sendTime), s.value.type, s.source, s.value.realValue);
                data.append(line, size_t(n));
            }
            PQputCopyData(conn, data.data(), int(data.size()));
            PQputCopyEnd(conn, nullptr);
            while (PGresult* done = PQgetResult(conn)) {
                ok = PQresultStatus(done) == PGRES_COMMAND_OK;
                PQclear(done);
                if (!ok)
                    throw std::runtime_error(std::string("floor: ") + PQerrorMessage(conn));
            }
            exec("COMMIT");
        }
    }
    int serverPid() const override { return PQbackendPID(conn); }
    PGconn* conn;
};

// The PostgreSQL backend that serves the store: the newest connection of
// the database other than ours.
int newestBackend(const std::string& url, int besides)
{
    PGconn* conn = PQconnectdb(url.c_str());
    std::string sql = "SELECT pid FROM pg_stat_activity WHERE datname = current_database() AND pid <> "
                      "pg_backend_pid() AND pid <> " +
                      std::to_string(besides) + " ORDER BY backend_start DESC LIMIT 1";
    PGresult* r = PQexec(conn, sql.c_str());
    int pid = PQntuples(r) ? std::atoi(PQgetvalue(r, 0, 0)) : 0;
    PQclear(r);
    PQfinish(conn);
    return pid;
}

struct CpuFigure {
    std::vector<double> client, server;  // µs per row, one per round
    void add(double clientSeconds, double serverSeconds, int64_t rows)
    {
        client.push_back(clientSeconds * 1e6 / double(rows));
        server.push_back(serverSeconds * 1e6 / double(rows));
    }
};

bool cpuPerRow(const std::string& name, const std::string& db, int64_t rows, int rounds)
{
    bool pg = h::Store::isPostgres(db);
    auto store = h::Store::open(db, true);
    h::Session session{0, h::nowMicros(), h::nowMicros(), h::kNoTime};
    std::unique_ptr<Floor> floor;
    if (pg)
        floor = std::make_unique<PgFloor>(db);
    else
        floor = std::make_unique<SqliteFloor>(db);
    int storeBackend = pg ? newestBackend(db, floor->serverPid()) : 0;
    CpuFigure floorCpu, storeCpu, writerCpu;
    int64_t written = 0;
    for (int round = 0; round < rounds; ++round) {
        auto rowsOf = [&](int which) { return cpuRows(rows, round * 3 + which); };
        // Floor.
        auto data = rowsOf(0);
        double c0 = threadCpuSeconds(), s0 = otherCpuSeconds(floor->serverPid());
        floor->insert(data);
        floorCpu.add(threadCpuSeconds() - c0, otherCpuSeconds(floor->serverPid()) - s0, rows);
        // Store::write in batches, as the Writer calls it.
        data = rowsOf(1);
        c0 = threadCpuSeconds();
        s0 = otherCpuSeconds(storeBackend);
        for (size_t from = 0; from < data.size(); from += kCpuBatch) {
            std::vector<h::Record> batch(data.begin() + long(from),
                                         data.begin() + long(std::min(data.size(), from + kCpuBatch)));
            store->write(batch, session);
        }
        storeCpu.add(threadCpuSeconds() - c0, otherCpuSeconds(storeBackend) - s0, rows);
        written += rows;
        // The Writer: push from this thread, written by its own (process CPU
        // from the first push until everything is committed and the thread
        // has ended; its backend connection is new each round).
        data = rowsOf(2);
        c0 = processCpuSeconds();
        double serverBefore = 0;
        int writerBackend = 0;
        {
            h::Writer writer(db, h::WriterOptions{}, h::nowMicros());
            for (auto& record : data)
                while (!writer.push(std::move(record)))
                    std::this_thread::sleep_for(1ms);
            while (writer.stats().written < rows)
                std::this_thread::sleep_for(1ms);
            if (pg) {
                writerBackend = newestBackend(db, floor->serverPid());
                serverBefore = 0;  // the connection was opened for this writer: all its CPU counts
            }
            double serverSeconds = pg ? otherCpuSeconds(writerBackend) - serverBefore : 0;
            writer.stop(60s);
            writerCpu.add(processCpuSeconds() - c0, serverSeconds, rows);
        }
        written += rows;
    }
    int64_t stored = 0;
    store.reset();
    {
        auto reader = h::Store::open(db, false);
        for (int s = 0; s < 100; ++s)
            reader->samples("bench", "p" + std::to_string(s), 0, INT64_MAX, [&](const h::Point&) { ++stored; });
    }
    double floorClient = median(floorCpu.client), floorServer = median(floorCpu.server);
    auto line = [&](const char* what, const CpuFigure& f) {
        double client = median(f.client), server = median(f.server);
        std::printf("%-10s cpu: %-34s %5.2f us/row (%.2fx the floor)", name.c_str(), what, client,
                    client / floorClient);
        if (pg)
            std::printf("; server %5.2f us/row (%.2fx); together %.2fx", server, server / floorServer,
                        (client + server) / (floorClient + floorServer));
        std::printf("\n");
    };
    std::printf("%-10s cpu: %lld rows a round, %d rounds, medians\n", name.c_str(), static_cast<long long>(rows),
                rounds);
    std::printf("%-10s cpu: %-34s %5.2f us/row", name.c_str(), pg ? "floor: COPY" : "floor: prepared INSERT",
                floorClient);
    if (pg)
        std::printf("; server %5.2f us/row", floorServer);
    std::printf("\n");
    line("Store::write (batches of 20000)", storeCpu);
    line("Writer (push + write thread)", writerCpu);
    std::printf("%-10s cpu: rows in %lld, stored %lld%s\n", name.c_str(), static_cast<long long>(written),
                static_cast<long long>(stored), stored == written ? "" : " MISMATCH");
    return stored == written;
}

// A daemon with one DOUBLE property that it sets as fast as the loop turns
// (values 1 to `total`). It runs in a process of its own (--flooder) and
// says "flooding" when it starts and "sent" when all is sent.
class Flooder : public corvo::Daemon {
public:
    explicit Flooder(int64_t total) : Daemon("flooder"), total(total)
    {
        createProperty("value", corvo::Property::DOUBLE, "flood", false);
    }
    void onIdle() override
    {
        if (!armed) {
            if (go && std::chrono::steady_clock::now() > goAt) {
                armed = true;
                std::printf("flooding\n");
                std::fflush(stdout);
            }
            return;
        }
        for (int i = 0; i < 500 && sent < total; ++i)
            properties.at("value")->setValue(static_cast<double>(++sent));
        if (sent >= total && !finished) {
            finished = true;
            doneAt = Clock::now();
            std::printf("sent\n");
            std::fflush(stdout);
        }
        if (finished && Clock::now() - doneAt > 1s)
            stop();
    }
    void onInfo(std::shared_ptr<corvo::Peer>) override {}
    void onEnter(std::shared_ptr<corvo::Peer> peer) override
    {
        Daemon::onEnter(peer);
        if (peer->name == "archiver") {
            go = true;
            goAt = std::chrono::steady_clock::now() + 2s;  // the archiver has our Info by then
        }
    }
    int64_t total, sent = 0;
    bool go = false, armed = false, finished = false;
    std::chrono::steady_clock::time_point goAt;
    Clock::time_point doneAt;
};

int runFlooder(int64_t total, const std::string& site)
{
    Flooder flooder(total);
    std::vector<std::string> args{"flooder", "-i", "lo", "-s", site};
    std::vector<char*> argv;
    for (auto& a : args)
        argv.push_back(a.data());
    argv.push_back(nullptr);
    flooder.run(static_cast<int>(args.size()), argv.data());
    return 0;
}

// The CPU of each thread of a process (nanoseconds on a CPU, by thread id),
// with the thread's name.
struct ThreadCpu {
    std::string name;
    double seconds = 0;
};
std::map<int, ThreadCpu> threadsOf(int pid)
{
    std::map<int, ThreadCpu> out;
    for (const auto& [tid, thread] : bench::threadCpu(pid))
        out[tid] = ThreadCpu{thread.name, double(thread.ns) / 1e9};
    return out;
}

// What each of the archiver's threads does under a flood.
enum FloodPart { LOOP, NODE, ZMQ_IO, WRITER, OTHER, PARTS };
const char* const kPartNames[PARTS] = {"loop (receive, decode, admission)", "ZRE node thread", "libzmq I/O", "writer",
                                       "other"};

FloodPart partOf(int pid, int tid, const std::string& name)
{
    if (tid == pid)
        return LOOP;
    if (name == "corvo-writer")
        return WRITER;
    if (bench::isZmqIoThread(name))
        return ZMQ_IO;
    if (name.rfind("ZMQbg", 0) == 0)
        return OTHER;
    return NODE;  // the node's actor thread carries the program's name
}

struct FloodRound {
    bool ok = false;
    int64_t stored = 0;
    double perPart[PARTS] = {};  // µs per row
    double archiver = 0, server = 0;
};

bool hasLine(const std::string& path, const char* line)
{
    return corvotest::readFile(path).find(line) != std::string::npos;
}

// One flood through a fresh corvo-archiver into `db`: the archiver's CPU per
// row and per thread, from the first broadcast until every row is stored.
FloodRound floodRound(const std::string& db, int64_t total, const std::string& dir)
{
    FloodRound result;
    bool pg = h::Store::isPostgres(db);
    std::string site = "bench" + std::to_string(getpid());
    corvotest::Child archiver = corvotest::spawn(
        {archiverPath, "-i", "lo", "-s", site, "--db", db, "--peer-rows", "1e9", "--peer-bytes", "1e12"}, dir,
        {{"HOME", dir}});
    corvotest::Child flooder =
        corvotest::spawn({selfPath(), "--flooder", std::to_string(total), site}, dir, {{"HOME", dir}});
    auto deadline = Clock::now() + 60s;
    while (!hasLine(flooder.outPath, "flooding") && Clock::now() < deadline)
        std::this_thread::sleep_for(2ms);
    int backend = pg ? newestBackend(db, 0) : 0;
    auto before = threadsOf(archiver.pid);
    double serverBefore = otherCpuSeconds(backend);
    corvotest::waitFor(flooder.pid, 120s);
    auto storedNow = [&] {
        int64_t n = 0;
        try {
            h::Store::open(db, false)->samples("flooder", "value", 0, INT64_MAX, [&](const h::Point& p) {
                n += p.source == h::SOURCE_BROADCAST ? 1 : 0;
            });
        } catch (const std::exception&) {}
        return n;
    };
    // Until everything is stored, or nothing more came for a second.
    int64_t seen = -1;
    for (auto until = Clock::now() + 60s; Clock::now() < until;) {
        int64_t n = storedNow();
        if (n >= total || n == seen)
            break;
        seen = n;
        std::this_thread::sleep_for(1s);
    }
    auto after = threadsOf(archiver.pid);
    double serverSeconds = otherCpuSeconds(backend) - serverBefore;
    kill(archiver.pid, SIGTERM);
    corvotest::waitFor(archiver.pid, 120s);
    result.stored = storedNow();
    if (result.stored <= 0)
        return result;
    double rows = double(result.stored);
    for (const auto& [tid, t] : after) {
        auto was = before.find(tid);
        double cpu = t.seconds - (was != before.end() ? was->second.seconds : 0);
        result.perPart[partOf(archiver.pid, tid, t.name)] += cpu * 1e6 / rows;
        result.archiver += cpu * 1e6 / rows;
    }
    result.server = serverSeconds * 1e6 / rows;
    result.ok = result.stored == total;
    if (!hasLine(archiver.outPath, "History flushed"))
        result.ok = false;
    return result;
}

// The floor of a flood round: the database's own bulk insert of as many
// rows, on a connection of its own (client and server CPU per row).
std::pair<double, double> floodFloor(const std::string& db, int64_t total, int round)
{
    h::Store::open(db, true);  // the schema
    std::unique_ptr<Floor> floor;
    if (h::Store::isPostgres(db))
        floor = std::make_unique<PgFloor>(db);
    else
        floor = std::make_unique<SqliteFloor>(db);
    auto data = cpuRows(total, round);
    double c0 = threadCpuSeconds(), s0 = otherCpuSeconds(floor->serverPid());
    floor->insert(data);
    return {(threadCpuSeconds() - c0) * 1e6 / double(total),
            (otherCpuSeconds(floor->serverPid()) - s0) * 1e6 / double(total)};
}

// Flood rounds alternating with floor rounds (the order turns each round);
// `dbOf(kind, round)` names a fresh database for each.
bool flood(const std::string& name, const std::function<std::string(const char*, int)>& dbOf, int64_t total, int rounds,
           const std::string& dir)
{
    bool pg = h::Store::isPostgres(dbOf("flood", 0));
    std::vector<double> parts[PARTS], archiver, server, floorClient, floorServer;
    bool ok = true;
    for (int round = 0; round < rounds; ++round) {
        for (int step = 0; step < 2; ++step) {
            if ((step == 0) == (round % 2 == 0)) {
                FloodRound r = floodRound(dbOf("flood", round), total, dir);
                ok &= r.ok;
                for (int p = 0; p < PARTS; ++p)
                    parts[p].push_back(r.perPart[p]);
                archiver.push_back(r.archiver);
                server.push_back(r.server);
                std::printf("%-10s flood: round %d: %lld sent, %lld stored (%s); archiver %.2f us/row", name.c_str(),
                            round + 1, static_cast<long long>(total), static_cast<long long>(r.stored),
                            r.ok ? "all" : "MISSING", r.archiver);
                if (pg)
                    std::printf(", its server %.2f", r.server);
                std::printf("\n");
            } else {
                auto [client, serverCpu] = floodFloor(dbOf("floor", round), total, round);
                floorClient.push_back(client);
                floorServer.push_back(serverCpu);
                std::printf("%-10s flood: round %d: floor %.2f us/row", name.c_str(), round + 1, client);
                if (pg)
                    std::printf(", its server %.2f", serverCpu);
                std::printf("\n");
            }
            std::fflush(stdout);
        }
    }
    double whole = median(archiver), fc = median(floorClient);
    std::printf("%-10s flood: medians of %d rounds of %lld broadcasts: the whole archiver %.2f us/row (%.2fx the "
                "floor, %s %.2f us/row)\n",
                name.c_str(), rounds, static_cast<long long>(total), whole, whole / fc, pg ? "COPY" : "prepared INSERT",
                fc);
    for (int p = 0; p < PARTS; ++p)
        std::printf("%-10s flood:   %-34s %5.2f us/row\n", name.c_str(), kPartNames[p], median(parts[p]));
    if (pg) {
        double srv = median(server), fs = median(floorServer);
        std::printf("%-10s flood:   its PostgreSQL server %.2f us/row (the floor's %.2f); archiver and server "
                    "together %.2fx the floor's\n",
                    name.c_str(), srv, fs, (whole + srv) / (fc + fs));
    }
    return ok;
}

}  // namespace

int main(int argc, char** argv)
{
    int64_t rows = 1000000;
    int64_t cpuRowsPerRound = 100000;
    int cpuRounds = 3;
    int64_t floodCount = 0;
    int days = 365;
    std::string only, section;
    for (int i = 1; i < argc; ++i) {
        if (!std::strcmp(argv[i], "--flooder") && i + 2 < argc)
            return runFlooder(std::atoll(argv[i + 1]), argv[i + 2]);
        if (!std::strcmp(argv[i], "--archiver") && i + 1 < argc)
            archiverPath = argv[++i];
        else if (!std::strcmp(argv[i], "--rows") && i + 1 < argc)
            rows = std::atoll(argv[++i]);
        else if (!std::strcmp(argv[i], "--cpu-rows") && i + 1 < argc)
            cpuRowsPerRound = std::max<int64_t>(1000, std::atoll(argv[++i]));
        else if (!std::strcmp(argv[i], "--rounds") && i + 1 < argc)
            cpuRounds = std::max(1, std::atoi(argv[++i]));
        else if (!std::strcmp(argv[i], "--flood") && i + 1 < argc)
            floodCount = std::atoll(argv[++i]);
        else if (!std::strcmp(argv[i], "--days") && i + 1 < argc)
            days = std::max(1, std::atoi(argv[++i]));
        else if (!std::strcmp(argv[i], "--only") && i + 1 < argc)
            section = argv[++i];
        else if (!std::strcmp(argv[i], "sqlite") || !std::strcmp(argv[i], "postgresql"))
            only = argv[i];
        else {
            std::fprintf(stderr,
                         "usage: bench_history [sqlite|postgresql] [--only ingest|query|year|cpu|flood] [--rows N] "
                         "[--cpu-rows N] [--rounds N] [--flood N] [--archiver PATH] [--days N]\n");
            return 1;
        }
    }
    auto wanted = [&](const char* what) { return section.empty() || section == what; };
    // The flood daemon runs in this process: its configuration file goes to
    // a temporary HOME, not the user's.
    corvotest::TempDir home{"corvo-bench-home"};
    setenv("HOME", home.path().c_str(), 1);
    bool ok = true;
    // Failures are reported, not thrown: the cluster must be stopped on the way out.
    auto cpu = [&](const std::string& name, const std::string& db) {
        try {
            return cpuPerRow(name, db, cpuRowsPerRound, cpuRounds);
        } catch (const std::exception& e) {
            std::fprintf(stderr, "bench_history: cpu: %s\n", e.what());
            return false;
        }
    };
    if (only.empty() || only == "sqlite") {
        corvotest::TempDir dir{"corvo-bench-history"};
        if (wanted("ingest"))
            ok &= ingest("sqlite", dir / "ingest.db", rows);
        if (wanted("query"))
            query("sqlite", dir / "query.db");
        if (wanted("year"))
            ok &= year("sqlite", dir / "year.db", days);
        if (wanted("cpu"))
            ok &= cpu("sqlite", dir / "cpu.db");
        if (floodCount && wanted("flood"))
            ok &= flood(
                "sqlite",
                [&](const char* kind, int round) { return dir / (std::string(kind) + std::to_string(round) + ".db"); },
                floodCount, cpuRounds, dir.path());
    }
    if ((only.empty() || only == "postgresql") && corvotest::PgCluster::installed()) {
        corvotest::PgCluster cluster(true);
        bool created = cluster.ok() && cluster.createDatabase("ingest") && cluster.createDatabase("query") &&
                       cluster.createDatabase("year") && cluster.createDatabase("cpu");
        for (int round = 0; created && floodCount && round < cpuRounds; ++round)
            created = cluster.createDatabase("flood" + std::to_string(round)) &&
                      cluster.createDatabase("floor" + std::to_string(round));
        if (!created) {
            std::fprintf(stderr, "bench_history: the PostgreSQL cluster did not start\n");
            return 1;
        }
        if (wanted("ingest"))
            ok &= ingest("postgresql", cluster.url("ingest"), rows);
        if (wanted("query"))
            query("postgresql", cluster.url("query"));
        if (wanted("year"))
            ok &= year("postgresql", cluster.url("year"), days);
        if (wanted("cpu"))
            ok &= cpu("postgresql", cluster.url("cpu"));
        corvotest::TempDir dir{"corvo-bench-history"};
        if (floodCount && wanted("flood"))
            ok &= flood(
                "postgresql",
                [&](const char* kind, int round) { return cluster.url(std::string(kind) + std::to_string(round)); },
                floodCount, cpuRounds, dir.path());
    }
    return ok ? 0 : 1;
}
