// The embedded backend: one SQLite file in WAL mode, written in batched
// transactions that are durable when they commit (synchronous=FULL).
#pragma once

#include <sqlite3.h>

#include <string>
#include <unordered_map>

#include "sql_store.h"

namespace corvo::history::detail {

class SqliteStore : public SqlStore {
public:
    SqliteStore(const std::string& path, bool create);
    ~SqliteStore() override;

    std::string backend() const override;
    void write(const std::vector<Record>& records, Session& session) override;
    int64_t expire(Micros before) override;

    // Series ids kept between batches (history/README.md, Bounds).
    static constexpr size_t kMaxCachedSeries = 65536;
    size_t cachedSeries() const { return seriesCache.size(); }  // for tests

protected:
    bool postgres() const override { return false; }
    // SQLite sorts for a window function: one pass over each series' rows in
    // index order is faster.
    void fillRollups() override { fillRollupsBySeries(); }
    // One prepared upsert, reused for every bucket.
    void writeRollups(const Rollups& rollups) override;
    void query(const std::string& sql, const std::vector<Param>& params,
               const std::function<void(const Row&)>& each) override;
    // A read left open (a reader stopped in its callback) keeps the WAL from
    // being checkpointed and restarted, and it grows with every batch
    // written meanwhile: streamed results are read a page at a time.
    size_t pageRows() const override { return 10000; }

private:
    void close();
    void exec(const char* sql);
    sqlite3_stmt* prepare(const char* sql);
    [[noreturn]] void fail(const std::string& what);
    int64_t seriesId(const Sample& sample, std::unordered_map<std::string, SeriesKey>& added);
    // Keeps the series ids of a committed batch.
    void keepSeries(std::unordered_map<std::string, SeriesKey>& added);
    // Throws DatabaseError when the file at `path` is no longer the one open.
    void throwIfMoved();
    bool hasSession(int64_t id);
    int64_t insertSession(const Session& session);

    std::string path;
    sqlite3* db = nullptr;
    std::unordered_map<std::string, SeriesKey> seriesCache;
    sqlite3_stmt* insertSample = nullptr;
    sqlite3_stmt* insertStatus = nullptr;
    sqlite3_stmt* insertLog = nullptr;
    sqlite3_stmt* insertEvent = nullptr;
    sqlite3_stmt* insertGap = nullptr;
    sqlite3_stmt* upsertSeries = nullptr;
    sqlite3_stmt* upsertRollup = nullptr;  // prepared when first needed
    sqlite3_stmt* updateSession = nullptr;
};

}  // namespace corvo::history::detail
