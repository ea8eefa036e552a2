// corvo._history: the history queries for Python (used by corvo.history and
// the web console's plots). Queries run with the GIL released; one query at a
// time per History object.
#include <corvo/history/store.h>
#include <corvo/history/timeexpr.h>
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include <cmath>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

namespace py = pybind11;
namespace h = corvo::history;

namespace {

// Rows one call returns at most (a longer span is an error, not a stall).
constexpr size_t kMaxRows = h::kMaxListRows;

double toSeconds(h::Micros t)
{
    return t == h::kNoTime ? std::nan("") : static_cast<double>(t) / 1e6;
}

h::Micros toMicros(double seconds)
{
    if (!std::isfinite(seconds) || std::fabs(seconds) > 9.2e12)
        throw py::value_error("time out of range");
    return static_cast<h::Micros>(std::llround(seconds * 1e6));
}

py::object valueObject(const h::Value& v, const py::module_& json)
{
    switch (v.type) {
        case h::TYPE_INT:
            return py::int_(v.intValue);
        case h::TYPE_DOUBLE:
            return py::float_(v.realValue);
        case h::TYPE_STRING:
            return py::str(v.text);
        default:
            return json.attr("loads")(v.text.empty() ? "null" : v.text);
    }
}

void checkRows(size_t n)
{
    if (n >= kMaxRows)
        throw h::DatabaseError("more than " + std::to_string(kMaxRows) + " rows: ask for a shorter time");
}

class History {
public:
    explicit History(const std::string& db)
    {
        py::gil_scoped_release release;
        store = h::Store::open(db, false);
    }

    std::string backend() const { return store ? store->backend() : "closed"; }

    void close()
    {
        std::lock_guard<std::mutex> lock(mutex);
        store.reset();
    }

    py::list samples(const std::string& peer, const std::string& property, double since, double until)
    {
        std::vector<h::Point> points;
        {
            py::gil_scoped_release release;
            std::lock_guard<std::mutex> lock(mutex);
            open().samples(peer, property, toMicros(since), toMicros(until), [&](const h::Point& p) {
                checkRows(points.size());
                points.push_back(p);
            });
        }
        py::module_ json = py::module_::import("json");
        py::list out;
        for (const h::Point& p : points)
            out.append(py::make_tuple(toSeconds(p.time), valueObject(p.value, json)));
        return out;
    }

    // every <= 0 with points > 0: the interval for at most that many points.
    py::list aggregate(const std::string& peer, const std::string& property, double since, double until, double every,
                       int64_t points)
    {
        if (!(every > 0) && points <= 0)
            throw py::value_error("every must be a positive number of seconds");
        std::vector<h::Bucket> buckets;
        {
            py::gil_scoped_release release;
            std::lock_guard<std::mutex> lock(mutex);
            h::Micros from = toMicros(since), to = toMicros(until);
            h::Micros step =
                points > 0 ? h::Store::everyForPoints(from, to, points) : std::max<h::Micros>(1, toMicros(every));
            if (to > from && (to - from) / step >= static_cast<h::Micros>(kMaxRows))
                throw h::DatabaseError("too many intervals: ask for a longer interval");
            buckets = open().aggregate(peer, property, from, to, step);
        }
        py::list out;
        for (const h::Bucket& b : buckets)
            out.append(py::make_tuple(toSeconds(b.start), b.min, b.mean, b.max, b.count));
        return out;
    }

    // (peer, property, type, unit, first, last, count)
    py::list list(const std::string& peer)
    {
        std::vector<h::SeriesSummary> all;
        {
            py::gil_scoped_release release;
            std::lock_guard<std::mutex> lock(mutex);
            all = open().list(peer);
        }
        py::list out;
        for (const h::SeriesSummary& s : all)
            out.append(py::make_tuple(s.peer, s.property, h::typeName(s.type), s.unit, toSeconds(s.first),
                                      toSeconds(s.last), s.count));
        return out;
    }

    // (time, peer, logger, level, text, sent)
    py::list logs(const std::string& peer, double since, double until)
    {
        std::vector<h::LogRecord> records;
        {
            py::gil_scoped_release release;
            std::lock_guard<std::mutex> lock(mutex);
            open().logs(peer, toMicros(since), toMicros(until), [&](const h::LogRecord& r) {
                checkRows(records.size());
                records.push_back(r);
            });
        }
        py::list out;
        for (const h::LogRecord& r : records)
            out.append(py::make_tuple(toSeconds(r.recvTime), r.peer, r.logger, r.level, r.text, toSeconds(r.time)));
        return out;
    }

    // (time, value, name)
    py::list status(const std::string& peer, double since, double until)
    {
        std::vector<h::StatusChange> changes;
        {
            py::gil_scoped_release release;
            std::lock_guard<std::mutex> lock(mutex);
            open().statuses(peer, toMicros(since), toMicros(until), [&](const h::StatusChange& s) {
                checkRows(changes.size());
                changes.push_back(s);
            });
        }
        py::list out;
        for (const h::StatusChange& s : changes)
            out.append(py::make_tuple(toSeconds(s.recvTime), s.value, s.name));
        return out;
    }

    // (start, end, reason, dropped)
    py::list gaps(double since, double until)
    {
        std::vector<h::Gap> gaps;
        {
            py::gil_scoped_release release;
            std::lock_guard<std::mutex> lock(mutex);
            gaps = open().gaps(toMicros(since), toMicros(until));
        }
        py::list out;
        for (const h::Gap& g : gaps)
            out.append(py::make_tuple(toSeconds(g.start), toSeconds(g.end), g.reason, g.dropped));
        return out;
    }

private:
    h::Store& open()
    {
        if (!store)
            throw h::DatabaseError("the history is closed");
        return *store;
    }

    std::mutex mutex;
    std::unique_ptr<h::Store> store;
};

}  // namespace

PYBIND11_MODULE(_history, m)
{
    m.doc() = "History queries (see corvo.history)";
    py::register_exception<h::DatabaseError>(m, "DatabaseError");
    py::register_exception<h::NotFoundError>(m, "NotFoundError");
    py::class_<History>(m, "History")
        .def(py::init<const std::string&>(), py::arg("db"))
        .def_property_readonly("backend", &History::backend)
        .def("close", &History::close)
        .def("samples", &History::samples)
        .def("aggregate", &History::aggregate)
        .def("list", &History::list)
        .def("logs", &History::logs)
        .def("status", &History::status)
        .def("gaps", &History::gaps);
    m.def(
        "parse_time",
        [](const std::string& text, double now) -> py::object {
            auto t = h::parseTimePoint(text, toMicros(now));
            return t ? py::object(py::float_(toSeconds(*t))) : py::object(py::none());
        },
        "Seconds since the epoch for a time expression, or None");
    m.def(
        "parse_duration",
        [](const std::string& text) -> py::object {
            auto d = h::parseDuration(text);
            return d ? py::object(py::float_(toSeconds(*d))) : py::object(py::none());
        },
        "Seconds for a duration expression, or None");
    m.def("default_database", &h::Store::defaultDatabase);
}
