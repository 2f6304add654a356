// The link operations behind linkPorts, unlinkPorts, linkNodesNameToId and
// unlinkNodesNameToId, free of V8. JavaScript thread.
#pragma once

#include <cstdint>
#include <string>

struct PwContext;

enum class LinkStatus {
    Ok,
    NotConnected,     // "PipeWire not connected"
    NoPortsOrNodes,   // "Could not find matching ports or nodes"
    ProxyFailed,      // "Failed to create link proxy"
    NoMatchingPorts,  // "Could not find matching ports"
    Busy,             // the work queue is full (kMaxQueuedRequests)
};

// With a `token`, the request is the Graph's (see requestGraphLink), and
// may linger.
LinkStatus linkPortsById(PwContext* ctx, uint32_t outputPortId, uint32_t inputPortId, uint32_t token = 0,
                         bool linger = false);

// `requested` tells whether a destruction was queued.
LinkStatus unlinkPortsById(PwContext* ctx, uint32_t outputPortId, uint32_t inputPortId, bool& requested);

// `count`: link requests made (proxies obtained), pairing the source's output
// ports with the sink's input ports by their places in the mirror.
LinkStatus linkNodesByName(PwContext* ctx, const std::string& srcNodeName, uint32_t dstNodeId, uint32_t& count);

// `count`: link ids queued for destruction. A link whose removal is queued
// or sent already is not queued again, and not counted.
LinkStatus unlinkNodesByName(PwContext* ctx, const std::string& srcNodeName, uint32_t dstNodeId, uint32_t& count);

enum class UnlinkOutcome {
    Gone,      // no such link (any more): nothing to do
    Removing,  // its removal is queued or under way; "link-destroyed" follows
    NotALink,  // the id names a node or a port
};

// The Graph's removal of a link of the mirror by its id, queued once however
// often asked. With `serial` (the link's "object.serial" as the caller saw
// it), an id that now names another object counts as gone. `removing` is set
// to the serial of the link whose removal "link-destroyed" will report.
LinkStatus unlinkById(PwContext* ctx, uint32_t linkId, const uint64_t* serial, UnlinkOutcome& outcome,
                      uint64_t& removing);
