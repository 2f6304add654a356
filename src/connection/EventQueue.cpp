#include "EventQueue.h"

#include <algorithm>
#include <utility>

#include "PwContext.h"

namespace {

enum Kind : int { kNoKind = -1, kNodeKind = 0, kPortKind = 1, kLinkKind = 2 };

int kindOf(PwEventType type) {
    switch (type) {
        case NodeCreated:
        case NodeDestroyed:
        case NodeChanged:
            return kNodeKind;
        case PortCreated:
        case PortDestroyed:
        case PortChanged:
            return kPortKind;
        case LinkCreated:
        case LinkDestroyed:
        case LinkChanged:
            return kLinkKind;
        default:
            return kNoKind;
    }
}

bool isChanged(PwEventType type) {
    return type == NodeChanged || type == PortChanged || type == LinkChanged;
}

// Devices are in no catch-up (the mirror of nodes, ports and links): only
// their queued changes are joined, each event holding the whole record.
constexpr int kDeviceKind = 3;

// The kind under which an event's queued changes are joined, or kNoKind.
int joinedKindOf(PwEventType type) {
    if (type == DeviceCreated || type == DeviceDestroyed || type == DeviceChanged) return kDeviceKind;
    return kindOf(type);
}

bool joinsChanges(PwEventType type) {
    return isChanged(type) || type == DeviceChanged;
}

bool isMetadataChange(const PwEvent& e) {
    return e.type == MetadataChanged && e.metadata;
}

bool isMetadataResync(const PwEvent& e) {
    return e.type == MetadataChanged && !e.metadata;
}

bool isCreated(PwEventType type) {
    return type == NodeCreated || type == PortCreated || type == LinkCreated;
}

uint64_t keyOf(int kind, uint32_t id) {
    return uint64_t(kind) << 32 | id;
}

constexpr uint8_t kRecipients[2] = {ForListeners, ForGraph};
// By Kind.
constexpr PwEventType kDestroyed[] = {NodeDestroyed, PortDestroyed, LinkDestroyed};
constexpr PwEventType kCreated[] = {NodeCreated, PortCreated, LinkCreated};
constexpr PwEventType kChanged[] = {NodeChanged, PortChanged, LinkChanged};

// What an event holds, roughly: its record's texts are the bulk.
size_t footprint(const PwEvent& e) {
    size_t bytes = sizeof(PwEvent) + e.text.size();
    bytes += e.node.props.size() + e.node.name.size() + e.node.mediaClass.size() + e.node.error.size();
    bytes += e.port.props.size() + e.port.name.size();
    bytes += e.link.props.size() + e.link.error.size();
    if (e.metadata) bytes += sizeof(MetadataChange) + e.metadata->key.size() + e.metadata->value.size();
    return bytes;
}

// The listeners of `on` are not given the properties.
void dropProps(PwEvent& e) {
    std::string().swap(e.node.props);
    std::string().swap(e.port.props);
    std::string().swap(e.link.props);
}

PwEvent recordEvent(PwEventType type, const NodeInfo& n, uint8_t recipients) {
    PwEvent e = makeEvent(type, n.id, recipients);
    e.node = n;
    return e;
}
PwEvent recordEvent(PwEventType type, const PortInfo& p, uint8_t recipients) {
    PwEvent e = makeEvent(type, p.id, recipients);
    e.port = p;
    return e;
}
PwEvent recordEvent(PwEventType type, const LinkInfo& l, uint8_t recipients) {
    PwEvent e = makeEvent(type, l.id, recipients);
    e.link = l;
    return e;
}

template <typename F>
void forEachRecord(const MirrorView& m, bool withPorts, F&& f) {
    for (const NodeInfo& n : m.nodes) f(kNodeKind, n);
    if (withPorts)
        for (const PortInfo& p : m.ports) f(kPortKind, p);
    for (const LinkInfo& l : m.links) f(kLinkKind, l);
}

// What brings the `recipients` from the objects they were sent (`received`) to the
// mirror. `churned`: objects created or destroyed by the events dropped (an
// id the mirror has may be another object's now); `changed`: what the
// dropped changed events said changed.
template <typename KeySet>
std::vector<PwEvent> catchUpEvents(uint8_t recipients, const KeySet& received, const KeySet& churned,
                                   const std::unordered_map<uint64_t, uint8_t>& changed, const MirrorView& m) {
    bool graph = recipients == ForGraph;  // the listeners receive no ports and no changes
    KeySet present;
    forEachRecord(m, graph, [&](int kind, const auto& r) { present.insert(keyOf(kind, r.id)); });
    auto kept = [&](uint64_t key) { return received.count(key) && present.count(key) && !churned.count(key); };
    std::vector<PwEvent> out;
    for (int kind : {kLinkKind, kPortKind, kNodeKind}) {
        std::vector<uint32_t> gone;
        for (uint64_t key : received)
            if (int(key >> 32) == kind && !kept(key)) gone.push_back(uint32_t(key));
        std::sort(gone.begin(), gone.end());
        for (uint32_t id : gone) out.push_back(makeEvent(kDestroyed[kind], id, recipients));
    }
    forEachRecord(m, graph, [&](int kind, const auto& r) {
        if (kept(keyOf(kind, r.id))) return;
        out.push_back(recordEvent(kCreated[kind], r, recipients));
        if (!graph) dropProps(out.back());
    });
    if (!graph) return out;
    forEachRecord(m, true, [&](int kind, const auto& r) {
        uint64_t key = keyOf(kind, r.id);
        auto it = changed.find(key);
        if (it == changed.end() || !kept(key)) return;
        out.push_back(recordEvent(kChanged[kind], r, recipients));
        out.back().changed = it->second;
    });
    return out;
}

// On the PipeWire thread, while its loop runs, the JavaScript thread is woken
// once per loop iteration, after everything that iteration read was queued:
// a link's "bound" and "created", or a burst of globals, reach JavaScript in
// one run instead of one wake-up (and one dispatch run) each.
thread_local bool tWakeupsDeferred = false;
thread_local bool tWakeupDue = false;

void wake(PwContext* ctx) {
    if (tWakeupsDeferred)
        tWakeupDue = true;
    else
        signalWakeup(ctx);
}

// Graph lock held.
MirrorView mirrorOf(const PwContext* ctx) {
    uint8_t receiving = graphReceivesMirrorLocked(ctx) ? ForListeners | ForGraph : ForListeners;
    return MirrorView{ctx->nodes, ctx->ports, ctx->links, receiving};
}

void push(PwContext* ctx, PwEvent&& event) {
    {
        LockGuard lock(ctx->queueMutex);
        ctx->eventQueue.push(std::move(event), mirrorOf(ctx));
    }
    wake(ctx);
}

}  // namespace

