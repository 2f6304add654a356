#include "LinkRemoval.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include <spa/utils/result.h>

#include "../../connection/EventQueue.h"
#include "../../connection/PwContext.h"
#include "../../connection/PwThread.h"
#include "../../core/PackedProps.h"
#include "LinkProxies.h"
#include "LinksState.h"

namespace {

// The link of the mirror with this id and serial, if any. Graph lock held.
const LinkInfo* findLinkLocked(PwContext* ctx, uint32_t id, uint64_t serial) {
    for (const LinkInfo& link : ctx->links)
        if (link.id == id) return linkSerial(link) == serial ? &link : nullptr;
    return nullptr;
}

uint32_t registryProxyId(PwContext* ctx) {
    return ctx->registry ? pw_proxy_get_id(reinterpret_cast<pw_proxy*>(ctx->registry)) : SPA_ID_INVALID;
}

}  // namespace

uint64_t linkSerial(const LinkInfo& link) {
    return packedSerial(link.props);
}

void requestLinkDestruction(PwContext* ctx, const LinkRemoval& removal) {
    {
        LockGuard lock(ctx->queueMutex);
        linksState(ctx).linkDestructionQueue.push_back(removal);
    }
    signalWakeup(ctx);
}

void processLinkDestructionQueue(PwContext* ctx) {
    std::vector<LinkRemoval> removals;
    {
        LockGuard lock(ctx->queueMutex);
        if (linksState(ctx).linkDestructionQueue.empty()) return;
        removals.assign(linksState(ctx).linkDestructionQueue.begin(), linksState(ctx).linkDestructionQueue.end());
        linksState(ctx).linkDestructionQueue.clear();
    }
    // One item: the whole batch is carried out, or none of it. The removals
    // are few (each link once, see removalRequested), so the item is not
    // counted against the requests' bound.
    auto run = [removals](PwContext* c) {
        for (const LinkRemoval& removal : removals) destroyLinkOnLoop(c, removal);
    };
    if (postWork(ctx, run, false) == Handoff::Queued) return;
    // No connection to send them on: not requested any more, so that a later
    // request (on a new connection) sends them again.
    LockGuard lock(ctx->mutex);
    for (const LinkRemoval& removal : removals) linksState(ctx).removalRequested.erase(removal.linkId);
}

void destroyLinkOnLoop(PwContext* ctx, const LinkRemoval& removal) {
    pw_core* core = ctx->core.load();
    if (!core || !ctx->registry) return;
    pw_proxy* own = nullptr;
    {
        // The mirror is as current as this thread's view of the daemon: a
        // link withdrawn since the request, or an id given to another object,
        // is left alone.
        LockGuard lock(ctx->mutex);
        if (!findLinkLocked(ctx, removal.linkId, removal.serial)) return;
        auto it = linksState(ctx).ownLinkProxies.find(removal.linkId);
        if (it != linksState(ctx).ownLinkProxies.end()) own = it->second;
        forgetLinkLocked(ctx, removal.linkId);
    }
    int destroySeq = 0;
    // Our own link goes with our proxy of it (the daemon removes a link that
    // does not linger when its owner lets go); no registry id is involved.
    // The proxy's destroy handlers take the graph lock, so it is not held.
    if (own)
        pw_proxy_destroy(own);
    else
        destroySeq = SPA_RESULT_ASYNC_SEQ(pw_registry_destroy(ctx->registry, removal.linkId));
    int sync = pw_core_sync(core, PW_ID_CORE, 0);
    // The proxy's destroy is the message right before the round trip.
    if (own) destroySeq = (SPA_RESULT_ASYNC_SEQ(sync) - 1) & SPA_ASYNC_SEQ_MASK;
    if (sync >= 0) linksState(ctx).sentRemovals.push_back(SentRemoval{destroySeq, sync, !own, removal});
}

bool claimRemovalError(PwContext* ctx, uint32_t id, int seq, int res, const char* message) {
    // Registry destroys are answered on the registry, proxy destroys on the core.
    bool onRegistry = id == registryProxyId(ctx);
    if (!onRegistry && id != PW_ID_CORE) return false;
    auto& sent = linksState(ctx).sentRemovals;
    auto it = std::find_if(sent.begin(), sent.end(),
                           [&](const SentRemoval& s) { return s.destroySeq == seq && s.viaRegistry == onRegistry; });
    if (it == sent.end()) return false;
    LinkRemoval removal = it->removal;
    sent.erase(it);
    bool stays;
    {
        LockGuard lock(ctx->mutex);
        stays = findLinkLocked(ctx, removal.linkId, removal.serial) != nullptr;
        // Refused: a later request may try again.
        if (stays) linksState(ctx).removalRequested.erase(removal.linkId);
    }
    if (!removal.quiet) {
        fprintf(stderr, "pipewire error: id %u seq %d res %d (%s): %s\n", id, seq, res, spa_strerror(res),
                message ? message : "");
    } else if (stays) {
        emitGraphEvent(ctx, UnlinkFailed, removal.linkId, 0, res, message ? message : "");
    }
    return true;
}

void settleSentRemovals(PwContext* ctx, int seq) {
    auto& sent = linksState(ctx).sentRemovals;
    sent.erase(std::remove_if(sent.begin(), sent.end(), [seq](const SentRemoval& s) { return s.syncSeq == seq; }),
               sent.end());
}
