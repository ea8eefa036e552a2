// Choosing the backend by the form of the database name.
#include "corvo/history/store.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <limits>

#include "pg_store.h"
#include "sqlite_store.h"

namespace corvo::history {

bool Store::isPostgres(const std::string& db)
{
    return db.rfind("postgresql://", 0) == 0 || db.rfind("postgres://", 0) == 0;
}

std::string Store::describe(const std::string& db)
{
    return isPostgres(db) ? detail::describePostgres(db) : "sqlite:" + db;
}

std::string Store::defaultDatabase()
{
    const char* home = std::getenv("HOME");
    if (home && *home)
        return std::string(home) + "/.local/share/corvo/history.db";
    // A service (systemd's StateDirectory=) may write only there: the first
    // of the directories it names.
    const char* state = std::getenv("STATE_DIRECTORY");
    if (state && state[0] == '/')
        return std::string(state, std::strcspn(state, ":")) + "/history.db";
    return "/var/lib/corvo/history.db";
}

std::unique_ptr<Store> Store::open(const std::string& db, bool create)
{
    if (db.empty())
        throw DatabaseError("no database named");
    if (isPostgres(db))
        return std::make_unique<detail::PgStore>(db, create);
    return std::make_unique<detail::SqliteStore>(db, create);
}

namespace {

Micros floorDiv(Micros a, Micros b)
{
    Micros q = a / b;
    return q * b > a ? q - 1 : q;
}

// `every` rounded up to a multiple of the coarsest roll-up tier not longer
// than it (unchanged below the first tier).
Micros roundToTier(Micros every)
{
    Micros tier = 0;
    for (Micros t : kRollupTiers)
        if (t <= every)
            tier = t;
    if (!tier)
        return every;
    return every > std::numeric_limits<Micros>::max() - tier ? every / tier * tier : (every + tier - 1) / tier * tier;
}

}  // namespace

Micros Store::everyForPoints(Micros since, Micros until, int64_t points)
{
    if (points < 1)
        points = 1;
    Micros span = until > since ? until - since : 1;
    if (until <= since)
        until = since + 1;
    // The intervals are aligned to the epoch, so a span that does not start
    // on a multiple of `every` touches one interval more than span / every:
    // widen `every` until no more than `points` are touched.
    auto touched = [&](Micros every) { return floorDiv(until - 1, every) - floorDiv(since, every) + 1; };
    Micros every = roundToTier(std::max<Micros>(span / points + (span % points != 0), 1));
    // Enough whatever the alignment: `points` - 1 intervals cover the span.
    // With one point, one interval from the epoch on (none is enough for a
    // span that holds the epoch itself).
    Micros enough = points > 1 ? roundToTier(span / (points - 1) + (span % (points - 1) != 0))
                               : roundToTier(std::max<Micros>({span, until, 1}));
    while (every < enough && touched(every) > points) {
        Micros tier = 0;
        for (Micros t : kRollupTiers)
            if (t <= every)
                tier = t;
        every = tier ? every + tier : enough;
    }
    return std::min(every, enough);
}

std::vector<Point> Store::samplesList(const std::string& peer, const std::string& property, Micros since, Micros until,
                                      size_t maxRows)
{
    std::vector<Point> points;
    samples(peer, property, since, until, [&](const Point& p) {
        if (points.size() >= maxRows)
            throw DatabaseError("more than " + std::to_string(maxRows) + " samples: ask for a shorter time");
        points.push_back(p);
    });
    return points;
}

}  // namespace corvo::history
