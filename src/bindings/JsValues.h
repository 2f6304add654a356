// Turning mirror values into JavaScript values, for the listings, the events
// and the link inspection alike. Property names are made once
// (internalized) and reused: the listings build thousands of objects under the
// graph lock, so each property costs as little as possible.
#pragma once

#include <nan.h>

#include <cstdint>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

namespace js {

// clang-format off
enum Key : unsigned {
    kId, kName, kType, kVersion, kInputPorts, kOutputPorts, kIsInput, kIsOutput, kNodeId, kDirection, kPortType,
    kSrcNodeId, kSrcPortId, kSinkNodeId, kSinkPortId, kFormat,
    kFound, kLinkId, kBytes, kDrops, kRate, kState, kSrcNode, kSinkNode,
    kProps, kToken, kRes, kMessage, kOutcome,
    kError, kMediaType, kMediaSubtype, kSampleFormat, kChannels, kPositions,
    kT, kPeak, kRms, kSrcNodeName, kSinkNodeName, kLatency,
    kVolume, kChannelVolumes, kMute, kKind, kGeneration, kSubject, kKey, kValue, kOwner, kAge,
    kKeyCount
};
// clang-format on

v8::Local<v8::String> key(Key k);

// Object.prototype, by the name this V8 gives the call.
v8::Local<v8::Value> objectPrototype(v8::Isolate* isolate);

inline v8::Local<v8::String> str(const std::string& s) {
    // Over the whole length, so an embedded NUL byte stays in the string.
    return Nan::New(s.data(), static_cast<int>(s.size())).ToLocalChecked();
}

inline v8::Local<v8::Value> num(uint32_t v) {
    return v8::Integer::NewFromUnsigned(v8::Isolate::GetCurrent(), v);
}

inline v8::Local<v8::Value> num64(uint64_t v) {
    return Nan::New<v8::Number>(static_cast<double>(v));
}

// An ordinary data property on a fresh plain object; the result is not examined.
inline void set(v8::Local<v8::Context> context, v8::Local<v8::Object> obj, Key k, v8::Local<v8::Value> value) {
    static_cast<void>(obj->CreateDataProperty(context, key(k), value).FromMaybe(false));
}

inline void set(v8::Local<v8::Object> obj, Key k, v8::Local<v8::Value> value) {
    set(Nan::GetCurrentContext(), obj, k, value);
}

// V8 holds the hidden class of an object built property by property only
// while some object has it: once every event payload of a kind has been
// collected, the next one gets a new class and the optimised code that
// handled the old one is thrown away and compiled again, after every
// collection. A private copy of the first object of each kind, kept for the
// module's life, keeps the class, so listeners stay optimised.
inline v8::Local<v8::Object> keepShape(v8::Eternal<v8::Object>& slot, v8::Local<v8::Object> obj) {
    if (slot.IsEmpty()) slot.Set(v8::Isolate::GetCurrent(), obj->Clone());
    return obj;
}

// Strings made once per call for texts that repeat (media classes, port
// names, node names in links). The texts must outlive the cache (mirror
// records under the graph lock).
class StringCache {
public:
    v8::Local<v8::Value> objectPrototype;  // Object.prototype, once looked up

    v8::Local<v8::String> get(std::string_view s) {
        auto it = cache_.find(s);
        if (it != cache_.end()) return it->second;
        v8::Local<v8::String> value = Nan::New(s.data(), static_cast<int>(s.size())).ToLocalChecked();
        cache_.emplace(s, value);
        return value;
    }

private:
    std::unordered_map<std::string_view, v8::Local<v8::String>> cache_;
};

// An array of the elements, indices 0..n-1 in order.
inline v8::Local<v8::Array> array(std::vector<v8::Local<v8::Value>>& elements) {
    return v8::Array::New(v8::Isolate::GetCurrent(), elements.data(), elements.size());
}

}  // namespace js

namespace js {

// A plain object of the packed properties of a record, keys and values as
// announced. Data properties only, so a key such as "__proto__" is an
// ordinary key. The packed text must outlive the cache.
v8::Local<v8::Object> propsObject(const std::string& packed, StringCache& cache);

// The property objects of the records that change events carry, kept from
// one event of a record to the next: a record whose properties are what
// they were gets a shallow copy of the object made then (its values are
// strings), where building it again costs a string and a dictionary entry
// per property, tens for a node whose volume alone changed. Each event still
// gets an object of its own. Compared by content, never trusted by id (ids
// are reused at once). Bounded in entries and bytes: past either, it starts
// again empty. JavaScript thread only; cleared while V8 still runs.
class PropsObjects {
public:
    enum Kind : uint64_t { Node, Port, Link };

    // An object of `packed` for record `id` of `kind`, as propsObject makes it.
    v8::Local<v8::Object> get(Kind kind, uint32_t id, const std::string& packed, StringCache& cache);
    void forget(Kind kind, uint32_t id);
    void clear();

private:
    static constexpr size_t kMaxEntries = 512;
    static constexpr size_t kMaxBytes = 1 << 20;
    struct Entry {
        std::string packed;
        v8::Global<v8::Object> object;
    };
    std::unordered_map<uint64_t, Entry> entries_;
    size_t bytes_ = 0;
};

}  // namespace js
