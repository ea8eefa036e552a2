/// @file
/// The daemon's logger: every record goes to standard output and, as a Log
/// message, to the site's log group.
#pragma once

#include "corvo/export.h"

#include <spdlog/sinks/base_sink.h>
#include <spdlog/spdlog.h>

#include <memory>
#include <mutex>
#include <string>

#include "corvo/proto/log.pb.h"

namespace corvo {

class Network;

/// spdlog sink that shouts each record to the network's log group.
class CORVO_API ZyreSink : public spdlog::sinks::base_sink<std::mutex> {
public:
    /// Shouts through `network`, which must outlive the sink.
    explicit ZyreSink(Network* network);

    /// The Log record sent for one spdlog record: level number, logger name,
    /// formatted message without decoration, and the current real time.
    /// Bytes that are not valid UTF-8 are replaced by U+FFFD first.
    /// Cut to what every receiver accepts (network.h): the name to
    /// kMaxNameBytes, the message to kMaxDescriptionBytes, both at a UTF-8
    /// character boundary; a cut message ends in "... [cut, N bytes]" (N:
    /// its whole length). The console sink keeps the whole text.
    static corvo::proto::Log toLogRecord(const spdlog::details::log_msg& msg);

    /// True while the calling thread sends a record through a ZyreSink (and
    /// holds that sink's lock): a record logged now to the same logger would
    /// wait for that lock forever, so whoever turns diagnostics into log
    /// records writes them to the console stream directly instead.
    static bool sending();

protected:
    /// Sends toLogRecord(msg) to the log group.
    void sink_it_(const spdlog::details::log_msg& msg) override;
    /// Nothing to flush: every record is handed to the node at once.
    void flush_() override;

private:
    Network* network;
};

/// A daemon's logger: every record goes to the console and to the site's
/// log group. Control characters in records are escaped on the console, so
/// a peer's text cannot drive the terminal.
class CORVO_API Logger {
public:
    /// Builds the logger: console sink (coloured on a terminal) first, then
    /// the network sink. A second call replaces the first logger.
    void init(std::string name, spdlog::level::level_enum level, Network* network);

    /// The spdlog logger, for `logger->info(...)` and its kin.
    spdlog::logger* operator->() const { return logger.get(); }

    /// The spdlog logger; null before init().
    std::shared_ptr<spdlog::logger> logger;
    /// The name records carry (the component name).
    std::string name;
    /// Colour on the console when it is a terminal; init() clears it when
    /// standard output is not one.
    bool useColor = true;
};

}  // namespace corvo
