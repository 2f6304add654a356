// graphCreateNode / graphAbandonNode / graphDestroyNode / releaseOwnedNodes:
// the requests of lib/features/devices.js. Their outcomes reach the Graph as
// "node-answered" events, through the event queue.
#include "../connection/PwContext.h"
#include "../features/nodes/NodeCreation.h"
#include "ArgCheck.h"
#include "Exports.h"
#include "Handoffs.h"

namespace {

constexpr size_t kMaxProps = 1024;

}  // namespace

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
