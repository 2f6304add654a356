#include "PwContext.h"

#include <vector>

#include "../core/PackedProps.h"
#include "EventQueue.h"

PwContext* getContext() {
    static PwContext* context = new PwContext;
    return context;
}

namespace {

// Whether the table of advanceLifecycle allows `from` -> `to`.
bool allowed(Lifecycle from, Lifecycle to) {
    using L = Lifecycle;
    switch (to) {
        case L::Connecting:
            return from == L::Closed;
        case L::Failed:
        case L::Connected:
            return from == L::Connecting;
        case L::Listed:
            return from == L::Connected;
        case L::Informed:
            return from == L::Listed;
        case L::Lost:
            return from == L::Connected || from == L::Listed || from == L::Informed;
        case L::Closing:
            return from != L::Closed;
        case L::Closed:
            return from == L::Closing || from == L::Connecting;
    }
    return false;
}

}  // namespace

bool advanceLifecycle(PwContext* ctx, Lifecycle to) {
    Lifecycle from = ctx->lifecycle.load();
    // Retried only when another thread moved it in between: the move is
    // checked against the state it really leaves.
    while (allowed(from, to))
        if (ctx->lifecycle.compare_exchange_weak(from, to)) return true;
    return false;
}

void advancePwThread(PwContext* ctx, PwThreadState to) {
    std::lock_guard<std::mutex> lock(ctx->threadMutex);
    ctx->threadState = to;
    ctx->threadCv.notify_all();
}

void clearContextData(PwContext* ctx) {
    ctx->nodes.clear();
    ctx->ports.clear();
    ctx->links.clear();
}

void emptyMirror(PwContext* ctx, const char* reason) {
    LockGuard lock(ctx->mutex);
    if (ctx->graphListening) {
        // The mirror as the Graph is sent it as destroyed: links, then ports, then nodes.
        std::vector<PwEvent> events;
        if (reason) {
            events.push_back(makeEvent(Disconnected, 0, ForGraph));
            events.back().text = reason;
        }
        // Only a mirror the Graph has received goes away for it.
        if (ctx->mirrorDelivered) {
            for (const LinkInfo& l : ctx->links) {
                events.push_back(makeEvent(LinkDestroyed, l.id, ForGraph));
                events.back().serial = packedSerial(l.props);
            }
            for (const PortInfo& p : ctx->ports) events.push_back(makeEvent(PortDestroyed, p.id, ForGraph));
            for (const NodeInfo& n : ctx->nodes) events.push_back(makeEvent(NodeDestroyed, n.id, ForGraph));
        }
        emitEvents(ctx, std::move(events));
    }
    ctx->mirrorDelivered = false;
    clearContextData(ctx);
}
