// What the SQLite and PostgreSQL stores share: the queries, written once over
// a small statement interface (parameters bound, never spliced into the SQL
// text), and the gap computation. Each backend brings its own write path.
#pragma once

#include <functional>
#include <string>
#include <variant>
#include <vector>

#include "corvo/history/store.h"

namespace corvo::history::detail {

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

protected:
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
