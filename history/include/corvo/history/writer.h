// The archiver's write path: a bounded buffer filled by the event loop and
// a thread of its own that writes it to the database in batched
// transactions, reconnects when the database goes away, counts and records
// what had to be dropped, and keeps the session (recording time) current.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "corvo/history/record.h"
#include "corvo/history/store.h"

namespace corvo::history {

struct WriterOptions {
    // Bounds of the buffer (rows waiting to be written): whichever is reached
    // first. Beyond them new rows are dropped and counted.
    size_t maxRows = 500000;
    size_t maxBytes = 256u << 20;
    // A transaction holds at most this many rows, and the buffer is written
    // at least this often.
    size_t batchRows = 20000;
    std::chrono::milliseconds interval{200};
    // Reconnection attempts back off from `retryMin` to `retryMax`.
    std::chrono::milliseconds retryMin{250};
    std::chrono::milliseconds retryMax{5000};
    // Rows older than this are deleted (0: kept for ever), checked hourly
    // (elapsed time). The cut-off never runs ahead of the wall clock at the
    // start plus the time elapsed since, so that a wall clock stepped ahead
    // cannot delete rows younger than this.
    Micros retention = 0;
    // Writing stops while the file system holding `freePath` has less than
    // `minFree` bytes available to us (0, or an empty path: never), and
    // resumes when it has them again; rows wait in the buffer meanwhile.
    // Checked before every write. `freeSpace` answers for tests; by default
    // statvfs(freePath).
    uint64_t minFree = 0;
    std::string freePath;
    std::function<uint64_t(const std::string&)> freeSpace;
    // Messages waiting for the owner's log (oldest dropped beyond).
    size_t maxMessages = 100;
    // The wall clock (µs since the epoch); nowMicros() when empty. For tests.
    std::function<Micros()> wallClock;
};

struct WriterStats {
    int64_t written = 0;  // rows committed
    int64_t dropped = 0;  // rows lost (buffer full, or left at stop)
    size_t buffered = 0;  // rows waiting
    size_t bufferedBytes = 0;
    Micros lag = 0;  // age of the oldest waiting row; 0 when none
    bool connected = false;
    bool failing = false;   // the last attempt to open or write failed
    bool lowSpace = false;  // writing stopped: free space below the floor
};

// Bytes available to an unprivileged writer on the file system holding
// `path`; UINT64_MAX when it cannot be told.
uint64_t availableBytes(const std::string& path);
// The directory holding an SQLite file ("." for a bare name), or "" for a
// PostgreSQL connection string (its disk is the server's).
std::string databaseDirectory(const std::string& db);

class Writer {
public:
    // Starts the thread; the database is opened (and created) there, so a
    // database that is not there yet only delays writing.
    Writer(std::string db, WriterOptions options = {}, Micros sessionStart = 0);
    ~Writer();
    Writer(const Writer&) = delete;
    Writer& operator=(const Writer&) = delete;

    // Queues one record; false when it was dropped (buffer full).
    bool push(Record record);
    // Queues each of `records` in order under one lock, with the same bounds
    // as push; returns how many were queued (the others are dropped and
    // counted). `records` is left empty, its capacity kept for reuse.
    size_t push(std::vector<Record>& records);
    // Writes what is buffered now, without waiting for the interval.
    void flush();
    // Writes everything buffered (waiting at most `timeout` for the
    // database), closes the session and ends the thread. What could not be
    // written is counted as dropped. Returns true when nothing was dropped at
    // this point.
    bool stop(std::chrono::milliseconds timeout);

    WriterStats stats() const;
    // Messages for the owner's log (errors, reconnections, drops), oldest
    // first; taking them empties the list.
    std::vector<std::string> takeMessages();
    std::string backend() const { return description; }

private:
    void run();
    bool ensureOpen();
    bool writeBatch(std::vector<Record>& batch, bool last);
    // Marks the session ended (write thread, store open), best effort.
    void closeSession();
    void closeDropRun();
    // Called with the mutex held.
    bool admit(Record& record);
    void append(Record&& record, size_t bytes);
    // Moves the oldest chunk into inFlight; with the mutex held.
    void takeBatch();
    // False (and a message on each change) while free space is below the floor.
    bool enoughSpace();
    bool expireDue() const;
    void expire();
    void message(std::string text);
    Micros now() const;
    // The wall clock at the start advanced by the steady time since: no step
    // of the wall clock moves it.
    Micros anchoredNow() const;

    const std::string db;
    const std::string description;
    const WriterOptions options;
    const Micros wallAtStart;
    const std::chrono::steady_clock::time_point steadyAtStart;

    mutable std::mutex mutex;
    std::condition_variable wake;
    std::condition_variable drained;
    // Rows waiting, in chunks of at most batchRows: the write thread takes a
    // whole chunk at once, so that the loop never waits while rows are moved.
    struct Chunk {
        std::vector<Record> rows;
        size_t bytes = 0;
    };
    std::deque<Chunk> buffer;
    size_t bufferRows = 0;
    size_t bufferBytes = 0;
    bool flushRequested = false;
    bool stopping = false;
    std::chrono::steady_clock::time_point stopDeadline;
    int64_t written = 0;
    int64_t dropped = 0;
    bool connected = false;
    // The current run of drops: its span and count, recorded as a Gap.
    int64_t dropRunCount = 0;
    Micros dropRunStart = 0;
    Micros dropRunEnd = 0;
    std::deque<std::string> messages;
    size_t inFlightRows = 0;
    size_t inFlightBytes = 0;
    Micros oldestInFlight = kNoTime;
    int64_t leftAtStop = 0;
    std::string lastError;

    // Used by the thread only.
    std::unique_ptr<Store> store;
    Session session;
    // The last attempt with rows whose write failed: its COMMIT may have
    // reached the database all the same. Looked up before the next write.
    std::optional<Session> unsure;
    std::vector<Record> inFlight;
    // A written batch's storage, kept for the next chunk (guarded by the mutex).
    std::vector<Record> spare;
    std::optional<std::chrono::steady_clock::time_point> lastExpire;
    bool spaceLow = false;  // guarded by the mutex when read by stats()

    std::thread thread;
};

}  // namespace corvo::history