EventQueue::EventQueue(size_t maxEvents, size_t maxBytes)
    : maxEvents_(maxEvents), maxBytes_(maxBytes), limitEvents_(maxEvents), limitBytes_(maxBytes) {}

void EventQueue::push(PwEvent&& event, const MirrorView& mirror, bool mirrorShowsIt) {
    if (event.type == MetadataChanged) {
        if (resyncQueued_) return;  // the resync's read will hold it
        metadataEvents_++;
        metadataBytes_ += footprint(event);
    }
    int kind = joinedKindOf(event.type);
    if (kind != kNoKind) {
        uint64_t key = keyOf(kind, event.id);
        if (joinsChanges(event.type)) {
            auto it = pendingChange_.find(key);
            if (it != pendingChange_.end() && it->second >= head_) {
                PwEvent& queued = entries_[it->second - head_].event;
                bytes_ -= footprint(queued);
                uint8_t changed = queued.changed | event.changed;
                queued = std::move(event);
                queued.changed = changed;
                bytes_ += footprint(queued);
                return;
            }
            pendingChange_[key] = head_ + entries_.size();
        } else {
            // Changes after this are another life of the id.
            pendingChange_.erase(key);
        }
    }
    Entry entry{std::move(event), nullptr};
    if (entry.event.type == Connected && (entry.event.recipients & ForGraph)) {
        auto known = std::make_shared<KeySet>();
        forEachRecord(mirror, true, [&](int k, const auto& r) { known->insert(keyOf(k, r.id)); });
        entry.known = std::move(known);
    }
    bytes_ += footprint(entry.event);
    entries_.push_back(std::move(entry));
    if (metadataEvents_ > kMaxMetadataEvents || metadataBytes_ > kMaxMetadataBytes) resyncMetadata();
    if (mirrorShowsIt && (entries_.size() > limitEvents_ || bytes_ > limitBytes_)) catchUp(mirror);
}

