// The one hand-off of work from the JavaScript thread to the PipeWire thread:
// a bounded queue of closures that the PipeWire thread drains whenever its
// descriptor (an eventfd) is signalled, in order, each exactly once. A full queue is told
// apart from a closed connection, and a batch handed over is one item: it
// runs whole or, refused, not at all.
#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <mutex>
#include <utility>

struct PwContext;
struct spa_source;

// Runs on the PipeWire thread. It may find the connection gone (the core
// null): it then reports its failure as it would a refusal.
using Work = std::function<void(PwContext*)>;

enum class Handoff {
    Queued,
    NotRunning,  // no connection runs: nothing was handed over
    Full,        // kMaxQueuedRequests requests wait already: nothing was handed over
};

// Requests from JavaScript wait here at most this many at once (some MiB);
// the connection's own work (connecting, removals, waits) is not counted.
constexpr size_t kMaxQueuedRequests = 16384;

class WorkQueue {
public:
    WorkQueue() = default;
    WorkQueue(const WorkQueue&) = delete;
    WorkQueue& operator=(const WorkQueue&) = delete;
    ~WorkQueue();

    // The descriptor that wakes the PipeWire thread, made on first use and
    // kept for the queue's life (-1: none could be made).
    int wakeFd();
    // PipeWire thread: the queue is drained through `source`, the loop's
    // watch of wakeFd() calling onWake, from now on. Not open without both.
    void open(spa_source* source);
    // PipeWire thread, as it ends: takes no more work and runs what waits.
    // Returns the source, for the caller to destroy.
    spa_source* close(PwContext* ctx);
    // PipeWire thread, when wakeFd() is readable: takes the wake-up and drains.
    void onWake(PwContext* ctx);
    // Any thread: queues `work` (counted against the bound when `bounded`)
    // and signals the PipeWire thread, unless items queued before wait for
    // the drain a signal brings already. NotRunning once the queue is closed.
    Handoff push(Work work, bool bounded);
    // PipeWire thread: runs every item queued when it starts.
    void drain(PwContext* ctx);
    size_t queuedRequests();
    // How many times push has signalled the PipeWire thread.
    uint64_t wakeups();

private:
    struct Item {
        Work work;
        bool bounded;
    };
    std::mutex mutex_;
    std::deque<Item> items_;  // guarded by mutex_
    size_t requests_ = 0;     // bounded items in items_
    uint64_t wakeups_ = 0;    // guarded by mutex_
    int wakeFd_ = -1;         // set once, under mutex_, before the queue opens
    spa_source* source_ = nullptr;
    bool open_ = false;
};
