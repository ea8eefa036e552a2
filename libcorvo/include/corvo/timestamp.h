/// @file
/// Send times of wire records: stamping a record and measuring its delay.
/// Used by properties, commands and the wire framing alike, so it depends on
/// none of them.
#pragma once

#include "corvo/export.h"

#include <google/protobuf/timestamp.pb.h>

#include <chrono>
#include <cstdint>

namespace corvo {

/// Stamps `ts` with the current system time: whole seconds since the epoch
/// and the remaining nanoseconds.
CORVO_API void setTimestampNow(google::protobuf::Timestamp* ts);

/// Microseconds from a peer's send time (seconds and nanoseconds since the
/// epoch, as the peer stamped it) to `now`. Computed wide, so that any pair of
/// 64-bit values gives a result: a delay beyond the range of int64_t is
/// clamped to its ends. The one place where a send delay is computed.
CORVO_API int64_t sendDelayMicroseconds(int64_t sentSeconds, int64_t sentNanos,
                                        std::chrono::system_clock::time_point now = std::chrono::system_clock::now());

/// True when a record carries a send time at all: a record whose sender left
/// the time unset (both fields zero) has no delay to report.
inline bool hasSendTime(const google::protobuf::Timestamp& ts)
{
    return ts.seconds() != 0 || ts.nanos() != 0;
}

}  // namespace corvo
