#include "WorkQueue.h"

#include <pipewire/pipewire.h>

#include "PwContext.h"

void WorkQueue::open(pw_loop* loop, spa_source* event) {
    std::lock_guard<std::mutex> lock(mutex_);
    loop_ = loop;
    event_ = event;
    open_ = event != nullptr;
}

spa_source* WorkQueue::close(PwContext* ctx) {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        open_ = false;
    }
    // Whatever was queued before the close runs now, and finds no connection.
    drain(ctx);
    std::lock_guard<std::mutex> lock(mutex_);
    spa_source* event = event_;
    event_ = nullptr;
    return event;
}

Handoff WorkQueue::push(Work work, bool bounded) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (!open_) return Handoff::NotRunning;
    if (bounded && requests_ >= kMaxQueuedRequests) return Handoff::Full;
    items_.push_back(Item{std::move(work), bounded});
    if (bounded) requests_++;
    // Under the lock: the PipeWire thread destroys the event only once it
    // has closed the queue under the same lock.
    pw_loop_signal_event(loop_, event_);
    return Handoff::Queued;
}

void WorkQueue::drain(PwContext* ctx) {
    std::deque<Item> items;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        items.swap(items_);
        requests_ = 0;
    }
    for (Item& item : items) item.work(ctx);
}

size_t WorkQueue::queuedRequests() {
    std::lock_guard<std::mutex> lock(mutex_);
    return requests_;
}
