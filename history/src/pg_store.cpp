// PostgreSQL backend: schema with daily sample partitions, COPY batches,
// queries in single-row mode so that large results stream.
#include "pg_store.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <memory>

#include "corvo/history/timeexpr.h"

namespace corvo::history::detail {

namespace {

const char* const kSchema = R"(
CREATE TABLE IF NOT EXISTS series(
  id BIGSERIAL PRIMARY KEY, peer TEXT NOT NULL, property TEXT NOT NULL,
  type INTEGER NOT NULL, unit TEXT NOT NULL DEFAULT '', UNIQUE(peer, property));
CREATE TABLE IF NOT EXISTS samples(
  series BIGINT NOT NULL, recv_time BIGINT NOT NULL, send_time BIGINT,
  type INTEGER NOT NULL, source INTEGER NOT NULL,
  value_int BIGINT, value_real DOUBLE PRECISION, value_text TEXT) PARTITION BY RANGE (recv_time);
CREATE INDEX IF NOT EXISTS samples_by_series_time ON samples(series, recv_time);
CREATE TABLE IF NOT EXISTS status(
  peer TEXT NOT NULL, recv_time BIGINT NOT NULL, value BIGINT NOT NULL, name TEXT NOT NULL);
CREATE INDEX IF NOT EXISTS status_by_peer_time ON status(peer, recv_time);
CREATE TABLE IF NOT EXISTS logs(
  peer TEXT NOT NULL, recv_time BIGINT NOT NULL, time BIGINT, logger TEXT NOT NULL,
  level INTEGER NOT NULL, text TEXT NOT NULL);
CREATE INDEX IF NOT EXISTS logs_by_time ON logs(recv_time);
CREATE TABLE IF NOT EXISTS events(
  peer TEXT NOT NULL, uuid TEXT NOT NULL, kind TEXT NOT NULL, peer_type TEXT NOT NULL,
  recv_time BIGINT NOT NULL);
CREATE INDEX IF NOT EXISTS events_by_time ON events(recv_time);
CREATE TABLE IF NOT EXISTS gaps(
  start_time BIGINT NOT NULL, end_time BIGINT NOT NULL, dropped BIGINT NOT NULL);
CREATE TABLE IF NOT EXISTS sessions(
  id BIGSERIAL PRIMARY KEY, started BIGINT NOT NULL, last_seen BIGINT NOT NULL, ended BIGINT);
CREATE TABLE IF NOT EXISTS rollups(
  series BIGINT NOT NULL, tier BIGINT NOT NULL, bucket BIGINT NOT NULL, vmin DOUBLE PRECISION,
  vmax DOUBLE PRECISION, vsum DOUBLE PRECISION, n BIGINT NOT NULL, vlast DOUBLE PRECISION,
  last_time BIGINT NOT NULL, PRIMARY KEY(series, tier, bucket));
CREATE TABLE IF NOT EXISTS meta(key TEXT PRIMARY KEY, value TEXT NOT NULL);
)";

// Partitions are made for today and this many days ahead.
constexpr int kDaysAhead = 2;
// How long retention waits to drop a day partition while readers hold the
// samples table (milliseconds).
constexpr int kDropLockWait = 2000;
// How long making a day partition waits for a lock on samples (milliseconds).
constexpr int kPartitionLockWait = 2000;
// How long after a failed try the partition made ahead of need is tried again.
constexpr Micros kAheadRetry = 10 * Micros(1000000);

struct ResultDeleter {
    void operator()(PGresult* r) const { PQclear(r); }
};
using Result = std::unique_ptr<PGresult, ResultDeleter>;

// Results come in binary form (no number to text and back): integers of 2,
// 4 or 8 bytes and float8 in network byte order, text as its bytes.
class PgRow : public Row {
public:
    PgRow(PGresult* r, int row) : result(r), row(row) {}
    bool isNull(int c) const override { return PQgetisnull(result, row, c); }
    int64_t getInt(int c) const override
    {
        const auto* p = reinterpret_cast<const unsigned char*>(PQgetvalue(result, row, c));
        int length = PQgetlength(result, row, c);
        uint64_t v = 0;
        for (int i = 0; i < length && i < 8; ++i)
            v = (v << 8) | p[i];
        switch (length) {
            case 2:
                return static_cast<int16_t>(v);
            case 4:
                return static_cast<int32_t>(v);
            case 8:
                return static_cast<int64_t>(v);
            default:
                return 0;
        }
    }
    double getReal(int c) const override
    {
        if (PQgetlength(result, row, c) != 8)
            return static_cast<double>(getInt(c));
        uint64_t bits = static_cast<uint64_t>(getInt(c));
        double v;
        std::memcpy(&v, &bits, sizeof v);
        return v;
    }
    std::string getText(int c) const override
    {
        return std::string(PQgetvalue(result, row, c), PQgetlength(result, row, c));
    }

private:
    PGresult* result;
    int row;
};

// "?" placeholders become "$1", "$2", ... (the queries hold no literal "?").
std::string numbered(const std::string& sql)
{
    std::string out;
    int n = 0;
    for (char c : sql) {
        if (c == '?')
            out += "$" + std::to_string(++n);
        else
            out += c;
    }
    return out;
}

std::string realText(double v)
{
    char buf[32];
    std::snprintf(buf, sizeof buf, "%.17g", v);
    return buf;
}

// COPY text format: backslash, tab, newline and carriage return escaped.
void appendField(std::string& out, const std::string& text)
{
    for (char c : text) {
        switch (c) {
            case '\\':
                out += "\\\\";
                break;
            case '\t':
                out += "\\t";
                break;
            case '\n':
                out += "\\n";
                break;
            case '\r':
                out += "\\r";
                break;
            default:
                out += c;
        }
    }
}

void appendInt(std::string& out, int64_t v)
{
    out += std::to_string(v);
}

void appendTime(std::string& out, Micros t)
{
    if (t == kNoTime)
        out += "\\N";
    else
        appendInt(out, t);
}

std::string partitionName(Micros day)
{
    std::time_t seconds = static_cast<std::time_t>(day / 1000000);
    std::tm tm{};
    gmtime_r(&seconds, &tm);
    char buf[64];
    std::snprintf(buf, sizeof buf, "samples_%04d%02d%02d", tm.tm_year + 1900, tm.tm_mon + 1, tm.tm_mday);
    return buf;
}

}  // namespace

