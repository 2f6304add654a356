// graphModuleLoad / graphModuleUnload / graphSetControlParams: the modules
// of lib/features/effects (equalisers, loopbacks). Their loads and ends
// reach the Graph as "module-load" and "module-ended" events, a refused
// params request as "control-failed".
#include "../connection/PwContext.h"
#include "../features/effects/Modules.h"
#include "ArgCheck.h"
#include "Exports.h"
#include "Handoffs.h"

namespace {

constexpr size_t kMaxArgs = 1 << 20;   // bytes of a module's arguments
constexpr uint32_t kMaxParams = 1024;  // name/value pairs of one request

}  // namespace

// graphModuleLoad(moduleId, name, args): false without a connection.
NAN_METHOD(graphModuleLoad) {
    if (!checkArgs(info, {ArgKind::Number, ArgKind::String, ArgKind::String},
                   "graphModuleLoad requires (moduleId, name, args)"))
        return;
    std::string name = argText(info[1]), args = argText(info[2]);
    if (!isLoadableModule(name)) {
        Nan::ThrowTypeError(
            "graphModuleLoad: only the filter-chain, loopback and network (RTP, ROC) modules are loaded");
        return;
    }
    if (args.size() > kMaxArgs) {
        Nan::ThrowRangeError("graphModuleLoad: the arguments are too long");
        return;
    }
    info.GetReturnValue().Set(handedOver(requestModuleLoad(getContext(), argUint32(info, 0), name, args)));
}

// graphModuleUnload(moduleId): false without a connection (its module went with it).
NAN_METHOD(graphModuleUnload) {
    if (!checkArgs(info, {ArgKind::Number}, "graphModuleUnload requires (moduleId)")) return;
    info.GetReturnValue().Set(handedOver(requestModuleUnload(getContext(), argUint32(info, 0))));
}

// graphSetControlParams(token, nodeId, [name, value, ...]): false without a connection.
NAN_METHOD(graphSetControlParams) {
    const char* usage = "graphSetControlParams requires (token, nodeId, [name, value, ...])";
    if (info.Length() < 3 || !info[0]->IsNumber() || !info[1]->IsNumber() || !info[2]->IsArray()) {
        Nan::ThrowTypeError(usage);
        return;
    }
    v8::Local<v8::Array> flat = info[2].As<v8::Array>();
    if (flat->Length() % 2 != 0 || flat->Length() > 2 * kMaxParams) {
        Nan::ThrowTypeError(usage);
        return;
    }
    std::vector<std::pair<std::string, float>> params;
    v8::Local<v8::Context> context = Nan::GetCurrentContext();
    for (uint32_t i = 0; i < flat->Length(); i += 2) {
        v8::Local<v8::Value> name, value;
        if (!flat->Get(context, i).ToLocal(&name) || !flat->Get(context, i + 1).ToLocal(&value)) return;
        if (!name->IsString() || !value->IsNumber()) {
            Nan::ThrowTypeError(usage);
            return;
        }
        params.emplace_back(argText(name), float(Nan::To<double>(value).FromMaybe(0)));
    }
    info.GetReturnValue().Set(
        handedOver(requestControlParams(getContext(), argUint32(info, 0), argUint32(info, 1), params)));
}

// graphSetPortConfig(token, nodeId, output, monitor, channels): false without a connection.
NAN_METHOD(graphSetPortConfig) {
    if (info.Length() < 5 || !info[0]->IsNumber() || !info[1]->IsNumber() || !info[2]->IsBoolean() ||
        !info[3]->IsBoolean() || !info[4]->IsNumber()) {
        Nan::ThrowTypeError("graphSetPortConfig requires (token, nodeId, output, monitor, channels)");
        return;
    }
    info.GetReturnValue().Set(handedOver(requestPortConfig(getContext(), argUint32(info, 0), argUint32(info, 1),
                                                           info[2]->IsTrue(), info[3]->IsTrue(), argUint32(info, 4))));
}