bool EventQueue::take(PwEvent& out) {
    if (entries_.empty()) return false;
    Entry entry = std::move(entries_.front());
    entries_.pop_front();
    head_++;
    size_t bytes = footprint(entry.event);
    bytes_ -= bytes;
    out = std::move(entry.event);
    if (isMetadataResync(out)) {
        resyncQueued_ = false;
    } else if (isMetadataChange(out)) {
        metadataEvents_--;
        metadataBytes_ -= bytes;
    }
    int kind = kindOf(out.type);
    if (entry.known) {
        delivered_[1] = *entry.known;
    } else if (kind != kNoKind && !isChanged(out.type)) {
        for (int a = 0; a < 2; a++) {
            if (!(out.recipients & kRecipients[a])) continue;
            if (isCreated(out.type))
                delivered_[a].insert(keyOf(kind, out.id));
            else
                delivered_[a].erase(keyOf(kind, out.id));
        }
    }
    if (entries_.empty()) {
        pendingChange_.clear();
        limitEvents_ = maxEvents_;
        limitBytes_ = maxBytes_;
    }
    return true;
}

void EventQueue::catchUp(const MirrorView& mirror) {
    catchUps_++;
    // The Graph's view starts again at its last Connected still queued:
    // what comes before stays as it is.
    size_t graphFrom = 0;
    const KeySet* received[2] = {&delivered_[0], &delivered_[1]};
    for (size_t i = entries_.size(); i-- > 0;) {
        if (!entries_[i].known) continue;
        graphFrom = i + 1;
        received[1] = entries_[i].known.get();
        break;
    }
    KeySet churned[2];
    std::unordered_map<uint64_t, uint8_t> changed;
    std::deque<Entry> kept;
    size_t graphAt = 0;  // where in `kept` the Graph's catch-up goes
    for (size_t i = 0; i < entries_.size(); i++) {
        if (i == graphFrom) graphAt = kept.size();
        Entry& entry = entries_[i];
        PwEvent& e = entry.event;
        int kind = kindOf(e.type);
        uint8_t drop = kind == kNoKind ? 0 : e.recipients & mirror.receiving;
        if (i < graphFrom) drop &= uint8_t(~ForGraph);
        if (drop) {
            uint64_t key = keyOf(kind, e.id);
            if (isChanged(e.type))
                changed[key] |= e.changed;
            else
                for (int a = 0; a < 2; a++)
                    if (drop & kRecipients[a]) churned[a].insert(key);
            e.recipients &= uint8_t(~drop);
            if (!e.recipients) continue;
            if (!(e.recipients & ForGraph)) dropProps(e);
        }
        kept.push_back(std::move(entry));
    }
    if (graphFrom == entries_.size()) graphAt = kept.size();
    std::vector<PwEvent> caught[2];
    for (int a = 0; a < 2; a++)
        if (mirror.receiving & kRecipients[a])
            caught[a] = catchUpEvents(kRecipients[a], *received[a], churned[a], changed, mirror);
    std::deque<Entry> rebuilt;
    for (PwEvent& e : caught[0]) rebuilt.push_back(Entry{std::move(e), nullptr});
    for (size_t i = 0; i <= kept.size(); i++) {
        if (i == graphAt)
            for (PwEvent& e : caught[1]) rebuilt.push_back(Entry{std::move(e), nullptr});
        if (i < kept.size()) rebuilt.push_back(std::move(kept[i]));
    }
    entries_.swap(rebuilt);
    reindex();
    // The catch-up may be as large as the mirror: the bounds count from it.
    limitEvents_ = entries_.size() + maxEvents_;
    limitBytes_ = bytes_ + maxBytes_;
}

