// The polling wait for a named node, free of V8.
#pragma once

#include <cstdint>
#include <string>

struct PwContext;

enum class DirectionFilter { Any, Input, Output };

struct NodeMatch {
    bool found = false;
    uint32_t id = 0;
    std::string name;
};

// One scan of the mirror under the graph lock: the first node whose name is
// byte for byte `name` and whose flag fits the filter.
NodeMatch findNode(PwContext* ctx, const std::string& name, DirectionFilter filter);

// Scans, then polls every 100 ms until a match or until `timeoutMs` (measured
// on the monotonic clock from after the first scan) has passed. A match that
// appears during the last sleep is still reported.
NodeMatch waitForNode(PwContext* ctx, const std::string& name, DirectionFilter filter, int32_t timeoutMs);
