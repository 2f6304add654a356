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
};

// The core is set and the connection is up.
bool isConnected(PwContext* ctx);

LinkStatus linkPortsById(PwContext* ctx, uint32_t outputPortId, uint32_t inputPortId);

// `requested` tells whether a destruction was queued.
LinkStatus unlinkPortsById(PwContext* ctx, uint32_t outputPortId, uint32_t inputPortId, bool& requested);

// `count`: link requests made (proxies obtained), pairing the source's output
// ports with the sink's input ports by their places in the mirror.
LinkStatus linkNodesByName(PwContext* ctx, const std::string& srcNodeName, uint32_t dstNodeId, uint32_t& count);

// `count`: link ids queued for destruction.
LinkStatus unlinkNodesByName(PwContext* ctx, const std::string& srcNodeName, uint32_t dstNodeId, uint32_t& count);