void EventQueue::resyncMetadata() {
    metadataResyncs_++;
    // In place of the first change dropped: what follows it finds the
    // metadata at least as new as it expects.
    std::deque<Entry> kept;
    uint8_t recipients = 0;
    bool placed = false;
    for (Entry& entry : entries_) {
        if (entry.event.type == MetadataChanged) {
            recipients |= entry.event.recipients;
            if (placed) continue;
            placed = true;
            entry.event.metadata.reset();
        }
        kept.push_back(std::move(entry));
    }
    for (Entry& entry : kept)
        if (isMetadataResync(entry.event)) entry.event.recipients = recipients;
    entries_.swap(kept);
    reindex();
}

void EventQueue::dropRecipients(uint8_t recipients) {
    std::deque<Entry> kept;
    for (Entry& entry : entries_) {
        entry.event.recipients &= uint8_t(~recipients);
        if (recipients & ForGraph) entry.known.reset();
        if (!entry.event.recipients) continue;
        if (!(entry.event.recipients & ForGraph)) dropProps(entry.event);
        kept.push_back(std::move(entry));
    }
    entries_.swap(kept);
    for (int a = 0; a < 2; a++)
        if (recipients & kRecipients[a]) delivered_[a].clear();
    reindex();
}

void EventQueue::reindex() {
    pendingChange_.clear();
    bytes_ = 0;
    metadataEvents_ = metadataBytes_ = 0;
    resyncQueued_ = false;
    for (size_t i = 0; i < entries_.size(); i++) {
        const PwEvent& e = entries_[i].event;
        size_t bytes = footprint(e);
        bytes_ += bytes;
        if (isMetadataResync(e)) resyncQueued_ = true;
        if (isMetadataChange(e)) metadataEvents_++, metadataBytes_ += bytes;
        if (joinsChanges(e.type)) pendingChange_[keyOf(joinedKindOf(e.type), e.id)] = head_ + i;
    }
}

void deferWakeups(bool deferred) {
    tWakeupsDeferred = deferred;
}

void wakeNow(PwContext* ctx) {
    tWakeupDue = false;
    signalWakeup(ctx);
}

void sendDeferredWakeup(PwContext* ctx) {
    if (!tWakeupDue) return;
    tWakeupDue = false;
    signalWakeup(ctx);
}

PwEvent makeEvent(PwEventType type, uint32_t id, uint8_t recipients) {
    PwEvent event;
    event.type = type;
    event.id = id;
    event.recipients = recipients;
    return event;
}

void signalWakeup(PwContext* ctx) {
    if (ctx->asyncInitialized.load(std::memory_order_acquire)) uv_async_send(ctx->eventAsync);
}

void emitNodeCreated(PwContext* ctx, const NodeInfo& node, uint8_t recipients) {
    PwEvent event = makeEvent(NodeCreated, node.id, recipients);
    if (recipients & ForGraph) {
        event.node = node;
    } else {
        // The record without its properties, which the listeners of `on`
        // are not given: the copy of the largest text is spared.
        NodeInfo& n = event.node;
        n.id = node.id, n.name = node.name, n.mediaClass = node.mediaClass, n.version = node.version;
        n.inputPorts = node.inputPorts, n.outputPorts = node.outputPorts;
        n.isInput = node.isInput, n.isOutput = node.isOutput, n.state = node.state, n.error = node.error;
    }
    push(ctx, std::move(event));
}

