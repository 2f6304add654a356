// The hand-off of work from the JavaScript thread to the PipeWire thread,
// with signals arriving at the waiting thread all the time (handlers without
// SA_RESTART, as Node.js installs for SIGUSR1). Every call must have run,
// exactly once, when the wait returns. Meant for the sanitizers too.
#include <gtest/gtest.h>
#include <pthread.h>

#include <dirent.h>
#include <stdlib.h>
#include <unistd.h>

#include <atomic>
#include <csignal>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

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

    struct sigaction action {};
    action.sa_handler = onSignal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = 0;  // no SA_RESTART: interrupted waits return EINTR
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
    // A sleep is not cut short either.
    int64_t t0 = monotonicNs();
    sleepMs(30);
    int64_t slept = monotonicNs() - t0;

    stop = true;
    sender.join();
    sigaction(SIGUSR1, &previous, nullptr);
    EXPECT_EQ(wrong, 0);
    EXPECT_GE(gSignals.load(), kSignals) << "the signals must have arrived while waiting";
    EXPECT_GE(slept, 30 * 1000000);

    ASSERT_TRUE(invokeOnLoop(&ctx, quit, 0, nullptr, 0));
    loop.join();
    ctx.loopState = LoopState::Ended;
    EXPECT_FALSE(invokeOnLoop(&ctx, bump, 0, nullptr, 0)) << "no hand-off once the loop has ended";
    pw_main_loop_destroy(ctx.mainLoop);
    ctx.mainLoop = nullptr;
}

int threadCount() {
    int n = 0;
    if (DIR* dir = opendir("/proc/self/task")) {
        while (dirent* e = readdir(dir))
            if (e->d_name[0] != '.') n++;
        closedir(dir);
    }
    return n;
}

// Waits, bounded, until the connection has been tried and is not up.
bool waitForFailedConnect(PwContext& ctx) {
    int64_t deadline = monotonicMs() + 5000;
    while (monotonicMs() < deadline) {
        LoopState state = ctx.loopState.load();
        if (state == LoopState::Ended || (state == LoopState::Running && !ctx.connected)) return true;
        sleepMs(1);
    }
    return false;
}

// Where no daemon listens, for as long as the test runs.
class NoDaemon {
public:
    NoDaemon() {
        char path[] = "/tmp/quorvane-native-XXXXXX";
        dir_ = mkdtemp(path) ? path : "";
        for (const char* name : {"XDG_RUNTIME_DIR", "PIPEWIRE_RUNTIME_DIR", "PIPEWIRE_REMOTE"}) {
            const char* value = getenv(name);
            saved_.push_back({name, value ? value : "", value != nullptr});
        }
        setenv("XDG_RUNTIME_DIR", dir_.c_str(), 1);
        setenv("PIPEWIRE_RUNTIME_DIR", dir_.c_str(), 1);
        unsetenv("PIPEWIRE_REMOTE");
    }
    ~NoDaemon() {
        for (const Saved& s : saved_) {
            if (s.set)
                setenv(s.name, s.value.c_str(), 1);
            else
                unsetenv(s.name);
        }
        if (!dir_.empty()) rmdir(dir_.c_str());
    }
    bool ok() const { return !dir_.empty(); }

private:
    struct Saved {
        const char* name;
        std::string value;
        bool set;
    };
    std::string dir_;
    std::vector<Saved> saved_;
};

