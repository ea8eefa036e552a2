#include "corvo/log_throttle.h"

namespace corvo {

const char* const LogThrottle::kOverflowKey = "(other peers)";

LogThrottle::LogThrottle(size_t burst, Clock::duration window, size_t maxKeys)
    : burst(burst), window(window), maxKeys(maxKeys < 1 ? 1 : maxKeys)
{}

LogThrottle::Decision LogThrottle::admit(const std::string& key, Clock::time_point now)
{
    Decision decision;
    auto it = entries.find(key);
    if (it == entries.end()) {
        // The overflow key keeps one slot free for itself.
        bool full = entries.size() + 1 >= maxKeys;
        it = entries.emplace(full ? std::string(kOverflowKey) : key, Entry{now, 0}).first;
    }
    Entry& entry = it->second;
    if (now - entry.windowStart >= window) {
        decision.repeated = heldBack(entry);
        entry = Entry{now, 0};
    }
    ++entry.seen;
    decision.write = entry.seen <= burst;
    return decision;
}

std::vector<LogThrottle::Summary> LogThrottle::expire(Clock::time_point now)
{
    std::vector<Summary> summaries;
    for (auto it = entries.begin(); it != entries.end();) {
        if (now - it->second.windowStart < window) {
            ++it;
            continue;
        }
        if (uint64_t repeated = heldBack(it->second))
            summaries.push_back({it->first, repeated});
        it = entries.erase(it);
    }
    return summaries;
}

std::vector<LogThrottle::Summary> LogThrottle::flush()
{
    std::vector<Summary> summaries;
    for (const auto& [key, entry] : entries)
        if (uint64_t repeated = heldBack(entry))
            summaries.push_back({key, repeated});
    entries.clear();
    return summaries;
}

}  // namespace corvo
