#include "corvo/logger.h"

#include <spdlog/pattern_formatter.h>
#include <spdlog/sinks/ansicolor_sink.h>
#include <spdlog/sinks/stdout_sinks.h>
#include <unistd.h>

#include <cstdio>
#include <ctime>
#include <string>
#include <string_view>

#include "corvo/misc.h"
#include "corvo/network.h"
#include "corvo/proto/log.pb.h"
#include "corvo/text.h"

namespace corvo {

namespace {

// Console formatter that writes every control character of a record's text
// as an escape: records quote peers' names and values, which must not drive
// the terminal. The network record keeps the text as it is.
class EscapingFormatter : public spdlog::formatter {
public:
    void format(const spdlog::details::log_msg& msg, spdlog::memory_buf_t& dest) override
    {
        std::string_view payload(msg.payload.data(), msg.payload.size());
        std::string escaped = escapeControl(payload);
        if (escaped == payload) {
            inner.format(msg, dest);
            return;
        }
        spdlog::details::log_msg copy = msg;
        copy.payload = spdlog::string_view_t(escaped.data(), escaped.size());
        inner.format(copy, dest);
        // The colour sink reads where the level is from the record it passed.
        msg.color_range_start = copy.color_range_start;
        msg.color_range_end = copy.color_range_end;
    }
    std::unique_ptr<spdlog::formatter> clone() const override { return std::make_unique<EscapingFormatter>(); }

private:
    spdlog::pattern_formatter inner;
};

// The longest prefix of `text` of at most `bytes` bytes that ends at a
// UTF-8 character boundary.
size_t utf8Prefix(std::string_view text, size_t bytes)
{
    if (text.size() <= bytes)
        return text.size();
    size_t end = bytes;
    while (end > 0 && (static_cast<unsigned char>(text[end]) & 0xC0) == 0x80)
        --end;
    return end;
}

// A record's text as the log group's receivers accept it: at most
// kMaxDescriptionBytes, else cut with a marker that tells the length.
std::string shoutedText(std::string_view text)
{
    if (text.size() <= kMaxDescriptionBytes)
        return std::string(text);
    std::string marker = "... [cut, " + std::to_string(text.size()) + " bytes]";
    std::string kept(text.substr(0, utf8Prefix(text, kMaxDescriptionBytes - marker.size())));
    return kept + marker;
}

// `text` with each byte that does not start a valid UTF-8 character
// replaced by U+FFFD: a protobuf string field must hold valid UTF-8.
std::string validUtf8(std::string_view text)
{
    std::string out;
    out.reserve(text.size());
    size_t i = 0;
    while (i < text.size()) {
        unsigned char c = static_cast<unsigned char>(text[i]);
        size_t length = c < 0x80 ? 1 : detail::utf8SequenceLength(text, i);
        if (length == 0) {
            out += "\xef\xbf\xbd";
            ++i;
        } else {
            out.append(text.data() + i, length);
            i += length;
        }
    }
    return out;
}

// Set while this thread is inside ZyreSink::sink_it_ (and holds the sink's
// lock).
thread_local bool sendingRecord = false;

}  // namespace

bool ZyreSink::sending()
{
    return sendingRecord;
}

ZyreSink::ZyreSink(Network* network) : network(network) {}

corvo::proto::Log ZyreSink::toLogRecord(const spdlog::details::log_msg& msg)
{
    corvo::proto::Log log;
    // spdlog's levels trace..err share their numbers with Log.LogLevel;
    // critical travels as 5.
    log.set_level(static_cast<corvo::proto::Log_LogLevel>(msg.level));
    // Cut to the receivers' bounds: a longer record would make every
    // receiver drop this node. The console keeps the whole text.
    // Bytes that are not UTF-8 (a peer's name, a device's text) become
    // U+FFFD first: such a field would fail to serialise.
    std::string logger = validUtf8(std::string_view(msg.logger_name.data(), msg.logger_name.size()));
    log.set_logger(logger.data(), utf8Prefix(logger, kMaxNameBytes));
    log.set_message(shoutedText(validUtf8(std::string_view(msg.payload.data(), msg.payload.size()))));
    timespec now{};
    clock_gettime(CLOCK_REALTIME, &now);
    log.mutable_timestamp()->set_seconds(now.tv_sec);
    log.mutable_timestamp()->set_nanos(static_cast<int32_t>(now.tv_nsec));
    return log;
}

void ZyreSink::sink_it_(const spdlog::details::log_msg& msg)
{
    // Whatever is reported while the record is sent (a diagnostic of the
    // serialisation or of the node) must not come back to this sink, whose
    // lock this thread holds: see sending().
    struct Flag {
        Flag() { sendingRecord = true; }
        ~Flag() { sendingRecord = false; }
    } flag;
    network->sendLog(toLogRecord(msg));
}

void ZyreSink::flush_() {}

void Logger::init(std::string name, spdlog::level::level_enum level, Network* network)
{
    this->name = std::move(name);

    spdlog::sink_ptr console;
    bool terminal = isatty(fileno(stdout)) != 0;
    if (terminal && useColor) {
        console = std::make_shared<spdlog::sinks::ansicolor_stdout_sink_mt>();
    } else {
        console = std::make_shared<spdlog::sinks::stdout_sink_mt>();
        if (!terminal)
            useColor = false;
    }
    console->set_formatter(std::make_unique<EscapingFormatter>());
    auto networkSink = std::make_shared<ZyreSink>(network);

    logger = std::make_shared<spdlog::logger>(this->name, spdlog::sinks_init_list{console, networkSink});
    logger->set_level(level);
    logger->flush_on(level);
}

}  // namespace corvo