TEST(LoopHandoff, OneThreadServesEveryConnectionAndEndsAtShutdown) {
    NoDaemon noDaemon;
    ASSERT_TRUE(noDaemon.ok());
    int before = threadCount();
    PwContext ctx;
    int running = 0;
    for (int i = 0; i < 5; i++) {
        ASSERT_TRUE(startPwThread(&ctx, false));
        ASSERT_TRUE(waitForFailedConnect(ctx)) << "start " << i;
        EXPECT_FALSE(ctx.connected);
        EXPECT_FALSE(invokeOnLoop(&ctx, bump, 0, nullptr, 0)) << "no hand-off without a connection";
        if (i == 0) running = threadCount();
        EXPECT_GT(running, before) << "the PipeWire thread runs";
        EXPECT_EQ(threadCount(), running) << "start " << i << " made no thread";
        stopPwThread(&ctx);
        EXPECT_EQ(ctx.core.load(), nullptr);
        EXPECT_FALSE(isLoopRunning(&ctx));
    }
    // Closed before the thread could try: the queued connect is dropped.
    ASSERT_TRUE(startPwThread(&ctx, false));
    stopPwThread(&ctx);
    EXPECT_EQ(ctx.core.load(), nullptr);
    EXPECT_EQ(threadCount(), running);

    shutdownPwThread(&ctx);
    EXPECT_EQ(ctx.mainLoop, nullptr);
    EXPECT_EQ(ctx.context, nullptr);
    EXPECT_EQ(threadCount(), before) << "the PipeWire thread and its context's thread have ended";
    // And a start after that makes the thread anew.
    ASSERT_TRUE(startPwThread(&ctx, false));
    ASSERT_TRUE(waitForFailedConnect(ctx));
    EXPECT_GT(threadCount(), before);
    stopPwThread(&ctx);
}

}  // namespace

namespace {

// Holds the PipeWire thread until told to go on, then announces a node as a
// registry handler of the old connection would.
struct Blocker {
    PwContext* ctx;
    std::atomic<bool> blocked{false};
    std::atomic<bool> go{false};
};

int holdLoop(spa_loop*, bool, uint32_t, const void* data, size_t, void*) {
    Blocker* b = *static_cast<Blocker* const*>(data);
    b->ctx->graphSyncs.insert(7);  // state of the PipeWire thread only
    b->blocked = true;
    while (!b->go) sleepMs(1);
    LockGuard lock(b->ctx->mutex);
    NodeInfo late;
    late.id = 99;
    b->ctx->nodes.push_back(late);
    return 0;
}

int noop(spa_loop*, bool, uint32_t, const void*, size_t, void*) {
    return 0;
}

}  // namespace

TEST(LoopHandoff, AStopThatTimesOutLeavesTheReleaseToThePipeWireThread) {
    NoDaemon noDaemon;
    ASSERT_TRUE(noDaemon.ok());
    PwContext ctx;
    ASSERT_TRUE(startPwThread(&ctx, false));
    ASSERT_TRUE(waitForFailedConnect(ctx));
    pw_loop* loop = pw_main_loop_get_loop(ctx.mainLoop);

    Blocker blocker{&ctx};
    Blocker* ptr = &blocker;
    ASSERT_GE(pw_loop_invoke(loop, holdLoop, 0, &ptr, sizeof ptr, false, &ctx), 0);
    int64_t deadline = monotonicMs() + 5000;
    while (!blocker.blocked && monotonicMs() < deadline) sleepMs(1);
    ASSERT_TRUE(blocker.blocked);
    // The invoke queue full too: no work handed over that way gets through.
    bool full = false;
    for (int i = 0; i < 1000000 && !full; i++) full = pw_loop_invoke(loop, noop, 0, nullptr, 0, false, &ctx) < 0;
    ASSERT_TRUE(full);

    int64_t start = monotonicMs();
    closeConnection(&ctx, nullptr);
    int64_t took = monotonicMs() - start;
    EXPECT_GE(took, 1900) << "waited for the thread";
    EXPECT_LT(took, 3000) << "but not for ever";
    EXPECT_EQ(ctx.graphSyncs.count(7), 1u) << "the thread's own state is left to it";
    EXPECT_TRUE(ctx.nodes.empty());

    // Once free, the thread releases the connection (its own state with it)
    // and drops what the old connection announced after the mirror was emptied.
    blocker.go = true;
    deadline = monotonicMs() + 5000;
    bool emptied = false;
    while (!emptied && monotonicMs() < deadline) {
        sleepMs(1);
        std::lock_guard<std::mutex> released(ctx.releaseMutex);
        LockGuard lock(ctx.mutex);
        emptied = ctx.nodes.empty() && ctx.releaseState == PwContext::Release::Done;
    }
    EXPECT_TRUE(emptied);
    // The next connection starts and stops as usual.
    ASSERT_TRUE(startPwThread(&ctx, false));
    ASSERT_TRUE(waitForFailedConnect(ctx));
    start = monotonicMs();
    stopPwThread(&ctx);
    EXPECT_LT(monotonicMs() - start, 1000);
    shutdownPwThread(&ctx);
}
