#include "NodeWait.h"

#include "../../connection/PwContext.h"
#include "../../core/Clock.h"

namespace {

constexpr int64_t kPollIntervalMs = 100;

}  // namespace

NodeMatch findNode(PwContext* ctx, const std::string& name, DirectionFilter filter) {
    NodeMatch match;
    LockGuard lock(ctx->mutex);
    for (const NodeInfo& node : ctx->nodes) {
        if (node.name.size() != name.size() || node.name != name) continue;
        if (filter == DirectionFilter::Input && !node.isInput) continue;
        if (filter == DirectionFilter::Output && !node.isOutput) continue;
        match.found = true;
        match.id = node.id;
        match.name = node.name;
        break;
    }
    return match;
}

NodeMatch waitForNode(PwContext* ctx, const std::string& name, DirectionFilter filter, int32_t timeoutMs) {
    NodeMatch match = findNode(ctx, name, filter);
    if (match.found) return match;
    int64_t t0 = monotonicMs();
    if (timeoutMs <= 0) return match;
    for (;;) {
        sleepMs(kPollIntervalMs);
        match = findNode(ctx, name, filter);
        if (match.found || monotonicMs() - t0 >= timeoutMs) return match;
    }
}
