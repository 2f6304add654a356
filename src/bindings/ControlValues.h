// JavaScript values of volume, mute and metadata changes, for the Graph's
// events and listings.
#pragma once

#include <nan.h>

#include <cstdint>

#include "../core/PwEvent.h"

namespace js {

// `volume` (cubic), `channelVolumes` (linear) and `mute` on a node object,
// each only where the node's Props give it.
void setNodeControls(v8::Local<v8::Context> context, v8::Local<v8::Object> o, const NodeInfo& node);

// The same as values: `volume` (cubic) and `channelVolumes` (linear), or
// null and null where the node's Props give no volume; `mute`, or null.
struct NodeControlValues {
    v8::Local<v8::Value> volume, channelVolumes, mute;
};
NodeControlValues nodeControlValues(const NodeInfo& node);

// `volume: true` / `mute: true` of the PwChange bits on a changed object.
void setControlChanges(v8::Local<v8::Context> context, v8::Local<v8::Object> o, uint8_t changed);

// { kind, generation, id, name, subject, key, type, value } of one change.
v8::Local<v8::Object> metadataChange(const MetadataChange& change);

}  // namespace js
