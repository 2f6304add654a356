#include "JsValues.h"

#include <vector>

#include "../core/PackedProps.h"

namespace js {

namespace {

// In the order of the Key enumeration.
// clang-format off
const char* const kNames[] = {
    "id", "name", "type", "version", "inputPorts", "outputPorts", "isInput", "isOutput",
    "nodeId", "direction", "portType", "srcNodeId", "srcPortId", "sinkNodeId", "sinkPortId", "format",
    "found", "linkId", "bytes", "drops", "rate", "state", "srcNode", "sinkNode",
    "props", "token", "res", "message", "outcome", "error", "mediaType", "mediaSubtype",
    "sampleFormat", "channels", "positions", "t", "peak", "rms", "srcNodeName", "sinkNodeName", "latency",
    "volume", "channelVolumes", "mute", "kind", "generation", "subject", "key", "value", "owner", "age",
};
// clang-format on
static_assert(sizeof(kNames) / sizeof(kNames[0]) == kKeyCount, "one name per key");

v8::Eternal<v8::String> gKeys[kKeyCount];

}  // namespace

// V8 13 renamed the call and V8 14 (Node.js 26) dropped the old name.
v8::Local<v8::Value> objectPrototype(v8::Isolate* isolate) {
#if V8_MAJOR_VERSION >= 13
    return v8::Object::New(isolate)->GetPrototypeV2();
#else
    return v8::Object::New(isolate)->GetPrototype();
#endif
}

v8::Local<v8::String> key(Key k) {
    v8::Isolate* isolate = v8::Isolate::GetCurrent();
    if (gKeys[k].IsEmpty()) {
        gKeys[k].Set(isolate,
                     v8::String::NewFromUtf8(isolate, kNames[k], v8::NewStringType::kInternalized).ToLocalChecked());
    }
    return gKeys[k].Get(isolate);
}

v8::Local<v8::Object> propsObject(const std::string& packed, StringCache& cache) {
    v8::Isolate* isolate = v8::Isolate::GetCurrent();
    // All properties at once, as data properties: far cheaper than defining
    // them one by one, and no setter of Object.prototype runs. A key the
    // daemon repeated keeps its first value, as the mirror's own lookups do.
    std::vector<std::string_view> keys;
    std::vector<v8::Local<v8::Name>> names;
    std::vector<v8::Local<v8::Value>> values;
    forEachProp(packed, [&](std::string_view k, std::string_view v) {
        for (std::string_view seen : keys)
            if (seen == k) return;
        keys.push_back(k);
        names.push_back(cache.get(k));
        values.push_back(cache.get(v));
    });
    if (cache.objectPrototype.IsEmpty()) cache.objectPrototype = objectPrototype(isolate);
    return v8::Object::New(isolate, cache.objectPrototype, names.data(), values.data(), names.size());
}

v8::Local<v8::Object> PropsObjects::get(Kind kind, uint32_t id, const std::string& packed, StringCache& cache) {
    v8::Isolate* isolate = v8::Isolate::GetCurrent();
    uint64_t key = (uint64_t(kind) << 32) | id;
    auto it = entries_.find(key);
    if (it != entries_.end() && it->second.packed == packed) return it->second.object.Get(isolate)->Clone();
    v8::Local<v8::Object> made = propsObject(packed, cache);
    if (it != entries_.end()) forget(kind, id);
    if (packed.size() > kMaxBytes) return made;
    if (entries_.size() >= kMaxEntries || bytes_ + packed.size() > kMaxBytes) clear();
    Entry& entry = entries_[key];
    entry.packed = packed;
    entry.object.Reset(isolate, made->Clone());
    bytes_ += packed.size();
    return made;
}

void PropsObjects::forget(Kind kind, uint32_t id) {
    auto it = entries_.find((uint64_t(kind) << 32) | id);
    if (it == entries_.end()) return;
    bytes_ -= it->second.packed.size();
    it->second.object.Reset();
    entries_.erase(it);
}

void PropsObjects::clear() {
    for (auto& [key, entry] : entries_) entry.object.Reset();
    entries_.clear();
    bytes_ = 0;
}

}  // namespace js