void emitNodeDestroyed(PwContext* ctx, uint32_t id, uint8_t recipients) {
    push(ctx, makeEvent(NodeDestroyed, id, recipients));
}

void emitLinkCreated(PwContext* ctx, const LinkInfo& link, uint8_t recipients) {
    PwEvent event = makeEvent(LinkCreated, link.id, recipients);
    if (recipients & ForGraph) {
        event.link = link;
    } else {
        // As for nodes: all but the properties.
        LinkInfo& l = event.link;
        l.id = link.id, l.srcNodeId = link.srcNodeId, l.srcPortId = link.srcPortId;
        l.sinkNodeId = link.sinkNodeId, l.sinkPortId = link.sinkPortId;
        l.state = link.state, l.error = link.error, l.format = link.format;
    }
    push(ctx, std::move(event));
}

void emitLinkDestroyed(PwContext* ctx, uint32_t id, uint64_t serial, uint8_t recipients) {
    PwEvent e = makeEvent(LinkDestroyed, id, recipients);
    e.serial = serial;
    push(ctx, std::move(e));
}

void emitPortCreated(PwContext* ctx, const PortInfo& port) {
    PwEvent event = makeEvent(PortCreated, port.id, ForGraph);
    event.port = port;
    push(ctx, std::move(event));
}

void emitPortDestroyed(PwContext* ctx, uint32_t id) {
    push(ctx, makeEvent(PortDestroyed, id, ForGraph));
}

void emitGraphEvent(PwContext* ctx, PwEventType type, uint32_t id, uint32_t token, int32_t res, std::string text) {
    PwEvent event = makeEvent(type, id, ForGraph);
    event.token = token;
    event.res = res;
    event.text = std::move(text);
    emitGraphEvent(ctx, std::move(event));
}

void emitGraphEvent(PwContext* ctx, PwEvent&& event) {
    LockGuard lock(ctx->mutex);
    if (ctx->graphListening) push(ctx, std::move(event));
}

void dropGraphEventsLocked(PwContext* ctx) {
    LockGuard lock(ctx->queueMutex);
    ctx->eventQueue.dropRecipients(ForGraph);
}

void emitEvent(PwContext* ctx, PwEvent&& event) {
    push(ctx, std::move(event));
}

void appendMirrorCreatedLocked(PwContext* ctx, std::vector<PwEvent>& out) {
    out.reserve(out.size() + ctx->nodes.size() + ctx->ports.size() + ctx->links.size() + 1);
    for (const NodeInfo& n : ctx->nodes) {
        out.push_back(makeEvent(NodeCreated, n.id, ForGraph));
        out.back().node = n;
    }
    for (const PortInfo& p : ctx->ports) {
        out.push_back(makeEvent(PortCreated, p.id, ForGraph));
        out.back().port = p;
    }
    for (const LinkInfo& l : ctx->links) {
        out.push_back(makeEvent(LinkCreated, l.id, ForGraph));
        out.back().link = l;
    }
}

void emitEvents(PwContext* ctx, std::vector<PwEvent>&& events) {
    if (events.empty()) return;
    {
        LockGuard lock(ctx->queueMutex);
        MirrorView mirror = mirrorOf(ctx);
        // A batch may tell of a change the mirror makes after it (the mirror
        // emptied): the next event catches up if need be.
        for (PwEvent& event : events) ctx->eventQueue.push(std::move(event), mirror, false);
    }
    wake(ctx);
}

bool takeNextEvent(PwContext* ctx, PwEvent& out) {
    LockGuard lock(ctx->queueMutex);
    return ctx->eventQueue.take(out);
}

size_t queuedEventCount(PwContext* ctx) {
    LockGuard lock(ctx->queueMutex);
    return ctx->eventQueue.size();
}
