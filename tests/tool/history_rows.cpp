// Writes an archive as corvo-archiver would (through the history store, a
// real SQLite file) whose peer text holds terminal controls: ESC sequences,
// BEL, the C1 control CSI (U+009B), DEL, a newline, a comma and quotes. The
// peer "cam" has a log record, a status change, and the series "label"
// (string), "names" (list of strings) and "temp" (double) with unit "mbar"
// followed by DEL, all received a minute ago.
//   history_rows DB
#include <corvo/history/record.h>
#include <corvo/history/store.h>
#include <corvo/history/timeexpr.h>

#include <cstdio>
#include <exception>

namespace h = corvo::history;

int main(int argc, char** argv)
{
    if (argc != 2) {
        std::fprintf(stderr, "usage: history_rows DB\n");
        return 2;
    }
    const std::string text = "A\x1b[2J\x1b]0;pwned\x07"
                             "B\u009b31mC\x7f"
                             "D, \"q\"\nE";
    try {
        auto store = h::Store::open(argv[1], true);
        const h::Micros at = h::nowMicros() - 60 * 1000000LL;
        h::Session session{0, at, at, h::kNoTime};
        h::LogRecord log{"cam", at, "main", 2, h::cleanText(text), at};
        h::StatusChange status{"cam", 3, h::cleanText(text), at};
        h::Sample label{"cam", "label", "", h::Value::ofText(h::cleanText(text)), at, at, h::SOURCE_BROADCAST};
        const std::string list = "[" + h::jsonString(h::cleanText(text)) + ", \"x\"]";
        h::Sample names{"cam", "names", "", h::Value::ofList(h::TYPE_STR_LIST, list), at, at, h::SOURCE_BROADCAST};
        h::Sample temp{"cam", "temp", "mbar\x7f", h::Value::ofReal(1.5), at, at, h::SOURCE_BROADCAST};
        store->write({log, status, label, names, temp}, session);
    } catch (const std::exception& e) {
        std::fprintf(stderr, "history_rows: %s\n", e.what());
        return 1;
    }
    return 0;
}