std::string describePostgres(const std::string& url)
{
    char* error = nullptr;
    PQconninfoOption* options = PQconninfoParse(url.c_str(), &error);
    if (!options) {
        PQfreemem(error);
        return "postgresql (unreadable connection string)";
    }
    std::string user, host, port, dbname;
    for (PQconninfoOption* o = options; o->keyword; ++o) {
        if (!o->val)
            continue;
        std::string key = o->keyword;
        if (key == "user")
            user = o->val;
        else if (key == "host")
            host = o->val;
        else if (key == "port")
            port = o->val;
        else if (key == "dbname")
            dbname = o->val;
    }
    PQconninfoFree(options);
    std::string text = "postgresql://";
    if (!user.empty())
        text += user + "@";
    if (!host.empty() && host[0] != '/')
        text += host;
    if (!port.empty())
        text += ":" + port;
    text += "/" + dbname;
    if (!host.empty() && host[0] == '/')
        text += "?host=" + host;
    return text;
}

PgStore::PgStore(const std::string& url, bool create) : description(describePostgres(url))
{
    // The connection string may name its own connect_timeout; else 5 s.
    const char* keys[] = {"connect_timeout", "dbname", nullptr};
    const char* values[] = {"5", url.c_str(), nullptr};
    conn = PQconnectdbParams(keys, values, 1);
    if (!conn || PQstatus(conn) != CONNECTION_OK) {
        std::string error = conn ? PQerrorMessage(conn) : "out of memory";
        while (!error.empty() && (error.back() == '\n' || error.back() == ' '))
            error.pop_back();
        for (char& c : error)
            if (c == '\n')
                c = ' ';
        PQfinish(conn);
        conn = nullptr;
        throw DatabaseError("cannot connect to " + description + ": " + error);
    }
    // Server notices (a shutdown in progress, ...) show as errors where they
    // matter; they are not printed on the program's standard error.
    PQsetNoticeProcessor(
        conn, [](void*, const char*) {}, nullptr);
    try {
        exec("SET client_min_messages = warning");
        exec("SET client_encoding = 'UTF8'");
        if (create) {
            exec("BEGIN");
            try {
                exec(kSchema);
                buildRollups();
                exec("COMMIT");
            } catch (...) {
                Result r(PQexec(conn, "ROLLBACK"));
                throw;
            }
            // Made ahead of need: one that cannot be made now is made by
            // the write that first needs it.
            Micros today = dayStart(nowMicros());
            for (int d = 0; d <= kDaysAhead; ++d)
                ensurePartition(today + d * kDay);
        } else {
            // Readers (the tools, the web console) never change the history.
            exec("SET default_transaction_read_only = on");
            bool hasSchema = false;
            query("SELECT 1 FROM pg_tables WHERE tablename = 'series' AND schemaname = current_schema()", {},
                  [&](const Row&) { hasSchema = true; });
            if (!hasSchema)
                throw DatabaseError(description + " holds no history");
        }
    } catch (...) {
        PQfinish(conn);
        conn = nullptr;
        throw;
    }
}

