#include "InfoProxies.h"

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>

#include <pipewire/pipewire.h>
#include <spa/param/param.h>
#include <spa/utils/result.h>

#include "../core/ListenerTable.h"
#include "../core/MediaFormat.h"
#include "../core/NodeProps.h"
#include "../core/PackedProps.h"
#include "../core/PortLatency.h"
#include "../core/PortType.h"
#include "EventQueue.h"
#include "PwContext.h"
#include "PwThread.h"

namespace {

// Format requests answered by more requests (a port changing its format
// while we ask) end the wait after this many round trips all the same.
constexpr uint32_t kMaxSyncRounds = 4;

enum Kind : uint8_t { kNode = 0, kPort = 1, kLink = 2 };

// Lives in its proxy's user data, from the bind to the proxy's destroy event.
struct BoundObject {
    PwContext* ctx;
    pw_proxy* proxy;
    uint32_t id;
    Kind kind;
    uint32_t formatFlags;   // a port's Format param flags as last announced
    uint32_t latencyFlags;  // and its Latency params'
    bool latencyDeferred;   // its Latency params are asked for once the mirror is informed
    bool propsSubscribed;   // a node's "Props" param is pushed to us as it changes
    spa_hook objectListener;
    spa_hook proxyListener;
    spa_list link;
};

template <typename Record>
Record* findRecord(std::vector<Record>& list, uint32_t id, size_t& cursor) {
    size_t n = list.size();
    for (size_t step = 0; step < n; step++) {
        size_t i = (cursor + step) % n;
        if (list[i].id == id) {
            cursor = i + 1;
            return &list[i];
        }
    }
    return nullptr;
}

// Sets a state and its error text; the PwChange bits of what differed.
uint8_t updateState(int8_t& state, std::string& error, int newState, bool isError, const char* newError) {
    uint8_t changed = 0;
    if (state != int8_t(newState)) {
        state = int8_t(newState);
        changed |= ChangedState;
    }
    const char* text = isError && newError ? newError : "";
    if (error != text) {
        error = text;
        changed |= ChangedError;
    }
    return changed;
}

// Named for clang-format's sake, as MemberOf (ListenerTable.h).
template <typename Record>
using EventSlot = Record PwEvent::*;

template <typename Record>
void reportLocked(PwContext* ctx, PwEventType type, const Record& record, uint8_t changed, EventSlot<Record> slot) {
    if (!changed || !graphReceivesMirrorLocked(ctx)) return;
    PwEvent event = makeEvent(type, record.id, ForGraph);
    event.*slot = record;
    event.changed = changed;
    emitEvent(ctx, std::move(event));
}

void subscribeProps(BoundObject* o, const pw_node_info* info);

void onNodeInfo(void* data, const pw_node_info* info) {
    auto* o = static_cast<BoundObject*>(data);
    PwContext* ctx = o->ctx;
    subscribeProps(o, info);
    bool propsGiven = (info->change_mask & PW_NODE_CHANGE_MASK_PROPS) && info->props;
    std::string props = propsGiven ? packProps(info->props, kMaxPropsBytes, kMaxProps) : std::string();
    LockGuard lock(ctx->mutex);
    NodeInfo* node = findRecord(ctx->nodes, o->id, ctx->bindings.cursor[kNode]);
    if (!node) return;
    uint8_t changed = 0;
    if (propsGiven && props != node->props) {
        node->props.swap(props);
        changed |= ChangedProps;
    }
    if (info->change_mask & PW_NODE_CHANGE_MASK_STATE)
        changed |= updateState(node->state, node->error, info->state, info->state == PW_NODE_STATE_ERROR, info->error);
    reportLocked(ctx, NodeChanged, *node, changed, &PwEvent::node);
}

// A node whose params include a readable "Props" has it pushed to us from
// now on (the daemon sends it at once, within the info round trip).
void subscribeProps(BoundObject* o, const pw_node_info* info) {
    if (o->propsSubscribed || !(info->change_mask & PW_NODE_CHANGE_MASK_PARAMS)) return;
    for (uint32_t i = 0; i < info->n_params; i++) {
        if (info->params[i].id != SPA_PARAM_Props || !(info->params[i].flags & SPA_PARAM_INFO_READ)) continue;
        uint32_t ids[] = {SPA_PARAM_Props};
        pw_node_subscribe_params(reinterpret_cast<pw_node*>(o->proxy), ids, 1);
        o->propsSubscribed = true;
        o->ctx->bindings.requestsSinceSync++;
        return;
    }
}

// Volume and mute from a Props object; what it leaves out stays as it was
// (a node may give its Props as several objects, one of them the volume's).
void onNodeParam(void* data, int /*seq*/, uint32_t id, uint32_t /*index*/, uint32_t /*next*/, const spa_pod* param) {
    auto* o = static_cast<BoundObject*>(data);
    NodeControls parsed;
    if (id != SPA_PARAM_Props || !param || !parseNodeProps(param, SPA_POD_SIZE(param), parsed)) return;
    PwContext* ctx = o->ctx;
    bool changedLater;
    {
        LockGuard lock(ctx->mutex);
        NodeInfo* node = findRecord(ctx->nodes, o->id, ctx->bindings.cursor[kNode]);
        if (!node) return;
        const NodeControls* before = node->controls.get();
        if (before && !parsed.hasVolume())
            parsed.channelVolumes = before->channelVolumes, parsed.channelMap = before->channelMap;
        if (before && !parsed.hasMute) parsed.hasMute = before->hasMute, parsed.mute = before->mute;
        uint8_t changed = 0;
        if (!before ? parsed.hasVolume() : !before->sameVolume(parsed)) changed |= ChangedVolume;
        if (!before ? parsed.hasMute : !before->sameMute(parsed)) changed |= ChangedMute;
        if (!changed) return;
        changedLater = before != nullptr;
        node->controls = std::make_shared<const NodeControls>(std::move(parsed));
        reportLocked(ctx, NodeChanged, *node, changed, &PwEvent::node);
    }
    // A volume or mute changed after the first report: what setVolume and
    // setMute wait for, rare otherwise (the first reports come in bursts, as
    // a connection binds every node, and wait for the iteration's end).
    if (changedLater) wakeNow(ctx);
}

void setPortFormat(PwContext* ctx, uint32_t id, FormatRef format) {
    LockGuard lock(ctx->mutex);
    PortInfo* port = findRecord(ctx->ports, id, ctx->bindings.cursor[kPort]);
    if (!port || sameFormat(port->format, format)) return;
    port->format = std::move(format);
    port->dataType = portType(port->props, port->format.get());
    reportLocked(ctx, PortChanged, *port, ChangedFormat, &PwEvent::port);
}

// `param`: one Latency param, merged into what the port had; `clear`: the
// params are no longer readable. No event: the latency is read on demand.
void setPortLatency(PwContext* ctx, uint32_t id, const spa_pod* param, bool clear) {
    LockGuard lock(ctx->mutex);
    PortInfo* port = findRecord(ctx->ports, id, ctx->bindings.cursor[kPort]);
    if (port) port->latency = clear ? nullptr : withLatencyParam(port->latency, param);
}

// A port's Latency params, one for each direction. While the connection
// gathers the mirror, asked for only once it is informed (sendDeferredLatency):
// a graph of thousands of ports is announced as connected without waiting
// for them.
void askLatency(BoundObject* o) {
    if (lifecycleOf(o->ctx) != Lifecycle::Informed) {
        o->latencyDeferred = true;
        return;
    }
    o->latencyDeferred = false;
    pw_port_enum_params(reinterpret_cast<pw_port*>(o->proxy), 0, SPA_PARAM_Latency, 0, 2, nullptr);
}

void sendDeferredLatency(PwContext* ctx) {
    BoundObject* o;
    spa_list_for_each(o, &ctx->bindings.proxies, link) if (o->latencyDeferred) askLatency(o);
}

void onPortInfo(void* data, const pw_port_info* info) {
    auto* o = static_cast<BoundObject*>(data);
    PwContext* ctx = o->ctx;
    if (info->change_mask & PW_PORT_CHANGE_MASK_PARAMS) {
        // As pw-dump: a param is asked for when it is readable and its flags
        // changed (the daemon flips a serial bit at each change of value).
        for (uint32_t i = 0; i < info->n_params; i++) {
            uint32_t id = info->params[i].id;
            uint32_t* flags = id == SPA_PARAM_Format    ? &o->formatFlags
                              : id == SPA_PARAM_Latency ? &o->latencyFlags
                                                        : nullptr;
            if (!flags || info->params[i].flags == *flags) continue;
            bool wasReadable = *flags & SPA_PARAM_INFO_READ;
            *flags = info->params[i].flags;
            if (*flags & SPA_PARAM_INFO_READ && id == SPA_PARAM_Latency) {
                askLatency(o);
            } else if (*flags & SPA_PARAM_INFO_READ) {
                pw_port_enum_params(reinterpret_cast<pw_port*>(o->proxy), 0, id, 0, 1, nullptr);
                ctx->bindings.requestsSinceSync++;
            } else if (id == SPA_PARAM_Format) {
                setPortFormat(ctx, o->id, nullptr);
            } else if (wasReadable) {
                // A port that never had readable Latency params (a client's
                // own port, often) has nothing to clear: no lock taken.
                setPortLatency(ctx, o->id, nullptr, true);
            }
        }
    }
    if (!(info->change_mask & PW_PORT_CHANGE_MASK_PROPS) || !info->props) return;
    std::string props = packProps(info->props, kMaxPropsBytes, kMaxProps);
    LockGuard lock(ctx->mutex);
    PortInfo* port = findRecord(ctx->ports, o->id, ctx->bindings.cursor[kPort]);
    if (!port || props == port->props) return;
    port->props.swap(props);
    port->dataType = portType(port->props, port->format.get());
    reportLocked(ctx, PortChanged, *port, ChangedProps, &PwEvent::port);
}

void onPortParam(void* data, int /*seq*/, uint32_t id, uint32_t /*index*/, uint32_t /*next*/, const spa_pod* param) {
    auto* o = static_cast<BoundObject*>(data);
    if (id == SPA_PARAM_Format) setPortFormat(o->ctx, o->id, parseMediaFormat(param));
    if (id == SPA_PARAM_Latency) setPortLatency(o->ctx, o->id, param, false);
}

void onLinkInfo(void* data, const pw_link_info* info) {
    auto* o = static_cast<BoundObject*>(data);
    PwContext* ctx = o->ctx;
    bool propsGiven = (info->change_mask & PW_LINK_CHANGE_MASK_PROPS) && info->props;
    std::string props = propsGiven ? packProps(info->props, kMaxPropsBytes, kMaxProps) : std::string();
    bool formatGiven = info->change_mask & PW_LINK_CHANGE_MASK_FORMAT;
    FormatRef format = formatGiven ? parseMediaFormat(info->format) : nullptr;
    LockGuard lock(ctx->mutex);
    LinkInfo* link = findRecord(ctx->links, o->id, ctx->bindings.cursor[kLink]);
    if (!link) return;
    uint8_t changed = 0;
    if (propsGiven && props != link->props) {
        link->props.swap(props);
        changed |= ChangedProps;
    }
    if (info->change_mask & PW_LINK_CHANGE_MASK_STATE)
        changed |= updateState(link->state, link->error, info->state, info->state == PW_LINK_STATE_ERROR, info->error);
    if (formatGiven && !sameFormat(link->format, format)) {
        link->format = std::move(format);
        changed |= ChangedFormat;
    }
    reportLocked(ctx, LinkChanged, *link, changed, &PwEvent::link);
}

void markProxyId(ObjectBindings& b, uint32_t proxyId, bool bound) {
    if (proxyId >= b.proxyIds.size()) {
        if (!bound) return;
        b.proxyIds.resize(std::max<size_t>(proxyId + 1, b.proxyIds.size() * 2));
    }
    b.proxyIds[proxyId] = bound;
}

// The object is gone from the daemon: as pw-dump, the proxy goes with it.
void onProxyRemoved(void* data) {
    pw_proxy_destroy(static_cast<BoundObject*>(data)->proxy);
}

// A refusal of a volume or mute request reaches the feature that sent it;
// any other error about a binding (a param gone before we asked for it) is
// dropped there.
void onProxyError(void* data, int seq, int res, const char* message) {
    auto* o = static_cast<BoundObject*>(data);
    PwContext* ctx = o->ctx;
    if (ctx->hooks && ctx->hooks->infoProxyError)
        ctx->hooks->infoProxyError(ctx, pw_proxy_get_id(o->proxy), seq, res, message);
}

void onProxyDestroy(void* data) {
    auto* o = static_cast<BoundObject*>(data);
    spa_hook_remove(&o->objectListener);
    spa_hook_remove(&o->proxyListener);
    spa_list_remove(&o->link);
    if (o->kind == kNode) o->ctx->bindings.nodeProxies.erase(o->id);
    markProxyId(o->ctx->bindings, pw_proxy_get_id(o->proxy), false);
}

const auto kNodeEvents = listenerTable<pw_node_events>(PW_VERSION_NODE_EVENTS, &pw_node_events::info, onNodeInfo,
                                                       &pw_node_events::param, onNodeParam);

const auto kPortEvents = listenerTable<pw_port_events>(PW_VERSION_PORT_EVENTS, &pw_port_events::info, onPortInfo,
                                                       &pw_port_events::param, onPortParam);

const auto kLinkEvents = listenerTable<pw_link_events>(PW_VERSION_LINK_EVENTS, &pw_link_events::info, onLinkInfo);

const auto kProxyEvents =
    listenerTable<pw_proxy_events>(PW_VERSION_PROXY_EVENTS, &pw_proxy_events::destroy, onProxyDestroy,
                                   &pw_proxy_events::removed, onProxyRemoved, &pw_proxy_events::error, onProxyError);

// How each mirrored type is bound: its events and the newest version we speak.
struct Binder {
    const char* type;
    Kind kind;
    const void* events;
    uint32_t version;
};

const Binder kBinders[] = {
    {PW_TYPE_INTERFACE_Node, kNode, &kNodeEvents, PW_VERSION_NODE},
    {PW_TYPE_INTERFACE_Port, kPort, &kPortEvents, PW_VERSION_PORT},
    {PW_TYPE_INTERFACE_Link, kLink, &kLinkEvents, PW_VERSION_LINK},
};

void askInfoRoundTrip(PwContext* ctx) {
    pw_core* core = ctx->core.load();
    ctx->bindings.requestsSinceSync = 0;
    ctx->bindings.syncRounds++;
    ctx->infoSyncSeq = core ? pw_core_sync(core, PW_ID_CORE, 0) : -1;
}

}  // namespace

