// JavaScript values of the objects' live info: states, error texts,
// negotiated formats and what a changed event says changed.
#pragma once

#include <nan.h>

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "../core/MediaFormat.h"
#include "../core/PortLatency.h"

namespace js {

// "creating" ... "running" (nodes) or "error" ... "active" (links); null
// before the first info.
v8::Local<v8::Value> nodeState(int8_t state);
v8::Local<v8::Value> linkState(int8_t state);

// The daemon's error text, or null.
v8::Local<v8::Value> errorText(const std::string& error);

// { mediaType, mediaSubtype, sampleFormat, rate, channels, positions }, each
// null where the format does not give it; null for no format.
v8::Local<v8::Value> formatObject(const FormatRef& format);

// A frozen { minQuantum, maxQuantum, minRate, maxRate, minNs, maxNs } of one
// direction's range (frozen: a listing hands one object to every entry with
// the same range); null where the port gave none.
v8::Local<v8::Value> latencyObject(const LatencyRef& latency, unsigned direction);

// The same over a listing: equal ranges share one object.
class LatencyObjects {
public:
    v8::Local<v8::Value> get(const LatencyRef& latency, unsigned direction);

private:
    std::vector<std::pair<LatencyRange, v8::Local<v8::Value>>> made_;
};

// { props: true, state: true, ... } of the PwChange bits.
v8::Local<v8::Object> changedObject(uint8_t changed);

}  // namespace js
