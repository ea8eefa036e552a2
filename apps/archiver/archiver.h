// corvo-archiver: a daemon of type "archiver" that records what happens on
// its site (property broadcasts, status changes, log records, peers entering
// and leaving, the values of each daemon's Info) into the history database.
#pragma once

#include <uv.h>

#include <chrono>
#include <memory>
#include <string>
#include <unordered_set>

#include <corvo/daemon.h>
#include <corvo/history/writer.h>

#include "admission.h"
#include "image_copies.h"

namespace corvo::archiver {

// Receive times that order the rows: each one later than the one before, by
// 1 µs when the wall clock gives the same time again or went back by less
// than kMaxTieBreak (a reordering). A larger step back of the clock (NTP,
// `date -s`) is followed, so that the rows after it keep their real times
// instead of all being pinned to the moment before the step.
class ReceiveClock {
public:
    static constexpr history::Micros kMaxTieBreak = 1000000;
    struct Reading {
        history::Micros time = 0;         // the row's receive time
        history::Micros steppedBack = 0;  // how far the clock went back since the last row, when it was followed
    };
    // The receive time of a row that arrived at `arrived` (wall clock).
    Reading next(history::Micros arrived);

private:
    history::Micros last = 0;
};

class Archiver : public Daemon {
public:
    Archiver();

    void processOptions() override;
    void beforeInit() override;
    void beforeLoop() override;
    void onIdle() override;
    void cleanup() override;

    void onEnter(std::shared_ptr<Peer> peer) override;
    void onExit(std::shared_ptr<Peer> peer) override;
    void onInfo(std::shared_ptr<Peer> peer) override;
    void onProperty(std::shared_ptr<Peer> peer, const Property& property) override;
    void onStatus(std::shared_ptr<Peer> peer, unsigned int status) override;
    void onLog(std::shared_ptr<Peer> peer, const corvo::proto::Log& log) override;
    // Image announcements and transfers, for the copies (--image-dir).
    void onImageMessage(std::shared_ptr<Peer> peer, uint8_t tag, const unsigned char* data, size_t size) override;
    void onResponse(std::shared_ptr<Peer> peer, const corvo::proto::Response& response) override;

    static constexpr unsigned int STATUS_RECORDING = 1;
    static constexpr unsigned int STATUS_BUFFERING = 2;
    static constexpr unsigned int STATUS_LOW_SPACE = 3;

private:
    // Receive times (ReceiveClock); a step back of the wall clock is logged.
    history::Micros receiveTime();
    // The same, from a time already read (a broadcast's arrival).
    history::Micros receiveTime(std::chrono::system_clock::time_point arrived);
    // The loop's time of the event being handled: budgets need no finer
    // clock, and reading it costs no system call.
    Clock::time_point loopTime() const;
    void record(history::Record&& record);
    // Hands the rows of this loop turn to the writer, under one lock.
    void handOver();
    // Records a peer's values and status as it holds them now, where they
    // differ from those recorded.
    void recordDescribed(const Peer& peer);
    // After the writer lost rows, once it has room again: every peer's
    // values now, so that a lost change is stored even if it is never sent
    // again.
    void recordLostValues(const history::WriterStats& stats);
    void recordSample(const Peer& peer, const Property& property, int source, history::Micros received);
    void recordStatus(const Peer& peer, unsigned int value, history::Micros received);
    // A record of the archiver's own, logged and kept in the history.
    void recordOwnLog(corvo::proto::Log::LogLevel level, const std::string& text);
    void publishStats();
    void logWriterMessages();
    void reportDrops();
    // Forgets the admission state and Info of peers no longer in the table:
    // a peer can leave it without onExit (see Network::onExit).
    void forgetDeparted();
    double limitOption(const char* key, double fallback);
    void readImageOptions();

    std::string db;
    history::WriterOptions writerOptions;
    BudgetLimits budgetLimits;
    Admission admission;
    std::unique_ptr<history::Writer> writer;
    // Rows of the current loop turn, not yet handed over (at most kHandOverRows).
    std::vector<history::Record> pending;
    ImageCopies::Options copyOptions;
    std::unique_ptr<ImageCopies> copies;  // with --image-dir only
    history::Micros startTime = 0;
    ReceiveClock receiveClock;
    bool valuesLost = false;  // the writer refused rows since recordLostValues
    // The peers whose Info came (by UUID): the others have no values or
    // status to record again.
    std::unordered_set<std::string> described;
    std::chrono::steady_clock::time_point lastPublish;
    uv_signal_t termSignal{};
    bool stopped = false;
};

// A property's value as the history stores it.
history::Value storedValue(const Property& property);

}  // namespace corvo::archiver
