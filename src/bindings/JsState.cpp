#include "JsState.h"

#include "../connection/PwContext.h"

namespace {

JsState* gState = new JsState;  // the only static: see JsState.h

void closeHandle(uv_async_t*& handle) {
    if (!handle) return;
    uv_close(reinterpret_cast<uv_handle_t*>(handle), [](uv_handle_t* h) { delete reinterpret_cast<uv_async_t*>(h); });
    handle = nullptr;
}

}  // namespace

JsState& jsState() {
    return *gState;
}

void releaseJsState(PwContext* ctx) {
    JsState& s = *gState;
    for (auto& [name, callback] : s.listeners) delete callback;
    s.listeners.clear();
    delete s.graphListener;
    s.graphListener = nullptr;
    s.changedProps.clear();
    if (ctx->eventAsync) closeHandle(ctx->eventAsync);
}
