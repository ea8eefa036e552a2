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

void SqlStore::samples(const std::string& peer, const std::string& property, Micros since, Micros until,
                       const std::function<void(const Point&)>& each)
{
    // One series by its id: the (series, recv_time) index gives the order
    // without a sort.
    SeriesInfo info = series(peer, property);  // NotFoundError for what was never seen
    query("SELECT recv_time, send_time, source, type, value_int, value_real, value_text FROM samples "
          "WHERE series = ? AND recv_time >= ? AND recv_time < ? ORDER BY recv_time",
          {info.id, since, until}, [&](const Row& row) {
              Point p;
              p.time = row.getInt(0);
              p.sendTime = row.isNull(1) ? kNoTime : row.getInt(1);
              p.source = static_cast<int>(row.getInt(2));
              p.value = loadValue(static_cast<int>(row.getInt(3)), row, 4);
              each(p);
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
    std::vector<Bucket> buckets;
    query("SELECT (recv_time / ?) * ? AS t, min(COALESCE(value_real, value_int)), "
          "avg(COALESCE(value_real, value_int)), max(COALESCE(value_real, value_int)), "
          "count(COALESCE(value_real, value_int)) "
          "FROM samples WHERE series = ? AND recv_time >= ? AND recv_time < ? "
          "GROUP BY t ORDER BY t",
          {every, every, info.id, since, until}, [&](const Row& row) {
              const double nan = std::numeric_limits<double>::quiet_NaN();
              Bucket b;
              b.start = row.getInt(0);
              b.min = row.isNull(1) ? nan : row.getReal(1);
              b.mean = row.isNull(2) ? nan : row.getReal(2);
              b.max = row.isNull(3) ? nan : row.getReal(3);
              b.count = row.getInt(4);
              buckets.push_back(b);
          });
    return buckets;
}

void SqlStore::logs(const std::string& peer, Micros since, Micros until,
                    const std::function<void(const LogRecord&)>& each)
{
    if (!peer.empty() && !knowsPeer(peer))
        throw NotFoundError("unknown peer " + peer);
    std::string sql =
        "SELECT peer, recv_time, time, logger, level, text FROM logs WHERE recv_time >= ? AND recv_time < ?";
    std::vector<Param> params{since, until};
    if (!peer.empty()) {
        sql += " AND peer = ?";
        params.emplace_back(peer);
    }
    sql += " ORDER BY recv_time";
    query(sql, params, [&](const Row& row) {
        LogRecord r;
        r.peer = row.getText(0);
        r.recvTime = row.getInt(1);
        r.time = row.isNull(2) ? kNoTime : row.getInt(2);
        r.logger = row.getText(3);
        r.level = static_cast<int>(row.getInt(4));
        r.text = row.getText(5);
        each(r);
    });
}

void SqlStore::statuses(const std::string& peer, Micros since, Micros until,
                        const std::function<void(const StatusChange&)>& each)
{
    if (!knowsPeer(peer))
        throw NotFoundError("unknown peer " + peer);
    query("SELECT recv_time, value, name FROM status WHERE peer = ? AND recv_time >= ? AND recv_time < ? "
          "ORDER BY recv_time",
          {peer, since, until}, [&](const Row& row) {
              StatusChange s;
              s.peer = peer;
              s.recvTime = row.getInt(0);
              s.value = static_cast<uint32_t>(row.getInt(1));
              s.name = row.getText(2);
              each(s);
          });
}

void SqlStore::events(const std::string& peer, Micros since, Micros until,
                      const std::function<void(const PeerEvent&)>& each)
{
    std::string sql =
        "SELECT peer, uuid, kind, peer_type, recv_time FROM events WHERE recv_time >= ? AND recv_time < ?";
    std::vector<Param> params{since, until};
    if (!peer.empty()) {
        sql += " AND peer = ?";
        params.emplace_back(peer);
    }
    sql += " ORDER BY recv_time";
    query(sql, params, [&](const Row& row) {
        PeerEvent e;
        e.peer = row.getText(0);
        e.uuid = row.getText(1);
        e.kind = row.getText(2);
        e.peerType = row.getText(3);
        e.recvTime = row.getInt(4);
        each(e);
    });
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
