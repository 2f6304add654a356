// Volume and mute requests: sent as a node's "Props" param through the proxy
// bound to it for its info. V8-free.
#pragma once

#include <cstdint>
#include <vector>

#include "../../connection/WorkQueue.h"

struct PwContext;

// Sets node `nodeId`'s channel volumes (none when `volumes` is empty) and,
// when `mute` is 0 or 1, its mute. The node reports the new values as
// NodeChanged; a refusal reaches the Graph as ControlFailed under `token`.
// Not waited for; nothing is sent unless it is Queued. JavaScript thread.
// A request the node does not show after a round trip is sent again, a few
// times at most (settlePropsRequests), for the values no newer request for
// the node sets.
Handoff requestNodeProps(PwContext* ctx, uint32_t token, uint32_t nodeId, const std::vector<float>& volumes, int mute);

// The round trip `seq` ended: each request sent before it that its node
// does not show yet is sent again (a suspended node this package made is
// started first, once), up to three sends in all; the others are done.
// PipeWire thread.
void settlePropsRequests(PwContext* ctx, int seq);
