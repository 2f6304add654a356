// graphPortLatency: the ports' latency as their Latency params last gave it.
#include <unordered_map>
#include <utility>
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
    // One pass over the ports, whatever the number of ids.
    std::unordered_map<uint32_t, std::pair<bool, LatencyRef>> byId;
    for (uint32_t id : ids) byId.emplace(id, std::pair<bool, LatencyRef>{});
    {
        LockGuard lock(ctx->mutex);
        for (const PortInfo& p : ctx->ports) {
            auto it = byId.find(p.id);
            if (it != byId.end() && !it->second.first) it->second = {true, p.latency};
        }
    }
    std::vector<std::pair<bool, LatencyRef>> found;
    found.reserve(ids.size());
    for (uint32_t id : ids) found.push_back(byId[id]);
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
