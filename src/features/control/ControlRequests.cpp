#include "ControlRequests.h"

#include <array>
#include <memory>

#include <spa/utils/result.h>

#include "../../connection/EventQueue.h"
#include "../../connection/PwContext.h"

namespace {

struct Tracked {
    uint32_t proxyId;
    int seq;
    uint32_t token;  // 0: free
};

// A ring: the oldest entry makes room. PipeWire thread only.
constexpr size_t kTracked = 64;

struct ControlRequests : FeatureState {
    std::array<Tracked, kTracked> tracked{};
    size_t next = 0;
    std::vector<PendingProps> pending;
};

ControlRequests& state(PwContext* ctx) {
    return static_cast<ControlRequests&>(*ctx->features.control);
}

}  // namespace

void installControlRequests(PwContext* ctx) {
    if (!ctx->features.control) ctx->features.control = std::make_unique<ControlRequests>();
}

void followControlRequest(PwContext* ctx, uint32_t token, uint32_t proxyId, int result) {
    if (result < 0) {
        failControlRequest(ctx, token, result, spa_strerror(result));
        return;
    }
    if (!SPA_RESULT_IS_ASYNC(result)) return;
    ControlRequests& s = state(ctx);
    s.tracked[s.next] = Tracked{proxyId, SPA_RESULT_ASYNC_SEQ(result), token};
    s.next = (s.next + 1) % kTracked;
}

bool reportControlError(PwContext* ctx, uint32_t proxyId, int seq, int res, const char* message) {
    for (Tracked& t : state(ctx).tracked) {
        if (t.token == 0 || t.proxyId != proxyId || t.seq != SPA_RESULT_ASYNC_SEQ(seq)) continue;
        uint32_t token = t.token;
        t.token = 0;
        failControlRequest(ctx, token, res, message ? message : spa_strerror(res));
        return true;
    }
    return false;
}

void failControlRequest(PwContext* ctx, uint32_t token, int res, std::string message) {
    emitGraphEvent(ctx, ControlFailed, 0, token, res, std::move(message));
}

std::vector<PendingProps>& pendingProps(PwContext* ctx) {
    return state(ctx).pending;
}

void forgetControlRequests(PwContext* ctx) {
    state(ctx).tracked.fill(Tracked{});
    state(ctx).pending.clear();
}
