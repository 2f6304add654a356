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

PwEvent makeEvent(PwEventType type, uint32_t id, uint8_t audience) {
    PwEvent event;
    event.type = type;
    event.id = id;
    event.audience = audience;
    return event;
}

void signalWakeup(PwContext* ctx) {
    if (ctx->asyncInitialized.load(std::memory_order_acquire)) uv_async_send(ctx->eventAsync);
}

void emitNodeCreated(PwContext* ctx, const NodeInfo& node, uint8_t audience) {
    PwEvent event = makeEvent(NodeCreated, node.id, audience);
    event.node = node;
    push(ctx, std::move(event));
}

void emitNodeDestroyed(PwContext* ctx, uint32_t id, uint8_t audience) {
    push(ctx, makeEvent(NodeDestroyed, id, audience));
}

void emitLinkCreated(PwContext* ctx, const LinkInfo& link, uint8_t audience) {
    PwEvent event = makeEvent(LinkCreated, link.id, audience);
    event.link = link;
    push(ctx, std::move(event));
}

void emitLinkDestroyed(PwContext* ctx, uint32_t id, uint8_t audience) {
    push(ctx, makeEvent(LinkDestroyed, id, audience));
}

void emitPortCreated(PwContext* ctx, const PortInfo& port) {
    PwEvent event = makeEvent(PortCreated, port.id, ForGraph);
    event.port = port;
    push(ctx, std::move(event));
}

void emitPortDestroyed(PwContext* ctx, uint32_t id) {
    push(ctx, makeEvent(PortDestroyed, id, ForGraph));
}

void emitGraphEvent(PwContext* ctx, PwEventType type, uint32_t id, uint32_t token, int32_t res, std::string text) {
    PwEvent event = makeEvent(type, id, ForGraph);
    event.token = token;
    event.res = res;
    event.text = std::move(text);
    LockGuard lock(ctx->mutex);
    if (ctx->graphListening) push(ctx, std::move(event));
}

void dropGraphEventsLocked(PwContext* ctx) {
    LockGuard lock(ctx->queueMutex);
    for (PwEvent& event : ctx->eventQueue) event.audience &= ~ForGraph;
}

void emitEvent(PwContext* ctx, PwEvent&& event) {
    push(ctx, std::move(event));
}

void appendMirrorCreatedLocked(PwContext* ctx, std::vector<PwEvent>& out) {
    out.reserve(out.size() + ctx->nodes.size() + ctx->ports.size() + ctx->links.size() + 1);
    for (const NodeInfo& n : ctx->nodes) {
        out.push_back(makeEvent(NodeCreated, n.id, ForGraph));
        out.back().node = n;
    }
    for (const PortInfo& p : ctx->ports) {
        out.push_back(makeEvent(PortCreated, p.id, ForGraph));
        out.back().port = p;
    }
    for (const LinkInfo& l : ctx->links) {
        out.push_back(makeEvent(LinkCreated, l.id, ForGraph));
        out.back().link = l;
    }
}

void emitEvents(PwContext* ctx, std::vector<PwEvent>&& events) {
    if (events.empty()) return;
    {
        LockGuard lock(ctx->queueMutex);
        for (PwEvent& event : events) ctx->eventQueue.push_back(std::move(event));
    }
    signalWakeup(ctx);
}

bool takeNextEvent(PwContext* ctx, PwEvent& out) {
    LockGuard lock(ctx->queueMutex);
    if (ctx->eventQueue.empty()) return false;
    out = std::move(ctx->eventQueue.front());
    ctx->eventQueue.pop_front();
    return true;
}

size_t queuedEventCount(PwContext* ctx) {
    LockGuard lock(ctx->queueMutex);
    return ctx->eventQueue.size();
}
