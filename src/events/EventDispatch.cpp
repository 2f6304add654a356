// The JavaScript side of the event hand-off: the wake-up callback and the
// dispatcher that drains the queue.
#include <nan.h>

#include <cstring>

#include "../pipewire/PwContext.h"
#include "EventQueue.h"
#include "WakeupHandle.h"

namespace {

void processEventQueue(PwContext* ctx) {
    PwEvent event;
    while (takeNextEvent(ctx, event)) {
    }
}

void onEventAsync(uv_async_t* handle) {
    auto* ctx = static_cast<PwContext*>(handle->data);
    if (ctx) processEventQueue(ctx);
}

}  // namespace

void initEventAsync(PwContext* ctx) {
    if (ctx->asyncInitialized) {
        uv_ref(reinterpret_cast<uv_handle_t*>(ctx->eventAsync));
        return;
    }
    auto* handle = new uv_async_t;
    std::memset(handle, 0, sizeof(*handle));
    uv_async_init(uv_default_loop(), handle, onEventAsync);
    handle->data = ctx;
    ctx->eventAsync = handle;
    ctx->asyncInitialized = true;
}

void releaseEventAsync(PwContext* ctx) {
    if (!ctx->asyncInitialized) return;
    uv_unref(reinterpret_cast<uv_handle_t*>(ctx->eventAsync));
    // Events queued before the stop wait for this wake-up.
    uv_async_send(ctx->eventAsync);
}
