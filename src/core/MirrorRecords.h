// Plain records of the graph mirror. They are copied into events and read by
// the queries, so they hold values only (no pointers into the mirror).
#pragma once

#include <cstdint>
#include <string>

#include "MediaFormat.h"
#include "NodeProps.h"
#include "PortLatency.h"

// What the node of a level meter the add-on owns is named (the registry
// announces node names, not the add-on's own properties): the mirror hides
// every node whose name starts with it, with its ports and links.
constexpr const char* kMeterNamePrefix = "quorvane.meter.";

// A node's or link's state as its info last gave it (pw_node_state /
// pw_link_state values); kNoState until the first info arrives.
constexpr int8_t kNoState = INT8_MIN;

struct NodeInfo {
    uint32_t id = 0;
    std::string name;
    std::string mediaClass;
    uint32_t version = 0;
    uint32_t inputPorts = 0;
    uint32_t outputPorts = 0;
    bool isInput = false;
    bool isOutput = false;
    // Every property, packed (PackedProps.h): the registry's until the
    // node's info arrives, then the info's, kept current.
    std::string props;
    int8_t state = kNoState;
    std::string error{};     // the daemon's text while the state is "error"
    ControlsRef controls{};  // volume and mute from its "Props" param, where it has them
    // When the registry announced it (monotonic ms); 0 for a node of the
    // initial listing, which is no newer than the connection.
    int64_t announcedMs = 0;
};

struct PortInfo {
    uint32_t id = 0;
    uint32_t nodeId = 0;
    std::string name;
    uint32_t direction = 0;  // 1 for "in", 0 otherwise
    uint32_t portType = 0;
    std::string props;
    FormatRef format{};              // its Format param, where one is set
    const char* dataType = nullptr;  // what it carries, from props and format (PortType.h); null: not told
    LatencyRef latency{};            // its Latency params, once read
};

struct LinkInfo {
    uint32_t id = 0;
    uint32_t srcNodeId = 0;
    uint32_t srcPortId = 0;
    uint32_t sinkNodeId = 0;
    uint32_t sinkPortId = 0;
    std::string props;
    int8_t state = kNoState;
    std::string error{};
    FormatRef format{};  // negotiated; null before
};
