// The node's clock: monotonic milliseconds, shared by all its parts.
#pragma once

#include <czmq.h>

#include <cstdint>

namespace zre {

// A deadline that never comes.
constexpr int64_t kNever = INT64_MAX;

inline int64_t now()
{
    return zclock_mono();
}

}  // namespace zre
