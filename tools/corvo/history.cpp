// corvo history: reads the archiver's database directly (no network) and
// prints samples, aggregates, log records, status changes or gaps.
#include "history.h"

#include <corvo/confmanager.h>
#include <corvo/history/store.h>
#include <corvo/history/timeexpr.h>
#include <corvo/misc.h>

#include <cmath>
#include <cstdio>
#include <iostream>

#include "text.h"
#include "tool.h"

namespace corvo::tool {

namespace {

namespace h = corvo::history;
namespace po = boost::program_options;

enum class Format { Text, Json, Csv };

const char* const kLevels[] = {"trace", "debug", "info", "warn", "error"};

std::string levelName(int level)
{
    return level >= 0 && level < 5 ? kLevels[level] : std::to_string(level);
}

// A CSV field of archived text, which came from peers: CSV has no escape
// of its own, so control characters are escaped as in text mode (\x1b,
// \n, \u009b) and the field quoted when it holds a comma or a quote.
std::string csvField(const std::string& text)
{
    const std::string escaped = escapeControl(text);
    if (escaped.find_first_of(",\"") == std::string::npos)
        return escaped;
    std::string out = "\"";
    for (char c : escaped)
        out += c == '"' ? std::string("\"\"") : std::string(1, c);
    return out + "\"";
}

// An archived value in JSON. The archive's JSON leaves DEL and C1 controls
// as they are: they are escaped here, so that no peer's text reaches a
// terminal raw (lists hold them only inside their strings, where the
// escape is the same character).
std::string valueJson(const h::Value& value)
{
    if (value.type == h::TYPE_STRING)
        return jsonString(value.text);
    const std::string json = value.toJson();
    std::string out;
    for (size_t i = 0; i < json.size(); ++i) {
        const auto c = static_cast<unsigned char>(json[i]);
        const auto next = i + 1 < json.size() ? static_cast<unsigned char>(json[i + 1]) : 0;
        char buf[8];
        if (c == 0x7f || (c == 0xc2 && next >= 0x80 && next < 0xa0)) {
            std::snprintf(buf, sizeof buf, "\\u%04x", c == 0x7f ? c : next);
            out += buf;
            i += c == 0xc2;
        } else {
            out += static_cast<char>(c);
        }
    }
    return out;
}

std::string realText(double v)
{
    return h::Value::ofReal(v).toString();
}

std::string realJson(double v)
{
    return h::Value::ofReal(v).toJson();
}

struct Query {
    std::vector<std::string> args;  // after "history"
    bool log = false, status = false, gaps = false, list = false;
    int64_t points = 0;
    Format format = Format::Text;
    h::Micros since = 0, until = 0, every = 0;
    std::string db;
};

int fail(int status, const std::string& message)
{
    std::cerr << "corvo: " << message << std::endl;
    return status;
}

void printSamples(h::Store& store, const Query& q)
{
    const std::string& peer = q.args[0];
    const std::string& property = q.args[1];
    if (q.format == Format::Csv)
        std::cout << "time,value\n";
    store.samples(peer, property, q.since, q.until, [&](const h::Point& p) {
        switch (q.format) {
            case Format::Text:
                std::cout << h::isoTime(p.time) << "  " << escapeControl(p.value.toString()) << '\n';
                break;
            case Format::Json:
                std::cout << "{\"time\": \"" << h::isoTime(p.time) << "\", \"value\": " << valueJson(p.value)
                          << ", \"sent\": "
                          << (p.sendTime == h::kNoTime ? "null" : "\"" + h::isoTime(p.sendTime) + "\"")
                          << ", \"source\": \"" << (p.source == h::SOURCE_INFO ? "info" : "broadcast") << "\"}\n";
                break;
            case Format::Csv:
                std::cout << h::isoTime(p.time) << ',' << csvField(p.value.toString()) << '\n';
                break;
        }
    });
}

void printBuckets(h::Store& store, const Query& q)
{
    auto buckets = store.aggregate(q.args[0], q.args[1], q.since, q.until, q.every);
    if (q.format == Format::Csv)
        std::cout << "time,min,mean,max,count,last\n";
    for (const h::Bucket& b : buckets) {
        switch (q.format) {
            case Format::Text:
                std::cout << h::isoTime(b.start) << "  " << realText(b.min) << "  " << realText(b.mean) << "  "
                          << realText(b.max) << "  " << b.count << "  " << realText(b.last) << '\n';
                break;
            case Format::Json:
                std::cout << "{\"time\": \"" << h::isoTime(b.start) << "\", \"min\": " << realJson(b.min)
                          << ", \"mean\": " << realJson(b.mean) << ", \"max\": " << realJson(b.max)
                          << ", \"count\": " << b.count << ", \"last\": " << realJson(b.last) << "}\n";
                break;
            case Format::Csv:
                std::cout << h::isoTime(b.start) << ',' << realText(b.min) << ',' << realText(b.mean) << ','
                          << realText(b.max) << ',' << b.count << ',' << realText(b.last) << '\n';
                break;
        }
    }
}

void printLogs(h::Store& store, const Query& q)
{
    std::string peer = q.args.empty() ? "" : q.args[0];
    if (q.format == Format::Csv)
        std::cout << "time,peer,logger,level,text,sent\n";
    store.logs(peer, q.since, q.until, [&](const h::LogRecord& r) {
        switch (q.format) {
            case Format::Text:
                // Archived text came from peers: no control character reaches the terminal.
                std::cout << h::isoTime(r.recvTime) << "  " << escapeControl(r.peer) << "  [" << levelName(r.level)
                          << "]  " << escapeControl(r.text) << '\n';
                break;
            case Format::Json:
                std::cout << "{\"time\": \"" << h::isoTime(r.recvTime) << "\", \"peer\": " << jsonString(r.peer)
                          << ", \"logger\": " << jsonString(r.logger) << ", \"level\": \"" << levelName(r.level)
                          << "\", \"text\": " << jsonString(r.text)
                          << ", \"sent\": " << (r.time == h::kNoTime ? "null" : "\"" + h::isoTime(r.time) + "\"")
                          << "}\n";
                break;
            case Format::Csv:
                std::cout << h::isoTime(r.recvTime) << ',' << csvField(r.peer) << ',' << csvField(r.logger) << ','
                          << levelName(r.level) << ',' << csvField(r.text) << ',' << h::isoTime(r.time) << '\n';
                break;
        }
    });
}

void printStatuses(h::Store& store, const Query& q)
{
    if (q.format == Format::Csv)
        std::cout << "time,value,name\n";
    store.statuses(q.args[0], q.since, q.until, [&](const h::StatusChange& s) {
        switch (q.format) {
            case Format::Text:
                std::cout << h::isoTime(s.recvTime) << "  " << s.value << "  " << escapeControl(s.name) << '\n';
                break;
            case Format::Json:
                std::cout << "{\"time\": \"" << h::isoTime(s.recvTime) << "\", \"value\": " << s.value
                          << ", \"name\": " << jsonString(s.name) << "}\n";
                break;
            case Format::Csv:
                std::cout << h::isoTime(s.recvTime) << ',' << s.value << ',' << csvField(s.name) << '\n';
        }
    });
}

void printGaps(h::Store& store, const Query& q)
{
    if (q.format == Format::Csv)
        std::cout << "start,end,reason,dropped\n";
    for (const h::Gap& g : store.gaps(q.since, q.until)) {
        switch (q.format) {
            case Format::Text:
                std::cout << h::isoTime(g.start) << "  " << h::isoTime(g.end) << "  " << g.reason;
                if (g.dropped)
                    std::cout << " (" << g.dropped << " rows)";
                std::cout << '\n';
                break;
            case Format::Json:
                std::cout << "{\"start\": \"" << h::isoTime(g.start) << "\", \"end\": \"" << h::isoTime(g.end)
                          << "\", \"reason\": \"" << g.reason << "\", \"dropped\": " << g.dropped << "}\n";
                break;
            case Format::Csv:
                std::cout << h::isoTime(g.start) << ',' << h::isoTime(g.end) << ',' << g.reason << ',' << g.dropped
                          << '\n';
        }
    }
}

void printList(h::Store& store, const Query& q)
{
    std::string peer = q.args.empty() ? "" : q.args[0];
    if (q.format == Format::Csv)
        std::cout << "peer,property,type,unit,first,last,count\n";
    for (const h::SeriesSummary& s : store.list(peer)) {
        switch (q.format) {
            case Format::Text:
                std::cout << escapeControl(s.peer) << "  " << escapeControl(s.property) << "  " << h::typeName(s.type)
                          << (s.unit.empty() ? "" : " [" + escapeControl(s.unit) + "]") << "  " << h::isoTime(s.first)
                          << "  " << h::isoTime(s.last) << "  " << s.count << '\n';
                break;
            case Format::Json:
                std::cout << "{\"peer\": " << jsonString(s.peer) << ", \"property\": " << jsonString(s.property)
                          << ", \"type\": \"" << h::typeName(s.type) << "\", \"unit\": " << jsonString(s.unit)
                          << ", \"first\": " << (s.first == h::kNoTime ? "null" : "\"" + h::isoTime(s.first) + "\"")
                          << ", \"last\": " << (s.last == h::kNoTime ? "null" : "\"" + h::isoTime(s.last) + "\"")
                          << ", \"count\": " << s.count << "}\n";
                break;
            case Format::Csv:
                std::cout << csvField(s.peer) << ',' << csvField(s.property) << ',' << h::typeName(s.type) << ','
                          << csvField(s.unit) << ',' << h::isoTime(s.first) << ',' << h::isoTime(s.last) << ','
                          << s.count << '\n';
        }
    }
}

std::string configuredDatabase(const std::string& archiverName)
{
    ConfManager conf;
    conf.load(archiverName);
    std::string db = conf.get(archiverName, "db", "");
    return db.empty() ? h::Store::defaultDatabase() : db;
}

}  // namespace

void addHistoryOptions(OptionParser& parser)
{
    parser.addOption<std::string>("since", 0, "history: from this time (default 1d: one day ago)");
    parser.addOption<std::string>("until", 0, "history: up to this time, exclusive (default now)");
    parser.addOption<std::string>("every", 0, "history: min, mean, max, count, last per interval (e.g. 1m)");
    parser.addOption<long>("points", 0, "history: aggregates in at most this many intervals");
    parser.addSwitch("list", 0, "history: the recorded series [of PEER]");
    parser.addSwitch("csv", 0, "history: CSV output");
    parser.addOption<std::string>("db", 0, "history: database path or postgresql:// URL");
    parser.addSwitch("log", 0, "history: log records [of PEER]");
    parser.addSwitch("status", 0, "history: status changes of PEER");
    parser.addSwitch("gaps", 0, "history: times with dropped rows or no archiver");
}

int runHistory(const std::vector<std::string>& words, const po::variables_map& vm)
{
    Query q;
    q.args.assign(words.begin() + 1, words.end());
    auto has = [&](const char* key) { return vm.count(key) != 0; };
    auto flag = [&](const char* key) { return has(key) && vm[key].as<bool>(); };
    q.log = flag("log");
    q.status = flag("status");
    q.gaps = flag("gaps");
    q.list = flag("list");
    bool json = flag("json"), csv = flag("csv");
    if (json && csv)
        return fail(EXIT_USAGE, "--json and --csv exclude each other");
    q.format = json ? Format::Json : csv ? Format::Csv : Format::Text;
    if (q.log + q.status + q.gaps + q.list > 1)
        return fail(EXIT_USAGE, "--log, --status, --gaps and --list exclude each other");
    const char* form = q.log      ? "history --log [PEER] [--since T] [--until T]"
                       : q.status ? "history --status PEER [--since T] [--until T]"
                       : q.gaps   ? "history --gaps [--since T] [--until T]"
                       : q.list
                           ? "history --list [PEER]"
                           : "history PEER PROPERTY [--since T] [--until T] [--every D | --points N] [--json|--csv]";
    size_t wanted = q.log || q.list ? q.args.size() : q.status ? 1 : q.gaps ? 0 : 2;
    if (q.args.size() != wanted || ((q.log || q.list) && q.args.size() > 1))
        return fail(EXIT_USAGE, std::string("usage: corvo ") + form);

    h::Micros now = h::nowMicros();
    std::string sinceText = has("since") ? vm["since"].as<std::string>() : "1d";
    std::string untilText = has("until") ? vm["until"].as<std::string>() : "now";
    auto since = h::parseTimePoint(sinceText, now);
    if (!since)
        return fail(EXIT_USAGE, "bad time for --since: \"" + sinceText + "\"");
    auto until = h::parseTimePoint(untilText, now);
    if (!until)
        return fail(EXIT_USAGE, "bad time for --until: \"" + untilText + "\"");
    if (*until <= *since)
        return fail(EXIT_USAGE, "--until must be later than --since");
    q.since = *since;
    // The end is exclusive, as in every history query.
    q.until = *until;
    bool sampleOnly = q.log || q.status || q.gaps || q.list;
    if (has("every") && has("points"))
        return fail(EXIT_USAGE, "--every and --points exclude each other");
    if (has("points")) {
        long points = vm["points"].as<long>();
        if (points < 1 || points > static_cast<long>(h::kMaxListRows))
            return fail(EXIT_USAGE, "--points wants a number from 1 to " + std::to_string(h::kMaxListRows));
        if (sampleOnly)
            return fail(EXIT_USAGE, "--points applies to samples only");
        q.every = h::Store::everyForPoints(q.since, q.until, points);
    }
    if (has("every")) {
        std::string everyText = vm["every"].as<std::string>();
        auto every = h::parseDuration(everyText);
        if (!every)
            return fail(EXIT_USAGE, "bad interval for --every: \"" + everyText + "\"");
        if (sampleOnly)
            return fail(EXIT_USAGE, "--every applies to samples only");
        q.every = *every;
        // The intervals are held until the last one is complete: as many as
        // the Python package allows.
        if ((q.until - q.since) / q.every >= static_cast<h::Micros>(h::kMaxListRows))
            return fail(EXIT_USAGE, "--every " + everyText + " makes more than " + std::to_string(h::kMaxListRows) +
                                        " intervals: ask for a longer interval, or use --points");
    }
    q.db = has("db") ? vm["db"].as<std::string>() : configuredDatabase("archiver");

    try {
        std::unique_ptr<h::Store> store = h::Store::open(q.db, false);
        if (q.log)
            printLogs(*store, q);
        else if (q.status)
            printStatuses(*store, q);
        else if (q.gaps)
            printGaps(*store, q);
        else if (q.list)
            printList(*store, q);
        else if (q.every)
            printBuckets(*store, q);
        else
            printSamples(*store, q);
    } catch (const h::NotFoundError& e) {
        std::cout.flush();
        return fail(EXIT_NOT_FOUND, e.what());
    } catch (const h::DatabaseError& e) {
        std::cout.flush();
        return fail(EXIT_DATABASE, e.what());
    }
    std::cout.flush();
    return EXIT_OK;
}

}  // namespace corvo::tool
