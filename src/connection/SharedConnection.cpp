#include "SharedConnection.h"

#include <vector>

#include "../core/Clock.h"
#include "EventQueue.h"
#include "PwContext.h"
#include "PwThread.h"

namespace {

constexpr int kFlushLimitMs = 1000;
constexpr int kJoinLimitMs = 3000;

PwEvent snapshotEvent(PwEventType type, uint32_t id) {
    return makeEvent(type, id, ForGraph);
}

bool running(const PwContext* ctx) {
    return isConnected(ctx);
}

}  // namespace

bool connectionHeld(const PwContext* ctx) {
    return ctx->scriptHolds || ctx->graphHolds;
}

void closeConnection(PwContext* ctx, const char* reason) {
    if (ctx->hooks && ctx->hooks->beforeClose) ctx->hooks->beforeClose(ctx);
    if (running(ctx)) flushToDaemon(ctx, kFlushLimitMs);
    // What belongs to the PipeWire thread is released there, even when the
    // stop gave up waiting for it.
    stopPwThread(ctx);
    emptyMirror(ctx, reason);
}

bool holdForScript(PwContext* ctx, bool verbose) {
    if (ctx->scriptHolds) return true;
    if (connectionStarted(ctx)) {
        // The Graph's connection: wait, bounded, for its initial graph.
        int64_t start = monotonicMs();
        while (lifecycleOf(ctx) == Lifecycle::Connected && monotonicMs() - start < kJoinLimitMs) sleepMs(2);
        ctx->scriptHolds = true;
        return true;
    }
    if (!startPwThread(ctx, verbose)) return false;
    waitForStartup(ctx);
    ctx->scriptHolds = true;
    return true;
}

void releaseForScript(PwContext* ctx) {
    if (!ctx->scriptHolds) return;
    ctx->scriptHolds = false;
    closeConnection(ctx, ctx->graphHolds ? "destroyPwThread() closed the connection" : nullptr);
    if (ctx->graphHolds) {
        // The Graph receives why, and is closed with the connection.
        ctx->graphHolds = false;
        LockGuard lock(ctx->mutex);
        ctx->graphListening = false;
    }
}

bool openForGraph(PwContext* ctx, bool restart) {
    if (connectionStarted(ctx) && (restart || !running(ctx))) closeConnection(ctx, nullptr);
    ctx->graphHolds = true;
    {
        LockGuard lock(ctx->mutex);
        // Joining a connection whose info is in: connected at once; else
        // when the info round trip ends.
        ctx->graphWantsMirror = restart;
        if (!ctx->graphListening) {
            ctx->graphListening = true;
            if (connectionStarted(ctx) && ctx->mirrorDelivered) emitEvents(ctx, {snapshotEvent(Connected, 0)});
        }
    }
    if (connectionStarted(ctx)) return true;
    if (startPwThread(ctx, false)) return true;
    closeForGraph(ctx);
    return false;
}

void closeForGraph(PwContext* ctx) {
    if (!ctx->graphHolds) return;
    ctx->graphHolds = false;
    {
        // Nothing more reaches the Graph, not even what is queued already.
        LockGuard lock(ctx->mutex);
        ctx->graphListening = false;
        dropGraphEventsLocked(ctx);
    }
    if (!ctx->scriptHolds) closeConnection(ctx, nullptr);
}

void shutdownModule(PwContext* ctx) {
    if (ctx->shutDown) return;
    ctx->shutDown = true;
    ctx->asyncInitialized = false;  // the JavaScript thread wakes no more
    if (connectionStarted(ctx)) {
        {
            LockGuard lock(ctx->mutex);
            ctx->graphListening = false;
        }
        closeConnection(ctx, nullptr);
    }
    shutdownPwThread(ctx);
}
