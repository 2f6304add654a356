// The hand-off of work from the JavaScript thread to the PipeWire thread,
// with signals arriving at the waiting thread all the time (handlers without
// SA_RESTART, as Node.js installs for SIGUSR1). Every call must have run,
// exactly once, when the wait returns. Meant for the sanitizers too.
#include <gtest/gtest.h>
#include <pthread.h>

#include <atomic>
#include <csignal>
#include <thread>

#include "core/Clock.h"
#include "connection/PwContext.h"
#include "connection/PwThread.h"

namespace {

std::atomic<int> gSignals{0};

void onSignal(int) {
    gSignals.fetch_add(1, std::memory_order_relaxed);
}

struct Work {
    int runs = 0;
    int value = 0;
};

int bump(spa_loop*, bool, uint32_t seq, const void* data, size_t size, void*) {
    if (size != sizeof(Work*)) return -1;
    Work* work = *static_cast<Work* const*>(data);
    work->runs++;
    work->value = int(seq);
    return 0;
}

int quit(spa_loop*, bool, uint32_t, const void*, size_t, void* user) {
    pw_main_loop_quit(static_cast<PwContext*>(user)->mainLoop);
    return 0;
}

TEST(LoopHandoff, EveryCallHasRunWhenTheWaitReturnsWhateverSignalsArrive) {
    pw_init(nullptr, nullptr);
    PwContext ctx;
    ctx.mainLoop = pw_main_loop_new(nullptr);
    ASSERT_NE(ctx.mainLoop, nullptr);
    ctx.loopState = LoopState::Running;
    std::thread loop([&] { pw_main_loop_run(ctx.mainLoop); });

    struct sigaction action = {};  // no SA_RESTART: interrupted waits return EINTR
    action.sa_handler = onSignal;
    sigemptyset(&action.sa_mask);
    struct sigaction previous = {};
    sigaction(SIGUSR1, &action, &previous);
    pthread_t waiter = pthread_self();
    std::atomic<bool> stop{false};
    std::thread sender([&] {
        while (!stop) {
            pthread_kill(waiter, SIGUSR1);
            sleepUntilNs(monotonicNs() + 20000);
        }
    });

    // At least this many calls, and on until many signals have landed.
    constexpr int kCalls = 20000, kSignals = 2000, kMaxCalls = 2000000;
    int wrong = 0;
    for (int i = 0; i < kMaxCalls && (i < kCalls || gSignals.load() < kSignals); i++) {
        Work work;  // on this stack frame, as the link requests' are
        Work* ptr = &work;
        ASSERT_TRUE(invokeOnLoop(&ctx, bump, uint32_t(i), &ptr, sizeof ptr));
        if (work.runs != 1 || work.value != i) wrong++;
    }
    stop = true;
    sender.join();
    sigaction(SIGUSR1, &previous, nullptr);
    EXPECT_EQ(wrong, 0);
    EXPECT_GE(gSignals.load(), kSignals) << "the signals must have arrived while waiting";

    ASSERT_TRUE(invokeOnLoop(&ctx, quit, 0, nullptr, 0));
    loop.join();
    ctx.loopState = LoopState::Ended;
    EXPECT_FALSE(invokeOnLoop(&ctx, bump, 0, nullptr, 0)) << "no hand-off once the loop has ended";
    pw_main_loop_destroy(ctx.mainLoop);
    ctx.mainLoop = nullptr;
}

}  // namespace
