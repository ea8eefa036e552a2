// SQLite backend: schema, batched writes with prepared statements, queries.
#include "sqlite_store.h"

#include <sys/stat.h>

#include <cerrno>

namespace corvo::history::detail {

namespace {

const char* const kSchema = R"(
CREATE TABLE IF NOT EXISTS series(
  id INTEGER PRIMARY KEY, peer TEXT NOT NULL, property TEXT NOT NULL,
  type INTEGER NOT NULL, unit TEXT NOT NULL DEFAULT '', UNIQUE(peer, property));
CREATE TABLE IF NOT EXISTS samples(
  series INTEGER NOT NULL, recv_time INTEGER NOT NULL, send_time INTEGER,
  type INTEGER NOT NULL, source INTEGER NOT NULL,
  value_int INTEGER, value_real REAL, value_text TEXT);
CREATE INDEX IF NOT EXISTS samples_by_series_time ON samples(series, recv_time);
CREATE TABLE IF NOT EXISTS status(
  peer TEXT NOT NULL, recv_time INTEGER NOT NULL, value INTEGER NOT NULL, name TEXT NOT NULL);
CREATE INDEX IF NOT EXISTS status_by_peer_time ON status(peer, recv_time);
CREATE TABLE IF NOT EXISTS logs(
  peer TEXT NOT NULL, recv_time INTEGER NOT NULL, time INTEGER, logger TEXT NOT NULL,
  level INTEGER NOT NULL, text TEXT NOT NULL);
CREATE INDEX IF NOT EXISTS logs_by_time ON logs(recv_time);
CREATE TABLE IF NOT EXISTS events(
  peer TEXT NOT NULL, uuid TEXT NOT NULL, kind TEXT NOT NULL, peer_type TEXT NOT NULL,
  recv_time INTEGER NOT NULL);
CREATE INDEX IF NOT EXISTS events_by_time ON events(recv_time);
CREATE TABLE IF NOT EXISTS gaps(
  start_time INTEGER NOT NULL, end_time INTEGER NOT NULL, dropped INTEGER NOT NULL);
CREATE TABLE IF NOT EXISTS sessions(
  id INTEGER PRIMARY KEY, started INTEGER NOT NULL, last_seen INTEGER NOT NULL, ended INTEGER);
CREATE TABLE IF NOT EXISTS rollups(
  series INTEGER NOT NULL, tier INTEGER NOT NULL, bucket INTEGER NOT NULL, vmin REAL, vmax REAL, vsum REAL,
  n INTEGER NOT NULL, vlast REAL, last_time INTEGER NOT NULL, PRIMARY KEY(series, tier, bucket)) WITHOUT ROWID;
CREATE TABLE IF NOT EXISTS meta(key TEXT PRIMARY KEY, value TEXT NOT NULL);
)";

void makeParents(const std::string& path)
{
    for (size_t slash = path.find('/', 1); slash != std::string::npos; slash = path.find('/', slash + 1))
        mkdir(path.substr(0, slash).c_str(), 0755);
}

class SqliteRow : public Row {
public:
    explicit SqliteRow(sqlite3_stmt* stmt) : stmt(stmt) {}
    bool isNull(int c) const override { return sqlite3_column_type(stmt, c) == SQLITE_NULL; }
    int64_t getInt(int c) const override { return sqlite3_column_int64(stmt, c); }
    double getReal(int c) const override { return sqlite3_column_double(stmt, c); }
    std::string getText(int c) const override
    {
        const auto* text = reinterpret_cast<const char*>(sqlite3_column_text(stmt, c));
        return text ? std::string(text, sqlite3_column_bytes(stmt, c)) : std::string();
    }

private:
    sqlite3_stmt* stmt;
};

void bindText(sqlite3_stmt* stmt, int index, const std::string& text)
{
    sqlite3_bind_text(stmt, index, text.data(), static_cast<int>(text.size()), SQLITE_TRANSIENT);
}

void bindTime(sqlite3_stmt* stmt, int index, Micros t)
{
    if (t == kNoTime)
        sqlite3_bind_null(stmt, index);
    else
        sqlite3_bind_int64(stmt, index, t);
}

}  // namespace

