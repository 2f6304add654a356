#include "PwContext.h"

#include <vector>

#include "EventQueue.h"

PwContext* getContext() {
    static PwContext* context = new PwContext;
    return context;
}

void clearContextData(PwContext* ctx) {
    ctx->nodes.clear();
    ctx->ports.clear();
    ctx->links.clear();
}

void emptyMirror(PwContext* ctx, const char* reason) {
    LockGuard lock(ctx->mutex);
    if (ctx->graphListening) {
        // The mirror as the Graph hears it go: links, then ports, then nodes.
        std::vector<PwEvent> events;
        if (reason) {
            events.push_back(makeEvent(Disconnected, 0, ForGraph));
            events.back().text = reason;
        }
        // Only a mirror the Graph has heard goes away for it.
        if (ctx->infoSyncDone) {
            for (const LinkInfo& l : ctx->links) events.push_back(makeEvent(LinkDestroyed, l.id, ForGraph));
            for (const PortInfo& p : ctx->ports) events.push_back(makeEvent(PortDestroyed, p.id, ForGraph));
            for (const NodeInfo& n : ctx->nodes) events.push_back(makeEvent(NodeDestroyed, n.id, ForGraph));
        }
        emitEvents(ctx, std::move(events));
    }
    ctx->infoSyncDone = false;
    clearContextData(ctx);
    ctx->removalRequested.clear();
}
