// The monotonic clock, and sleeps on it that a signal cannot cut short:
// Node.js processes receive SIGCHLD, SIGWINCH and SIGUSR1 at any time.
#pragma once

#include <cerrno>
#include <cstdint>
#include <ctime>

inline int64_t monotonicNs() {
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return int64_t(ts.tv_sec) * 1000000000 + ts.tv_nsec;
}

inline int64_t monotonicMs() {
    return monotonicNs() / 1000000;
}

// Sleeps until the monotonic clock reads `deadlineNs`, resuming after signals.
inline void sleepUntilNs(int64_t deadlineNs) {
    timespec ts{time_t(deadlineNs / 1000000000), long(deadlineNs % 1000000000)};
    while (clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &ts, nullptr) == EINTR) {
    }
}

inline void sleepMs(int64_t ms) {
    sleepUntilNs(monotonicNs() + ms * 1000000);
}