SqliteStore::SqliteStore(const std::string& path, bool create) : path(path)
{
    if (create)
        makeParents(path);
    int flags = create ? SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE : SQLITE_OPEN_READONLY;
    if (sqlite3_open_v2(path.c_str(), &db, flags | SQLITE_OPEN_NOMUTEX, nullptr) != SQLITE_OK) {
        std::string error = db ? sqlite3_errmsg(db) : "out of memory";
        sqlite3_close(db);
        db = nullptr;
        throw DatabaseError("cannot open " + path + ": " + error);
    }
    // A locked file is waited for (bounded) instead of failing at once.
    sqlite3_busy_timeout(db, 2000);
    try {
        if (create) {
            exec("PRAGMA journal_mode=WAL");
            exec("PRAGMA synchronous=FULL");
            // The WAL is cut back to this size when it restarts after a
            // checkpoint, so a peak does not stay on the disk.
            exec("PRAGMA journal_size_limit=67108864");
            exec("BEGIN IMMEDIATE");
            try {
                exec(kSchema);
                buildRollups();
                exec("COMMIT");
            } catch (...) {
                sqlite3_exec(db, "ROLLBACK", nullptr, nullptr, nullptr);
                throw;
            }
        } else {
            bool hasSchema = false;
            query("SELECT 1 FROM sqlite_master WHERE type = 'table' AND name = 'series'", {},
                  [&](const Row&) { hasSchema = true; });
            if (!hasSchema)
                throw DatabaseError(path + " is not a history database");
        }
        insertSample = prepare(
            "INSERT INTO samples(series, recv_time, send_time, type, source, value_int, value_real, value_text) "
            "VALUES(?, ?, ?, ?, ?, ?, ?, ?)");
        insertStatus = prepare("INSERT INTO status(peer, recv_time, value, name) VALUES(?, ?, ?, ?)");
        insertLog = prepare("INSERT INTO logs(peer, recv_time, time, logger, level, text) VALUES(?, ?, ?, ?, ?, ?)");
        insertEvent = prepare("INSERT INTO events(peer, uuid, kind, peer_type, recv_time) VALUES(?, ?, ?, ?, ?)");
        insertGap = prepare("INSERT INTO gaps(start_time, end_time, dropped) VALUES(?, ?, ?)");
        upsertSeries = prepare(
            "INSERT INTO series(peer, property, type, unit) VALUES(?, ?, ?, ?) "
            "ON CONFLICT(peer, property) DO UPDATE SET type = excluded.type, unit = excluded.unit RETURNING id");
    } catch (...) {
        close();
        throw;
    }
}

SqliteStore::~SqliteStore()
{
    close();
}

void SqliteStore::close()
{
    for (sqlite3_stmt* stmt :
         {insertSample, insertStatus, insertLog, insertEvent, insertGap, upsertSeries, upsertRollup, updateSession})
        sqlite3_finalize(stmt);
    insertSample = insertStatus = insertLog = insertEvent = insertGap = upsertSeries = upsertRollup = updateSession =
        nullptr;
    sqlite3_close(db);
    db = nullptr;
}

std::string SqliteStore::backend() const
{
    return "sqlite:" + path;
}

void SqliteStore::fail(const std::string& what)
{
    throw DatabaseError(what + ": " + sqlite3_errmsg(db));
}

void SqliteStore::exec(const char* sql)
{
    char* error = nullptr;
    if (sqlite3_exec(db, sql, nullptr, nullptr, &error) != SQLITE_OK) {
        std::string text = error ? error : "error";
        sqlite3_free(error);
        throw DatabaseError(path + ": " + text);
    }
}

sqlite3_stmt* SqliteStore::prepare(const char* sql)
{
    sqlite3_stmt* stmt = nullptr;
    if (sqlite3_prepare_v2(db, sql, -1, &stmt, nullptr) != SQLITE_OK)
        fail(path);
    return stmt;
}

void SqliteStore::query(const std::string& sql, const std::vector<Param>& params,
                        const std::function<void(const Row&)>& each)
{
    sqlite3_stmt* stmt = prepare(sql.c_str());
    struct Finalize {
        sqlite3_stmt* s;
        ~Finalize() { sqlite3_finalize(s); }
    } finalize{stmt};
    for (size_t i = 0; i < params.size(); ++i) {
        int index = static_cast<int>(i + 1);
        const Param& p = params[i];
        if (auto v = std::get_if<int64_t>(&p))
            sqlite3_bind_int64(stmt, index, *v);
        else if (auto d = std::get_if<double>(&p))
            sqlite3_bind_double(stmt, index, *d);
        else if (auto s = std::get_if<std::string>(&p))
            bindText(stmt, index, *s);
        else
            sqlite3_bind_null(stmt, index);
    }
    SqliteRow row(stmt);
    int rc;
    while ((rc = sqlite3_step(stmt)) == SQLITE_ROW)
        each(row);
    if (rc != SQLITE_DONE)
        fail(path);
}

