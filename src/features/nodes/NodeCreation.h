// Nodes this package creates through the daemon's "adapter" factory, and the
// checked removal of nodes by id. Their proxies live on the PipeWire thread;
// the outcome of each request reaches the JavaScript thread through the event
// queue, as a NodeRequestAnswered event carrying the request's token and a
// NodeOutcome. V8-free.
#pragma once

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include <spa/utils/dict.h>

struct pw_proxy;

#include "../../connection/WorkQueue.h"

struct PwContext;

// The property that marks a node as made by this package (its value: the
// creating client's "application.name"). A later run removes only nodes
// that carry it.
constexpr const char* kCreatedByKey = "quorvane.created-by";

// What became of a node request (PwEvent::outcome).
enum class NodeOutcome : uint8_t {
    Created = 0,   // `id`: the new node's registry id
    Failed = 1,    // the daemon refused the creation or the removal: `res`, `text`
    Removing = 2,  // the removal was sent; the node's withdrawal follows
    Refused = 3,   // not made by this package: nothing was sent
    NotFound = 4,  // no such node (or it is another node by now)
};

using PropList = std::vector<std::pair<std::string, std::string>>;

// Makes the feature's state in the context; before the first start.
void installNodeRequests(PwContext* ctx);

// Asks the adapter factory for a node with `props` (the marker is added
// here). Without `linger` the node is this connection's: it goes with
// releaseOwnedNodes, with the connection and with the process. Not waited
// for; nothing is asked unless it is Queued.
Handoff requestNodeCreation(PwContext* ctx, uint32_t token, const PropList& props, bool linger);

// The creation `token` was given up (timed out): its node, lingering or
// not, is removed as soon as it exists, and no outcome is reported for it.
void abandonNodeRequest(PwContext* ctx, uint32_t token);

// Starts, pauses and suspends the node bound as `proxy` (a pw_node), as a
// node that has played: PipeWire 1.4's converter keeps the volume and mute
// set before a node first runs without reporting them. For nodes this
// package made, while suspended. PipeWire thread.
void startNodeOnce(pw_proxy* proxy);

// A round trip ended: abandoned lingering nodes waiting for it are removed,
// and removals sent before it can be refused no more. PipeWire thread.
void settleNodeRemovals(PwContext* ctx, int seq);

// A core error on object `id`: when it refuses a removal requestNodeRemoval
// sent (EPERM, say), that request fails with `res` and `message` (after its
// Removing outcome) and true is returned. PipeWire thread.
bool claimNodeRemovalError(PwContext* ctx, uint32_t id, int seq, int res, const char* message);

// Removes node `id` if it is still the object with "object.serial" `serial`
// and this package made it: a node of this connection's by its proxy, any
// other one only when its own properties carry the marker. Not waited for.
Handoff requestNodeRemoval(PwContext* ctx, uint32_t token, uint32_t id, uint64_t serial);

// Removes this connection's nodes made without linger, and lets go of the
// proxies of lingering ones. Waits for the PipeWire thread; the removals
// reach the daemon with the connection's next round trip.
void releaseOwnedNodes(PwContext* ctx);

// Pure checks, exposed for the native tests.
// Whether a node whose own properties are `props` may be removed as the
// object with serial `serial` that this package made.
bool mayRemoveNode(const spa_dict* props, uint64_t serial);
