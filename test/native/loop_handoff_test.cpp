// The hand-off of work from the JavaScript thread to the PipeWire thread,
// with signals arriving at the waiting thread all the time (handlers without
// SA_RESTART, as Node.js installs for SIGUSR1). Every call must have run,
// exactly once, when the wait returns. Meant for the sanitizers too.
#include <gtest/gtest.h>
#include <pthread.h>

#include <stdlib.h>
#include <unistd.h>

#include <atomic>
#include <csignal>
#include <filesystem>
#include <iterator>
#include <mutex>
#include <thread>

#include "Clock.h"
#include "pipewire/PwContext.h"
#include "pipewire/PwThread.h"
#include "pipewire/SharedConnection.h"

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

    struct sigaction action {};  // no SA_RESTART: interrupted waits return EINTR
    action.sa_handler = onSignal;
    sigemptyset(&action.sa_mask);
    struct sigaction previous {};
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

int threadCount() {
    return int(std::distance(std::filesystem::directory_iterator("/proc/self/task"), {}));
}

// Polls `done` for up to 5 s.
template <typename F>
bool waitUntil(F&& done) {
    for (int64_t deadline = monotonicMs() + 5000; monotonicMs() < deadline; sleepMs(1))
        if (done()) return true;
    return false;
}

std::atomic<bool> gBlocked{false}, gGo{false};

// Holds the PipeWire thread until told to go on, then announces a node as a
// registry handler of the old connection would.
int holdLoop(spa_loop*, bool, uint32_t, const void*, size_t, void* user) {
    auto* ctx = static_cast<PwContext*>(user);
    ctx->graphSyncs.insert(7);  // state of the PipeWire thread only
    gBlocked = true;
    while (!gGo) sleepMs(1);
    LockGuard lock(ctx->mutex);
    ctx->nodes.push_back(NodeInfo{});
    return 0;
}

int noop(spa_loop*, bool, uint32_t, const void*, size_t, void*) {
    return 0;
}

// Where no daemon listens: the runtime directories point at an empty one.
TEST(LoopHandoff, OneThreadServesEveryConnectionAndAStuckOneIsLeftToReleaseItself) {
    char path[] = "/tmp/quorvane-native-XXXXXX";
    ASSERT_NE(mkdtemp(path), nullptr);
    setenv("XDG_RUNTIME_DIR", path, 1);
    setenv("PIPEWIRE_RUNTIME_DIR", path, 1);
    unsetenv("PIPEWIRE_REMOTE");
    int before = threadCount();
    PwContext ctx;
    // Tried, and not up.
    auto failed = [&] { return ctx.loopState == LoopState::Ended || (isLoopRunning(&ctx) && !ctx.connected); };
    ASSERT_TRUE(startPwThread(&ctx, false));
    ASSERT_TRUE(waitUntil(failed));
    EXPECT_FALSE(invokeOnLoop(&ctx, bump, 0, nullptr, 0)) << "no hand-off without a connection";
    int running = threadCount();
    EXPECT_GT(running, before) << "the PipeWire thread runs";
    stopPwThread(&ctx);
    EXPECT_FALSE(isLoopRunning(&ctx));
    // Closed before the thread could try: the queued connect is dropped; no
    // start makes another thread.
    ASSERT_TRUE(startPwThread(&ctx, false));
    stopPwThread(&ctx);
    EXPECT_EQ(ctx.core.load(), nullptr);
    EXPECT_EQ(threadCount(), running);

    // A thread stuck in a handler, its invoke queue full: the stop gives up
    // waiting, empties the mirror and leaves the thread's own state to it.
    ASSERT_TRUE(startPwThread(&ctx, false));
    ASSERT_TRUE(waitUntil(failed));
    pw_loop* loop = pw_main_loop_get_loop(ctx.mainLoop);
    ASSERT_GE(pw_loop_invoke(loop, holdLoop, 0, nullptr, 0, false, &ctx), 0);
    ASSERT_TRUE(waitUntil([] { return gBlocked.load(); }));
    bool full = false;
    for (int i = 0; i < 1000000 && !full; i++) full = pw_loop_invoke(loop, noop, 0, nullptr, 0, false, &ctx) < 0;
    ASSERT_TRUE(full);
    closeConnection(&ctx, nullptr);
    EXPECT_EQ(ctx.graphSyncs.count(7), 1u);
    EXPECT_TRUE(ctx.nodes.empty());
    // Once free, the thread releases the connection and drops what the old
    // connection announced after the mirror was emptied.
    gGo = true;
    EXPECT_TRUE(waitUntil([&] {
        std::lock_guard<std::mutex> released(ctx.releaseMutex);
        LockGuard lock(ctx.mutex);
        return ctx.nodes.empty() && ctx.releaseState == PwContext::Release::Done;
    }));

    shutdownPwThread(&ctx);
    EXPECT_EQ(threadCount(), before) << "the PipeWire thread and its context's thread have ended";
    rmdir(path);
}

}  // namespace
