// The scale-out backend: PostgreSQL through libpq, the same logical schema
// with the samples table partitioned by day (partitions made ahead of time),
// rows written with COPY inside one transaction per batch.
#pragma once

#include <libpq-fe.h>

#include <set>
#include <string>
#include <unordered_map>

#include "sql_store.h"

namespace corvo::history::detail {

class PgStore : public SqlStore {
public:
    PgStore(const std::string& url, bool create);
    ~PgStore() override;

    std::string backend() const override { return description; }
    void write(const std::vector<Record>& records, Session& session) override;
    int64_t expire(Micros before) override;

    // Series ids kept between batches (history/README.md, Bounds).
    static constexpr size_t kMaxCachedSeries = 65536;
    size_t cachedSeries() const { return seriesCache.size(); }  // for tests

protected:
    bool postgres() const override { return true; }
    void query(const std::string& sql, const std::vector<Param>& params,
               const std::function<void(const Row&)>& each) override;
    // The batch's buckets are copied into a temporary table and merged with
    // one upsert: one round trip instead of one per bucket.
    void writeRollups(const Rollups& rollups) override;

private:
    void exec(const std::string& sql);
    [[noreturn]] void fail(const std::string& what, PGresult* result = nullptr);
    // Creates and attaches the partition of the day starting at `day`, if
    // missing; false if samples stayed locked too long to do it now.
    bool ensurePartition(Micros day);
    int64_t seriesId(const Sample& sample, std::unordered_map<std::string, SeriesKey>& added);
    // Keeps the series ids of a committed batch.
    void keepSeries(std::unordered_map<std::string, SeriesKey>& added);
    void copy(const std::string& sql, const std::string& data);

    std::string description;
    PGconn* conn = nullptr;
    std::set<Micros> partitions;
    // When the partition made ahead of need is tried next after samples was
    // held too long (each try may wait kPartitionLockWait).
    Micros nextAheadTry = 0;
    bool rollupBatchMade = false;  // the session's temporary table exists
    std::unordered_map<std::string, SeriesKey> seriesCache;
};

// Names a PostgreSQL database without its password.
std::string describePostgres(const std::string& url);

}  // namespace corvo::history::detail
