// The write thread: batches from the bounded buffer, one transaction each,
// reconnection with back-off, drops counted and recorded as gaps.
#include "corvo/history/writer.h"

#include <pthread.h>
#include <sys/statvfs.h>

#include <algorithm>
#include <cinttypes>
#include <limits>

#include "corvo/history/timeexpr.h"

namespace corvo::history {

namespace {

constexpr auto kHeartbeat = std::chrono::seconds(1);
constexpr auto kExpireEvery = std::chrono::hours(1);
// A wall clock further ahead of the anchored time than this is told of when
// it holds the retention back.
constexpr Micros kClockAheadTold = 60LL * 1000000;
// While writing is stopped for want of space, the space is looked at this often.
constexpr auto kSpaceCheckEvery = std::chrono::seconds(1);

std::string mebibytes(uint64_t bytes)
{
    return std::to_string(bytes >> 20) + " MiB";
}

}  // namespace

uint64_t availableBytes(const std::string& path)
{
    struct statvfs st {};
    if (statvfs(path.c_str(), &st) != 0)
        return std::numeric_limits<uint64_t>::max();
    return static_cast<uint64_t>(st.f_bavail) * st.f_frsize;
}

std::string databaseDirectory(const std::string& db)
{
    if (Store::isPostgres(db))
        return "";
    size_t slash = db.rfind('/');
    if (slash == std::string::npos)
        return ".";
    return slash == 0 ? "/" : db.substr(0, slash);
}

Writer::Writer(std::string db, WriterOptions options, Micros sessionStart)
    : db(std::move(db)), description(Store::describe(this->db)), options(std::move(options)), wallAtStart(now()),
      steadyAtStart(std::chrono::steady_clock::now())
{
    session.started = sessionStart ? sessionStart : wallAtStart;
    session.lastSeen = session.started;
    thread = std::thread([this] { run(); });
}

Writer::~Writer()
{
    if (thread.joinable())
        stop(std::chrono::seconds(5));
}

Micros Writer::now() const
{
    return options.wallClock ? options.wallClock() : nowMicros();
}

Micros Writer::anchoredNow() const
{
    auto elapsed = std::chrono::steady_clock::now() - steadyAtStart;
    return wallAtStart + std::chrono::duration_cast<std::chrono::microseconds>(elapsed).count();
}

void Writer::message(std::string text)
{
    // Called with the mutex held.
    if (messages.size() >= options.maxMessages)
        messages.pop_front();
    messages.push_back(std::move(text));
}

std::vector<std::string> Writer::takeMessages()
{
    std::lock_guard<std::mutex> lock(mutex);
    std::vector<std::string> out(std::make_move_iterator(messages.begin()), std::make_move_iterator(messages.end()));
    messages.clear();
    return out;
}

void Writer::closeDropRun()
{
    // Called with the mutex held. The gap record itself is exempt from the
    // bounds (at most one per run of drops).
    if (dropRunCount == 0)
        return;
    Gap gap;
    gap.start = dropRunStart;
    gap.end = dropRunEnd;
    gap.dropped = dropRunCount;
    gap.reason = "dropped";
    message("Buffer full: dropped " + std::to_string(dropRunCount) + " rows received between " + isoTime(dropRunStart) +
            " and " + isoTime(dropRunEnd));
    size_t bytes = recordBytes(gap);
    append(std::move(gap), bytes);
    dropRunCount = 0;
}

void Writer::append(Record&& record, size_t bytes)
{
    if (buffer.empty() || buffer.back().rows.size() >= options.batchRows) {
        buffer.emplace_back();
        // The last written batch's storage, so that a chunk seldom grows.
        buffer.back().rows.swap(spare);
    }
    Chunk& chunk = buffer.back();
    chunk.rows.push_back(std::move(record));
    chunk.bytes += bytes;
    ++bufferRows;
    bufferBytes += bytes;
}

bool Writer::admit(Record& record)
{
    size_t bytes = recordBytes(record);
    if (stopping) {
        ++dropped;
        return false;
    }
    if (bufferRows + inFlightRows >= options.maxRows || bufferBytes + bytes > options.maxBytes) {
        ++dropped;
        Micros t = recordTime(record);
        if (dropRunCount == 0) {
            dropRunStart = t;
            message("Buffer full (" + std::to_string(bufferRows + inFlightRows) + " rows waiting): dropping rows");
        }
        ++dropRunCount;
        dropRunEnd = t;
        return false;
    }
    closeDropRun();
    append(std::move(record), bytes);
    return true;
}

bool Writer::push(Record record)
{
    std::lock_guard<std::mutex> lock(mutex);
    bool queued = admit(record);
    if (bufferRows >= options.batchRows)
        wake.notify_one();
    return queued;
}

size_t Writer::push(std::vector<Record>& records)
{
    size_t queued = 0;
    {
        std::lock_guard<std::mutex> lock(mutex);
        for (Record& record : records)
            queued += admit(record) ? 1 : 0;
        if (bufferRows >= options.batchRows)
            wake.notify_one();
    }
    records.clear();
    return queued;
}

void Writer::takeBatch()
{
    if (buffer.empty())
        return;
    Chunk& chunk = buffer.front();
    inFlight.swap(chunk.rows);
    inFlightRows = inFlight.size();
    inFlightBytes = chunk.bytes;
    bufferRows -= inFlightRows;
    buffer.pop_front();
    oldestInFlight = inFlight.empty() ? kNoTime : recordTime(inFlight.front());
}

void Writer::flush()
{
    std::lock_guard<std::mutex> lock(mutex);
    flushRequested = true;
    wake.notify_one();
}

bool Writer::stop(std::chrono::milliseconds timeout)
{
    {
        std::lock_guard<std::mutex> lock(mutex);
        if (!thread.joinable())
            return leftAtStop == 0;
        stopping = true;
        stopDeadline = std::chrono::steady_clock::now() + timeout;
        closeDropRun();
        wake.notify_one();
    }
    thread.join();
    return leftAtStop == 0;
}

WriterStats Writer::stats() const
{
    std::lock_guard<std::mutex> lock(mutex);
    WriterStats s;
    s.written = written;
    s.dropped = dropped;
    s.buffered = bufferRows + inFlightRows;
    s.bufferedBytes = bufferBytes;
    s.connected = connected;
    s.failing = !lastError.empty();
    s.lowSpace = spaceLow;
    Micros oldest =
        inFlightRows ? oldestInFlight : (buffer.empty() ? kNoTime : recordTime(buffer.front().rows.front()));
    s.lag = oldest == kNoTime ? 0 : std::max<Micros>(0, nowMicros() - oldest);
    return s;
}

bool Writer::enoughSpace()
{
    if (options.minFree == 0 || options.freePath.empty())
        return true;
    uint64_t free = options.freeSpace ? options.freeSpace(options.freePath) : availableBytes(options.freePath);
    bool low = free < options.minFree;
    std::lock_guard<std::mutex> lock(mutex);
    if (low && !spaceLow)
        message("Free space on " + options.freePath + " is " + mebibytes(free) + ", below the floor of " +
                mebibytes(options.minFree) + ": writing stopped, rows wait in the buffer");
    else if (!low && spaceLow)
        message("Free space on " + options.freePath + " is " + mebibytes(free) + " again: writing resumed");
    spaceLow = low;
    return !low;
}

bool Writer::ensureOpen()
{
    if (store)
        return true;
    try {
        // The database is told to be back only once a write succeeds (run):
        // one that opens but refuses every batch (a full disk) is not back.
        store = Store::open(db, true);
        return true;
    } catch (const std::exception& e) {
        std::lock_guard<std::mutex> lock(mutex);
        connected = false;
        if (e.what() != lastError)
            message(std::string("Database unavailable, buffering: ") + e.what());
        lastError = e.what();
        return false;
    }
}

bool Writer::writeBatch(std::vector<Record>& batch, bool last)
{
    Session attempt = session;
    // Strictly later than any write before, so that the session row tells
    // this attempt from every other.
    attempt.lastSeen = std::max(now(), session.lastSeen + 1);
    if (last)
        attempt.ended = attempt.lastSeen;
    try {
        // The link may have failed after the database took the failed
        // attempt's COMMIT: then the batch is in, and writing it again would
        // store its rows, and count them in the roll-ups, twice.
        if (unsure) {
            Session previous = *unsure;
            bool done = store->committed(previous);
            unsure.reset();
            if (done) {
                session = previous;
                if (last && session.ended == kNoTime)
                    closeSession();
                return true;
            }
        }
        store->write(batch, attempt);
        session = attempt;
        return true;
    } catch (const std::exception& e) {
        // Only a batch with rows stays in flight until it is written: after
        // an empty one (a heartbeat) the next attempt carries other rows,
        // which the heartbeat's commit must not count as written.
        if (!unsure && !batch.empty())
            unsure = attempt;
        store.reset();
        std::lock_guard<std::mutex> lock(mutex);
        connected = false;
        if (e.what() != lastError)
            message(std::string("Database write failed, buffering: ") + e.what());
        lastError = e.what();
        return false;
    }
}

void Writer::closeSession()
{
    Session attempt = session;
    attempt.lastSeen = std::max(now(), session.lastSeen + 1);
    attempt.ended = attempt.lastSeen;
    try {
        store->write({}, attempt);
        session = attempt;
    } catch (const std::exception&) {
        // The batch is in; the session is left as it was last seen.
        store.reset();
    }
}

bool Writer::expireDue() const
{
    return !lastExpire || std::chrono::steady_clock::now() - *lastExpire >= kExpireEvery;
}

void Writer::expire()
{
    lastExpire = std::chrono::steady_clock::now();
    // A wall clock stepped ahead (for a moment, or by a wrong setting) must
    // not decide alone what is old: the cut-off is at most the anchored time
    // minus the retention, so rows received in this run go only once they
    // are that old in elapsed time.
    Micros wall = now();
    Micros anchored = anchoredNow();
    Micros before = std::min(wall, anchored) - options.retention;
    if (wall - anchored > kClockAheadTold) {
        std::lock_guard<std::mutex> lock(mutex);
        message("Retention: the clock is " + std::to_string((wall - anchored) / 1000000) +
                " s ahead of the time elapsed since the start; only rows received before " + isoTime(before) +
                " are deleted");
    }
    try {
        int64_t deleted = store->expire(before);
        std::lock_guard<std::mutex> lock(mutex);
        if (deleted > 0)
            message("Retention: deleted " + std::to_string(deleted) + " rows received before " + isoTime(before));
    } catch (const std::exception& e) {
        std::lock_guard<std::mutex> lock(mutex);
        message(std::string("Retention failed: ") + e.what());
    }
}

void Writer::run()
{
    using Clock = std::chrono::steady_clock;
    // Named so that its CPU can be told apart from the program's other threads.
    pthread_setname_np(pthread_self(), "corvo-writer");
    std::unique_lock<std::mutex> lock(mutex);
    Clock::time_point lastWrite = Clock::now();
    auto backoff = options.retryMin;
    while (true) {
        if (inFlight.empty()) {
            Clock::time_point due = lastWrite + (buffer.empty() ? kHeartbeat : options.interval);
            wake.wait_until(lock, due, [&] { return stopping || flushRequested || bufferRows >= options.batchRows; });
            takeBatch();
            if (buffer.empty())
                flushRequested = false;
        }
        bool last = stopping && buffer.empty();
        bool due = !inFlight.empty() || last || Clock::now() - lastWrite >= kHeartbeat;
        if (!due)
            continue;
        lock.unlock();
        bool space = enoughSpace();
        bool ok = space && ensureOpen() && writeBatch(inFlight, last);
        if (ok && options.retention > 0 && expireDue())
            expire();
        lock.lock();
        if (ok) {
            connected = true;
            if (!lastError.empty())
                message("Database " + description + " is back");
            lastError.clear();
            written += static_cast<int64_t>(inFlight.size());
            bufferBytes -= std::min(bufferBytes, inFlightBytes);
            inFlight.clear();
            if (spare.capacity() < inFlight.capacity())
                spare.swap(inFlight);
            inFlightRows = 0;
            inFlightBytes = 0;
            oldestInFlight = kNoTime;
            lastWrite = Clock::now();
            backoff = options.retryMin;
            drained.notify_all();
            if (last)
                return;
            continue;
        }
        if (stopping && Clock::now() >= stopDeadline) {
            leftAtStop = static_cast<int64_t>(inFlight.size() + bufferRows);
            dropped += leftAtStop;
            message("Stopped with " + std::to_string(leftAtStop) + " rows not written: database unavailable");
            inFlight.clear();
            buffer.clear();
            bufferRows = 0;
            inFlightRows = 0;
            inFlightBytes = 0;
            bufferBytes = 0;
            return;
        }
        Clock::time_point retryAt = Clock::now() + (space ? backoff : std::chrono::milliseconds(kSpaceCheckEvery));
        if (stopping)
            retryAt = std::min(retryAt, stopDeadline);
        wake.wait_until(lock, retryAt, [&] { return stopping && Clock::now() >= stopDeadline; });
        if (space)
            backoff = std::min(backoff * 2, options.retryMax);
    }
}

}  // namespace corvo::history
