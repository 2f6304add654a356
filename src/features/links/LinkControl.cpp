#include "LinkControl.h"

#include <vector>

#include "../../connection/PwContext.h"
#include "LinkProxies.h"
#include "LinkRemoval.h"
#include "LinksState.h"

namespace {

// First node with exactly this name; 0 when there is none. Graph lock held.
uint32_t findSourceNodeIdLocked(PwContext* ctx, const std::string& name) {
    for (const NodeInfo& node : ctx->nodes)
        if (node.name == name) return node.id;
    return 0;
}

// Queues a link's removal unless it is queued or sent already: the daemon
// would answer a second destroy with an error. The link's serial goes with
// it, so that the removal cannot reach an object that gets its id later.
// Graph lock held.
bool requestRemovalLocked(PwContext* ctx, const LinkInfo& link, bool quiet = false) {
    if (!linksState(ctx).removalRequested.insert(link.id).second) return false;
    requestLinkDestruction(ctx, LinkRemoval{link.id, linkSerial(link), quiet});
    return true;
}

template <typename Record>
bool holds(const std::vector<Record>& list, uint32_t id) {
    for (const Record& r : list)
        if (r.id == id) return true;
    return false;
}

}  // namespace

LinkStatus linkPortsById(PwContext* ctx, uint32_t outputPortId, uint32_t inputPortId, uint32_t token, bool linger) {
    if (!isConnected(ctx)) return LinkStatus::NotConnected;
    uint32_t outNode = 0, inNode = 0;
    {
        // Newest first, and no further than both ports: a port just announced
        // (a route linking a new node) is found at once.
        LockGuard lock(ctx->mutex);
        for (auto it = ctx->ports.rbegin(); it != ctx->ports.rend() && (outNode == 0 || inNode == 0); ++it) {
            if (it->id == outputPortId && it->direction == 0)
                outNode = it->nodeId;
            else if (it->id == inputPortId && it->direction == 1)
                inNode = it->nodeId;
        }
    }
    if (outNode == 0 || inNode == 0) return LinkStatus::NoPortsOrNodes;
    if (!token)
        return createLinkProxy(ctx, outNode, outputPortId, inNode, inputPortId) ? LinkStatus::Ok
                                                                                : LinkStatus::ProxyFailed;
    switch (requestGraphLink(ctx, outNode, outputPortId, inNode, inputPortId, token, linger)) {
        case Handoff::Queued:
            return LinkStatus::Ok;
        case Handoff::Full:
            return LinkStatus::Busy;
        case Handoff::NotRunning:
            break;
    }
    return LinkStatus::ProxyFailed;
}

LinkStatus unlinkPortsById(PwContext* ctx, uint32_t outputPortId, uint32_t inputPortId, bool& requested) {
    requested = false;
    if (!isConnected(ctx)) return LinkStatus::NotConnected;
    LockGuard lock(ctx->mutex);
    for (const LinkInfo& link : ctx->links) {
        if (link.srcPortId != outputPortId || link.sinkPortId != inputPortId) continue;
        if (link.id == 0) return LinkStatus::Ok;
        if (linksState(ctx).linkProxies.count(link.id)) requested = requestRemovalLocked(ctx, link);
        forgetLinkLocked(ctx, link.id);
        return LinkStatus::Ok;
    }
    return LinkStatus::Ok;
}

LinkStatus linkNodesByName(PwContext* ctx, const std::string& srcNodeName, uint32_t dstNodeId, uint32_t& count) {
    count = 0;
    if (!isConnected(ctx)) return LinkStatus::NotConnected;
    uint32_t srcNodeId;
    std::vector<uint32_t> outputs, inputs;
    {
        LockGuard lock(ctx->mutex);
        srcNodeId = findSourceNodeIdLocked(ctx, srcNodeName);
        for (const PortInfo& port : ctx->ports) {
            if (port.nodeId == srcNodeId && port.direction == 0) outputs.push_back(port.id);
            if (port.nodeId == dstNodeId && port.direction == 1) inputs.push_back(port.id);
        }
    }
    if (outputs.empty() || inputs.empty()) return LinkStatus::NoMatchingPorts;
    size_t pairs = std::min(outputs.size(), inputs.size());
    for (size_t i = 0; i < pairs; i++) {
        // The link maps get their entries on the PipeWire thread, under the
        // link's registry id, once the daemon has made the link.
        if (createLinkProxy(ctx, srcNodeId, outputs[i], dstNodeId, inputs[i], true)) count++;
    }
    return LinkStatus::Ok;
}

LinkStatus unlinkNodesByName(PwContext* ctx, const std::string& srcNodeName, uint32_t dstNodeId, uint32_t& count) {
    count = 0;
    if (!isConnected(ctx)) return LinkStatus::NotConnected;
    LockGuard lock(ctx->mutex);
    uint32_t srcNodeId = findSourceNodeIdLocked(ctx, srcNodeName);
    std::vector<const LinkInfo*> links;
    for (const LinkInfo& link : ctx->links)
        if (link.srcNodeId == srcNodeId && link.sinkNodeId == dstNodeId) links.push_back(&link);
    for (const LinkInfo* link : links) {
        if (requestRemovalLocked(ctx, *link)) count++;
        forgetLinkLocked(ctx, link->id);
    }
    return LinkStatus::Ok;
}

LinkStatus unlinkById(PwContext* ctx, uint32_t linkId, const uint64_t* serial, UnlinkOutcome& outcome,
                      uint64_t& removing) {
    outcome = UnlinkOutcome::Gone;
    removing = 0;
    if (!isConnected(ctx)) return LinkStatus::NotConnected;
    LockGuard lock(ctx->mutex);
    for (const LinkInfo& link : ctx->links) {
        if (link.id != linkId) continue;
        if (serial && *serial != linkSerial(link)) return LinkStatus::Ok;  // the id names a newer link
        outcome = UnlinkOutcome::Removing;
        removing = linkSerial(link);
        requestRemovalLocked(ctx, link, true);
        forgetLinkLocked(ctx, linkId);
        return LinkStatus::Ok;
    }
    // A link's serial is never a node's or a port's: with one, the link is gone.
    if (!serial && (holds(ctx->nodes, linkId) || holds(ctx->ports, linkId))) outcome = UnlinkOutcome::NotALink;
    return LinkStatus::Ok;
}
