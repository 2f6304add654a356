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
    return ctx->loopState.load() == LoopState::Running && ctx->connected;
}

}  // namespace

bool connectionHeld(const PwContext* ctx) {
    return ctx->initialized || ctx->graphOpen;
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
    if (ctx->initialized) return true;
    if (ctx->threadStarted) {
        // The Graph's connection: wait, bounded, for its initial graph.
        int64_t start = monotonicMs();
        while (!ctx->initialSyncDone && running(ctx) && monotonicMs() - start < kJoinLimitMs) sleepMs(2);
        ctx->initialized = true;
        return true;
    }
    if (!startPwThread(ctx, verbose)) return false;
    waitForStartup(ctx);
    ctx->initialized = true;
    return true;
}

void releaseForScript(PwContext* ctx) {
    if (!ctx->initialized) return;
    ctx->initialized = false;
    closeConnection(ctx, ctx->graphOpen ? "destroyPwThread() closed the connection" : nullptr);
    if (ctx->graphOpen) {
        // The Graph hears why, and is closed with the connection.
        ctx->graphOpen = false;
        LockGuard lock(ctx->mutex);
        ctx->graphListening = false;
    }
}

bool openForGraph(PwContext* ctx, bool restart) {
    if (ctx->threadStarted && (restart || !running(ctx))) closeConnection(ctx, nullptr);
    ctx->graphOpen = true;
    {
        LockGuard lock(ctx->mutex);
        // Joining a connection whose info is in: connected at once; else
        // when the info round trip ends.
        ctx->graphWantsMirror = restart;
        if (!ctx->graphListening) {
            ctx->graphListening = true;
            if (ctx->threadStarted && ctx->infoSyncDone) emitEvents(ctx, {snapshotEvent(Connected, 0)});
        }
    }
    if (ctx->threadStarted) return true;
    if (startPwThread(ctx, false)) return true;
    closeForGraph(ctx);
    return false;
}

void closeForGraph(PwContext* ctx) {
    if (!ctx->graphOpen) return;
    ctx->graphOpen = false;
    {
        // Nothing more reaches the Graph, not even what is queued already.
        LockGuard lock(ctx->mutex);
        ctx->graphListening = false;
        dropGraphEventsLocked(ctx);
    }
    if (!ctx->initialized) closeConnection(ctx, nullptr);
}

void shutdownModule(PwContext* ctx) {
    if (ctx->shutDown) return;
    ctx->shutDown = true;
    ctx->asyncInitialized = false;  // the JavaScript thread wakes no more
    if (ctx->threadStarted) {
        {
            LockGuard lock(ctx->mutex);
            ctx->graphListening = false;
        }
        closeConnection(ctx, nullptr);
    }
    shutdownPwThread(ctx);
}