PgStore::~PgStore()
{
    PQfinish(conn);
}

void PgStore::fail(const std::string& what, PGresult* result)
{
    std::string error = result ? PQresultErrorMessage(result) : PQerrorMessage(conn);
    while (!error.empty() && (error.back() == '\n' || error.back() == ' '))
        error.pop_back();
    for (char& c : error)
        if (c == '\n')
            c = ' ';
    throw DatabaseError(description + ": " + what + ": " + error);
}

void PgStore::exec(const std::string& sql)
{
    Result r(PQexec(conn, sql.c_str()));
    ExecStatusType status = PQresultStatus(r.get());
    if (status != PGRES_COMMAND_OK && status != PGRES_TUPLES_OK)
        fail("statement", r.get());
}

void PgStore::query(const std::string& sql, const std::vector<Param>& params,
                    const std::function<void(const Row&)>& each)
{
    std::vector<std::string> texts(params.size());
    std::vector<const char*> values(params.size());
    for (size_t i = 0; i < params.size(); ++i) {
        const Param& p = params[i];
        if (auto v = std::get_if<int64_t>(&p))
            texts[i] = std::to_string(*v);
        else if (auto d = std::get_if<double>(&p))
            texts[i] = realText(*d);
        else if (auto s = std::get_if<std::string>(&p))
            texts[i] = *s;
        values[i] = std::holds_alternative<std::nullptr_t>(p) ? nullptr : texts[i].c_str();
    }
    std::string text = numbered(sql);
    int n = static_cast<int>(params.size());
    // Outside a transaction a SELECT is read through a cursor, kFetchRows at
    // a time, so that large results stream in bounded memory.
    bool cursor = sql.rfind("SELECT", 0) == 0 && PQtransactionStatus(conn) == PQTRANS_IDLE;
    if (!cursor) {
        Result r(PQexecParams(conn, text.c_str(), n, nullptr, values.data(), nullptr, nullptr, 1));
        ExecStatusType status = PQresultStatus(r.get());
        if (status != PGRES_TUPLES_OK && status != PGRES_COMMAND_OK)
            fail("query", r.get());
        for (int row = 0, rows = PQntuples(r.get()); row < rows; ++row)
            each(PgRow(r.get(), row));
        return;
    }
    constexpr int kFetchRows = 20000;
    exec("BEGIN");
    try {
        Result declared(PQexecParams(conn, ("DECLARE history_rows BINARY NO SCROLL CURSOR FOR " + text).c_str(), n,
                                     nullptr, values.data(), nullptr, nullptr, 0));
        if (PQresultStatus(declared.get()) != PGRES_COMMAND_OK)
            fail("query", declared.get());
        const std::string fetch = "FETCH " + std::to_string(kFetchRows) + " FROM history_rows";
        while (true) {
            Result r(PQexec(conn, fetch.c_str()));
            if (PQresultStatus(r.get()) != PGRES_TUPLES_OK)
                fail("query", r.get());
            int rows = PQntuples(r.get());
            for (int row = 0; row < rows; ++row)
                each(PgRow(r.get(), row));
            if (rows < kFetchRows)
                break;
        }
        exec("COMMIT");
    } catch (...) {
        if (PQstatus(conn) == CONNECTION_OK) {
            Result r(PQexec(conn, "ROLLBACK"));
        }
        throw;
    }
}

