// The queue of graph events from the PipeWire thread to the JavaScript thread.
// Producers run on the PipeWire thread (and, for the Graph's own snapshots,
// on the JavaScript thread); the consumer runs on the JavaScript thread.
#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <memory>
#include <string>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "../core/PwEvent.h"

struct PwContext;

// The mirror as it is now, and who receives its changes (ForListeners always;
// ForGraph while the Graph receives the mirror): what the queue catches up from
// when it overflows.
struct MirrorView {
    const std::vector<NodeInfo>& nodes;
    const std::vector<PortInfo>& ports;
    const std::vector<LinkInfo>& links;
    uint8_t receiving;
};

// The events on their way, bounded whatever any client does. A changed
// event joins the one of its object still queued (its record the latest,
// its `changed` the union): an object rewriting its properties in a loop
// while JavaScript is busy holds one event. Beyond the bounds, the mirror's
// queued changes are dropped and replaced by what brings each recipient from
// what it was sent to the mirror as it is: the objects gone (links, ports,
// nodes), the new ones (nodes, ports, links), then the changes of the
// others, ahead of the other events still queued (a round trip's end, a
// request's outcome), which then find the mirror at least as new as they
// expect. An object is never changed before it is created or after it is
// destroyed, and an id given to a new object is sent as destroyed and created again.
// Metadata changes (any client writes them, under keys of its choosing) are
// bounded apart: beyond kMaxMetadataEvents or kMaxMetadataBytes of them, all
// are replaced by one resync event (a MetadataChanged without a change),
// where the consumer reads the metadata as it is then; until it is taken,
// further changes are left out, since that read holds them.
// V8-free; the caller provides the exclusion.
class EventQueue {
public:
    static constexpr size_t kMaxEvents = 8192;
    static constexpr size_t kMaxBytes = 8 << 20;  // the events' texts, properties above all
    static constexpr size_t kMaxMetadataEvents = 1024;
    static constexpr size_t kMaxMetadataBytes = 1 << 20;

    explicit EventQueue(size_t maxEvents = kMaxEvents, size_t maxBytes = kMaxBytes);

    // `mirror`: as it is now; `mirrorShowsIt`: it shows the event's change
    // already (else no catch-up now: the next push's, if need be).
    void push(PwEvent&& event, const MirrorView& mirror, bool mirrorShowsIt = true);
    bool take(PwEvent& out);
    // The recipients stop listening: what waits for them goes.
    void dropRecipients(uint8_t recipients);

    size_t size() const { return entries_.size(); }
    size_t bytes() const { return bytes_; }
    uint64_t catchUps() const { return catchUps_; }
    uint64_t metadataResyncs() const { return metadataResyncs_; }

private:
    using KeySet = std::unordered_set<uint64_t>;  // kind << 32 | id
    struct Entry {
        PwEvent event;
        // A Connected the Graph receives: the objects it knows from then on
        // (the mirror it lists), in place of what it received before.
        std::shared_ptr<const KeySet> known;
    };

    void catchUp(const MirrorView& mirror);
    void resyncMetadata();
    void reindex();

    std::deque<Entry> entries_;
    uint64_t head_ = 0;                                     // the number of entries_.front() among all ever queued
    std::unordered_map<uint64_t, uint64_t> pendingChange_;  // object -> number of its queued changed event
    KeySet delivered_[2];  // per recipient (listeners, Graph): the objects it was sent as created and not destroyed
    size_t bytes_ = 0;
    size_t maxEvents_, maxBytes_, limitEvents_, limitBytes_;
    uint64_t catchUps_ = 0;
    size_t metadataEvents_ = 0, metadataBytes_ = 0;  // the metadata changes queued
    bool resyncQueued_ = false;
    uint64_t metadataResyncs_ = 0;
};

// Every producer holds the graph lock: an overflowing queue catches up from
// the mirror.

// The four changes the listeners of `on` receive. `recipients` says whether the
// Graph receives them too.
void emitNodeCreated(PwContext* ctx, const NodeInfo& node, uint8_t recipients = ForListeners);
void emitNodeDestroyed(PwContext* ctx, uint32_t id, uint8_t recipients = ForListeners);
void emitLinkCreated(PwContext* ctx, const LinkInfo& link, uint8_t recipients = ForListeners);
void emitLinkDestroyed(PwContext* ctx, uint32_t id, uint64_t serial, uint8_t recipients = ForListeners);

// Events for the Graph only. emitGraphEvent takes the graph lock, and
// queues only while the Graph listens.
void emitPortCreated(PwContext* ctx, const PortInfo& port);
void emitPortDestroyed(PwContext* ctx, uint32_t id);
void emitGraphEvent(PwContext* ctx, PwEventType type, uint32_t id, uint32_t token = 0, int32_t res = 0,
                    std::string text = {});
// The same for an event made whole by the caller (a ForGraph one).
void emitGraphEvent(PwContext* ctx, PwEvent&& event);

// The Graph stops listening: what waits in the queue for it is dropped.
// Graph lock held.
void dropGraphEventsLocked(PwContext* ctx);

PwEvent makeEvent(PwEventType type, uint32_t id, uint8_t recipients);

// Queues one event and wakes the consumer. Graph lock held.
void emitEvent(PwContext* ctx, PwEvent&& event);

// The mirror as the Graph is sent it as created (nodes, ports, links, in mirror
// order), appended to `out`. Graph lock held.
void appendMirrorCreatedLocked(PwContext* ctx, std::vector<PwEvent>& out);

// Appends several events under one lock and wakes the consumer once. Graph
// lock held.
void emitEvents(PwContext* ctx, std::vector<PwEvent>&& events);

// Wakes the JavaScript thread if the wake-up handle exists. Never called with
// the queue lock held.
void signalWakeup(PwContext* ctx);

// On the calling thread (the PipeWire thread, while its loop runs), queued
// events only note that a wake-up is due; sendDeferredWakeup sends it (before
// the loop waits again, and once it has ended). No lock held.
void deferWakeups(bool deferred);
void sendDeferredWakeup(PwContext* ctx);
// The event just queued answers a request JavaScript waits for: the wake-up
// goes now, not after the rest of the loop iteration (the info of objects
// bound, other changes read with it); later events of the iteration note
// another. The queue lock not held.
void wakeNow(PwContext* ctx);

// Takes the oldest event out of the queue; false when the queue is empty.
bool takeNextEvent(PwContext* ctx, PwEvent& out);

// How many events wait in the queue right now.
size_t queuedEventCount(PwContext* ctx);
