#include "LinkRemoval.h"

#include <cstring>
#include <vector>

#include "../events/EventQueue.h"
#include "../pipewire/PwContext.h"
#include "../pipewire/PwThread.h"
#include "LinkProxies.h"

void requestLinkDestruction(PwContext* ctx, uint32_t linkId) {
    {
        LockGuard lock(ctx->queueMutex);
        ctx->linkDestructionQueue.push_back(linkId);
    }
    signalWakeup(ctx);
}

void processLinkDestructionQueue(PwContext* ctx) {
    std::vector<uint32_t> ids;
    {
        LockGuard lock(ctx->queueMutex);
        if (ctx->linkDestructionQueue.empty()) return;
        ids.assign(ctx->linkDestructionQueue.begin(), ctx->linkDestructionQueue.end());
        ctx->linkDestructionQueue.clear();
    }
    for (uint32_t id : ids) {
        // Neither lock is held while the PipeWire thread runs the request:
        // its registry handlers and producers need them to get back to it.
        if (!invokeOnLoop(ctx, destroyLinkOnLoop, id, &id, sizeof id)) return;
        LockGuard lock(ctx->mutex);
        forgetLinkLocked(ctx, id);
    }
}

int destroyLinkOnLoop(spa_loop*, bool, uint32_t, const void* data, size_t size, void* user) {
    if (size != sizeof(uint32_t)) return -1;
    auto* ctx = static_cast<PwContext*>(user);
    if (!ctx || !ctx->registry) return 0;
    uint32_t id;
    std::memcpy(&id, data, sizeof id);
    pw_registry_destroy(ctx->registry, id);
    return 0;
}
