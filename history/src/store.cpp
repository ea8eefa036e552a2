// Choosing the backend by the form of the database name.
#include "corvo/history/store.h"

#include <algorithm>
#include <cstdlib>

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

Micros Store::everyForPoints(Micros since, Micros until, int64_t points)
{
    if (points < 1)
        points = 1;
    Micros span = until > since ? until - since : 1;
    Micros every = span / points + (span % points != 0);
    Micros tier = 0;
    for (Micros t : kRollupTiers)
        if (t <= every)
            tier = t;
    if (tier)
        every = (every + tier - 1) / tier * tier;
    return std::max<Micros>(every, 1);
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
