// Milliseconds on the monotonic clock, for waits that must not jump with the
// wall clock.
#pragma once

#include <cstdint>
#include <ctime>

inline int64_t monotonicMs() {
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return int64_t(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000;
}
