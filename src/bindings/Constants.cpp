// addon.constants: the numbers, names and limits that lib/ shares with the
// native side, defined here once and handed over as one frozen object.
#include <nan.h>

#include <iterator>

#include "../connection/PwThread.h"
#include "../core/NodeProps.h"
#include "../core/PwEvent.h"
#include "../features/control/Metadata.h"
#include "../features/meters/Meters.h"
#include "../features/nodes/NodeCreation.h"
#include "Exports.h"

namespace {

// The name of each PwEventType, by number: the Graph emits the mirror's
// changes under these names.
const char* const kEventNames[] = {
    "node-created",    // NodeCreated
    "node-destroyed",  // NodeDestroyed
    "link-created",    // LinkCreated
    "link-destroyed",  // LinkDestroyed
    "port-created",    // PortCreated
    "port-destroyed",  // PortDestroyed
    "connected",       // Connected
    "disconnected",    // Disconnected
    "link-bound",      // LinkRequestBound
    "link-failed",     // LinkRequestFailed
    "link-ended",      // LinkRequestEnded
    "sync-done",       // SyncDone
    "unlink-failed",   // UnlinkFailed
    "node-changed",    // NodeChanged
    "port-changed",    // PortChanged
    "link-changed",    // LinkChanged
    "metadata-delta",  // MetadataChanged: one change to apply to lib/'s metadata mirror
    "control-failed",  // ControlFailed
    "node-answered",   // NodeRequestAnswered
    "meter-level",     // MeterLevel
    "meter-ended",     // MeterEnded
    "profile",         // ProfileReady
    "profiler-xrun",   // ProfilerXrun
    "module-load",     // ModuleAnswered
    "module-ended",    // ModuleEnded
    "device-created",  // DeviceCreated
    "device-changed",  // DeviceChanged
    // DeviceDestroyed
    "device-destroyed",
    // MeterState
    "meter-state",
};
static_assert(std::size(kEventNames) == MeterState + 1, "one name per PwEventType");

struct Pair {
    const char* name;
    double value;
};

struct TextPair {
    const char* name;
    const char* value;
};

// The keys of the "default" metadata that the session manager writes for
// each kind of default ("default.<key>") and that the user configures
// ("default.configured.<key>").
const TextPair kDefaultKinds[] = {
    {"audioSink", "audio.sink"},
    {"audioSource", "audio.source"},
    {"videoSource", "video.source"},
};

constexpr double outcome(NodeOutcome o) {
    return static_cast<double>(o);
}

const Pair kNodeOutcomes[] = {
    {"created", outcome(NodeOutcome::Created)},   {"failed", outcome(NodeOutcome::Failed)},
    {"removing", outcome(NodeOutcome::Removing)}, {"refused", outcome(NodeOutcome::Refused)},
    {"notFound", outcome(NodeOutcome::NotFound)},
};

// What a meter does (MeterState's `token`), by name.
const Pair kMeterStages[] = {
    {"measuring", double(MeterStage::Measuring)},
    {"idle", double(MeterStage::Idle)},
    {"stalled", double(MeterStage::Stalled)},
};

const Pair kLimits[] = {
    {"metadataKeyBytes", MetadataStore::kMaxKeyBytes},
    {"metadataValueBytes", MetadataStore::kMaxValueBytes},
    {"volumeChannels", kMaxVolumeChannels},
    {"linearVolume", kMaxLinearVolume},
    {"handoffDeadlineMs", kHandoffDeadlineMs},
    {"metersPerGraph", kMaxMetersPerGraph},
    {"meters", kMaxMeters},
};

v8::Local<v8::Object> frozen(v8::Local<v8::Object> o) {
    o->SetIntegrityLevel(Nan::GetCurrentContext(), v8::IntegrityLevel::kFrozen).Check();
    return o;
}

template <size_t N>
v8::Local<v8::Object> numbers(const Pair (&pairs)[N]) {
    v8::Local<v8::Object> o = Nan::New<v8::Object>();
    for (const Pair& p : pairs) Nan::Set(o, Nan::New(p.name).ToLocalChecked(), Nan::New(p.value));
    return frozen(o);
}

template <size_t N>
v8::Local<v8::Object> texts(const TextPair (&pairs)[N]) {
    v8::Local<v8::Object> o = Nan::New<v8::Object>();
    for (const TextPair& p : pairs) Nan::Set(o, Nan::New(p.name).ToLocalChecked(), Nan::New(p.value).ToLocalChecked());
    return frozen(o);
}

}  // namespace

v8::Local<v8::Object> constantsObject() {
    v8::Local<v8::Array> events = Nan::New<v8::Array>(std::size(kEventNames));
    for (uint32_t i = 0; i < std::size(kEventNames); i++)
        Nan::Set(events, i, Nan::New(kEventNames[i]).ToLocalChecked());
    v8::Local<v8::Object> defaults = Nan::New<v8::Object>();
    Nan::Set(defaults, Nan::New("name").ToLocalChecked(), Nan::New("default").ToLocalChecked());
    Nan::Set(defaults, Nan::New("kinds").ToLocalChecked(), texts(kDefaultKinds));

    v8::Local<v8::Object> o = Nan::New<v8::Object>();
    Nan::Set(o, Nan::New("events").ToLocalChecked(), frozen(events));
    Nan::Set(o, Nan::New("nodeOutcomes").ToLocalChecked(), numbers(kNodeOutcomes));
    Nan::Set(o, Nan::New("limits").ToLocalChecked(), numbers(kLimits));
    Nan::Set(o, Nan::New("meterStages").ToLocalChecked(), numbers(kMeterStages));
    Nan::Set(o, Nan::New("createdByKey").ToLocalChecked(), Nan::New(kCreatedByKey).ToLocalChecked());
    Nan::Set(o, Nan::New("defaultMetadata").ToLocalChecked(), frozen(defaults));
    return frozen(o);
}
