// graphNodeControls / graphSetNodeProps / graphSetMetadata / graphMetadata:
// what lib/control.js and lib/connection.js build volume, mute, the default
// devices and moving streams on; and the values of their events.
#include <cmath>
#include <optional>
#include <string>
#include <vector>

#include "../connection/PwContext.h"
#include "../core/Clock.h"
#include "../features/control/Metadata.h"
#include "../features/control/VolumeRequests.h"
#include "ArgCheck.h"
#include "ControlValues.h"
#include "Exports.h"
#include "Handoffs.h"
#include "JsValues.h"

namespace {

v8::Local<v8::Value> textOrNull(const std::string& text) {
    return text.empty() ? v8::Local<v8::Value>(Nan::Null()) : v8::Local<v8::Value>(js::str(text));
}

const char* kindName(MetadataChange::Kind kind) {
    switch (kind) {
        case MetadataChange::Set:
            return "set";
        case MetadataChange::Deleted:
            return "deleted";
        case MetadataChange::Added:
            return "added";
        case MetadataChange::Removed:
            return "removed";
    }
    return "set";
}

v8::Local<v8::Object> controlsObject(v8::Local<v8::Context> context, const NodeInfo& node) {
    v8::Local<v8::Object> o = Nan::New<v8::Object>();
    js::set(context, o, js::kId, js::num(node.id));
    js::set(context, o, js::kName, js::str(node.name));
    js::setNodeControls(context, o, node);
    // How long it has been there, in ms; none for a node older than the
    // connection.
    if (node.announcedMs > 0) js::set(context, o, js::kAge, Nan::New(double(monotonicMs() - node.announcedMs)));
    return o;
}

const char* const kSetPropsUsage = "graphSetNodeProps requires (nodeId, token, channelVolumes | null, mute | null)";
const char* const kSetMetadataUsage =
    "graphSetMetadata requires (name, subject, key, type | null, value | null, token)";

}  // namespace

namespace js {

NodeControlValues nodeControlValues(const NodeInfo& node) {
    NodeControlValues out{Nan::Null(), Nan::Null(), Nan::Null()};
    const NodeControls* c = node.controls.get();
    if (!c) return out;
    if (c->hasVolume()) {
        out.volume = Nan::New<v8::Number>(cubicVolume(c->channelVolumes[0]));
        std::vector<v8::Local<v8::Value>> volumes;
        volumes.reserve(c->channelVolumes.size());
        for (float v : c->channelVolumes) volumes.push_back(Nan::New<v8::Number>(v));
        out.channelVolumes = array(volumes);
    }
    if (c->hasMute) out.mute = Nan::New(c->mute);
    return out;
}

void setNodeControls(v8::Local<v8::Context> context, v8::Local<v8::Object> o, const NodeInfo& node) {
    NodeControlValues values = nodeControlValues(node);
    if (!values.channelVolumes->IsNull()) {
        js::set(context, o, js::kVolume, values.volume);
        js::set(context, o, js::kChannelVolumes, values.channelVolumes);
    }
    if (!values.mute->IsNull()) js::set(context, o, js::kMute, values.mute);
}

void setControlChanges(v8::Local<v8::Context> context, v8::Local<v8::Object> o, uint8_t changed) {
    if (changed & ChangedVolume) js::set(context, o, js::kVolume, Nan::True());
    if (changed & ChangedMute) js::set(context, o, js::kMute, Nan::True());
}

v8::Local<v8::Object> metadataChange(const MetadataChange& change) {
    v8::Local<v8::Context> context = Nan::GetCurrentContext();
    v8::Local<v8::Object> o = Nan::New<v8::Object>();
    js::set(context, o, js::kKind, Nan::New(kindName(change.kind)).ToLocalChecked());
    js::set(context, o, js::kGeneration, num64(change.generation));
    set(context, o, kId, num(change.metadataId));
    set(context, o, kName, str(change.name));
    js::set(context, o, js::kSubject, num(change.subject));
    bool entry = change.kind == MetadataChange::Set || change.kind == MetadataChange::Deleted;
    js::set(context, o, js::kKey, entry ? v8::Local<v8::Value>(str(change.key)) : v8::Local<v8::Value>(Nan::Null()));
    v8::Local<v8::Value> none = Nan::Null();
    bool set = change.kind == MetadataChange::Set;
    js::set(context, o, kType, set ? textOrNull(change.type) : none);
    js::set(context, o, js::kValue, set ? v8::Local<v8::Value>(str(change.value)) : none);
    if (change.kind == MetadataChange::Added && change.owner != SPA_ID_INVALID)
        js::set(context, o, js::kOwner, num(change.owner));
    return o;
}

}  // namespace js

