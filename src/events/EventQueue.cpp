#include "EventQueue.h"

#include <utility>

#include "../pipewire/PwContext.h"

namespace {

void push(PwContext* ctx, PwEvent&& event) {
    {
        LockGuard lock(ctx->queueMutex);
        ctx->eventQueue.push_back(std::move(event));
    }
    signalWakeup(ctx);
}

}  // namespace

void signalWakeup(PwContext* ctx) {
    if (ctx->asyncInitialized.load(std::memory_order_acquire)) uv_async_send(ctx->eventAsync);
}

void emitNodeCreated(PwContext* ctx, const NodeInfo& node) {
    PwEvent event;
    event.type = NodeCreated;
    event.node = node;
    event.id = node.id;
    push(ctx, std::move(event));
}

void emitNodeDestroyed(PwContext* ctx, uint32_t id) {
    PwEvent event;
    event.type = NodeDestroyed;
    event.id = id;
    push(ctx, std::move(event));
}

void emitLinkCreated(PwContext* ctx, const LinkInfo& link) {
    PwEvent event;
    event.type = LinkCreated;
    event.link = link;
    event.id = link.id;
    push(ctx, std::move(event));
}

void emitLinkDestroyed(PwContext* ctx, uint32_t id) {
    PwEvent event;
    event.type = LinkDestroyed;
    event.id = id;
    push(ctx, std::move(event));
}

bool takeNextEvent(PwContext* ctx, PwEvent& out) {
    LockGuard lock(ctx->queueMutex);
    if (ctx->eventQueue.empty()) return false;
    out = std::move(ctx->eventQueue.front());
    ctx->eventQueue.pop_front();
    return true;
}
