#include "RegistryMirror.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>

#include "../core/Clock.h"
#include "../core/PackedProps.h"
#include "../core/PortType.h"
#include "EventQueue.h"
#include "InfoProxies.h"
#include "PwContext.h"

namespace {

// The first property with exactly this key. Items without a key (the wire
// format allows them) are skipped rather than compared.
const char* lookup(const spa_dict* props, const char* key) {
    if (!props) return nullptr;
    for (uint32_t i = 0; i < props->n_items; i++) {
        const spa_dict_item& item = props->items[i];
        if (item.key && std::strcmp(item.key, key) == 0) return item.value;
    }
    return nullptr;
}

template <typename Record>
bool eraseById(std::vector<Record>& list, uint32_t id) {
    auto end = std::remove_if(list.begin(), list.end(), [id](const Record& r) { return r.id == id; });
    bool erased = end != list.end();
    list.erase(end, list.end());
    return erased;
}

// Graph lock held.
uint8_t recipientsLocked(const PwContext* ctx) {
    return graphReceivesMirrorLocked(ctx) ? ForListeners | ForGraph : ForListeners;
}

void removeFromMirror(PwContext* ctx, uint32_t id) {
    LockGuard lock(ctx->mutex);
    bool nodeErased = eraseById(ctx->nodes, id);
    bool portErased = eraseById(ctx->ports, id);
    // A link's serial goes with its removal (ids are unique in the mirror).
    auto link = std::find_if(ctx->links.begin(), ctx->links.end(), [id](const LinkInfo& l) { return l.id == id; });
    bool linkErased = link != ctx->links.end();
    uint64_t linkSerial = linkErased ? packedSerial(link->props) : 0;
    if (linkErased) ctx->links.erase(link);
    if (ctx->hooks && ctx->hooks->globalRemoved) ctx->hooks->globalRemoved(ctx, id);
    uint8_t recipients = recipientsLocked(ctx);
    if (nodeErased) emitNodeDestroyed(ctx, id, recipients);
    if (portErased && graphReceivesMirrorLocked(ctx)) emitPortDestroyed(ctx, id);
    if (linkErased) emitLinkDestroyed(ctx, id, linkSerial, recipients);
}

// The one place that hides globals from the mirror, and so from every
// listing, event, route, patchbay and snapshot: the add-on's own meters
// (named with kMeterNamePrefix), their ports and the links to them. True
// when `id` is hidden. PipeWire thread.
bool hideGlobal(PwContext* ctx, uint32_t id, const char* type, const spa_dict* props) {
    std::set<uint32_t>& hidden = ctx->hiddenIds;
    bool hide = false;
    if (std::strcmp(type, PW_TYPE_INTERFACE_Node) == 0) {
        const char* name = lookup(props, "node.name");
        hide = name && std::strncmp(name, kMeterNamePrefix, std::strlen(kMeterNamePrefix)) == 0;
    } else if (std::strcmp(type, PW_TYPE_INTERFACE_Port) == 0) {
        uint32_t nodeId = parseIdProperty(lookup(props, "node.id"));
        hide = hidden.count(nodeId) > 0;
    } else if (std::strcmp(type, PW_TYPE_INTERFACE_Link) == 0) {
        hide = hidden.count(parseIdProperty(lookup(props, "link.output.node"))) > 0 ||
               hidden.count(parseIdProperty(lookup(props, "link.input.node"))) > 0;
    }
    if (!hide) return false;
    hidden.insert(id);
    if (ctx->hooks && ctx->hooks->hiddenAnnounced) ctx->hooks->hiddenAnnounced(ctx, id, type, props);
    return true;
}

}  // namespace

uint32_t parseIdProperty(const char* text) {
    if (!text) return 0;
    return static_cast<uint32_t>(std::strtol(text, nullptr, 10));
}

void classifyNode(NodeInfo& node, const char* c) {
    node.isInput = std::strstr(c, "Source") || std::strstr(c, "Input");
    node.isOutput = std::strstr(c, "Sink") || std::strstr(c, "Output");
    if (std::strstr(c, "Stream/Output") || std::strstr(c, "Duplex")) {
        node.isInput = true;
        node.isOutput = true;
    }
}

void onRegistryGlobal(void* data, uint32_t id, uint32_t /*permissions*/, const char* type, uint32_t version,
                      const struct spa_dict* props) {
    auto* ctx = static_cast<PwContext*>(data);
    if (!type || hideGlobal(ctx, id, type, props)) return;
    bool awaited = false;  // a link a request of this process waits for

    // Properties are parsed before the lock is taken. The event is queued
    // under it (the queue lock nests inside), with the change: whether the
    // Graph receives it is decided by the same lock that starts and stops the
    // Graph's listening, so the Graph receives every change once, and none
    // after it stopped.
    if (std::strcmp(type, PW_TYPE_INTERFACE_Node) == 0) {
        NodeInfo node;
        node.id = id;
        node.version = version;
        // The initial round trip lists what was there before the connection.
        if (lifecycleOf(ctx) != Lifecycle::Connected) node.announcedMs = monotonicMs();
        if (const char* v = lookup(props, "node.name")) node.name = v;
        if (const char* v = lookup(props, "media.class")) {
            node.mediaClass = v;
            classifyNode(node, v);
        }
        node.props = packProps(props, kMaxPropsBytes, kMaxProps);
        LockGuard lock(ctx->mutex);
        ctx->nodes.push_back(node);
        emitNodeCreated(ctx, node, recipientsLocked(ctx));
    } else if (std::strcmp(type, PW_TYPE_INTERFACE_Port) == 0) {
        PortInfo port;
        port.id = id;
        if (const char* v = lookup(props, "port.name")) port.name = v;
        const char* dir = lookup(props, "port.direction");
        port.direction = (dir && std::strcmp(dir, "in") == 0) ? 1 : 0;
        port.nodeId = parseIdProperty(lookup(props, "node.id"));
        port.props = packProps(props, kMaxPropsBytes, kMaxProps);
        port.dataType = portType(port.props, nullptr);
        LockGuard lock(ctx->mutex);
        ctx->ports.push_back(port);
        if (graphReceivesMirrorLocked(ctx)) emitPortCreated(ctx, port);
    } else if (std::strcmp(type, PW_TYPE_INTERFACE_Link) == 0) {
        LinkInfo link;
        link.id = id;
        link.srcNodeId = parseIdProperty(lookup(props, "link.output.node"));
        link.srcPortId = parseIdProperty(lookup(props, "link.output.port"));
        link.sinkNodeId = parseIdProperty(lookup(props, "link.input.node"));
        link.sinkPortId = parseIdProperty(lookup(props, "link.input.port"));
        link.props = packProps(props, kMaxPropsBytes, kMaxProps);
        LockGuard lock(ctx->mutex);
        ctx->links.push_back(link);
        if (ctx->hooks && ctx->hooks->linkAnnounced) awaited = ctx->hooks->linkAnnounced(ctx, link);
        emitLinkCreated(ctx, link, recipientsLocked(ctx));
    }
    // Before the binding below and whatever else this loop iteration reads.
    if (awaited) wakeNow(ctx);
    bindObjectInfo(ctx, id, type, version, props);
}

void onRegistryGlobalRemove(void* data, uint32_t id) {
    auto* ctx = static_cast<PwContext*>(data);
    if (!ctx->hiddenIds.erase(id)) removeFromMirror(ctx, id);
    if (ctx->hooks && ctx->hooks->globalGone) ctx->hooks->globalGone(ctx, id);
}
