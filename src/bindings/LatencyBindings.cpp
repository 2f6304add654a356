// graphPortLatency: the ports' latency as their Latency params last gave it.
#include <vector>

#include "../connection/PwContext.h"
#include "Exports.h"
#include "InfoValues.h"
#include "JsValues.h"

// graphPortLatency(ids) -> one entry per id: [input, output] (each a frozen
// range object or null), or null for an id the mirror holds no port of.
// TypeError for anything but an array of ids.
NAN_METHOD(graphPortLatency) {
    v8::Local<v8::Context> context = Nan::GetCurrentContext();
    if (!info[0]->IsArray()) return Nan::ThrowTypeError("graphPortLatency: expected an array of port ids");
    v8::Local<v8::Array> given = info[0].As<v8::Array>();
    std::vector<uint32_t> ids;
    for (uint32_t i = 0; i < given->Length(); i++) {
        v8::Local<v8::Value> v;
        if (!given->Get(context, i).ToLocal(&v)) return;
        if (!v->IsUint32()) return Nan::ThrowTypeError("graphPortLatency: expected an array of port ids");
        ids.push_back(v.As<v8::Uint32>()->Value());
    }
    PwContext* ctx = getContext();
    std::vector<std::pair<bool, LatencyRef>> found(ids.size());
    {
        LockGuard lock(ctx->mutex);
        for (size_t i = 0; i < ids.size(); i++)
            for (const PortInfo& p : ctx->ports)
                if (p.id == ids[i]) {
                    found[i] = {true, p.latency};
                    break;
                }
    }
    js::LatencyObjects objects;
    std::vector<v8::Local<v8::Value>> list;
    for (const auto& f : found) {
        if (!f.first) {
            list.push_back(Nan::Null());
            continue;
        }
        std::vector<v8::Local<v8::Value>> pair = {objects.get(f.second, SPA_DIRECTION_INPUT),
                                                  objects.get(f.second, SPA_DIRECTION_OUTPUT)};
        list.push_back(js::array(pair));
    }
    info.GetReturnValue().Set(js::array(list));
}
