#include "PwThread.h"

#include <unistd.h>

#include <cstdio>

#include <spa/utils/result.h>

#include "Clock.h"
#include "PwContext.h"
#include "RegistryMirror.h"

namespace {

enum LoopState : int { Starting = 0, Running = 1, StopRequested = 2, Ended = 3 };

constexpr int kStartupPauseMs = 500;
constexpr int kStartupLimitMs = 3000;

const pw_registry_events kRegistryEvents = {
    .version = PW_VERSION_REGISTRY_EVENTS,
    .global = onRegistryGlobal,
    .global_remove = onRegistryGlobalRemove,
};

const pw_core_events kCoreEvents = {
    .version = PW_VERSION_CORE_EVENTS,
    .info = nullptr,
    .done = onCoreDone,
    .ping = nullptr,
    .error = onCoreError,
    .remove_id = nullptr,
    .bound_id = nullptr,
    .add_mem = nullptr,
    .remove_mem = nullptr,
};

int quitOnLoop(spa_loop*, bool, uint32_t, const void*, size_t, void* user) {
    pw_main_loop_quit(static_cast<PwContext*>(user)->mainLoop);
    return 0;
}

// Releases what the thread made, in the order hooks, proxies, registry,
// core, context, loop. Runs on the PipeWire thread after its loop returned.
void releaseConnection(PwContext* ctx) {
    if (ctx->registry) {
        spa_hook_remove(&ctx->registryListener);
        pw_proxy_destroy(reinterpret_cast<pw_proxy*>(ctx->registry));
        ctx->registry = nullptr;
    }
    if (pw_core* core = ctx->core.load()) {
        spa_hook_remove(&ctx->coreListener);
        ctx->connected = false;
        ctx->core = nullptr;
        pw_core_disconnect(core);
    }
    if (ctx->context) {
        pw_context_destroy(ctx->context);
        ctx->context = nullptr;
    }
}

}  // namespace

bool startPwThread(PwContext* ctx, bool verbose) {
    pw_init(nullptr, nullptr);
    pw_log_set_level(verbose ? SPA_LOG_LEVEL_DEBUG : SPA_LOG_LEVEL_ERROR);

    ctx->initialSyncDone = false;
    ctx->loopState = Starting;
    if (pthread_create(&ctx->thread, nullptr, pwThreadFunc, ctx) != 0) {
        ctx->loopState = Ended;
        return false;
    }
    ctx->threadStarted = true;
    return true;
}

void waitForStartup(PwContext* ctx) {
    int64_t start = monotonicMs();
    usleep(kStartupPauseMs * 1000);
    while (!ctx->initialSyncDone && ctx->connected && ctx->loopState.load() == Running &&
           monotonicMs() - start < kStartupLimitMs) {
        usleep(2000);
    }
}

void stopPwThread(PwContext* ctx) {
    if (!ctx->threadStarted) return;
    int previous = ctx->loopState.exchange(StopRequested);
    if (previous == Running) {
        // Non-blocking: the quit runs on the loop's own thread.
        pw_loop_invoke(pw_main_loop_get_loop(ctx->mainLoop), quitOnLoop, 0, nullptr, 0, false, ctx);
    }
    pthread_join(ctx->thread, nullptr);
    ctx->threadStarted = false;
    ctx->loopState = Ended;
}

bool isLoopRunning(PwContext* ctx) {
    return ctx->loopState.load() == Running;
}

bool invokeOnLoop(PwContext* ctx, spa_invoke_func_t func, uint32_t seq, const void* data, size_t size) {
    // Only the JavaScript thread stops the loop, and it is the one calling
    // here, so a running loop cannot stop while this call waits.
    if (!isLoopRunning(ctx)) return false;
    pw_loop_invoke(pw_main_loop_get_loop(ctx->mainLoop), func, seq, data, size, true, ctx);
    return true;
}

void* pwThreadFunc(void* arg) {
    auto* ctx = static_cast<PwContext*>(arg);

    pw_main_loop* loop = pw_main_loop_new(nullptr);
    if (!loop) {
        ctx->loopState = Ended;
        return nullptr;
    }
    ctx->mainLoop = loop;

    ctx->context = pw_context_new(pw_main_loop_get_loop(loop), nullptr, 0);
    if (ctx->context) {
        pw_core* core = pw_context_connect(ctx->context, nullptr, 0);
        if (core) {
            ctx->coreDoneSeq = 0;
            ctx->registry = pw_core_get_registry(core, PW_VERSION_REGISTRY, 0);
            if (ctx->registry) {
                pw_registry_add_listener(ctx->registry, &ctx->registryListener, &kRegistryEvents, ctx);
                pw_core_add_listener(core, &ctx->coreListener, &kCoreEvents, ctx);
                ctx->initialSyncSeq = pw_core_sync(core, PW_ID_CORE, 0);
                ctx->core = core;
                ctx->connected = true;

                int expected = Starting;
                if (ctx->loopState.compare_exchange_strong(expected, Running)) pw_main_loop_run(loop);
            } else {
                pw_core_disconnect(core);
            }
        }
    }

    releaseConnection(ctx);
    ctx->mainLoop = nullptr;
    pw_main_loop_destroy(loop);
    ctx->loopState = Ended;
    return nullptr;
}

void onCoreDone(void* data, uint32_t id, int seq) {
    auto* ctx = static_cast<PwContext*>(data);
    if (id != PW_ID_CORE) return;
    ctx->coreDoneSeq = static_cast<uint32_t>(seq);
    if (seq == ctx->initialSyncSeq) ctx->initialSyncDone = true;
}

void onCoreError(void* data, uint32_t id, int seq, int res, const char* message) {
    auto* ctx = static_cast<PwContext*>(data);
    fprintf(stderr, "pipewire error: id %u seq %d res %d (%s): %s\n", id, seq, res, spa_strerror(res),
            message ? message : "");
    if (id == PW_ID_CORE) ctx->connected = false;
}
