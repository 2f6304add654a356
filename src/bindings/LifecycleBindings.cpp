// createPwThread / destroyPwThread, and the Graph's hold on the same
// connection: openGraph / closeGraph / graphSync / setClientName.
#include "../connection/PwContext.h"
#include "../connection/PwThread.h"
#include "../connection/SharedConnection.h"
#include "../features/FeatureHooks.h"
#include "ArgCheck.h"
#include "Exports.h"
#include "WakeupHandle.h"

namespace {

// The features receive the mirror and the closes; the wake-up handle
// holds the event loop open while anyone holds the connection.
void prepare(PwContext* ctx) {
    installFeatureHooks(ctx);
    initEventAsync(ctx);
}

void releaseIfUnheld(PwContext* ctx) {
    if (!connectionHeld(ctx)) releaseEventAsync(ctx);
}

}  // namespace

NAN_METHOD(createPwThread) {
    bool verbose = info.Length() >= 1 && info[0]->IsBoolean() && Nan::To<bool>(info[0]).FromJust();
    PwContext* ctx = getContext();
    if (ctx->scriptHolds) {
        info.GetReturnValue().Set(true);
        return;
    }
    prepare(ctx);
    bool ok = holdForScript(ctx, verbose);
    if (!ok) releaseIfUnheld(ctx);
    info.GetReturnValue().Set(ok);
}

NAN_METHOD(destroyPwThread) {
    PwContext* ctx = getContext();
    if (ctx->scriptHolds) {
        releaseForScript(ctx);
        releaseIfUnheld(ctx);
    }
    info.GetReturnValue().Set(true);
}

// openGraph(restart): the Graph starts listening, on the running connection
// or a new one. False when no thread could start.
NAN_METHOD(openGraph) {
    bool restart = info.Length() >= 1 && info[0]->IsTrue();
    PwContext* ctx = getContext();
    prepare(ctx);
    bool ok = openForGraph(ctx, restart);
    if (!ok) releaseIfUnheld(ctx);
    info.GetReturnValue().Set(ok);
}

NAN_METHOD(closeGraph) {
    PwContext* ctx = getContext();
    closeForGraph(ctx);
    releaseIfUnheld(ctx);
}

// graphSync(): a round trip whose end the Graph receives; its sequence number,
// or -1 without a connection.
NAN_METHOD(graphSync) {
    info.GetReturnValue().Set(requestGraphSync(getContext()));
}

// setInfoKinds(kinds): binds the info of only these kinds of object ("node",
// "port", "link", "device": its profiles and routes) as their globals are
// announced from now on; the others' listings carry the registry's
// properties, and devices are not listed. A one-shot listing of nodes need
// not bind every port, link and device. TypeError for anything but such an
// array.
NAN_METHOD(setInfoKinds) {
    static const char* const kKinds[] = {"node", "port", "link", "device"};
    const char* usage = "setInfoKinds requires an array of \"node\", \"port\", \"link\" and \"device\"";
    if (!info[0]->IsArray()) return Nan::ThrowTypeError(usage);
    v8::Local<v8::Array> given = info[0].As<v8::Array>();
    uint8_t kinds = 0;
    for (uint32_t i = 0; i < given->Length() && i < 4; i++) {
        v8::Local<v8::Value> v;
        if (!given->Get(Nan::GetCurrentContext(), i).ToLocal(&v)) return;
        std::string name = v->IsString() ? *Nan::Utf8String(v) : "";
        uint8_t bit = 0;
        for (unsigned k = 0; k < 4; k++)
            if (name == kKinds[k]) bit = uint8_t(1u << k);
        if (!bit) return Nan::ThrowTypeError(usage);
        kinds |= bit;
    }
    if (given->Length() > 4) return Nan::ThrowTypeError(usage);
    getContext()->infoKinds.store(kinds, std::memory_order_relaxed);
}

// setClientName(name): the "application.name" of the next connection.
NAN_METHOD(setClientName) {
    if (!checkArgs(info, {ArgKind::String}, "setClientName requires (name)")) return;
    std::string name = argText(info[0]);
    if (!name.empty()) getContext()->clientName = name;
}
