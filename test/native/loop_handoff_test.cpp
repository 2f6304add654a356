// The hand-off of work from the JavaScript thread to the PipeWire thread,
// with signals arriving at the waiting thread all the time (handlers without
// SA_RESTART, as Node.js installs for SIGUSR1): every call must have run,
// exactly once, when the wait returns. And the queue itself: bounded for
// requests, in order, nothing lost when the thread ends with work queued.
// Meant for the sanitizers too.
#include <gtest/gtest.h>
#include <pthread.h>

#include <atomic>
#include <csignal>
#include <thread>
#include <vector>

#include "connection/PwContext.h"
#include "connection/PwThread.h"
#include "core/Clock.h"

namespace {

std::atomic<int> gSignals{0};

void onSignal(int) {
    gSignals.fetch_add(1, std::memory_order_relaxed);
}

// A PipeWire loop on a thread of its own, as the PipeWire thread runs it.
struct LoopThread {
    PwContext ctx;
    std::thread thread;

    LoopThread() {
        pw_init(nullptr, nullptr);
        ctx.mainLoop = pw_main_loop_new(nullptr);
        ctx.lifecycle = Lifecycle::Connected;
        openWorkQueue(&ctx);
    }
    void start() {
        thread = std::thread([this] { pw_main_loop_run(ctx.mainLoop); });
    }
    // As the thread ends: the loop quits, and the queue is closed on it.
    void stop() {
        runWork(&ctx, [](PwContext* c) { pw_main_loop_quit(c->mainLoop); });
        thread.join();
        closeWorkQueue(&ctx);
        ctx.lifecycle = Lifecycle::Closed;
    }
    ~LoopThread() { pw_main_loop_destroy(ctx.mainLoop); }
};

// A hand-off not taken by its deadline is abandoned and never runs; every
// other call has run when its wait returns, whatever signals arrive.
TEST(LoopHandoff, AbandonedAtItsDeadlineElseHasRunWhenTheWaitReturnsWhateverSignalsArrive) {
    LoopThread loop;
    loop.start();
    // The PipeWire thread stuck in a callback until released.
    std::atomic<bool> release{false};
    auto stuck = [&release](PwContext*) {
        while (!release) sleepUntilNs(monotonicNs() + 1000000);
    };
    postWork(&loop.ctx, stuck, false);
    int abandoned = 0;  // on this stack: the call must never reach it
    auto count = [&abandoned](PwContext*) { abandoned++; };
    int64_t start = monotonicNs();
    EXPECT_EQ(runWorkFor(&loop.ctx, count, 50), WorkResult::TimedOut);
    EXPECT_GE(monotonicNs() - start, 50 * 1000000) << "not before its deadline";
    release = true;
    ASSERT_TRUE(runWork(&loop.ctx, [](PwContext*) {}));  // the queue drained past it
    EXPECT_EQ(abandoned, 0) << "abandoned work never runs";

    struct sigaction action = {}, previous = {};  // no SA_RESTART: interrupted waits return EINTR
    action.sa_handler = onSignal;
    sigemptyset(&action.sa_mask);
    sigaction(SIGUSR1, &action, &previous);
    pthread_t waiter = pthread_self();
    std::atomic<bool> stop{false};
    std::thread sender([&] {
        while (!stop) pthread_kill(waiter, SIGUSR1), sleepUntilNs(monotonicNs() + 20000);
    });

    // At least this many calls, and on until many signals have landed.
    constexpr int kCalls = 20000, kSignals = 2000, kMaxCalls = 2000000;
    int wrong = 0;
    for (int i = 0; i < kMaxCalls && (i < kCalls || gSignals.load() < kSignals); i++) {
        int runs = 0, value = 0;  // on this stack frame, as the link requests' are
        ASSERT_TRUE(runWork(&loop.ctx, [&, i](PwContext*) { runs++, value = i; }));
        if (runs != 1 || value != i) wrong++;
    }
    stop = true;
    sender.join();
    sigaction(SIGUSR1, &previous, nullptr);
    EXPECT_EQ(wrong, 0);
    EXPECT_GE(gSignals.load(), kSignals) << "the signals must have arrived while waiting";

    loop.stop();
    EXPECT_FALSE(runWork(&loop.ctx, [](PwContext*) {})) << "no hand-off once the loop has ended";
}

TEST(WorkQueue, RequestsAreBoundedRunInOrderAndNoneIsLostWhenTheThreadEnds) {
    LoopThread loop;  // not running yet: everything waits in the queue
    std::vector<int> order;
    Handoff last = Handoff::Queued;  // those before it: all queued, as their runs below show
    for (size_t i = 0; i <= kMaxQueuedRequests; i++)
        last = postWork(&loop.ctx, [&order, i](PwContext*) { order.push_back(int(i)); });
    EXPECT_EQ(last, Handoff::Full) << "one request beyond the bound is refused";
    EXPECT_EQ(loop.ctx.work.wakeups(), 1u) << "one wake-up for all that waits for the same drain";
    // The connection's own work is not refused, and comes after what waits.
    auto own = [&order](PwContext*) { order.push_back(-1); };
    EXPECT_EQ(postWork(&loop.ctx, own, false), Handoff::Queued);

    loop.start();
    ASSERT_TRUE(runWork(&loop.ctx, [](PwContext*) {}));  // everything before it has run
    ASSERT_EQ(order.size(), kMaxQueuedRequests + 1);
    for (size_t i = 0; i < kMaxQueuedRequests; i++) ASSERT_EQ(order[i], int(i));
    EXPECT_EQ(order.back(), -1);
    EXPECT_EQ(postWork(&loop.ctx, [](PwContext*) {}), Handoff::Queued) << "room again once drained";

    // Queued once the loop has ended, before the queue closes: run by the close, once.
    postWork(
        &loop.ctx, [](PwContext* c) { pw_main_loop_quit(c->mainLoop); }, false);
    loop.thread.join();
    int late = 0;
    EXPECT_EQ(postWork(&loop.ctx, [&late](PwContext*) { late++; }), Handoff::Queued);
    closeWorkQueue(&loop.ctx);
    EXPECT_EQ(late, 1);
    EXPECT_EQ(loop.ctx.work.push([](PwContext*) {}, true), Handoff::NotRunning) << "a closed queue takes nothing";
}

}  // namespace
