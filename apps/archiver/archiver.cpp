// The archiver daemon: turns network events into history records and keeps
// its own properties (backend, counts, lag) current at most once a second.
#include "archiver.h"

#include <corvo/history/timeexpr.h>
#include <corvo/misc.h>
#include <corvo/peer.h>

#include <sys/stat.h>

#include <cmath>
#include <csignal>
#include <iostream>
#include <optional>

namespace corvo::archiver {

namespace {

using history::Micros;

constexpr auto kPublishEvery = std::chrono::seconds(1);
// Rows collected before they go to the writer; the rest of a loop turn's
// rows go at its end.
constexpr size_t kHandOverRows = 1024;
// SIGINT and SIGTERM wait this long for the database to take what is left.
constexpr auto kStopTimeout = std::chrono::seconds(10);
// Rows older than a year are deleted unless the configuration says otherwise.
constexpr const char* kDefaultRetention = "365d";
// Writing stops when less than this is free where the database lies.
constexpr const char* kDefaultMinFree = "1G";
// Images larger than this are not copied unless the configuration says otherwise.
constexpr const char* kDefaultImageMaxBytes = "4G";

std::string jsonNumber(double v)
{
    return history::Value::ofReal(v).toJson();
}

Micros toMicros(std::chrono::system_clock::time_point t)
{
    return std::chrono::duration_cast<std::chrono::microseconds>(t.time_since_epoch()).count();
}

// The sender's time of a broadcast: the receive time less the measured
// delay; unknown when that is not a plausible time.
Micros sendTime(const Property& property)
{
    Micros sent = 0;
    if (__builtin_sub_overflow(toMicros(property.timestamp), property.delayUs, &sent) || sent <= 0)
        return history::kNoTime;
    return history::peerTime(sent / 1000000, static_cast<int32_t>(sent % 1000000) * 1000);
}

}  // namespace

history::Value storedValue(const Property& property)
{
    using history::Value;
    switch (property.type) {
        case Property::INT:
            return Value::ofInt(property.intValue);
        case Property::DOUBLE:
            return Value::ofReal(property.doubleValue);
        case Property::STRING:
            return Value::ofText(history::cleanText(property.strValue));
        case Property::STR_LIST: {
            std::string json = "[";
            for (size_t i = 0; i < property.strList.size(); ++i)
                json += (i ? ", " : "") + history::jsonString(history::cleanText(property.strList[i]));
            return Value::ofList(property.type, json + "]");
        }
        case Property::INT_LIST: {
            std::string json = "[";
            for (size_t i = 0; i < property.intList.size(); ++i)
                json += (i ? ", " : "") + std::to_string(property.intList[i]);
            return Value::ofList(property.type, json + "]");
        }
        case Property::DOUBLE_LIST: {
            std::string json = "[";
            for (size_t i = 0; i < property.doubleList.size(); ++i)
                json += (i ? ", " : "") + jsonNumber(property.doubleList[i]);
            return Value::ofList(property.type, json + "]");
        }
        default:
            return Value::ofList(property.type, "null");
    }
}

Archiver::Archiver() : Daemon("archiver")
{
    optionParser.addOption<std::string>("db", 0, "history database: a file path or a postgresql:// URL");
    optionParser.addOption<long>("buffer", 0, "rows kept while the database is unavailable (default 500000)");
    optionParser.addOption<std::string>("retention", 0, "delete rows older than this (for example 30d)");
    optionParser.addOption<std::string>("min-free", 0, "stop writing below this free space (default 1G; 0: never)");
    optionParser.addOption<std::string>("free-path", 0,
                                        "directory whose free space is watched (default: the database's)");
    optionParser.addOption<std::string>("image-dir", 0,
                                        "copy every image cameras announce into this directory (off by default)");
    optionParser.addOption<std::string>("image-max-bytes", 0, "largest image copied (default 4G)");
    optionParser.addOption<double>("peer-rows", 0, "samples and status changes a second per peer (default 1000)");
    optionParser.addOption<double>("peer-bytes", 0, "bytes of values a second per peer (default 1048576)");
    optionParser.addOption<double>("peer-logs", 0, "log records a second per peer (default 20)");
    optionParser.addOption<double>("peer-log-bytes", 0, "bytes of log text a second per peer (default 65536)");
    createProperty("backend", Property::STRING, "history database (without credentials)", false);
    createProperty("written", Property::INT, "rows written", false);
    createProperty("dropped", Property::INT, "rows lost because the buffer was full", false);
    createProperty("buffered", Property::INT, "rows waiting to be written", false);
    createProperty("lag", Property::DOUBLE, "s", "age of the oldest row waiting to be written", false);
    createProperty("overbudget", Property::INT, "rows not recorded because their peer was over its budget", false);
    createProperty("imagescopied", Property::INT, "images copied into --image-dir", false);
    createProperty("imagesmissed", Property::INT, "announced images not copied (failed or skipped)", false);
    addStatusStr(STATUS_RECORDING, "RECORDING");
    addStatusStr(STATUS_BUFFERING, "BUFFERING");
    addStatusStr(STATUS_LOW_SPACE, "LOW_SPACE");
    createCommand(
        "flush",
        [this](std::vector<std::string>) {
            handOver();
            writer->flush();
        },
        "write buffered rows now");
}

void Archiver::processOptions()
{
    Daemon::processOptions();
}

void Archiver::beforeInit()
{
    Daemon::beforeInit();  // forks first when asked, then reads the configuration
    startTime = history::nowMicros();
    const auto& vm = optionParser.vm;
    db = vm.count("db") ? vm["db"].as<std::string>() : confManager.get(name, "db", "");
    if (db.empty())
        db = history::Store::defaultDatabase();

    long rows = 0;
    std::string bufferText = confManager.get(name, "buffer", "");
    if (vm.count("buffer"))
        rows = vm["buffer"].as<long>();
    else if (!bufferText.empty())
        rows = std::strtol(bufferText.c_str(), nullptr, 10);
    if (vm.count("buffer") || !bufferText.empty()) {
        if (rows < 1 || rows > 100000000) {
            std::cerr << "archiver: --buffer wants a number of rows from 1 to 100000000" << std::endl;
            std::exit(1);
        }
        writerOptions.maxRows = static_cast<size_t>(rows);
    }
    std::string retention =
        vm.count("retention") ? vm["retention"].as<std::string>() : confManager.get(name, "retention", "");
    if (retention.empty())
        retention = kDefaultRetention;
    if (retention != "forever") {
        auto micros = history::parseDuration(retention);
        if (!micros) {
            std::cerr << "archiver: --retention wants a duration such as 30d, or forever, not \"" << retention << "\""
                      << std::endl;
            std::exit(1);
        }
        writerOptions.retention = *micros;
    }
    std::string minFree =
        vm.count("min-free") ? vm["min-free"].as<std::string>() : confManager.get(name, "min-free", "");
    auto floor = history::parseSize(minFree.empty() ? kDefaultMinFree : minFree);
    if (!floor) {
        std::cerr << "archiver: --min-free wants a size such as 2G, 500M or 0, not \"" << minFree << "\"" << std::endl;
        std::exit(1);
    }
    writerOptions.minFree = *floor;
    writerOptions.freePath =
        vm.count("free-path") ? vm["free-path"].as<std::string>() : confManager.get(name, "free-path", "");
    if (writerOptions.freePath.empty())
        writerOptions.freePath = history::databaseDirectory(db);
    budgetLimits.rows = limitOption("peer-rows", budgetLimits.rows);
    budgetLimits.bytes = limitOption("peer-bytes", budgetLimits.bytes);
    budgetLimits.logs = limitOption("peer-logs", budgetLimits.logs);
    budgetLimits.logBytes = limitOption("peer-log-bytes", budgetLimits.logBytes);
    admission = Admission(budgetLimits);
    writer = std::make_unique<history::Writer>(db, writerOptions, startTime);
    readImageOptions();
}

void Archiver::readImageOptions()
{
    const auto& vm = optionParser.vm;
    copyOptions.directory =
        vm.count("image-dir") ? vm["image-dir"].as<std::string>() : confManager.get(name, "image-dir", "");
    if (copyOptions.directory.empty())
        return;
    struct stat st {};
    if (stat(copyOptions.directory.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) {
        std::cerr << "archiver: --image-dir " << copyOptions.directory << " is not a directory" << std::endl;
        std::exit(1);
    }
    std::string maxText = vm.count("image-max-bytes") ? vm["image-max-bytes"].as<std::string>()
                                                      : confManager.get(name, "image-max-bytes", "");
    auto maxBytes = history::parseSize(maxText.empty() ? kDefaultImageMaxBytes : maxText);
    if (!maxBytes || *maxBytes == 0) {
        std::cerr << "archiver: --image-max-bytes wants a size such as 512M or 4G, not \"" << maxText << "\""
                  << std::endl;
        std::exit(1);
    }
    copyOptions.maxBytes = *maxBytes;
    copyOptions.minFree = writerOptions.minFree;  // the same floor as the database's
}

double Archiver::limitOption(const char* key, double fallback)
{
    const auto& vm = optionParser.vm;
    std::string text = confManager.get(name, key, "");
    double value = fallback;
    if (vm.count(key))
        value = vm[key].as<double>();
    else if (!text.empty())
        value = std::strtod(text.c_str(), nullptr);
    else
        return fallback;
    if (!(value >= 1 && value <= 1e12)) {
        std::cerr << "archiver: --" << key << " wants a number from 1 to 1e12" << std::endl;
        std::exit(1);
    }
    return value;
}

void Archiver::beforeLoop()
{
    Daemon::beforeLoop();
    network->setRecvValue(true);
    network->setRecvLog(true);
    properties.at("backend")->setValue(writer->backend());
    logger->info("Recording site {} into {}", site, writer->backend());
    uv_signal_init(loop, &termSignal);
    termSignal.data = this;
    uv_signal_start(
        &termSignal, [](uv_signal_t* handle, int) { static_cast<Archiver*>(handle->data)->stop(); }, SIGTERM);
    lastPublish = std::chrono::steady_clock::now();
    if (!copyOptions.directory.empty()) {
        copies = std::make_unique<ImageCopies>(
            copyOptions,
            [this](const std::shared_ptr<Peer>& peer, zmsg_t* message) {
                if (network && network->peers().byUuid(peer->uuid))
                    network->sendOne(message, peer);
                else
                    zmsg_destroy(&message);
            },
            [this](bool warning, const std::string& text) {
                recordOwnLog(warning ? corvo::proto::Log::WARN : corvo::proto::Log::INFO, text);
            });
        logger->info("Copying announced images into {}", copyOptions.directory);
    }
}

void Archiver::onImageMessage(std::shared_ptr<Peer> peer, uint8_t tag, const unsigned char* data, size_t size)
{
    if (copies && !stopped)
        copies->imageMessage(peer, tag, data, size);
}

void Archiver::onResponse(std::shared_ptr<Peer> peer, const corvo::proto::Response& response)
{
    Daemon::onResponse(peer, response);
    if (copies && !stopped)
        copies->response(peer, response);
}

Micros Archiver::receiveTime()
{
    return receiveTime(std::chrono::system_clock::now());
}

ReceiveClock::Reading ReceiveClock::next(Micros arrived)
{
    Reading reading{arrived, 0};
    if (arrived <= last && last - arrived < kMaxTieBreak)
        reading.time = last + 1;
    else if (arrived < last)
        reading.steppedBack = last - arrived;
    last = reading.time;
    return reading;
}

Micros Archiver::receiveTime(std::chrono::system_clock::time_point arrived)
{
    ReceiveClock::Reading reading = receiveClock.next(toMicros(arrived));
    if (reading.steppedBack)
        recordOwnLog(corvo::proto::Log::WARN,
                     "The wall clock stepped back by at least " +
                         std::to_string(std::llround(reading.steppedBack / 1e6)) +
                         " s: receive times follow it, so rows received before the step may have later times");
    return reading.time;
}

Clock::time_point Archiver::loopTime() const
{
    // uv_now counts milliseconds of the monotonic clock, as steady_clock does.
    return Clock::time_point(std::chrono::milliseconds(uv_now(loop)));
}

void Archiver::record(history::Record&& record)
{
    if (!writer)
        return;
    if (stopped) {
        writer->push(std::move(record));  // refused and counted as dropped
        return;
    }
    if (pending.capacity() == 0)
        pending.reserve(kHandOverRows);
    pending.push_back(std::move(record));
    if (pending.size() >= kHandOverRows)
        handOver();
}

void Archiver::handOver()
{
    if (!writer || pending.empty())
        return;
    size_t given = pending.size();
    if (writer->push(pending) < given) {
        // A refused row may be a change: its value is not the one recorded.
        admission.forgetValues();
        valuesLost = true;
    }
}

void Archiver::recordLostValues(const history::WriterStats& stats)
{
    // Half the buffer free: the values of every peer fit, and it is not
    // full again at once.
    if (!valuesLost || !stats.connected || stats.lowSpace || stats.buffered > writerOptions.maxRows / 2 ||
        stats.bufferedBytes > writerOptions.maxBytes / 2)
        return;
    valuesLost = false;
    for (const auto& [uuid, peer] : network->peers())
        if (described.count(uuid))
            recordDescribed(*peer);
}

void Archiver::recordSample(const Peer& peer, const Property& property, int source, Micros received)
{
    // Checked before any copy of the value: a peer that repeats itself or
    // is over its budget costs little.
    if (admission.sample(peer.uuid, peer.name, property, loopTime()) != Admission::RECORD)
        return;
    // Built where it stays until the hand-over: a row is moved once here.
    history::Record row{std::in_place_type<history::Sample>};
    history::Sample& s = std::get<history::Sample>(row);
    s.peer = history::cleanText(peer.name);
    s.property = history::cleanText(property.name);
    s.unit = history::cleanText(property.egu);
    s.value = storedValue(property);
    s.recvTime = received;
    s.sendTime = source == history::SOURCE_BROADCAST ? sendTime(property) : history::kNoTime;
    s.source = source;
    record(std::move(row));
}

void Archiver::onEnter(std::shared_ptr<Peer> peer)
{
    Daemon::onEnter(peer);
    history::PeerEvent e;
    e.peer = history::cleanText(peer->name);
    e.uuid = history::cleanText(peer->uuid);
    e.kind = "enter";
    e.peerType = history::cleanText(peer->type);
    e.recvTime = receiveTime();
    record(std::move(e));
}

void Archiver::onExit(std::shared_ptr<Peer> peer)
{
    Daemon::onExit(peer);
    if (copies)
        copies->peerLeft(peer);
    admission.forget(peer->uuid, loopTime());
    described.erase(peer->uuid);
    history::PeerEvent e;
    e.peer = history::cleanText(peer->name);
    e.uuid = history::cleanText(peer->uuid);
    e.kind = "exit";
    e.peerType = history::cleanText(peer->type);
    e.recvTime = receiveTime();
    record(std::move(e));
}

void Archiver::onInfo(std::shared_ptr<Peer> peer)
{
    // Every value of one Info arrived with it; only the new and the changed
    // ones are recorded (an Info repeating the old values adds nothing).
    described.insert(peer->uuid);
    recordDescribed(*peer);
}

void Archiver::recordDescribed(const Peer& peer)
{
    Micros received = receiveTime();
    for (const auto& [propertyName, property] : peer.properties) {
        recordSample(peer, property, history::SOURCE_INFO, received);
        received = receiveTime();
    }
    recordStatus(peer, peer.status, received);
}

void Archiver::onProperty(std::shared_ptr<Peer> peer, const Property& property)
{
    // The value's arrival time, read when it was decoded.
    recordSample(*peer, property, history::SOURCE_BROADCAST, receiveTime(property.timestamp));
}

void Archiver::onStatus(std::shared_ptr<Peer> peer, unsigned int value)
{
    recordStatus(*peer, value, receiveTime());
}

void Archiver::recordStatus(const Peer& peer, unsigned int value, Micros received)
{
    auto it = peer.statusNames.find(value);
    size_t bytes = peer.name.size() + (it != peer.statusNames.end() ? it->second.size() : 0) + 16;
    if (admission.status(peer.uuid, peer.name, value, bytes, loopTime()) != Admission::RECORD)
        return;
    history::StatusChange c;
    c.peer = history::cleanText(peer.name);
    c.value = value;
    if (it != peer.statusNames.end())
        c.name = history::cleanText(it->second);
    c.recvTime = received;
    record(std::move(c));
}

void Archiver::onLog(std::shared_ptr<Peer> peer, const corvo::proto::Log& log)
{
    Micros received = receiveTime();
    size_t bytes = peer->name.size() + log.logger().size() + log.message().size() + 16;
    if (admission.log(peer->uuid, peer->name, bytes, loopTime()) != Admission::RECORD)
        return;
    history::LogRecord r;
    r.peer = history::cleanText(peer->name);
    r.time =
        log.has_timestamp() ? history::peerTime(log.timestamp().seconds(), log.timestamp().nanos()) : history::kNoTime;
    r.logger = history::cleanText(log.logger());
    r.level = static_cast<int>(log.level());
    r.text = history::cleanText(log.message());
    r.recvTime = received;
    record(std::move(r));
}

void Archiver::recordOwnLog(corvo::proto::Log::LogLevel level, const std::string& text)
{
    if (level >= corvo::proto::Log::ERROR)
        logger->error("{}", text);
    else if (level >= corvo::proto::Log::WARN)
        logger->warn("{}", text);
    else
        logger->info("{}", text);
    // The archiver does not receive its own log broadcasts: its records are
    // kept here, so that `corvo history --log` shows them.
    history::LogRecord r;
    r.peer = history::cleanText(name);
    r.time = history::nowMicros();
    r.logger = "archiver";
    r.level = static_cast<int>(level);
    r.text = history::cleanText(text);
    r.recvTime = receiveTime();
    record(std::move(r));
}

void Archiver::reportDrops()
{
    // Values come on change only: a run that ended is retried with the
    // values and status the peer holds now. Only those that differ from
    // the ones recorded (the dropped ones) are recorded, through the same
    // budget; what is dropped again starts a new run, retried when it ends.
    std::vector<std::string> retry;
    for (const DropReport& r : admission.takeReports(Clock::now())) {
        if (!r.started && !stopped && described.count(r.uuid))
            retry.push_back(r.uuid);
        std::string peerName = escapeControl(r.peer);
        if (r.started)
            recordOwnLog(corvo::proto::Log::WARN,
                         "Peer " + peerName + " is over its budget (" +
                             std::to_string(static_cast<long long>(budgetLimits.rows)) + " rows, " +
                             std::to_string(static_cast<long long>(budgetLimits.bytes)) + " bytes, " +
                             std::to_string(static_cast<long long>(budgetLimits.logs)) +
                             " log records a second): its rows are dropped");
        else
            recordOwnLog(corvo::proto::Log::WARN,
                         "Peer " + peerName + ": " + std::to_string(r.rows) + " rows dropped over its budget between " +
                             history::isoTime(toMicros(r.first)) + " and " + history::isoTime(toMicros(r.last)));
    }
    for (const std::string& uuid : retry)
        if (auto peer = network ? network->peers().byUuid(uuid) : nullptr)
            recordDescribed(*peer);
}

void Archiver::forgetDeparted()
{
    if (!network)
        return;
    const auto& table = network->peers();
    auto inTable = [&table](const std::string& uuid) { return table.byUuid(uuid) != nullptr; };
    admission.retain(inTable);
    for (auto it = described.begin(); it != described.end();)
        it = inTable(*it) ? std::next(it) : described.erase(it);
}

void Archiver::logWriterMessages()
{
    for (const std::string& text : writer->takeMessages())
        logger->warn("{}", text);
}

void Archiver::publishStats()
{
    history::WriterStats s = writer->stats();
    auto update = [this](const char* propertyName, long value) {
        auto p = properties.at(propertyName);
        if (p->intValue != value)
            p->setValue(value);
    };
    update("written", static_cast<long>(s.written));
    update("dropped", static_cast<long>(s.dropped));
    update("buffered", static_cast<long>(s.buffered));
    update("overbudget", static_cast<long>(admission.dropped()));
    if (copies) {
        update("imagescopied", static_cast<long>(copies->copied()));
        update("imagesmissed", static_cast<long>(copies->failed() + copies->skipped()));
    }
    double lag = std::round(s.lag / 1000.0) / 1000.0;
    auto lagProperty = properties.at("lag");
    if (lagProperty->doubleValue != lag)
        lagProperty->setValue(lag);
    // BUFFERING only once the database has refused rows: the first write,
    // due within a fraction of a second of the start, is no outage.
    unsigned int wanted = s.lowSpace    ? STATUS_LOW_SPACE
                          : s.connected ? STATUS_RECORDING
                          : s.failing   ? STATUS_BUFFERING
                                        : status;
    if (status != wanted)
        changeStatus(wanted);
    recordLostValues(s);
}

void Archiver::onIdle()
{
    if (!writer || stopped)
        return;
    handOver();
    auto now = std::chrono::steady_clock::now();
    if (copies)
        copies->tick(now);
    if (now - lastPublish < kPublishEvery)
        return;
    lastPublish = now;
    logWriterMessages();
    forgetDeparted();
    reportDrops();
    publishStats();
}

void Archiver::cleanup()
{
    Daemon::cleanup();
    if (!writer || stopped)
        return;
    stopped = true;
    // Closed here so that the loop holds no handle of ours when it ends.
    uv_close(reinterpret_cast<uv_handle_t*>(&termSignal), nullptr);
    copies.reset();  // an unfinished copy leaves no part file
    admission.endRuns();
    reportDrops();
    handOver();
    bool complete = writer->stop(kStopTimeout);
    logWriterMessages();
    history::WriterStats s = writer->stats();
    if (complete)
        logger->info("History flushed: {} rows written, {} dropped", s.written, s.dropped);
    else
        logger->error("History not complete: {} rows written, {} dropped", s.written, s.dropped);
}

}  // namespace corvo::archiver