int64_t SqliteStore::seriesId(const Sample& sample, std::unordered_map<std::string, SeriesKey>& added)
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
    sqlite3_reset(upsertSeries);
    bindText(upsertSeries, 1, sample.peer);
    bindText(upsertSeries, 2, sample.property);
    sqlite3_bind_int(upsertSeries, 3, sample.value.type);
    bindText(upsertSeries, 4, sample.unit);
    if (sqlite3_step(upsertSeries) != SQLITE_ROW)
        fail("series");
    int64_t id = sqlite3_column_int64(upsertSeries, 0);
    sqlite3_reset(upsertSeries);
    added[key] = SeriesKey{id, sample.value.type, sample.unit};
    return id;
}

void SqliteStore::throwIfMoved()
{
    // SQLite goes on writing into a file that was unlinked or renamed, and
    // what it writes there is lost with it: the writer's failure path opens
    // the path again instead.
    int moved = 0;
    if (sqlite3_file_control(db, "main", SQLITE_FCNTL_HAS_MOVED, &moved) == SQLITE_OK && moved)
        throw DatabaseError(path + ": the database file was removed or renamed");
}

bool SqliteStore::hasSession(int64_t id)
{
    bool found = false;
    query("SELECT 1 FROM sessions WHERE id = ?", {id}, [&](const Row&) { found = true; });
    return found;
}

int64_t SqliteStore::insertSession(const Session& session)
{
    sqlite3_stmt* stmt = prepare("INSERT INTO sessions(started, last_seen) VALUES(?, ?)");
    sqlite3_bind_int64(stmt, 1, session.started);
    sqlite3_bind_int64(stmt, 2, session.lastSeen);
    int rc = sqlite3_step(stmt);
    sqlite3_finalize(stmt);
    if (rc != SQLITE_DONE)
        fail("session");
    return sqlite3_last_insert_rowid(db);
}

void SqliteStore::write(const std::vector<Record>& records, Session& session)
{
    std::unordered_map<std::string, SeriesKey> added;
    Rollups rollups;
    int64_t sessionId = session.id;
    auto step = [&](sqlite3_stmt* stmt) {
        if (sqlite3_step(stmt) != SQLITE_DONE)
            fail("write");
        sqlite3_reset(stmt);
    };
    exec("BEGIN IMMEDIATE");
    try {
        // A file made anew at the path since the session began does not hold
        // it: the session starts again there.
        if (sessionId != 0 && !hasSession(sessionId))
            sessionId = 0;
        if (sessionId == 0)
            sessionId = insertSession(session);
        for (const Record& record : records) {
            if (auto s = std::get_if<Sample>(&record)) {
                sqlite3_stmt* st = insertSample;
                int64_t series = seriesId(*s, added);
                double number;
                if (sampleNumber(*s, number))
                    addToRollups(rollups, series, s->recvTime, number);
                sqlite3_bind_int64(st, 1, series);
                sqlite3_bind_int64(st, 2, s->recvTime);
                bindTime(st, 3, s->sendTime);
                sqlite3_bind_int(st, 4, s->value.type);
                sqlite3_bind_int(st, 5, s->source);
                StoredValue v = storedValue(s->value);
                v.hasInt ? sqlite3_bind_int64(st, 6, v.i) : sqlite3_bind_null(st, 6);
                v.hasReal ? sqlite3_bind_double(st, 7, v.r) : sqlite3_bind_null(st, 7);
                v.hasText ? bindText(st, 8, *v.text) : (void)sqlite3_bind_null(st, 8);
                step(st);
            } else if (auto c = std::get_if<StatusChange>(&record)) {
                bindText(insertStatus, 1, c->peer);
                sqlite3_bind_int64(insertStatus, 2, c->recvTime);
                sqlite3_bind_int64(insertStatus, 3, c->value);
                bindText(insertStatus, 4, c->name);
                step(insertStatus);
            } else if (auto l = std::get_if<LogRecord>(&record)) {
                bindText(insertLog, 1, l->peer);
                sqlite3_bind_int64(insertLog, 2, l->recvTime);
                bindTime(insertLog, 3, l->time);
                bindText(insertLog, 4, l->logger);
                sqlite3_bind_int(insertLog, 5, l->level);
                bindText(insertLog, 6, l->text);
                step(insertLog);
            } else if (auto e = std::get_if<PeerEvent>(&record)) {
                bindText(insertEvent, 1, e->peer);
                bindText(insertEvent, 2, e->uuid);
                bindText(insertEvent, 3, e->kind);
                bindText(insertEvent, 4, e->peerType);
                sqlite3_bind_int64(insertEvent, 5, e->recvTime);
                step(insertEvent);
            } else if (auto g = std::get_if<Gap>(&record)) {
                sqlite3_bind_int64(insertGap, 1, g->start);
                sqlite3_bind_int64(insertGap, 2, g->end);
                sqlite3_bind_int64(insertGap, 3, g->dropped);
                step(insertGap);
            }
        }
        writeRollups(rollups);
        if (!updateSession)
            updateSession = prepare("UPDATE sessions SET last_seen = ?, ended = ? WHERE id = ?");
        sqlite3_bind_int64(updateSession, 1, session.lastSeen);
        bindTime(updateSession, 2, session.ended);
        sqlite3_bind_int64(updateSession, 3, sessionId);
        step(updateSession);
        // Checked last, so that no batch commits into a file that is gone.
        throwIfMoved();
        exec("COMMIT");
    } catch (...) {
        for (sqlite3_stmt* stmt :
             {insertSample, insertStatus, insertLog, insertEvent, insertGap, upsertSeries, upsertRollup, updateSession})
            if (stmt)
                sqlite3_reset(stmt);
        sqlite3_exec(db, "ROLLBACK", nullptr, nullptr, nullptr);
        throw;
    }
    session.id = sessionId;
    keepSeries(added);
}

