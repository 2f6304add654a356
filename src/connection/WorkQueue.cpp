#include "WorkQueue.h"

#include <sys/eventfd.h>
#include <unistd.h>

#include <cerrno>

#include <pipewire/pipewire.h>

#include "PwContext.h"

WorkQueue::~WorkQueue() {
    if (wakeFd_ >= 0) ::close(wakeFd_);
}

int WorkQueue::wakeFd() {
    std::lock_guard<std::mutex> lock(mutex_);
    if (wakeFd_ < 0) wakeFd_ = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    return wakeFd_;
}

void WorkQueue::open(spa_source* source) {
    std::lock_guard<std::mutex> lock(mutex_);
    source_ = source;
    open_ = source != nullptr && wakeFd_ >= 0;
}

spa_source* WorkQueue::close(PwContext* ctx) {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        open_ = false;
    }
    // Whatever was queued before the close runs now, and finds no connection.
    drain(ctx);
    std::lock_guard<std::mutex> lock(mutex_);
    spa_source* source = source_;
    source_ = nullptr;
    return source;
}

Handoff WorkQueue::push(Work work, bool bounded) {
    bool wake;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (!open_) return Handoff::NotRunning;
        if (bounded && requests_ >= kMaxQueuedRequests) return Handoff::Full;
        // Items queued already have their wake-up on its way: the drain it
        // brings takes this one too. One wake-up per batch.
        wake = items_.empty();
        items_.push_back(Item{std::move(work), bounded});
        if (bounded) requests_++;
        if (wake) wakeups_++;
    }
    // After the lock: the PipeWire thread, woken, finds it free. The
    // descriptor lives as long as the queue, so a close meanwhile leaves it
    // valid; a drain that took the item first makes this wake-up an empty one.
    if (wake) {
        uint64_t one = 1;
        while (write(wakeFd_, &one, sizeof one) < 0 && errno == EINTR) {
        }
    }
    return Handoff::Queued;
}

void WorkQueue::onWake(PwContext* ctx) {
    uint64_t count;
    while (read(wakeFd_, &count, sizeof count) < 0 && errno == EINTR) {
    }
    drain(ctx);
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

uint64_t WorkQueue::wakeups() {
    std::lock_guard<std::mutex> lock(mutex_);
    return wakeups_;
}
