#include "ControlRequests.h"

#include <array>

#include <spa/utils/result.h>

#include "../../connection/EventQueue.h"

namespace {

struct Tracked {
    uint32_t proxyId;
    int seq;
    uint32_t token;  // 0: free
};

// A ring: the oldest entry makes room. PipeWire thread only.
constexpr size_t kTracked = 64;
std::array<Tracked, kTracked> gTracked{};
size_t gNext = 0;

}  // namespace

void trackControlRequest(uint32_t proxyId, int result, uint32_t token) {
    if (!SPA_RESULT_IS_ASYNC(result)) return;
    gTracked[gNext] = Tracked{proxyId, SPA_RESULT_ASYNC_SEQ(result), token};
    gNext = (gNext + 1) % kTracked;
}

bool reportControlError(PwContext* ctx, uint32_t proxyId, int seq, int res, const char* message) {
    for (Tracked& t : gTracked) {
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

void forgetControlRequests() {
    gTracked.fill(Tracked{});
}
