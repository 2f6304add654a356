// Link proxies: made on the PipeWire thread at the JavaScript thread's
// request, kept while their link exists, released there when it goes.
#pragma once

#include <cstdint>
#include <string>

#include <pipewire/pipewire.h>

#include "../../connection/WorkQueue.h"

struct LinkInfo;
struct PwContext;

// Bookkeeping carried in each link proxy's user data. Touched only on the
// PipeWire thread, except through `pendingNamedLinks` under the graph lock.
struct LinkProxyData {
    PwContext* ctx;
    pw_proxy* proxy;
    spa_hook listener;
    bool byName;  // entered in linkProxies/linkFormats once its id is known
    uint32_t outPort;
    uint32_t inPort;
    uint32_t globalId;                  // registry id once known, else SPA_ID_INVALID
    uint32_t token;                     // a Graph request: its outcome goes to the Graph; else 0
    bool linger;                        // made with "object.linger": it outlives our proxy
    uint32_t boundId = SPA_ID_INVALID;  // the id the daemon bound the proxy to
    bool abandoned = false;             // a Graph request given up: the link goes once bound
    int removalSync = -1;               // lingering and abandoned: the round trip before its removal
};

// Asks the daemon's link factory for a link, on the PipeWire thread, and
// waits until it is asked. False when no request could be made (the loop
// does not run, or the core refused). JavaScript thread.
bool createLinkProxy(PwContext* ctx, uint32_t outNode, uint32_t outPort, uint32_t inNode, uint32_t inPort,
                     bool byName = false);

// The Graph's link request: handed to the PipeWire thread without waiting;
// the daemon's answer (bound, refused, gone), or the failure to ask, reaches
// the Graph as events carrying `token`, and a refusal is not printed. With
// `linger` the link is made "object.linger" (as pw-link makes it): it stays
// when our proxy, the connection or the process goes. Nothing is asked
// unless it is Queued. JavaScript thread.
Handoff requestGraphLink(PwContext* ctx, uint32_t outNode, uint32_t outPort, uint32_t inNode, uint32_t inPort,
                         uint32_t token, bool linger = false);

// The Graph gave up waiting for request `token` (its time-out, say): the
// link, lingering or not, is removed as soon as it is made, and nothing
// more is told about it. JavaScript thread.
void abandonGraphLink(PwContext* ctx, uint32_t token);

// A round trip ended: abandoned lingering links waiting for it are removed.
// PipeWire thread.
void settleAbandonedLinks(PwContext* ctx, int seq);

// Called by the registry handler for each new link with the graph lock held:
// a link requested by name is entered in the link maps before its event can
// reach a listener. True when the link is one this process asked for (by
// name, or bound to a request's proxy, which is told before the announcement).
bool claimNamedLinkLocked(PwContext* ctx, const LinkInfo& link);

// Drops what the module holds about a link (its proxy entry, format and
// counters); the proxy itself is left to its own events. Graph lock held.
void forgetLinkLocked(PwContext* ctx, uint32_t linkId);

// A global was withdrawn: a removal asked for it is done, and our proxy of
// it no longer names it. Graph lock held.
void forgetRemovedLinkLocked(PwContext* ctx, uint32_t id);

// The connection is released: what was sent on it is forgotten. PipeWire thread.
void releaseLinkBookkeeping(PwContext* ctx);

// The negotiated format text of link `linkId`, if this process made it and
// the daemon told it; else null. Graph lock held; valid while it is.
const std::string* linkFormatLocked(PwContext* ctx, uint32_t linkId);