bool PgStore::ensurePartition(Micros day)
{
    if (partitions.count(day))
        return true;
    // The name and bounds are numbers of ours, never peer text.
    const std::string name = partitionName(day);
    bool attached = false;
    query("SELECT 1 FROM pg_inherits i JOIN pg_class c ON c.oid = i.inhrelid "
          "WHERE i.inhparent = 'samples'::regclass AND c.relname = '" +
              name + "'",
          {}, [&](const Row&) { attached = true; });
    if (attached) {
        partitions.insert(day);
        return true;
    }
    // CREATE TABLE ... PARTITION OF would lock the whole samples table
    // against every reader (a cursor left open behind a pager) for as long
    // as they read. The day's table is made on its own and then attached,
    // which does not wait for readers nor writers of samples; whatever else
    // holds samples is waited for at most kPartitionLockWait.
    exec("BEGIN");
    try {
        exec("SET LOCAL lock_timeout = '" + std::to_string(kPartitionLockWait) + "ms'");
        for (const std::string& sql :
             {"CREATE TABLE IF NOT EXISTS " + name + " (LIKE samples INCLUDING DEFAULTS INCLUDING CONSTRAINTS)",
              "ALTER TABLE samples ATTACH PARTITION " + name + " FOR VALUES FROM (" + std::to_string(day) + ") TO (" +
                  std::to_string(day + kDay) + ")"}) {
            Result r(PQexec(conn, sql.c_str()));
            if (PQresultStatus(r.get()) != PGRES_COMMAND_OK) {
                const char* state = PQresultErrorField(r.get(), PG_DIAG_SQLSTATE);
                if (state && std::strcmp(state, "55P03") == 0) {  // lock_not_available
                    Result rollback(PQexec(conn, "ROLLBACK"));
                    return false;
                }
                fail("partition", r.get());
            }
        }
        exec("COMMIT");
    } catch (...) {
        if (PQstatus(conn) == CONNECTION_OK) {
            Result r(PQexec(conn, "ROLLBACK"));
        }
        throw;
    }
    partitions.insert(day);
    return true;
}

int64_t PgStore::seriesId(const Sample& sample, std::unordered_map<std::string, SeriesKey>& added)
{
    std::string key = sample.peer + '\0' + sample.property;
    auto cached = added.find(key);
    if (cached == added.end()) {
        cached = seriesCache.find(key);
        if (cached != seriesCache.end() && cached->second.type == sample.value.type &&
            cached->second.unit == sample.unit)
            return cached->second.id;
    } else if (cached->second.type == sample.value.type && cached->second.unit == sample.unit) {
        return cached->second.id;
    }
    int64_t id = 0;
    query("INSERT INTO series(peer, property, type, unit) VALUES(?, ?, ?, ?) "
          "ON CONFLICT(peer, property) DO UPDATE SET type = excluded.type, unit = excluded.unit RETURNING id",
          {sample.peer, sample.property, static_cast<int64_t>(sample.value.type), sample.unit},
          [&](const Row& row) { id = row.getInt(0); });
    added[key] = SeriesKey{id, sample.value.type, sample.unit};
    return id;
}

void PgStore::copy(const std::string& sql, const std::string& data)
{
    if (data.empty())
        return;
    Result start(PQexec(conn, sql.c_str()));
    if (PQresultStatus(start.get()) != PGRES_COPY_IN)
        fail("copy", start.get());
    constexpr size_t kChunk = 1 << 20;
    for (size_t offset = 0; offset < data.size(); offset += kChunk) {
        size_t n = std::min(kChunk, data.size() - offset);
        if (PQputCopyData(conn, data.data() + offset, static_cast<int>(n)) != 1) {
            PQputCopyEnd(conn, "write failed");
            while (PGresult* r = PQgetResult(conn))
                PQclear(r);
            fail("copy");
        }
    }
    if (PQputCopyEnd(conn, nullptr) != 1)
        fail("copy");
    std::string error;
    while (PGresult* raw = PQgetResult(conn)) {
        Result r(raw);
        if (PQresultStatus(raw) != PGRES_COMMAND_OK && error.empty())
            error = PQresultErrorMessage(raw);
    }
    if (!error.empty()) {
        while (!error.empty() && (error.back() == '\n' || error.back() == ' '))
            error.pop_back();
        throw DatabaseError(description + ": copy: " + error);
    }
}

