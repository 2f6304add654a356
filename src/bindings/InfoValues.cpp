#include "InfoValues.h"

#include <unordered_map>

#include <pipewire/link.h>
#include <pipewire/node.h>

#include "../core/PwEvent.h"
#include "ControlValues.h"
#include "JsValues.h"
#include "ObjectBuilders.h"

namespace js {

namespace {

// Internalized once: every listing and event uses the same few texts.
template <typename Name>
v8::Local<v8::Value> cachedText(v8::Eternal<v8::String>& slot, Name name) {
    v8::Isolate* isolate = v8::Isolate::GetCurrent();
    if (slot.IsEmpty()) {
        const char* text = name();
        slot.Set(isolate, v8::String::NewFromUtf8(isolate, text, v8::NewStringType::kInternalized).ToLocalChecked());
    }
    return slot.Get(isolate);
}

// The names are PipeWire's static type tables' texts (MediaFormat.h): a few
// dozen pointers, each made into a string once.
v8::Local<v8::Value> nameOrNull(const char* name) {
    if (!name) return Nan::Null();
    static std::unordered_map<const char*, v8::Eternal<v8::String>> names;
    v8::Isolate* isolate = v8::Isolate::GetCurrent();
    auto it = names.find(name);
    if (it == names.end()) {
        v8::Local<v8::String> text =
            v8::String::NewFromUtf8(isolate, name, v8::NewStringType::kInternalized).ToLocalChecked();
        it = names.emplace(name, v8::Eternal<v8::String>(isolate, text)).first;
    }
    return it->second.Get(isolate);
}

v8::Local<v8::Value> countOrNull(uint32_t n) {
    return n ? num(n) : v8::Local<v8::Value>(Nan::Null());
}

v8::Eternal<v8::Object> gFormatShape, gChangedShape;

}  // namespace

v8::Local<v8::Value> nodeState(int8_t state) {
    static v8::Eternal<v8::String> texts[5];  // PW_NODE_STATE_ERROR (-1) .. RUNNING (3)
    if (state < PW_NODE_STATE_ERROR || state > PW_NODE_STATE_RUNNING) return Nan::Null();
    auto s = static_cast<pw_node_state>(state);
    return cachedText(texts[state - PW_NODE_STATE_ERROR], [s] { return pw_node_state_as_string(s); });
}

v8::Local<v8::Value> linkState(int8_t state) {
    static v8::Eternal<v8::String> texts[7];  // PW_LINK_STATE_ERROR (-2) .. ACTIVE (4)
    if (state < PW_LINK_STATE_ERROR || state > PW_LINK_STATE_ACTIVE) return Nan::Null();
    auto s = static_cast<pw_link_state>(state);
    return cachedText(texts[state - PW_LINK_STATE_ERROR], [s] { return pw_link_state_as_string(s); });
}

v8::Local<v8::Value> errorText(const std::string& error) {
    if (error.empty()) return Nan::Null();
    return str(error);
}

v8::Local<v8::Value> formatObject(const FormatRef& format) {
    if (!format) return Nan::Null();
    // An object literal made by the package's builder: many times faster than
    // defining the six properties one by one (a listing of the ports makes one
    // per port). It reads only its arguments: no user code runs.
    v8::Local<v8::Value> positions = Nan::Null();
    if (!format->positions.empty()) {
        std::vector<v8::Local<v8::Value>> names;
        names.reserve(format->positions.size());
        for (const char* p : format->positions) names.push_back(nameOrNull(p));
        positions = array(names);
    }
    v8::Local<v8::Value> argv[] = {nameOrNull(format->mediaType),    nameOrNull(format->mediaSubtype),
                                   nameOrNull(format->sampleFormat), countOrNull(format->rate),
                                   countOrNull(format->channels),    positions};
    v8::Local<v8::Value> o;
    if (!build(Builder::Format, 6, argv).ToLocal(&o) || !o->IsObject()) return Nan::Null();
    return keepShape(gFormatShape, o.As<v8::Object>());
}

v8::Local<v8::Value> latencyObject(const LatencyRef& latency, unsigned direction) {
    if (!latency || direction > 1 || !latency->given[direction]) return Nan::Null();
    static const char* const kNames[] = {"minQuantum", "maxQuantum", "minRate", "maxRate", "minNs", "maxNs"};
    static v8::Eternal<v8::String> names[6];
    v8::Isolate* isolate = v8::Isolate::GetCurrent();
    const LatencyRange& r = latency->range[direction];
    const double numbers[6] = {r.minQuantum, r.maxQuantum, r.minRate, r.maxRate, r.minNs, r.maxNs};
    v8::Local<v8::Name> keys[6];
    v8::Local<v8::Value> values[6];
    for (int i = 0; i < 6; i++) {
        keys[i] = cachedText(names[i], [i] { return kNames[i]; }).As<v8::Name>();
        values[i] = Nan::New<v8::Number>(numbers[i]);
    }
    v8::Local<v8::Object> o = v8::Object::New(isolate, objectPrototype(isolate), keys, values, 6);
    static_cast<void>(o->SetIntegrityLevel(Nan::GetCurrentContext(), v8::IntegrityLevel::kFrozen).FromMaybe(false));
    return o;
}

v8::Local<v8::Value> LatencyObjects::get(const LatencyRef& latency, unsigned direction) {
    if (!latency || direction > 1 || !latency->given[direction]) return Nan::Null();
    const LatencyRange& range = latency->range[direction];
    for (const auto& made : made_)
        if (made.first == range) return made.second;
    v8::Local<v8::Value> o = latencyObject(latency, direction);
    if (made_.size() < 16) made_.emplace_back(range, o);  // ranges mostly repeat: a few distinct ones
    return o;
}

v8::Local<v8::Object> changedObject(uint8_t changed) {
    v8::Local<v8::Context> context = Nan::GetCurrentContext();
    v8::Local<v8::Object> o = Nan::New<v8::Object>();
    if (changed & ChangedProps) set(context, o, kProps, Nan::True());
    if (changed & ChangedState) set(context, o, kState, Nan::True());
    if (changed & ChangedError) set(context, o, kError, Nan::True());
    if (changed & ChangedFormat) set(context, o, kFormat, Nan::True());
    setControlChanges(context, o, changed);
    return o;
}

}  // namespace js
