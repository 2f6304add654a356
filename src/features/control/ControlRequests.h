// The Graph's volume, mute and metadata requests on their way to the daemon:
// the daemon answers a refusal with an error on the object's proxy, which
// reaches the request's Promise (as ControlFailed) instead of standard
// error. A request that succeeds gets no answer of its own: the Graph sees
// the new value. PipeWire thread, V8-free.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

struct PwContext;

// Makes the feature's state in the context; before the first start.
void installControlRequests(PwContext* ctx);

// What a request sent on proxy `proxyId` returned (`result`): a failure is
// reported to the Graph under `token` at once; an asynchronous answer is
// remembered, so that a refusal that comes later reaches `token`. Only the
// most recent requests are remembered: a refusal comes within a round trip.
void followControlRequest(PwContext* ctx, uint32_t token, uint32_t proxyId, int result);

// An error on proxy `proxyId`: reported to the Graph when it answers a
// tracked request. True when it did.
bool reportControlError(PwContext* ctx, uint32_t proxyId, int seq, int res, const char* message);

// Reports `token`'s request as failed without sending it.
void failControlRequest(PwContext* ctx, uint32_t token, int res, std::string message);

// A volume or mute request sent, not yet shown by its node: looked at again
// after the round trip `seq` (VolumeRequests). PipeWire thread.
struct PendingProps {
    uint32_t token;
    uint32_t nodeId;
    std::vector<float> volumes;  // none: the volume is not asked for
    int mute;                    // 0 or 1, else not asked for
    int seq;                     // the round trip after the last send
    int sends;                   // how many times it was sent
    bool started;                // the node was started for it (startNodeOnce)
};

// The pending requests, oldest first; at most kMaxPendingProps.
std::vector<PendingProps>& pendingProps(PwContext* ctx);
constexpr size_t kMaxPendingProps = 64;

// The connection is released: nothing tracked answers any more.
void forgetControlRequests(PwContext* ctx);
