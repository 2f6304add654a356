// What the links feature keeps: the proxies of the links this process asked
// for, their formats, the removals on their way. Made by installLinks before
// the first start and kept for the module's life (see FeatureStates).
#pragma once

#include <cstdint>
#include <deque>
#include <map>
#include <set>
#include <string>
#include <vector>

#include <pipewire/pipewire.h>

#include "../../connection/PwContext.h"

struct LinkProxyData;

// A link removal on its way to the PipeWire thread: the link's registry id
// and the "object.serial" it had when the removal was asked for (0 when the
// daemon gives none), so that an id the daemon has handed out again since is
// left alone.
struct LinkRemoval {
    uint32_t linkId = 0;
    uint64_t serial = 0;
    bool quiet = false;  // the Graph's: its outcome goes to the Graph, never to standard error
};

// A removal sent to the daemon, until the round trip after it is done: the
// daemon's error for it, if any, comes before that.
struct SentRemoval {
    int destroySeq;  // the sequence number an error for the destroy carries
    int syncSeq;     // the round trip sent right after it
    bool viaRegistry;
    LinkRemoval removal;
};

struct LinksState : FeatureState {
    // Keyed by the link's registry id, guarded by the graph lock.
    std::map<uint32_t, std::string> linkFormats;
    std::map<uint32_t, pw_proxy*> linkProxies;
    // Links requested by name whose registry id is not known yet.
    std::vector<LinkProxyData*> pendingNamedLinks;
    // Links whose removal was requested and whose withdrawal has not come:
    // a second request for one sends nothing.
    std::set<uint32_t> removalRequested;

    // PipeWire thread only. Registry id -> this process's own link proxy,
    // for each link the daemon has bound to one of our proxies and not
    // withdrawn: such a link is removed through its proxy.
    std::map<uint32_t, pw_proxy*> ownLinkProxies;
    // Removals sent and not yet followed by their round trip.
    std::vector<SentRemoval> sentRemovals;
    // The Graph's link requests by token, while their proxy lives.
    std::map<uint32_t, LinkProxyData*> graphLinkRequests;

    // Removals queued on the JavaScript thread; guarded by the queue lock.
    std::deque<LinkRemoval> linkDestructionQueue;

    // What belongs to a connection, dropped as it is released: the removals
    // sent on it, its own proxies, the removals asked for. PipeWire thread.
    void clearConnection(PwContext* ctx);
};

// Makes the feature's state in `ctx`, once; before the first start.
void installLinks(PwContext* ctx);

// The feature's state (installLinks made it).
inline LinksState& linksState(PwContext* ctx) {
    return static_cast<LinksState&>(*ctx->features.links);
}
