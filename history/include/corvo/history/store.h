// One history database: SQLite (a file path) or PostgreSQL (a
// "postgresql://" or "postgres://" connection string), with the same logical
// schema (history/README.md). Writing takes whole batches, one transaction
// each; queries read in receive-time order. Not thread-safe: one thread per
// Store.
#pragma once

#include <functional>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include "corvo/history/record.h"

namespace corvo::history {

// The database cannot be opened, read or written.
class DatabaseError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// A peer or property that the history has never seen.
class NotFoundError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// One archiver run: when it started and the last time it was known to be
// recording; `ended` is set by a clean stop.
struct Session {
    int64_t id = 0;  // assigned by the store on the first write
    Micros started = 0;
    Micros lastSeen = 0;
    Micros ended = kNoTime;
};

struct Point {
    Micros time = 0;  // receive time
    Value value;
    Micros sendTime = kNoTime;
    int source = SOURCE_BROADCAST;
};

struct Bucket {
    Micros start = 0;
    double min = 0, mean = 0, max = 0;
    int64_t count = 0;
    double last = 0;  // the last value received in the interval
};

// One recorded series with the span and number of its samples.
struct SeriesSummary {
    std::string peer;
    std::string property;
    int type = TYPE_INT;
    std::string unit;
    Micros first = kNoTime;  // receive times of the first and last sample
    Micros last = kNoTime;
    int64_t count = 0;
};

// The roll-up tiers kept as the archiver writes: 1 minute, 1 hour, 1 day.
constexpr Micros kRollupTiers[] = {60LL * 1000000, 3600LL * 1000000, 86400LL * 1000000};
// At most this many rows come back from samplesList.
constexpr size_t kMaxListRows = 2000000;

struct SeriesInfo {
    int64_t id = 0;
    std::string peer;
    std::string property;
    int type = TYPE_INT;
    std::string unit;
};

class Store {
public:
    virtual ~Store() = default;

    // A PostgreSQL connection string or a path to an SQLite file. `create`:
    // make the file (and its directory) and the schema when missing; else a
    // missing database is a DatabaseError.
    static std::unique_ptr<Store> open(const std::string& db, bool create);
    static bool isPostgres(const std::string& db);
    // The database named without credentials ("sqlite:/path",
    // "postgresql://user@host:port/db").
    static std::string describe(const std::string& db);
    // Where the archiver and the tools look when no database is named:
    // $HOME/.local/share/corvo/history.db; without HOME, history.db in the
    // service's state directory ($STATE_DIRECTORY), else
    // /var/lib/corvo/history.db.
    static std::string defaultDatabase();

    virtual std::string backend() const = 0;

    // Writes the records and the session's progress in one transaction;
    // throws DatabaseError on failure: nothing written, unless the link
    // failed after the database took the COMMIT (see `committed`).
    virtual void write(const std::vector<Record>& records, Session& session) = 0;
    // After a write that threw: whether it committed all the same, told by
    // the session row that the write updates in its transaction (`id`, or
    // `started` for a session's first write, with `lastSeen`). Sets
    // `attempt.id` when it did. Each write's `lastSeen` must be new.
    virtual bool committed(Session& attempt) = 0;
    // Deletes rows received before `before`; returns how many.
    virtual int64_t expire(Micros before) = 0;

    // Queries. `since` and `until` bound the receive time (inclusive,
    // exclusive). Unknown peer or property: NotFoundError.
    virtual SeriesInfo series(const std::string& peer, const std::string& property) = 0;
    virtual void samples(const std::string& peer, const std::string& property, Micros since, Micros until,
                         const std::function<void(const Point&)>& each) = 0;
    // Per interval of `every` microseconds (aligned to the epoch): min, mean,
    // max, count and last of the numeric samples (NaN is left out). Not
    // numeric: NotFoundError. Whole intervals of the coarsest roll-up tier
    // that divides `every` are read from the roll-ups, the rest from the
    // samples; the result is the same either way.
    virtual std::vector<Bucket> aggregate(const std::string& peer, const std::string& property, Micros since,
                                          Micros until, Micros every) = 0;
    // The interval for at most `points` buckets over the span: the span
    // divided by `points`, rounded up to a multiple of the coarsest roll-up
    // tier not longer than it (so that the roll-ups answer), and widened by
    // that tier while the epoch-aligned intervals the span touches are more
    // than `points` (a span that starts between two of them touches one
    // more).
    static Micros everyForPoints(Micros since, Micros until, int64_t points);
    // Every series of `peer` (every peer when empty) with its first and last
    // time and its number of samples, by peer and property.
    virtual std::vector<SeriesSummary> list(const std::string& peer) = 0;
    // Every peer when `peer` is empty.
    virtual void logs(const std::string& peer, Micros since, Micros until,
                      const std::function<void(const LogRecord&)>& each) = 0;
    virtual void statuses(const std::string& peer, Micros since, Micros until,
                          const std::function<void(const StatusChange&)>& each) = 0;
    virtual void events(const std::string& peer, Micros since, Micros until,
                        const std::function<void(const PeerEvent&)>& each) = 0;
    // Spans with dropped rows and spans between archiver sessions.
    virtual std::vector<Gap> gaps(Micros since, Micros until) = 0;
    virtual bool knowsPeer(const std::string& peer) = 0;

    // Convenience: all points in a vector, at most `maxRows` (DatabaseError
    // beyond).
    std::vector<Point> samplesList(const std::string& peer, const std::string& property, Micros since, Micros until,
                                   size_t maxRows = kMaxListRows);
};

}  // namespace corvo::history