void PgStore::write(const std::vector<Record>& records, Session& session)
{
    if (PQstatus(conn) != CONNECTION_OK)
        fail("connection");
    std::set<Micros> days;
    for (const Record& record : records)
        if (auto s = std::get_if<Sample>(&record))
            days.insert(dayStart(s->recvTime));
    for (Micros day : days)
        if (!ensurePartition(day))
            throw DatabaseError(description + ": partition: " + partitionName(day) +
                                " waited too long for a lock on samples");
    // The day after tomorrow is made ahead of need; if samples is held too
    // long now, it is tried again 10 s later (two days of slack), so
    // that batches do not each wait for the lock meanwhile.
    Micros now = nowMicros();
    if (now >= nextAheadTry && !ensurePartition(dayStart(now) + kDaysAhead * kDay))
        nextAheadTry = now + kAheadRetry;

    std::unordered_map<std::string, SeriesKey> added;
    Rollups rollups;
    int64_t sessionId = session.id;
    exec("BEGIN");
    try {
        if (sessionId == 0)
            query("INSERT INTO sessions(started, last_seen) VALUES(?, ?) RETURNING id",
                  {session.started, session.lastSeen}, [&](const Row& row) { sessionId = row.getInt(0); });
        std::string samples, status, logs, events, gaps;
        for (const Record& record : records) {
            if (auto s = std::get_if<Sample>(&record)) {
                int64_t series = seriesId(*s, added);
                double number;
                if (sampleNumber(*s, number))
                    addToRollups(rollups, series, s->recvTime, number);
                appendInt(samples, series);
                samples += '\t';
                appendInt(samples, s->recvTime);
                samples += '\t';
                appendTime(samples, s->sendTime);
                samples += '\t';
                appendInt(samples, s->value.type);
                samples += '\t';
                appendInt(samples, s->source);
                samples += '\t';
                StoredValue v = storedValue(s->value);
                v.hasInt ? appendInt(samples, v.i) : (void)(samples += "\\N");
                samples += '\t';
                v.hasReal ? (void)(samples += realText(v.r)) : (void)(samples += "\\N");
                samples += '\t';
                v.hasText ? appendField(samples, *v.text) : (void)(samples += "\\N");
                samples += '\n';
            } else if (auto c = std::get_if<StatusChange>(&record)) {
                appendField(status, c->peer);
                status += '\t' + std::to_string(c->recvTime) + '\t' + std::to_string(c->value) + '\t';
                appendField(status, c->name);
                status += '\n';
            } else if (auto l = std::get_if<LogRecord>(&record)) {
                appendField(logs, l->peer);
                logs += '\t' + std::to_string(l->recvTime) + '\t';
                appendTime(logs, l->time);
                logs += '\t';
                appendField(logs, l->logger);
                logs += '\t' + std::to_string(l->level) + '\t';
                appendField(logs, l->text);
                logs += '\n';
            } else if (auto e = std::get_if<PeerEvent>(&record)) {
                for (const std::string* field : {&e->peer, &e->uuid, &e->kind, &e->peerType}) {
                    appendField(events, *field);
                    events += '\t';
                }
                events += std::to_string(e->recvTime) + '\n';
            } else if (auto g = std::get_if<Gap>(&record)) {
                gaps +=
                    std::to_string(g->start) + '\t' + std::to_string(g->end) + '\t' + std::to_string(g->dropped) + '\n';
            }
        }
        copy("COPY samples(series, recv_time, send_time, type, source, value_int, value_real, value_text) "
             "FROM STDIN",
             samples);
        copy("COPY status(peer, recv_time, value, name) FROM STDIN", status);
        copy("COPY logs(peer, recv_time, time, logger, level, text) FROM STDIN", logs);
        copy("COPY events(peer, uuid, kind, peer_type, recv_time) FROM STDIN", events);
        copy("COPY gaps(start_time, end_time, dropped) FROM STDIN", gaps);
        writeRollups(rollups);
        query("UPDATE sessions SET last_seen = ?, ended = ? WHERE id = ?",
              {session.lastSeen, session.ended == kNoTime ? Param(nullptr) : Param(session.ended), sessionId},
              [](const Row&) {});
        exec("COMMIT");
    } catch (...) {
        // The temporary table may have been made in this transaction.
        rollupBatchMade = false;
        if (PQstatus(conn) == CONNECTION_OK) {
            Result r(PQexec(conn, "ROLLBACK"));
        }
        throw;
    }
    session.id = sessionId;
    keepSeries(added);
}

void PgStore::keepSeries(std::unordered_map<std::string, SeriesKey>& added)
{
    // The cache only saves the series upsert: a full one starts again, so
    // that peers that come and go under new names do not make it grow.
    if (seriesCache.size() + added.size() > kMaxCachedSeries)
        seriesCache.clear();
    for (auto& [key, value] : added)
        if (seriesCache.size() < kMaxCachedSeries)
            seriesCache[key] = std::move(value);
}

