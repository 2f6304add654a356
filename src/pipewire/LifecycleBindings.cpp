// createPwThread / destroyPwThread: start and stop of the connection.
#include "../Bindings.h"
#include "../events/WakeupHandle.h"
#include "PwContext.h"
#include "PwThread.h"

NAN_METHOD(createPwThread) {
    bool verbose = info.Length() >= 1 && info[0]->IsBoolean() && Nan::To<bool>(info[0]).FromJust();
    PwContext* ctx = getContext();
    if (ctx->initialized) {
        info.GetReturnValue().Set(true);
        return;
    }
    initEventAsync(ctx);
    if (!startPwThread(ctx, verbose)) {
        releaseEventAsync(ctx);
        info.GetReturnValue().Set(false);
        return;
    }
    waitForStartup(ctx);
    ctx->initialized = true;
    info.GetReturnValue().Set(true);
}

NAN_METHOD(destroyPwThread) {
    PwContext* ctx = getContext();
    if (ctx->initialized) {
        stopPwThread(ctx);
        {
            LockGuard lock(ctx->mutex);
            clearContextData(ctx);
        }
        releaseEventAsync(ctx);
        ctx->initialized = false;
    }
    info.GetReturnValue().Set(true);
}
