// The history queries, shared by both backends.
#include "sql_store.h"

#include <algorithm>
#include <cmath>
#include <limits>

namespace corvo::history::detail {

StoredValue storedValue(const Value& value)
{
    StoredValue s;
    switch (value.type) {
        case TYPE_INT:
            s.hasInt = true;
            s.i = value.intValue;
            break;
        case TYPE_DOUBLE:
            s.hasReal = !std::isnan(value.realValue);
            s.r = value.realValue;
            break;
        default:
            s.hasText = true;
            s.text = &value.text;
    }
    return s;
}

// Columns intColumn, +1, +2: value_int, value_real, value_text.
Value loadValue(int type, const Row& row, int intColumn)
{
    switch (type) {
        case TYPE_INT:
            return Value::ofInt(row.isNull(intColumn) ? 0 : row.getInt(intColumn));
        case TYPE_DOUBLE:
            return Value::ofReal(row.isNull(intColumn + 1) ? std::numeric_limits<double>::quiet_NaN()
                                                           : row.getReal(intColumn + 1));
        case TYPE_STRING:
            return Value::ofText(row.isNull(intColumn + 2) ? "" : row.getText(intColumn + 2));
        default:
            return Value::ofList(type, row.isNull(intColumn + 2) ? "[]" : row.getText(intColumn + 2));
    }
}

Micros dayStart(Micros t)
{
    Micros d = t / kDay * kDay;
    return d > t ? d - kDay : d;
}

SeriesInfo SqlStore::series(const std::string& peer, const std::string& property)
{
    SeriesInfo info;
    bool found = false;
    query("SELECT id, type, unit FROM series WHERE peer = ? AND property = ?", {peer, property}, [&](const Row& row) {
        found = true;
        info.id = row.getInt(0);
        info.type = static_cast<int>(row.getInt(1));
        info.unit = row.getText(2);
    });
    if (!found) {
        if (!knowsPeer(peer))
            throw NotFoundError("unknown peer " + peer);
        throw NotFoundError("unknown property " + peer + " " + property);
    }
    info.peer = peer;
    info.property = property;
    return info;
}

bool SqlStore::knowsPeer(const std::string& peer)
{
    bool found = false;
    const char* checks[] = {
        "SELECT 1 FROM series WHERE peer = ? LIMIT 1",
        "SELECT 1 FROM events WHERE peer = ? LIMIT 1",
        "SELECT 1 FROM logs WHERE peer = ? LIMIT 1",
        "SELECT 1 FROM status WHERE peer = ? LIMIT 1",
    };
    for (const char* sql : checks) {
        query(sql, {peer}, [&](const Row&) { found = true; });
        if (found)
            return true;
    }
    return false;
}

template <class T>
void SqlStore::streamByTime(const std::string& columns, const std::string& tableAndWhere, std::vector<Param> params,
                            const std::function<T(const Row&)>& load, const std::function<void(const T&)>& each)
{
    const size_t page = pageRows();
    const std::string select = "SELECT " + columns;
    if (page == 0) {
        query(select + " FROM " + tableAndWhere + " ORDER BY recv_time", params,
              [&](const Row& row) { each(load(row)); });
        return;
    }
    // recv_time and rowid follow the caller's columns; rows with the same
    // receive time are told apart by their rowid.
    const int timeColumn = static_cast<int>(std::count(columns.begin(), columns.end(), ',')) + 1;
    const std::string paged = select + ", recv_time, rowid FROM " + tableAndWhere;
    const std::string order = " ORDER BY recv_time, rowid LIMIT " + std::to_string(page);
    std::vector<T> rows;
    rows.reserve(page);
    Micros lastTime = 0;
    int64_t lastRow = 0;
    bool first = true;
    while (true) {
        rows.clear();
        std::vector<Param> pageParams = params;
        if (!first) {
            pageParams.emplace_back(lastTime);
            pageParams.emplace_back(lastTime);
            pageParams.emplace_back(lastRow);
        }
        query(paged + (first ? "" : " AND recv_time >= ? AND (recv_time > ? OR rowid > ?)") + order, pageParams,
              [&](const Row& row) {
                  rows.push_back(load(row));
                  lastTime = row.getInt(timeColumn);
                  lastRow = row.getInt(timeColumn + 1);
              });
        first = false;
        // The read is over: the callback may take as long as it likes.
        for (const T& row : rows)
            each(row);
        if (rows.size() < page)
            return;
    }
}

void SqlStore::samples(const std::string& peer, const std::string& property, Micros since, Micros until,
                       const std::function<void(const Point&)>& each)
{
    // One series by its id: the (series, recv_time) index gives the order
    // without a sort.
    SeriesInfo info = series(peer, property);  // NotFoundError for what was never seen
    streamByTime<Point>(
        "recv_time, send_time, source, type, value_int, value_real, value_text",
        "samples WHERE series = ? AND recv_time >= ? AND recv_time < ?", {info.id, since, until},
        [](const Row& row) {
            Point p;
            p.time = row.getInt(0);
            p.sendTime = row.isNull(1) ? kNoTime : row.getInt(1);
            p.source = static_cast<int>(row.getInt(2));
            p.value = loadValue(static_cast<int>(row.getInt(3)), row, 4);
            return p;
        },
        each);
}

bool SqlStore::committed(Session& attempt)
{
    int64_t id = 0;
    if (attempt.id)
        query("SELECT id FROM sessions WHERE id = ? AND last_seen = ?", {attempt.id, attempt.lastSeen},
              [&](const Row& row) { id = row.getInt(0); });
    else
        query("SELECT id FROM sessions WHERE started = ? AND last_seen = ? ORDER BY id DESC LIMIT 1",
              {attempt.started, attempt.lastSeen}, [&](const Row& row) { id = row.getInt(0); });
    if (!id)
        return false;
    attempt.id = id;
    return true;
}

void Partial::add(Micros t, double v)
{
    if (count == 0) {
        min = max = v;
    } else {
        min = std::min(min, v);
        max = std::max(max, v);
    }
    sum += v;
    ++count;
    if (lastTime == kNoTime || t >= lastTime) {
        last = v;
        lastTime = t;
    }
}

void Partial::merge(const Partial& o)
{
    if (o.count == 0)
        return;
    if (count == 0) {
        *this = o;
        return;
    }
    min = std::min(min, o.min);
    max = std::max(max, o.max);
    sum += o.sum;
    count += o.count;
    if (o.lastTime >= lastTime) {
        last = o.last;
        lastTime = o.lastTime;
    }
}

bool sampleNumber(const Sample& sample, double& out)
{
    if (sample.value.type == TYPE_INT) {
        out = static_cast<double>(sample.value.intValue);
        return true;
    }
    if (sample.value.type == TYPE_DOUBLE && !std::isnan(sample.value.realValue)) {
        out = sample.value.realValue;
        return true;
    }
    return false;
}

namespace {

Micros floorTo(Micros t, Micros step)
{
    Micros q = t / step * step;
    return q > t ? q - step : q;
}

}  // namespace

void addToRollups(Rollups& rollups, int64_t series, Micros t, double v)
{
    for (Micros tier : kRollupTiers)
        rollups[RollupKey{series, tier, floorTo(t, tier)}].add(t, v);
}

std::string SqlStore::rollupUpsert(const std::string& rows) const
{
    const std::string least = postgres() ? "LEAST" : "min";
    const std::string greatest = postgres() ? "GREATEST" : "max";
    return "INSERT INTO rollups(series, tier, bucket, vmin, vmax, vsum, n, vlast, last_time) " + rows +
           " ON CONFLICT(series, tier, bucket) DO UPDATE SET "
           "vmin = " +
           least + "(rollups.vmin, excluded.vmin), vmax = " + greatest +
           "(rollups.vmax, excluded.vmax), "
           "vsum = rollups.vsum + excluded.vsum, n = rollups.n + excluded.n, "
           "vlast = CASE WHEN excluded.last_time >= rollups.last_time THEN excluded.vlast ELSE rollups.vlast END, "
           "last_time = " +
           greatest + "(rollups.last_time, excluded.last_time)";
}

void SqlStore::writeRollups(const Rollups& rollups)
{
    const std::string sql = rollupUpsert("VALUES(?, ?, ?, ?, ?, ?, ?, ?, ?)");
    for (const auto& [key, p] : rollups)
        query(sql, {key.series, key.tier, key.bucket, p.min, p.max, p.sum, p.count, p.last, p.lastTime},
              [](const Row&) {});
}

void SqlStore::buildRollups()
{
    bool built = false;
    query("SELECT 1 FROM meta WHERE key = 'rollups'", {}, [&](const Row&) { built = true; });
    if (built)
        return;
    query("DELETE FROM rollups", {}, [](const Row&) {});
    fillRollups();
    query("INSERT INTO meta(key, value) VALUES('rollups', 'complete')", {}, [](const Row&) {});
    rollupsKnownReady = true;
}

void SqlStore::fillRollupsBySeries()
{
    std::vector<int64_t> ids;
    query("SELECT id FROM series ORDER BY id", {}, [&](const Row& row) { ids.push_back(row.getInt(0)); });
    constexpr size_t kPendingBuckets = 20000;
    for (int64_t id : ids) {
        Rollups pending;
        // Writing while the samples are read: a bucket written in part is
        // merged with the rest by the upsert.
        foldSamples(id, std::numeric_limits<Micros>::min(), std::numeric_limits<Micros>::max(),
                    [&](Micros t, double v) {
                        addToRollups(pending, id, t, v);
                        if (pending.size() >= kPendingBuckets) {
                            writeRollups(pending);
                            pending.clear();
                        }
                    });
        writeRollups(pending);
    }
}

void SqlStore::fillRollups()
{
    // Per series and bucket: min, max, sum, count, and the last value (the
    // row numbered 1 from the latest); NaN is NULL and left out.
    for (Micros tier : kRollupTiers)
        query(
            "INSERT INTO rollups(series, tier, bucket, vmin, vmax, vsum, n, vlast, last_time) "
            "SELECT series, CAST(? AS BIGINT), b, min(v), max(v), sum(v), count(*), max(CASE WHEN rn = 1 THEN v END), "
            "max(recv_time) FROM (SELECT series, recv_time, (recv_time / ?) * ? AS b, "
            "COALESCE(value_real, value_int) AS v, row_number() OVER (PARTITION BY series, (recv_time / ?) * ? "
            "ORDER BY recv_time DESC) AS rn FROM samples WHERE type IN (0, 2) "
            "AND COALESCE(value_real, value_int) IS NOT NULL) AS numbers GROUP BY series, b",
            {tier, tier, tier, tier, tier}, [](const Row&) {});
}

bool SqlStore::rollupsReady()
{
    if (rollupsKnownReady)
        return true;
    try {
        query("SELECT value FROM meta WHERE key = 'rollups'", {},
              [&](const Row& row) { rollupsKnownReady = row.getText(0) == "complete"; });
    } catch (const DatabaseError&) {
        // an archive from before the roll-ups: no meta table
    }
    return rollupsKnownReady;
}

void SqlStore::foldSamples(int64_t series, Micros since, Micros until, const std::function<void(Micros, double)>& each)
{
    if (since >= until)
        return;
    query("SELECT recv_time, value_int, value_real, type FROM samples "
          "WHERE series = ? AND recv_time >= ? AND recv_time < ? ORDER BY recv_time",
          {series, since, until}, [&](const Row& row) {
              int type = static_cast<int>(row.getInt(3));
              if (type == TYPE_INT && !row.isNull(1))
                  each(row.getInt(0), static_cast<double>(row.getInt(1)));
              else if (type == TYPE_DOUBLE && !row.isNull(2))
                  each(row.getInt(0), row.getReal(2));
          });
}

std::vector<Bucket> SqlStore::aggregate(const std::string& peer, const std::string& property, Micros since,
                                        Micros until, Micros every)
{
    SeriesInfo info = series(peer, property);
    if (!isNumeric(info.type))
        throw NotFoundError("property " + peer + " " + property + " holds " + typeName(info.type) + ", not numbers");
    if (every < 1)
        every = 1;
    std::map<Micros, Partial> intervals;
    auto foldOne = [&](Micros t, double v) { intervals[floorTo(t, every)].add(t, v); };
    Micros tier = 0;
    if (rollupsReady())
        for (Micros t : kRollupTiers)
            if (t <= every && every % t == 0)
                tier = t;
    // Whole tier buckets inside the span come from the roll-ups; the ragged
    // ends from the samples.
    Micros from = tier ? floorTo(since, tier) + (floorTo(since, tier) < since ? tier : 0) : until;
    Micros to = tier ? floorTo(until, tier) : until;
    if (!tier || from >= to) {
        foldSamples(info.id, since, until, foldOne);
    } else {
        foldSamples(info.id, since, from, foldOne);
        query("SELECT bucket, vmin, vmax, vsum, n, vlast, last_time FROM rollups "
              "WHERE series = ? AND tier = ? AND bucket >= ? AND bucket < ? ORDER BY bucket",
              {info.id, tier, from, to}, [&](const Row& row) {
                  Partial p;
                  p.min = row.getReal(1);
                  p.max = row.getReal(2);
                  p.sum = row.getReal(3);
                  p.count = row.getInt(4);
                  p.last = row.getReal(5);
                  p.lastTime = row.getInt(6);
                  intervals[floorTo(row.getInt(0), every)].merge(p);
              });
        foldSamples(info.id, to, until, foldOne);
    }
    std::vector<Bucket> buckets;
    buckets.reserve(intervals.size());
    for (const auto& [start, p] : intervals) {
        if (p.count == 0)
            continue;
        Bucket b;
        b.start = start;
        b.min = p.min;
        b.max = p.max;
        b.mean = p.sum / static_cast<double>(p.count);
        b.count = p.count;
        b.last = p.last;
        buckets.push_back(b);
    }
    return buckets;
}

std::vector<SeriesSummary> SqlStore::list(const std::string& peer)
{
    if (!peer.empty() && !knowsPeer(peer))
        throw NotFoundError("unknown peer " + peer);
    std::string sql =
        "SELECT s.peer, s.property, s.type, s.unit, (SELECT min(recv_time) FROM samples WHERE series = s.id), "
        "(SELECT max(recv_time) FROM samples WHERE series = s.id), "
        "(SELECT count(*) FROM samples WHERE series = s.id) FROM series s";
    std::vector<Param> params;
    if (!peer.empty()) {
        sql += " WHERE s.peer = ?";
        params.emplace_back(peer);
    }
    sql += " ORDER BY s.peer, s.property";
    std::vector<SeriesSummary> out;
    query(sql, params, [&](const Row& row) {
        SeriesSummary s;
        s.peer = row.getText(0);
        s.property = row.getText(1);
        s.type = static_cast<int>(row.getInt(2));
        s.unit = row.getText(3);
        s.first = row.isNull(4) ? kNoTime : row.getInt(4);
        s.last = row.isNull(5) ? kNoTime : row.getInt(5);
        s.count = row.getInt(6);
        out.push_back(s);
    });
    return out;
}

void SqlStore::logs(const std::string& peer, Micros since, Micros until,
                    const std::function<void(const LogRecord&)>& each)
{
    if (!peer.empty() && !knowsPeer(peer))
        throw NotFoundError("unknown peer " + peer);
    std::string from = "logs WHERE recv_time >= ? AND recv_time < ?";
    std::vector<Param> params{since, until};
    if (!peer.empty()) {
        from += " AND peer = ?";
        params.emplace_back(peer);
    }
    streamByTime<LogRecord>(
        "peer, recv_time, time, logger, level, text", from, params,
        [](const Row& row) {
            LogRecord r;
            r.peer = row.getText(0);
            r.recvTime = row.getInt(1);
            r.time = row.isNull(2) ? kNoTime : row.getInt(2);
            r.logger = row.getText(3);
            r.level = static_cast<int>(row.getInt(4));
            r.text = row.getText(5);
            return r;
        },
        each);
}

void SqlStore::statuses(const std::string& peer, Micros since, Micros until,
                        const std::function<void(const StatusChange&)>& each)
{
    if (!knowsPeer(peer))
        throw NotFoundError("unknown peer " + peer);
    streamByTime<StatusChange>(
        "recv_time, value, name", "status WHERE peer = ? AND recv_time >= ? AND recv_time < ?", {peer, since, until},
        [&](const Row& row) {
            StatusChange s;
            s.peer = peer;
            s.recvTime = row.getInt(0);
            s.value = static_cast<uint32_t>(row.getInt(1));
            s.name = row.getText(2);
            return s;
        },
        each);
}

void SqlStore::events(const std::string& peer, Micros since, Micros until,
                      const std::function<void(const PeerEvent&)>& each)
{
    std::string from = "events WHERE recv_time >= ? AND recv_time < ?";
    std::vector<Param> params{since, until};
    if (!peer.empty()) {
        from += " AND peer = ?";
        params.emplace_back(peer);
    }
    streamByTime<PeerEvent>(
        "peer, uuid, kind, peer_type, recv_time", from, params,
        [](const Row& row) {
            PeerEvent e;
            e.peer = row.getText(0);
            e.uuid = row.getText(1);
            e.kind = row.getText(2);
            e.peerType = row.getText(3);
            e.recvTime = row.getInt(4);
            return e;
        },
        each);
}

std::vector<Gap> SqlStore::gaps(Micros since, Micros until)
{
    std::vector<Gap> result;
    query("SELECT start_time, end_time, dropped FROM gaps WHERE end_time >= ? AND start_time < ? ORDER BY start_time",
          {since, until}, [&](const Row& row) {
              Gap g;
              g.start = row.getInt(0);
              g.end = row.getInt(1);
              g.dropped = row.getInt(2);
              g.reason = "dropped";
              result.push_back(g);
          });
    // The time covered by archiver sessions, merged; what lies between two
    // covered spans was not recorded by anyone.
    std::vector<std::pair<Micros, Micros>> spans;
    query("SELECT started, COALESCE(ended, last_seen) FROM sessions ORDER BY started", {},
          [&](const Row& row) { spans.emplace_back(row.getInt(0), row.getInt(1)); });
    Micros coveredEnd = kNoTime;
    for (const auto& [start, end] : spans) {
        if (coveredEnd != kNoTime && start > coveredEnd && start > since && coveredEnd < until) {
            Gap g;
            g.start = coveredEnd;
            g.end = start;
            g.reason = "not recording";
            result.push_back(g);
        }
        coveredEnd = coveredEnd == kNoTime ? end : std::max(coveredEnd, end);
    }
    std::sort(result.begin(), result.end(), [](const Gap& a, const Gap& b) { return a.start < b.start; });
    return result;
}

}  // namespace corvo::history::detail
