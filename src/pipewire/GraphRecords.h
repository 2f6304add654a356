// Plain records of the graph mirror. They are copied into events and read by
// the queries, so they hold values only (no pointers into the mirror).
#pragma once

#include <cstdint>
#include <string>

struct NodeInfo {
    uint32_t id = 0;
    std::string name;
    std::string mediaClass;
    uint32_t version = 0;
    uint32_t inputPorts = 0;
    uint32_t outputPorts = 0;
    bool isInput = false;
    bool isOutput = false;
    std::string props;  // every announced property, packed (PackedProps.h)
};

struct PortInfo {
    uint32_t id = 0;
    uint32_t nodeId = 0;
    std::string name;
    uint32_t direction = 0;  // 1 for "in", 0 otherwise
    uint32_t portType = 0;
    std::string props;
};

struct LinkInfo {
    uint32_t id = 0;
    uint32_t srcNodeId = 0;
    uint32_t srcPortId = 0;
    uint32_t sinkNodeId = 0;
    uint32_t sinkPortId = 0;
    std::string props;
};

struct LinkStats {
    uint64_t bytes = 0;
    uint64_t drops = 0;
    uint32_t rate = 0;
};
