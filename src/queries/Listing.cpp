// getNodes / getPorts / getLinks: snapshots of the mirror as JavaScript arrays.
#include <unordered_map>

#include "../Bindings.h"
#include "../pipewire/PwContext.h"
#include "JsValues.h"

namespace {

template <typename Record, typename Build>
v8::Local<v8::Array> listUnderLock(const std::vector<Record>& list, Build build) {
    v8::Local<v8::Array> result = Nan::New<v8::Array>(0);
    PwContext* ctx = getContext();
    LockGuard lock(ctx->mutex);
    uint32_t index = 0;
    for (const Record& record : list) Nan::Set(result, index++, build(record));
    return result;
}

}  // namespace

NAN_METHOD(getNodes) {
    info.GetReturnValue().Set(listUnderLock(getContext()->nodes, [](const NodeInfo& n) {
        v8::Local<v8::Object> o = Nan::New<v8::Object>();
        js::set(o, "id", js::num(n.id));
        js::set(o, "name", js::str(n.name));
        js::set(o, "type", js::str(n.mediaClass));
        js::set(o, "version", js::num(n.version));
        js::set(o, "inputPorts", js::num(n.inputPorts));
        js::set(o, "outputPorts", js::num(n.outputPorts));
        js::set(o, "isInput", Nan::New(n.isInput));
        js::set(o, "isOutput", Nan::New(n.isOutput));
        return o;
    }));
}

NAN_METHOD(getPorts) {
    info.GetReturnValue().Set(listUnderLock(getContext()->ports, [](const PortInfo& p) {
        v8::Local<v8::Object> o = Nan::New<v8::Object>();
        js::set(o, "id", js::num(p.id));
        js::set(o, "nodeId", js::num(p.nodeId));
        js::set(o, "name", js::str(p.name));
        js::set(o, "direction", js::num(p.direction));
        js::set(o, "portType", js::num(p.portType));
        return o;
    }));
}

NAN_METHOD(getLinks) {
    PwContext* ctx = getContext();
    // Node names by id, built once per call under the lock; a later record
    // with the same id replaces an earlier one, as a walk over the list would.
    std::unordered_map<uint32_t, const std::string*> names;
    info.GetReturnValue().Set(listUnderLock(ctx->links, [&](const LinkInfo& l) {
        if (names.empty() && !ctx->nodes.empty()) {
            names.reserve(ctx->nodes.size());
            for (const NodeInfo& n : ctx->nodes) names[n.id] = &n.name;
        }
        auto nameOf = [&](uint32_t id) -> std::string {
            auto it = names.find(id);
            return it == names.end() ? std::string() : *it->second;
        };
        auto format = ctx->linkFormats.find(l.id);
        v8::Local<v8::Object> o = Nan::New<v8::Object>();
        js::set(o, "id", js::num(l.id));
        js::set(o, "srcNodeId", js::num(l.srcNodeId));
        js::set(o, "srcPortId", js::num(l.srcPortId));
        js::set(o, "sinkNodeId", js::num(l.sinkNodeId));
        js::set(o, "sinkPortId", js::num(l.sinkPortId));
        js::set(o, "srcNodeName", js::str(nameOf(l.srcNodeId)));
        js::set(o, "sinkNodeName", js::str(nameOf(l.sinkNodeId)));
        js::set(o, "format", js::str(format == ctx->linkFormats.end() ? std::string("unknown") : format->second));
        return o;
    }));
}