void markLinkFailed(PwContext* ctx, uint32_t id, const char* message) {
    LockGuard lock(ctx->mutex);
    LinkInfo* link = findRecord(ctx->links, id, ctx->bindings.cursor[kLink]);
    if (!link) return;
    uint8_t changed = updateState(link->state, link->error, PW_LINK_STATE_ERROR, true, message ? message : "");
    reportLocked(ctx, LinkChanged, *link, changed, &PwEvent::link);
}

void bindObjectInfo(PwContext* ctx, uint32_t id, const char* type, uint32_t version, const spa_dict* props) {
    // The memory benchmark's baseline: the mirror without the info.
    static const bool disabled = std::getenv("QUORVANE_BENCH_NO_INFO") != nullptr;
    if (disabled) return;
    const Binder* binder = nullptr;
    for (const Binder& candidate : kBinders)
        if (std::strcmp(type, candidate.type) == 0) binder = &candidate;
    if (!binder) {
        if (ctx->hooks && ctx->hooks->bindGlobal) ctx->hooks->bindGlobal(ctx, id, type, version, props);
        return;
    }
    Kind kind = binder->kind;
    if (!(ctx->infoKinds.load(std::memory_order_relaxed) & (1u << kind))) return;  // not asked for
    const void* events = binder->events;
    uint32_t ours = binder->version;
    ObjectBindings& b = ctx->bindings;
    if (!ctx->registry) return;
    if (!b.listReady) {
        spa_list_init(&b.proxies);
        b.listReady = true;
    }
    auto* proxy =
        static_cast<pw_proxy*>(pw_registry_bind(ctx->registry, id, type, std::min(version, ours), sizeof(BoundObject)));
    if (!proxy) return;  // out of memory: the registry's properties serve
    auto* o = static_cast<BoundObject*>(pw_proxy_get_user_data(proxy));
    *o = BoundObject{ctx, proxy, id, kind, 0, 0, false, false, {}, {}, {}};
    spa_list_append(&b.proxies, &o->link);
    if (kind == kNode) b.nodeProxies[id] = proxy;
    pw_proxy_add_object_listener(proxy, &o->objectListener, events, o);
    pw_proxy_add_listener(proxy, &o->proxyListener, &kProxyEvents, o);
    markProxyId(b, pw_proxy_get_id(proxy), true);
}

