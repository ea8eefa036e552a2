// What the SQLite and PostgreSQL stores share: the queries, written once over
// a small statement interface (parameters bound, never spliced into the SQL
// text), and the gap computation. Each backend brings its own write path.
#pragma once

#include <functional>
#include <map>
#include <string>
#include <variant>
#include <vector>

#include "corvo/history/store.h"

namespace corvo::history::detail {

// What a roll-up bucket holds, and what a query folds into its intervals.
struct Partial {
    double min = 0, max = 0, sum = 0;
    int64_t count = 0;
    double last = 0;
    Micros lastTime = kNoTime;
    void add(Micros t, double v);
    void merge(const Partial& other);
};

struct RollupKey {
    int64_t series;
    Micros tier;
    Micros bucket;
    bool operator<(const RollupKey& o) const
    {
        return series != o.series ? series < o.series : tier != o.tier ? tier < o.tier : bucket < o.bucket;
    }
};
// The roll-up buckets a batch adds to, per tier.
using Rollups = std::map<RollupKey, Partial>;
// The number a numeric sample contributes; false for text, lists and NaN.
bool sampleNumber(const Sample& sample, double& out);
void addToRollups(Rollups& rollups, int64_t series, Micros t, double v);

using Param = std::variant<std::nullptr_t, int64_t, double, std::string>;

// One result row, columns counted from 0.
class Row {
public:
    virtual ~Row() = default;
    virtual bool isNull(int column) const = 0;
    virtual int64_t getInt(int column) const = 0;
    virtual double getReal(int column) const = 0;
    virtual std::string getText(int column) const = 0;
};

class SqlStore : public Store {
public:
    SeriesInfo series(const std::string& peer, const std::string& property) override;
    void samples(const std::string& peer, const std::string& property, Micros since, Micros until,
                 const std::function<void(const Point&)>& each) override;
    std::vector<Bucket> aggregate(const std::string& peer, const std::string& property, Micros since, Micros until,
                                  Micros every) override;
    void logs(const std::string& peer, Micros since, Micros until,
              const std::function<void(const LogRecord&)>& each) override;
    void statuses(const std::string& peer, Micros since, Micros until,
                  const std::function<void(const StatusChange&)>& each) override;
    void events(const std::string& peer, Micros since, Micros until,
                const std::function<void(const PeerEvent&)>& each) override;
    std::vector<Gap> gaps(Micros since, Micros until) override;
    bool knowsPeer(const std::string& peer) override;
    bool committed(Session& attempt) override;
    std::vector<SeriesSummary> list(const std::string& peer) override;

protected:
    virtual bool postgres() const = 0;
    // Adds a batch's buckets to the stored roll-ups (inside the batch's
    // transaction): by default one upsert per bucket.
    virtual void writeRollups(const Rollups& rollups);
    // The upsert that merges `rows` (a VALUES list or a SELECT giving the
    // nine roll-up columns) into the stored buckets.
    std::string rollupUpsert(const std::string& rows) const;
    // Builds the roll-ups of an archive written before they existed, once
    // (inside a transaction of the caller's), and marks them complete.
    void buildRollups();
    // Computes the roll-ups from the samples (the table is empty): by default
    // in one SQL statement per tier (PostgreSQL's window functions stream).
    virtual void fillRollups();
    // Folds one series' numeric samples in time order; a backend whose
    // statements may overlap fills the roll-ups with it.
    void fillRollupsBySeries();
    // Whether the roll-ups cover every sample (an archive not yet opened by
    // an archiver that keeps them has none).
    bool rollupsReady();

    // Rows per page of a streamed result (samples, logs, status, events);
    // 0: the backend streams a result whole (PostgreSQL reads through a
    // cursor). With pages, each is read into memory in its own short read
    // and then handed out, continuing after the last (recv_time, rowid), so
    // that a caller that stops in its callback holds no read open.
    virtual size_t pageRows() const { return 0; }

    // Runs one statement; "?" marks the parameters. Throws DatabaseError.
    virtual void query(const std::string& sql, const std::vector<Param>& params,
                       const std::function<void(const Row&)>& each) = 0;

    // Series ids written so far, and those added by the transaction in
    // progress (kept only when it commits).
    struct SeriesKey {
        int64_t id;
        int type;
        std::string unit;
    };

private:
    // "SELECT columns FROM tableAndWhere ORDER BY recv_time", paged when the
    // backend asks for it; `load` makes a T of a row, `each` takes it.
    template <class T>
    void streamByTime(const std::string& columns, const std::string& tableAndWhere, std::vector<Param> params,
                      const std::function<T(const Row&)>& load, const std::function<void(const T&)>& each);
    void foldSamples(int64_t series, Micros since, Micros until, const std::function<void(Micros, double)>& each);
    bool rollupsKnownReady = false;
};

// The stored form of a value: integer, real and text columns (NULL when
// unused; a NaN real is NULL too).
struct StoredValue {
    bool hasInt = false, hasReal = false, hasText = false;
    int64_t i = 0;
    double r = 0;
    const std::string* text = nullptr;
};
StoredValue storedValue(const Value& value);
Value loadValue(int type, const Row& row, int intColumn);

// Day boundaries (UTC) for the daily sample partitions.
Micros dayStart(Micros t);
constexpr Micros kDay = 86400LL * 1000000;

}  // namespace corvo::history::detail
