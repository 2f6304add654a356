// The one hand-off of work from the JavaScript thread to the PipeWire thread:
// a bounded queue of closures that the PipeWire thread drains whenever its
// event is signalled, in order, each exactly once. A full queue is told
// apart from a closed connection, and a batch handed over is one item: it
// runs whole or, refused, not at all.
#pragma once

#include <cstddef>
#include <deque>
#include <functional>
#include <mutex>
#include <utility>

struct PwContext;
struct pw_loop;
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
    // PipeWire thread: the queue is drained through `event` of `loop` from now on.
    void open(pw_loop* loop, spa_source* event);
    // PipeWire thread, as it ends: takes no more work and runs what waits.
    // Returns the event, for the caller to destroy.
    spa_source* close(PwContext* ctx);
    // Any thread: queues `work` (counted against the bound when `bounded`)
    // and signals the PipeWire thread. NotRunning once the queue is closed.
    Handoff push(Work work, bool bounded);
    // PipeWire thread: runs every item queued when it starts.
    void drain(PwContext* ctx);
    size_t queuedRequests();

private:
    struct Item {
        Work work;
        bool bounded;
    };
    std::mutex mutex_;
    std::deque<Item> items_;  // guarded by mutex_
    size_t requests_ = 0;     // bounded items in items_
    pw_loop* loop_ = nullptr;
    spa_source* event_ = nullptr;
    bool open_ = false;
};
