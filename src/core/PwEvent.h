// One graph event on its way from the PipeWire thread to the JavaScript thread.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "MirrorRecords.h"

enum PwEventType : uint32_t {
    // Delivered to the listeners registered with `on`, and to the Graph.
    NodeCreated = 0,
    NodeDestroyed = 1,
    LinkCreated = 2,
    LinkDestroyed = 3,
    // Delivered to the Graph only.
    PortCreated = 4,
    PortDestroyed = 5,
    Connected = 6,             // the initial round trip is complete
    Disconnected = 7,          // `text`: why; `res`: 0 when the connection was closed on purpose
    LinkRequestBound = 8,      // `token`; `id`: the link's registry id
    LinkRequestFailed = 9,     // `token`; `res`, `text`: the daemon's refusal
    LinkRequestEnded = 10,     // `token`: its proxy is gone (the link went, or never came)
    SyncDone = 11,             // `id`: the sequence number of a round trip asked for by the Graph
    UnlinkFailed = 12,         // `id`: a link the Graph asked to remove and that stays; `res`, `text`: why
    NodeChanged = 13,          // `node` as it is now; `changed`: what changed
    PortChanged = 14,          // `port`, `changed`
    LinkChanged = 15,          // `link`, `changed`
    MetadataChanged = 16,      // `metadata`: an entry set or deleted, or a metadata object added or removed;
                               // without it: too many changes came at once, the metadata is to be read anew
    ControlFailed = 17,        // `token`: a volume, mute or metadata request refused; `res`, `text`: why
    NodeRequestAnswered = 18,  // `token`; `outcome`: a NodeOutcome; `id`, `res`, `text` as it says
    MeterLevel = 19,           // `id`: a meter's levels (taken by the JavaScript thread itself, not queued)
    MeterEnded = 20,           // `id`: a meter that ended; `text`: why
    ProfileReady = 21,         // the daemon's latest profile waits in its slot (features/profiler)
    ProfilerXrun = 22,         // `id`: a driver whose xruns or a follower whose errors grew; `token`: the count;
                               // `res`: 0 for a driver, 1 for a follower
    ModuleAnswered = 23,       // `id`: a module load (features/effects); `res` 0, or why not and `text`
    ModuleEnded = 24,          // `id`: a module that was unloaded or destroyed itself; `text`: why
    DeviceCreated = 25,        // `device`: a device with its first params (features/cards)
    DeviceChanged = 26,        // `device` as it is now
    DeviceDestroyed = 27,      // `id`
    MeterState = 28,           // `id`: a meter; `token`: what it does (MeterStage); `text`: why it does not measure
};

// What a changed event says changed (PwEvent::changed).
enum PwChange : uint8_t {
    ChangedProps = 1,
    ChangedState = 2,
    ChangedError = 4,
    ChangedFormat = 8,
    ChangedVolume = 16,
    ChangedMute = 32,
};

// One change of a metadata object, as MetadataChanged carries it.
struct MetadataChange {
    enum Kind : uint8_t { Set, Deleted, Added, Removed };
    Kind kind = Set;
    uint64_t generation = 0;  // counts every change, so a snapshot tells what it holds already
    uint32_t metadataId = 0;  // the metadata object's registry id
    std::string name;         // its "metadata.name"
    uint32_t subject = 0;
    uint32_t owner = 0xffffffff;   // Added: the "client.id" of the client that made it, if announced
    std::string key, type, value;  // Set: all three; Deleted: the key
};

// Who gets the event: the listeners of `on`, the Graph, or both. Decided
// when the event is produced, under the graph lock, so that the Graph sees
// every change since it started listening exactly once.
enum PwEventRecipients : uint8_t {
    ForListeners = 1,
    ForGraph = 2,
};

struct DeviceRecord;  // DeviceParams.h

struct PwEvent {
    PwEventType type = NodeCreated;
    uint8_t recipients = ForListeners;
    NodeInfo node;        // set for NodeCreated and NodeChanged only
    LinkInfo link;        // set for LinkCreated and LinkChanged only
    PortInfo port;        // set for PortCreated and PortChanged only
    uint8_t changed = 0;  // PwChange bits of a changed event
    uint8_t outcome = 0;  // NodeRequestAnswered only: what became of the request
    uint32_t id = 0;
    // LinkDestroyed: the link's "object.serial" (0 when none was announced,
    // or when an overflowing queue's catch-up does not know it), so that a
    // removal of an older link of the same id is told apart.
    uint64_t serial = 0;
    uint32_t token = 0;
    int32_t res = 0;
    std::string text;
    std::shared_ptr<const MetadataChange> metadata;  // set for MetadataChanged only
    std::shared_ptr<const DeviceRecord> device;      // set for DeviceCreated and DeviceChanged only
};