void SqliteStore::keepSeries(std::unordered_map<std::string, SeriesKey>& added)
{
    // The cache only saves the series upsert: a full one starts again, so
    // that peers that come and go under new names do not make it grow.
    if (seriesCache.size() + added.size() > kMaxCachedSeries)
        seriesCache.clear();
    for (auto& [key, value] : added)
        if (seriesCache.size() < kMaxCachedSeries)
            seriesCache[key] = std::move(value);
}

void SqliteStore::writeRollups(const Rollups& rollups)
{
    if (rollups.empty())
        return;
    if (!upsertRollup)
        upsertRollup = prepare(rollupUpsert("VALUES(?, ?, ?, ?, ?, ?, ?, ?, ?)").c_str());
    for (const auto& [key, p] : rollups) {
        sqlite3_reset(upsertRollup);
        sqlite3_bind_int64(upsertRollup, 1, key.series);
        sqlite3_bind_int64(upsertRollup, 2, key.tier);
        sqlite3_bind_int64(upsertRollup, 3, key.bucket);
        sqlite3_bind_double(upsertRollup, 4, p.min);
        sqlite3_bind_double(upsertRollup, 5, p.max);
        sqlite3_bind_double(upsertRollup, 6, p.sum);
        sqlite3_bind_int64(upsertRollup, 7, p.count);
        sqlite3_bind_double(upsertRollup, 8, p.last);
        sqlite3_bind_int64(upsertRollup, 9, p.lastTime);
        if (sqlite3_step(upsertRollup) != SQLITE_DONE)
            fail("roll-ups");
    }
    sqlite3_reset(upsertRollup);
}

int64_t SqliteStore::expire(Micros before)
{
    int64_t deleted = 0;
    exec("BEGIN IMMEDIATE");
    try {
        const char* statements[] = {
            "DELETE FROM samples WHERE recv_time < ?", "DELETE FROM status WHERE recv_time < ?",
            "DELETE FROM logs WHERE recv_time < ?",    "DELETE FROM events WHERE recv_time < ?",
            "DELETE FROM gaps WHERE end_time < ?",
        };
        for (const char* sql : statements) {
            query(sql, {before}, [](const Row&) {});
            deleted += sqlite3_changes(db);
        }
        // Roll-up buckets go with the rows they began with.
        query("DELETE FROM rollups WHERE bucket < ?", {before}, [](const Row&) {});
        exec("COMMIT");
    } catch (...) {
        sqlite3_exec(db, "ROLLBACK", nullptr, nullptr, nullptr);
        throw;
    }
    return deleted;
}

}  // namespace corvo::history::detail