void startInfoRoundTrip(PwContext* ctx) {
    ctx->bindings.syncRounds = 0;
    askInfoRoundTrip(ctx);
}

void onInfoRoundTrip(PwContext* ctx, int seq) {
    if (seq != ctx->infoSyncSeq || lifecycleOf(ctx) != Lifecycle::Listed) return;
    if (ctx->bindings.requestsSinceSync > 0 && ctx->bindings.syncRounds < kMaxSyncRounds) {
        askInfoRoundTrip(ctx);
        return;
    }
    {
        // Under the graph lock, so that a Graph that starts listening now
        // either finds the mirror received or gets it here.
        LockGuard lock(ctx->mutex);
        if (!advanceLifecycle(ctx, Lifecycle::Informed)) return;  // lost or closing meanwhile
        ctx->mirrorDelivered = true;
        if (ctx->graphListening) {
            std::vector<PwEvent> events;
            if (ctx->graphWantsMirror) appendMirrorCreatedLocked(ctx, events);
            events.push_back(makeEvent(Connected, 0, ForGraph));
            emitEvents(ctx, std::move(events));
        }
    }
    if (ctx->bindings.listReady) sendDeferredLatency(ctx);
}

void markInfoProxy(PwContext* ctx, uint32_t proxyId, bool bound) {
    markProxyId(ctx->bindings, proxyId, bound);
}

bool isObjectInfoProxy(const PwContext* ctx, uint32_t proxyId) {
    const std::vector<bool>& ids = ctx->bindings.proxyIds;
    return proxyId < ids.size() && ids[proxyId];
}

void releaseObjectInfo(PwContext* ctx) {
    ObjectBindings& b = ctx->bindings;
    if (b.listReady) {
        // Each destroy event takes its object off the list.
        while (!spa_list_is_empty(&b.proxies)) {
            BoundObject* o = spa_list_first(&b.proxies, BoundObject, link);
            pw_proxy_destroy(o->proxy);
        }
    }
    b = ObjectBindings();
}

pw_proxy* boundNodeProxy(PwContext* ctx, uint32_t nodeId) {
    auto it = ctx->bindings.nodeProxies.find(nodeId);
    return it == ctx->bindings.nodeProxies.end() ? nullptr : it->second;
}
