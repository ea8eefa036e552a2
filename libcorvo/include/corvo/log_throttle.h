// Rate limit for error records caused by peers: per key (a peer and a kind of
// error) the first few records of a time window are written, the rest are
// counted and summed up once as "repeated N times".
#pragma once

#include "corvo/export.h"

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <string>
#include <unordered_map>
#include <vector>

namespace corvo {

class CORVO_API LogThrottle {
public:
    using Clock = std::chrono::steady_clock;

    // What to do with one record.
    struct Decision {
        bool write = false;     // write this record
        uint64_t repeated = 0;  // first write "repeated N times" for records held back before
    };
    // A key whose window ended with records held back.
    struct Summary {
        std::string key;
        uint64_t repeated = 0;
    };

    // `burst` records per key and window are written. At most `maxKeys` keys
    // are tracked; beyond them, records share one overflow key, so that a
    // stream of new keys cannot grow the table.
    explicit LogThrottle(size_t burst = 5, Clock::duration window = std::chrono::seconds(10), size_t maxKeys = 1024);

    Decision admit(const std::string& key, Clock::time_point now = Clock::now());
    // Removes the keys whose window has ended and returns those that held
    // records back, so that their count can be written.
    std::vector<Summary> expire(Clock::time_point now = Clock::now());
    // Every key with records held back, window ended or not; forgets them all.
    std::vector<Summary> flush();

    size_t trackedKeys() const { return entries.size(); }
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
