// graphCreateNode / graphDestroyNode / releaseOwnedNodes / setNodeListener:
// the requests of lib/devices.js and the hand-over of their outcomes.
#include <uv.h>

#include "../connection/PwContext.h"
#include "../features/FeatureHooks.h"
#include "../features/nodes/NodeCreation.h"
#include "ArgCheck.h"
#include "Exports.h"
#include "Handoffs.h"
#include "JsState.h"
#include "JsValues.h"

namespace {

// Every outcome goes to jsState().nodeListener as (kind, token, id, res,
// message). Its own wake-up, never holding the event loop open: a waiting
// request is held open by the Graph's connection.

constexpr size_t kMaxProps = 1024;

void deliverOutcomes(uv_async_t*) {
    std::vector<NodeOutcome> outcomes = takeNodeOutcomes(getContext());
    for (const NodeOutcome& o : outcomes) {
        // Looked up for each: a listener may replace itself.
        Nan::Callback* listener = jsState().nodeListener;
        if (!listener) return;
        Nan::HandleScope scope;
        v8::Local<v8::Value> argv[] = {js::num(o.kind), js::num(o.token), js::num(o.id), Nan::New<v8::Int32>(o.res),
                                       js::str(o.message)};
        Nan::AsyncResource resource("quorvane:NodeRequest");
        listener->Call(5, argv, &resource);
    }
}

void wakeJavaScript() {
    if (uv_async_t* handle = jsState().nodeAsync) uv_async_send(handle);
}

}  // namespace

NAN_METHOD(setNodeListener) {
    JsState& js = jsState();
    delete js.nodeListener;
    js.nodeListener =
        info.Length() >= 1 && info[0]->IsFunction() ? new Nan::Callback(info[0].As<v8::Function>()) : nullptr;
    if (!js.nodeAsync) {
        js.nodeAsync = new uv_async_t;
        uv_async_init(uv_default_loop(), js.nodeAsync, deliverOutcomes);
        uv_unref(reinterpret_cast<uv_handle_t*>(js.nodeAsync));
        PwContext* ctx = getContext();
        installFeatureHooks(ctx);
        setNodeOutcomeWakeup(ctx, wakeJavaScript);
    }
}

// graphCreateNode([key, value, ...], linger, token): false without a connection.
NAN_METHOD(graphCreateNode) {
    const char* usage = "graphCreateNode requires (props, linger, token)";
    if (info.Length() < 3 || !info[0]->IsArray() || !info[1]->IsBoolean() || !info[2]->IsNumber()) {
        Nan::ThrowTypeError(usage);
        return;
    }
    v8::Local<v8::Array> flat = info[0].As<v8::Array>();
    if (flat->Length() % 2 != 0 || flat->Length() > 2 * kMaxProps) {
        Nan::ThrowTypeError(usage);
        return;
    }
    PropList props;
    v8::Local<v8::Context> context = Nan::GetCurrentContext();
    for (uint32_t i = 0; i < flat->Length(); i += 2) {
        v8::Local<v8::Value> key, value;
        if (!flat->Get(context, i).ToLocal(&key) || !flat->Get(context, i + 1).ToLocal(&value)) return;
        if (!key->IsString() || !value->IsString()) {
            Nan::ThrowTypeError(usage);
            return;
        }
        props.emplace_back(argText(key), argText(value));
    }
    bool linger = info[1]->IsTrue();
    info.GetReturnValue().Set(handedOver(requestNodeCreation(getContext(), argUint32(info, 2), props, linger)));
}

// graphAbandonNode(token): the creation `token` timed out; its node goes
// when it comes.
NAN_METHOD(graphAbandonNode) {
    if (!checkArgs(info, {ArgKind::Number}, "graphAbandonNode requires (token)")) return;
    abandonNodeRequest(getContext(), argUint32(info, 0));
}

// graphDestroyNode(id, serial, token): false without a connection.
NAN_METHOD(graphDestroyNode) {
    if (!checkArgs(info, {ArgKind::Number, ArgKind::Number, ArgKind::Number},
                   "graphDestroyNode requires (id, serial, token)"))
        return;
    double serial = Nan::To<double>(info[1]).FromMaybe(0);
    uint64_t s = serial > 0 ? static_cast<uint64_t>(serial) : 0;
    info.GetReturnValue().Set(handedOver(requestNodeRemoval(getContext(), argUint32(info, 2), argUint32(info, 0), s)));
}

NAN_METHOD(releaseOwnedNodes) {
    releaseOwnedNodes(getContext());
}
