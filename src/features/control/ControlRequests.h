// The Graph's volume, mute and metadata requests on their way to the daemon:
// the daemon answers a refusal with an error on the object's proxy, which
// reaches the request's Promise (as ControlFailed) instead of standard
// error. A request that succeeds gets no answer of its own: the Graph sees
// the new value. PipeWire thread, V8-free.
#pragma once

#include <cstdint>
#include <string>

struct PwContext;

// Remembers that `result` (what the method call returned) of a request sent
// on proxy `proxyId` belongs to `token`. Only the most recent requests are
// remembered: a refusal comes within a round trip.
void trackControlRequest(uint32_t proxyId, int result, uint32_t token);

// An error on proxy `proxyId`: reported to the Graph when it answers a
// tracked request. True when it did.
bool reportControlError(PwContext* ctx, uint32_t proxyId, int seq, int res, const char* message);

// Reports `token`'s request as failed without sending it.
void failControlRequest(PwContext* ctx, uint32_t token, int res, std::string message);

// The connection is released: nothing tracked answers any more.
void forgetControlRequests();
