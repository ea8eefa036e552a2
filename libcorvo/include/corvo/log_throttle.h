/// @file
/// Rate limit for error records caused by peers: per key (a peer and a kind of
/// error) the first few records of a time window are written, the rest are
/// counted and summed up once as "repeated N times".
#pragma once

#include "corvo/export.h"

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <string>
#include <unordered_map>
#include <vector>

namespace corvo {

/// The rate limit of one kind of records (see the file's description). Not
/// thread-safe: its owner serialises the calls.
class CORVO_API LogThrottle {
public:
    /// The clock of the windows: steady, so a change of the system time
    /// neither opens nor holds windows.
    using Clock = std::chrono::steady_clock;

    /// What to do with one record.
    struct Decision {
        bool write = false;     ///< write this record
        uint64_t repeated = 0;  ///< first write "repeated N times" for records held back before
    };
    /// A key whose window ended with records held back.
    struct Summary {
        std::string key;        ///< the key (kOverflowKey for the shared one)
        uint64_t repeated = 0;  ///< records held back in its last window
    };

    /// `burst` records per key and window are written. At most `maxKeys` keys
    /// are tracked; beyond them, records share one overflow key, so that a
    /// stream of new keys cannot grow the table.
    explicit LogThrottle(size_t burst = 5, Clock::duration window = std::chrono::seconds(10), size_t maxKeys = 1024);

    /// Counts one record of `key` at `now` and says whether to write it. The
    /// first record after a window ended starts a new one and carries the
    /// count of the records the old window held back.
    Decision admit(const std::string& key, Clock::time_point now = Clock::now());
    /// Removes the keys whose window has ended and returns those that held
    /// records back, so that their count can be written.
    std::vector<Summary> expire(Clock::time_point now = Clock::now());
    /// Every key with records held back, window ended or not; forgets them all.
    std::vector<Summary> flush();

    /// The number of keys tracked now (at most `maxKeys`).
    size_t trackedKeys() const { return entries.size(); }
    /// The key that every record shares once `maxKeys` keys are tracked.
    static const char* const kOverflowKey;

private:
    struct Entry {
        Clock::time_point windowStart;
        uint64_t seen = 0;
    };
    uint64_t heldBack(const Entry& entry) const { return entry.seen > burst ? entry.seen - burst : 0; }

    size_t burst;
    Clock::duration window;
    size_t maxKeys;
    std::unordered_map<std::string, Entry> entries;
};

}  // namespace corvo