void PgStore::writeRollups(const Rollups& rollups)
{
    // A handful of buckets cost less as single upserts than the copy.
    constexpr size_t kCopyFrom = 8;
    if (rollups.size() < kCopyFrom) {
        SqlStore::writeRollups(rollups);
        return;
    }
    if (!rollupBatchMade) {
        exec("CREATE TEMPORARY TABLE IF NOT EXISTS rollup_batch(series BIGINT, tier BIGINT, bucket BIGINT, "
             "vmin DOUBLE PRECISION, vmax DOUBLE PRECISION, vsum DOUBLE PRECISION, n BIGINT, vlast DOUBLE PRECISION, "
             "last_time BIGINT) ON COMMIT DELETE ROWS");
        rollupBatchMade = true;
    }
    std::string data;
    data.reserve(rollups.size() * 96);
    for (const auto& [key, p] : rollups) {
        for (int64_t v : {key.series, key.tier, key.bucket}) {
            appendInt(data, v);
            data += '\t';
        }
        for (double v : {p.min, p.max, p.sum}) {
            data += realText(v);
            data += '\t';
        }
        appendInt(data, p.count);
        data += '\t';
        data += realText(p.last);
        data += '\t';
        appendInt(data, p.lastTime);
        data += '\n';
    }
    copy("COPY rollup_batch FROM STDIN", data);
    exec(rollupUpsert("SELECT series, tier, bucket, vmin, vmax, vsum, n, vlast, last_time FROM rollup_batch"));
}

int64_t PgStore::expire(Micros before)
{
    int64_t deleted = 0;
    // Whole days go with their partition; the rest row by row.
    std::vector<std::string> old;
    query("SELECT c.relname FROM pg_inherits i JOIN pg_class c ON c.oid = i.inhrelid "
          "WHERE i.inhparent = 'samples'::regclass",
          {}, [&](const Row& row) { old.push_back(row.getText(0)); });
    for (const std::string& name : old) {
        int y, m, d;
        if (name.size() != 16 || std::sscanf(name.c_str(), "samples_%4d%2d%2d", &y, &m, &d) != 3)
            continue;
        std::tm tm{};
        tm.tm_year = y - 1900;
        tm.tm_mon = m - 1;
        tm.tm_mday = d;
        Micros day = static_cast<Micros>(timegm(&tm)) * 1000000;
        if (day + kDay > before)
            continue;
        // Dropping a partition locks the whole samples table, which a reader
        // (a cursor left open behind a pager) holds until it ends: wait for
        // it at most kDropLockWait, then leave the partition, and the rest,
        // for the next run. The DELETE below removes their rows meanwhile.
        int64_t rows = 0;
        exec("BEGIN");
        try {
            exec("SET LOCAL lock_timeout = '" + std::to_string(kDropLockWait) + "ms'");
            query("SELECT count(*) FROM " + partitionName(day), {}, [&](const Row& row) { rows = row.getInt(0); });
            Result r(PQexec(conn, ("DROP TABLE IF EXISTS " + partitionName(day)).c_str()));
            if (PQresultStatus(r.get()) != PGRES_COMMAND_OK) {
                const char* state = PQresultErrorField(r.get(), PG_DIAG_SQLSTATE);
                if (state && std::strcmp(state, "55P03") == 0) {  // lock_not_available
                    Result rollback(PQexec(conn, "ROLLBACK"));
                    break;
                }
                fail("expire", r.get());
            }
            exec("COMMIT");
        } catch (...) {
            if (PQstatus(conn) == CONNECTION_OK) {
                Result r(PQexec(conn, "ROLLBACK"));
            }
            throw;
        }
        deleted += rows;
        partitions.erase(day);
    }
    exec("BEGIN");
    try {
        const char* statements[] = {
            "DELETE FROM samples WHERE recv_time < ?", "DELETE FROM status WHERE recv_time < ?",
            "DELETE FROM logs WHERE recv_time < ?",    "DELETE FROM events WHERE recv_time < ?",
            "DELETE FROM gaps WHERE end_time < ?",
        };
        for (const char* sql : statements)
            query(std::string("WITH gone AS (") + sql + " RETURNING 1) SELECT count(*) FROM gone", {before},
                  [&](const Row& row) { deleted += row.getInt(0); });
        // Roll-up buckets go with the rows they began with.
        query("DELETE FROM rollups WHERE bucket < ?", {before}, [](const Row&) {});
        exec("COMMIT");
    } catch (...) {
        Result r(PQexec(conn, "ROLLBACK"));
        throw;
    }
    return deleted;
}

}  // namespace corvo::history::detail
