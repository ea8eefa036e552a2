// The archiver daemon: turns network events into history records and keeps
// its own properties (backend, counts, lag) current at most once a second.
#include "archiver.h"

#include <corvo/history/timeexpr.h>
#include <corvo/peer.h>

#include <cmath>
#include <csignal>
#include <iostream>

namespace corvo::archiver {

namespace {

using history::Micros;

constexpr auto kPublishEvery = std::chrono::seconds(1);
// SIGINT and SIGTERM wait this long for the database to take what is left.
constexpr auto kStopTimeout = std::chrono::seconds(10);

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
    createProperty("backend", Property::STRING, "history database (without credentials)", false);
    createProperty("written", Property::INT, "rows written", false);
    createProperty("dropped", Property::INT, "rows lost because the buffer was full", false);
    createProperty("buffered", Property::INT, "rows waiting to be written", false);
    createProperty("lag", Property::DOUBLE, "s", "age of the oldest row waiting to be written", false);
    addStatusStr(STATUS_RECORDING, "RECORDING");
    addStatusStr(STATUS_BUFFERING, "BUFFERING");
    createCommand(
        "flush", [this](std::vector<std::string>) { writer->flush(); }, "write buffered rows now");
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
    if (!retention.empty()) {
        auto micros = history::parseDuration(retention);
        if (!micros) {
            std::cerr << "archiver: --retention wants a duration such as 30d, not \"" << retention << "\"" << std::endl;
            std::exit(1);
        }
        writerOptions.retention = *micros;
    }
    writer = std::make_unique<history::Writer>(db, writerOptions, startTime);
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
}

Micros Archiver::receiveTime()
{
    Micros t = history::nowMicros();
    if (t <= lastReceive)
        t = lastReceive + 1;
    lastReceive = t;
    return t;
}

void Archiver::record(history::Record record)
{
    if (writer)
        writer->push(std::move(record));
}

void Archiver::recordSample(const Peer& peer, const Property& property, int source)
{
    history::Sample s;
    s.peer = history::cleanText(peer.name);
    s.property = history::cleanText(property.name);
    s.unit = history::cleanText(property.egu);
    s.value = storedValue(property);
    s.recvTime = receiveTime();
    s.sendTime = source == history::SOURCE_BROADCAST ? sendTime(property) : history::kNoTime;
    s.source = source;
    record(std::move(s));
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
    for (const auto& [propertyName, property] : peer->properties)
        recordSample(*peer, property, history::SOURCE_INFO);
    onStatus(peer, peer->status);
}

void Archiver::onProperty(std::shared_ptr<Peer> peer, const Property& property)
{
    recordSample(*peer, property, history::SOURCE_BROADCAST);
}

void Archiver::onStatus(std::shared_ptr<Peer> peer, unsigned int value)
{
    history::StatusChange c;
    c.peer = history::cleanText(peer->name);
    c.value = value;
    auto it = peer->statusNames.find(value);
    if (it != peer->statusNames.end())
        c.name = history::cleanText(it->second);
    c.recvTime = receiveTime();
    record(std::move(c));
}

void Archiver::onLog(std::shared_ptr<Peer> peer, const corvo::proto::Log& log)
{
    history::LogRecord r;
    r.peer = history::cleanText(peer->name);
    r.time =
        log.has_timestamp() ? history::peerTime(log.timestamp().seconds(), log.timestamp().nanos()) : history::kNoTime;
    r.logger = history::cleanText(log.logger());
    r.level = static_cast<int>(log.level());
    r.text = history::cleanText(log.message());
    r.recvTime = receiveTime();
    record(std::move(r));
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
    double lag = std::round(s.lag / 1000.0) / 1000.0;
    auto lagProperty = properties.at("lag");
    if (lagProperty->doubleValue != lag)
        lagProperty->setValue(lag);
    unsigned int wanted = s.connected ? STATUS_RECORDING : STATUS_BUFFERING;
    if (status != wanted && (s.connected || s.buffered > 0 || status == STATUS_RECORDING))
        changeStatus(wanted);
}

void Archiver::onIdle()
{
    if (!writer || stopped)
        return;
    auto now = std::chrono::steady_clock::now();
    if (now - lastPublish < kPublishEvery)
        return;
    lastPublish = now;
    logWriterMessages();
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
    bool complete = writer->stop(kStopTimeout);
    logWriterMessages();
    history::WriterStats s = writer->stats();
    if (complete)
        logger->info("History flushed: {} rows written, {} dropped", s.written, s.dropped);
    else
        logger->error("History not complete: {} rows written, {} dropped", s.written, s.dropped);
}

}  // namespace corvo::archiver