// graphNodeControls(id?): [{ id, name, volume, channelVolumes, mute }] for the
// nodes of the mirror whose Props carry them (only node `id`, when given), in
// mirror order.
NAN_METHOD(graphNodeControls) {
    PwContext* ctx = getContext();
    v8::Local<v8::Context> context = Nan::GetCurrentContext();
    bool one = info.Length() >= 1 && info[0]->IsNumber();
    uint32_t id = one ? argUint32(info, 0) : 0;
    std::vector<NodeInfo> nodes;
    {
        LockGuard lock(ctx->mutex);
        for (const NodeInfo& n : ctx->nodes) {
            if (!n.controls || (one && n.id != id)) continue;
            NodeInfo copy;
            copy.id = n.id;
            copy.name = n.name;
            copy.controls = n.controls;
            copy.announcedMs = n.announcedMs;
            nodes.push_back(std::move(copy));
        }
    }
    std::vector<v8::Local<v8::Value>> out;
    out.reserve(nodes.size());
    for (const NodeInfo& n : nodes) out.push_back(controlsObject(context, n));
    info.GetReturnValue().Set(js::array(out));
}

// graphSetNodeProps(nodeId, token, channelVolumes | null, mute | null):
// false without a connection.
NAN_METHOD(graphSetNodeProps) {
    if (info.Length() < 4 || !info[0]->IsNumber() || !info[1]->IsNumber() ||
        !(info[2]->IsNull() || info[2]->IsArray()) || !(info[3]->IsNull() || info[3]->IsBoolean()))
        return Nan::ThrowTypeError(kSetPropsUsage);
    std::vector<float> volumes;
    if (info[2]->IsArray()) {
        v8::Local<v8::Array> list = info[2].As<v8::Array>();
        if (list->Length() == 0 || list->Length() > kMaxVolumeChannels)
            return Nan::ThrowRangeError("graphSetNodeProps: 1 to 64 channel volumes");
        v8::Local<v8::Context> context = Nan::GetCurrentContext();
        for (uint32_t i = 0; i < list->Length(); i++) {
            v8::Local<v8::Value> v;
            if (!list->Get(context, i).ToLocal(&v)) return;
            double d = v->IsNumber() ? v.As<v8::Number>()->Value() : -1;
            if (!(d >= 0 && d <= kMaxLinearVolume))
                return Nan::ThrowRangeError("graphSetNodeProps: a volume out of range");
            volumes.push_back(float(d));
        }
    }
    int mute = info[3]->IsBoolean() ? (info[3]->IsTrue() ? 1 : 0) : -1;
    if (volumes.empty() && mute < 0) return Nan::ThrowTypeError(kSetPropsUsage);
    info.GetReturnValue().Set(
        handedOver(requestNodeProps(getContext(), argUint32(info, 1), argUint32(info, 0), volumes, mute)));
}

// graphSetMetadata(name, subject, key, type | null, value | null, token):
// false without a connection.
NAN_METHOD(graphSetMetadata) {
    if (info.Length() < 6 || !info[0]->IsString() || !info[1]->IsNumber() || !info[2]->IsString() ||
        !(info[3]->IsNull() || info[3]->IsString()) || !(info[4]->IsNull() || info[4]->IsString()) ||
        !info[5]->IsNumber())
        return Nan::ThrowTypeError(kSetMetadataUsage);
    std::optional<std::string> type, value;
    if (info[3]->IsString()) type = argText(info[3]);
    if (info[4]->IsString()) value = argText(info[4]);
    info.GetReturnValue().Set(handedOver(requestMetadataSet(getContext(), argUint32(info, 5), argText(info[0]),
                                                            argUint32(info, 1), argText(info[2]), type, value)));
}

// graphMetadata(): { generation, changes } as metadataSnapshot gives them.
NAN_METHOD(graphMetadata) {
    uint64_t generation = 0;
    std::vector<MetadataChange> changes = metadataSnapshot(getContext(), generation);
    std::vector<v8::Local<v8::Value>> list;
    list.reserve(changes.size());
    for (const MetadataChange& c : changes) list.push_back(js::metadataChange(c));
    v8::Local<v8::Context> context = Nan::GetCurrentContext();
    v8::Local<v8::Object> o = Nan::New<v8::Object>();
    js::set(context, o, js::kGeneration, js::num64(generation));
    static_cast<void>(
        o->CreateDataProperty(context, Nan::New("changes").ToLocalChecked(), js::array(list)).FromMaybe(false));
    info.GetReturnValue().Set(o);
}
