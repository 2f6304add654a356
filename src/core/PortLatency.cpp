#include "PortLatency.h"

#include <spa/param/latency-utils.h>

bool LatencyRange::operator==(const LatencyRange& o) const {
    return minQuantum == o.minQuantum && maxQuantum == o.maxQuantum && minRate == o.minRate && maxRate == o.maxRate &&
           minNs == o.minNs && maxNs == o.maxNs;
}

bool PortLatency::operator==(const PortLatency& o) const {
    for (int d = 0; d < 2; d++)
        if (given[d] != o.given[d] || (given[d] && range[d] != o.range[d])) return false;
    return true;
}

LatencyRef withLatencyParam(const LatencyRef& before, const spa_pod* pod) {
    spa_latency_info info;
    if (!pod || !spa_pod_is_object(pod) || spa_latency_parse(pod, &info) < 0) return before;
    PortLatency next = before ? *before : PortLatency();
    unsigned d = info.direction & 1;
    next.given[d] = true;
    // Read as doubles whatever the header's integer types (the nanoseconds
    // became signed in later PipeWire).
    next.range[d] = LatencyRange{info.min_quantum,      info.max_quantum,    double(info.min_rate),
                                 double(info.max_rate), double(info.min_ns), double(info.max_ns)};
    if (before && *before == next) return before;
    return std::make_shared<const PortLatency>(next);
}
