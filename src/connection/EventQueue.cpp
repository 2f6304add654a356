#include "EventQueue.h"

#include <utility>

#include "PwContext.h"

namespace {

// On the PipeWire thread, while its loop runs, the JavaScript thread is woken
// once per loop iteration, after everything that iteration read was queued:
// a link's "bound" and "created", or a burst of globals, reach JavaScript in
// one run instead of one wake-up (and one dispatch run) each.
thread_local bool tWakeupsDeferred = false;
thread_local bool tWakeupDue = false;

void wake(PwContext* ctx) {
    if (tWakeupsDeferred)
        tWakeupDue = true;
    else
        signalWakeup(ctx);
}

void push(PwContext* ctx, PwEvent&& event) {
    {
        LockGuard lock(ctx->queueMutex);
        ctx->eventQueue.push_back(std::move(event));
    }
    wake(ctx);
}

}  // namespace

void deferWakeups(bool deferred) {
    tWakeupsDeferred = deferred;
}

void sendDeferredWakeup(PwContext* ctx) {
    if (!tWakeupDue) return;
    tWakeupDue = false;
    signalWakeup(ctx);
}

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
    if (audience & ForGraph) {
        event.node = node;
    } else {
        // The record without its properties, which the listeners of `on`
        // are not given: the copy of the largest text is spared.
        NodeInfo& n = event.node;
        n.id = node.id, n.name = node.name, n.mediaClass = node.mediaClass, n.version = node.version;
        n.inputPorts = node.inputPorts, n.outputPorts = node.outputPorts;
        n.isInput = node.isInput, n.isOutput = node.isOutput, n.state = node.state, n.error = node.error;
    }
    push(ctx, std::move(event));
}

void emitNodeDestroyed(PwContext* ctx, uint32_t id, uint8_t audience) {
    push(ctx, makeEvent(NodeDestroyed, id, audience));
}

void emitLinkCreated(PwContext* ctx, const LinkInfo& link, uint8_t audience) {
    PwEvent event = makeEvent(LinkCreated, link.id, audience);
    if (audience & ForGraph) {
        event.link = link;
    } else {
        // As for nodes: all but the properties.
        LinkInfo& l = event.link;
        l.id = link.id, l.srcNodeId = link.srcNodeId, l.srcPortId = link.srcPortId;
        l.sinkNodeId = link.sinkNodeId, l.sinkPortId = link.sinkPortId;
        l.state = link.state, l.error = link.error, l.format = link.format;
    }
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
    wake(ctx);
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
