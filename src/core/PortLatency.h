// A port's latency as its "Latency" params give it: one range per direction,
// in quanta, in samples at a rate, and in nanoseconds, as pw-link -t prints
// them. A port announces one param for each direction.
#pragma once

#include <cstdint>
#include <memory>

#include <spa/pod/pod.h>

struct LatencyRange {
    double minQuantum = 0, maxQuantum = 0;
    double minRate = 0, maxRate = 0;
    double minNs = 0, maxNs = 0;

    bool operator==(const LatencyRange& o) const;
    bool operator!=(const LatencyRange& o) const { return !(*this == o); }
};

struct PortLatency {
    // Indexed by the param's direction: 0 input (SPA_DIRECTION_INPUT), 1 output.
    bool given[2] = {false, false};
    LatencyRange range[2];

    bool operator==(const PortLatency& o) const;
};

// Shared and never changed once made, as FormatRef.
using LatencyRef = std::shared_ptr<const PortLatency>;

// `before` with the range of one Latency param pod set; `before` itself
// (possibly null) when the pod is no Latency param. Untrusted input.
LatencyRef withLatencyParam(const LatencyRef& before, const spa_pod* pod);
