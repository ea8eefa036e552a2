#include "corvo/timestamp.h"

#include <limits>

namespace corvo {

void setTimestampNow(google::protobuf::Timestamp* ts)
{
    auto now = std::chrono::system_clock::now().time_since_epoch();
    int64_t ns = std::chrono::duration_cast<std::chrono::nanoseconds>(now).count();
    ts->set_seconds(ns / 1000000000);
    ts->set_nanos(static_cast<int32_t>(ns % 1000000000));
}

int64_t sendDelayMicroseconds(int64_t sentSeconds, int64_t sentNanos, std::chrono::system_clock::time_point now)
{
    // |seconds| * 10^9 stays below 2^94: no 128-bit overflow for any input.
    __int128 nowNs = std::chrono::duration_cast<std::chrono::nanoseconds>(now.time_since_epoch()).count();
    __int128 sentNs = static_cast<__int128>(sentSeconds) * 1000000000 + sentNanos;
    __int128 delay = (nowNs - sentNs) / 1000;
    if (delay > std::numeric_limits<int64_t>::max())
        return std::numeric_limits<int64_t>::max();
    if (delay < std::numeric_limits<int64_t>::min())
        return std::numeric_limits<int64_t>::min();
    return static_cast<int64_t>(delay);
}

}  // namespace corvo
