// Time expressions of the history queries: a duration ("90s", "2h",
// "1d12h", "1.5h") or a point in time ("now", "2h" meaning two hours ago,
// "2026-12-08", "2026-12-08T01:30", "2026-12-08 01:30:15.25", optional "Z"
// or "+02:00"; without a zone the local time zone applies, "@1765157400" is
// seconds since the epoch).
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "corvo/history/record.h"

namespace corvo::history {

// Microseconds; nothing for text that is not a positive duration.
std::optional<Micros> parseDuration(const std::string& text);
// A point in time; a bare duration counts back from `now`.
std::optional<Micros> parseTimePoint(const std::string& text, Micros now);
Micros nowMicros();
// A size in bytes: "0", "4096", "1.5G"; suffixes K, M, G, T are powers of
// 1024. Nothing for anything else, or beyond 10^18 bytes.
std::optional<uint64_t> parseSize(const std::string& text);

}  // namespace corvo::history
