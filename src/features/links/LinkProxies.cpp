#include "LinkProxies.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>

#include "../../connection/EventQueue.h"
#include "../../connection/InfoProxies.h"
#include "../../connection/PwContext.h"
#include "../../connection/PwThread.h"
#include "../../core/ListenerTable.h"
#include "LinkRemoval.h"
#include "LinksState.h"

namespace {

struct CreateRequest {
    uint32_t outNode, outPort, inNode, inPort;
    bool byName;
    uint32_t token;
    bool linger;
};

// A Graph link nobody waits for any more. Its proxy's end takes a link that
// does not linger with it; a lingering one goes through the registry, which
// refuses a global this client has not been told of yet: after a round trip.
void removeAbandoned(LinkProxyData* data) {
    pw_core* core = data->ctx->core.load();
    if (data->linger && core) {
        if (data->removalSync < 0) data->removalSync = pw_core_sync(core, PW_ID_CORE, 0);
        return;
    }
    pw_proxy_destroy(data->proxy);
}

// Enters a by-name link in the maps under its registry id. Graph lock held.
void enterLocked(PwContext* ctx, LinkProxyData* data, uint32_t id) {
    if (data->globalId == id) return;
    if (data->globalId != SPA_ID_INVALID) {
        // Claimed under another link's id (same ports, other client): move.
        auto it = linksState(ctx).linkProxies.find(data->globalId);
        if (it != linksState(ctx).linkProxies.end() && it->second == data->proxy) forgetLinkLocked(ctx, data->globalId);
    }
    data->globalId = id;
    linksState(ctx).linkProxies[id] = data->proxy;
    linksState(ctx).linkFormats[id] = "dynamic";
    auto& pending = linksState(ctx).pendingNamedLinks;
    pending.erase(std::remove(pending.begin(), pending.end(), data), pending.end());
}

void onProxyBound(void* user, uint32_t globalId) {
    auto* data = static_cast<LinkProxyData*>(user);
    // Bound before the link is announced, and withdrawn only after it.
    data->boundId = globalId;
    if (data->abandoned) {
        removeAbandoned(data);
        return;
    }
    // A lingering link does not go with our proxy: its removal goes through
    // the registry, as for another client's link.
    if (!data->linger) linksState(data->ctx).ownLinkProxies[globalId] = data->proxy;
    if (data->token) emitGraphEvent(data->ctx, LinkRequestBound, globalId, data->token);
    if (!data->byName) {
        data->globalId = globalId;
        return;
    }
    LockGuard lock(data->ctx->mutex);
    enterLocked(data->ctx, data, globalId);
}

// The daemon removed the link (unlinked, or one of its ports went away).
void onProxyRemoved(void* user) {
    pw_proxy_destroy(static_cast<LinkProxyData*>(user)->proxy);
}

// The daemon refused the request (or failed the link later).
void onProxyError(void* user, int /*seq*/, int res, const char* message) {
    auto* data = static_cast<LinkProxyData*>(user);
    if (data->boundId != SPA_ID_INVALID) markLinkFailed(data->ctx, data->boundId, message);
    if (data->token && !data->abandoned) {
        emitGraphEvent(data->ctx, LinkRequestFailed, 0, data->token, res, message ? message : "");
        wakeNow(data->ctx);  // the request's answer
    }
}

void onProxyDestroy(void* user) {
    auto* data = static_cast<LinkProxyData*>(user);
    spa_hook_remove(&data->listener);
    PwContext* ctx = data->ctx;
    auto own = linksState(ctx).ownLinkProxies.find(data->boundId);
    if (own != linksState(ctx).ownLinkProxies.end() && own->second == data->proxy)
        linksState(ctx).ownLinkProxies.erase(own);
    if (data->token) {
        ctx->graphRequestProxyIds.erase(pw_proxy_get_id(data->proxy));
        auto request = linksState(ctx).graphLinkRequests.find(data->token);
        if (request != linksState(ctx).graphLinkRequests.end() && request->second == data)
            linksState(ctx).graphLinkRequests.erase(request);
        if (!data->abandoned) emitGraphEvent(ctx, LinkRequestEnded, 0, data->token);
    }
    if (!data->byName) return;
    LockGuard lock(ctx->mutex);
    auto& pending = linksState(ctx).pendingNamedLinks;
    pending.erase(std::remove(pending.begin(), pending.end(), data), pending.end());
    auto it = linksState(ctx).linkProxies.find(data->globalId);
    // The daemon hands ids out again; nothing of this link may stay.
    if (it != linksState(ctx).linkProxies.end() && it->second == data->proxy) forgetLinkLocked(ctx, data->globalId);
}

const auto kLinkProxyEvents = listenerTable<pw_proxy_events>(
    PW_VERSION_PROXY_EVENTS, &pw_proxy_events::destroy, onProxyDestroy, &pw_proxy_events::bound, onProxyBound,
    &pw_proxy_events::removed, onProxyRemoved, &pw_proxy_events::error, onProxyError);

// Asks the link factory for the link. PipeWire thread.
pw_proxy* makeLinkProxy(PwContext* ctx, const CreateRequest* req) {
    pw_core* core = ctx->core.load();
    if (!core) return nullptr;

    char outNode[32], outPort[32], inNode[32], inPort[32];
    snprintf(outNode, sizeof outNode, "%u", req->outNode);
    snprintf(outPort, sizeof outPort, "%u", req->outPort);
    snprintf(inNode, sizeof inNode, "%u", req->inNode);
    snprintf(inPort, sizeof inPort, "%u", req->inPort);
    pw_properties* props = pw_properties_new("link.output.node", outNode, "link.output.port", outPort,
                                             "link.input.node", inNode, "link.input.port", inPort, nullptr);
    if (!props) return nullptr;
    if (req->linger) pw_properties_set(props, PW_KEY_OBJECT_LINGER, "true");
    auto* proxy = static_cast<pw_proxy*>(pw_core_create_object(core, "link-factory", PW_TYPE_INTERFACE_Link,
                                                               PW_VERSION_LINK, &props->dict, sizeof(LinkProxyData)));
    pw_properties_free(props);
    if (!proxy) return nullptr;

    auto* data = static_cast<LinkProxyData*>(pw_proxy_get_user_data(proxy));
    *data = LinkProxyData{ctx,         proxy,          {},         req->byName, req->outPort,
                          req->inPort, SPA_ID_INVALID, req->token, req->linger, SPA_ID_INVALID,
                          false};
    pw_proxy_add_listener(proxy, &data->listener, &kLinkProxyEvents, data);
    if (req->token) {
        ctx->graphRequestProxyIds.insert(pw_proxy_get_id(proxy));
        linksState(ctx).graphLinkRequests[req->token] = data;
    }
    if (req->byName) {
        LockGuard lock(ctx->mutex);
        linksState(ctx).pendingNamedLinks.push_back(data);
    }
    return proxy;
}

// A Graph request: its outcome, failure included, reaches the Graph as events.
void requestLinkOnLoop(PwContext* ctx, const CreateRequest& req) {
    if (!makeLinkProxy(ctx, &req))
        emitGraphEvent(ctx, LinkRequestFailed, 0, req.token, -errno, "Failed to create link proxy");
}

}  // namespace

bool createLinkProxy(PwContext* ctx, uint32_t outNode, uint32_t outPort, uint32_t inNode, uint32_t inPort,
                     bool byName) {
    CreateRequest req{outNode, outPort, inNode, inPort, byName, 0, false};
    bool made = false;
    // Blocking: `made` is read only after the loop ran the request. The
    // proxy itself stays the PipeWire thread's.
    if (!runWork(ctx, [&req, &made](PwContext* c) { made = makeLinkProxy(c, &req) != nullptr; })) return false;
    return made;
}

Handoff requestGraphLink(PwContext* ctx, uint32_t outNode, uint32_t outPort, uint32_t inNode, uint32_t inPort,
                         uint32_t token, bool linger) {
    CreateRequest req{outNode, outPort, inNode, inPort, false, token, linger};
    // Not waited for: the JavaScript thread goes back to its loop at once and
    // the answer comes as events.
    return postWork(ctx, [req](PwContext* c) { requestLinkOnLoop(c, req); });
}

void abandonGraphLink(PwContext* ctx, uint32_t token) {
    // Not counted against the bound: a clean-up is never refused.
    postWork(
        ctx,
        [token](PwContext* c) {
            auto it = linksState(c).graphLinkRequests.find(token);
            if (it == linksState(c).graphLinkRequests.end()) return;
            LinkProxyData* data = it->second;
            data->abandoned = true;
            if (data->boundId != SPA_ID_INVALID) removeAbandoned(data);
        },
        false);
}

void settleAbandonedLinks(PwContext* ctx, int seq) {
    std::vector<LinkProxyData*> waiting;
    for (const auto& [token, data] : linksState(ctx).graphLinkRequests)
        if (data->removalSync == seq) waiting.push_back(data);
    for (LinkProxyData* data : waiting) {
        if (ctx->registry) pw_registry_destroy(ctx->registry, data->boundId);
        pw_proxy_destroy(data->proxy);
    }
}

bool claimNamedLinkLocked(PwContext* ctx, const LinkInfo& link) {
    for (LinkProxyData* data : linksState(ctx).pendingNamedLinks) {
        if (data->outPort == link.srcPortId && data->inPort == link.sinkPortId) {
            enterLocked(ctx, data, link.id);
            return true;
        }
    }
    return linksState(ctx).ownLinkProxies.count(link.id) > 0;
}

void forgetLinkLocked(PwContext* ctx, uint32_t linkId) {
    linksState(ctx).linkProxies.erase(linkId);
    linksState(ctx).linkFormats.erase(linkId);
}

void forgetRemovedLinkLocked(PwContext* ctx, uint32_t id) {
    linksState(ctx).removalRequested.erase(id);
    // Whatever our proxy still holds, the id may name another object next.
    linksState(ctx).ownLinkProxies.erase(id);
}

void LinksState::clearConnection(PwContext* ctx) {
    sentRemovals.clear();
    ownLinkProxies.clear();
    LockGuard lock(ctx->mutex);
    removalRequested.clear();
}

void releaseLinkBookkeeping(PwContext* ctx) {
    linksState(ctx).clearConnection(ctx);
}

void installLinks(PwContext* ctx) {
    if (!ctx->features.links) ctx->features.links = std::make_unique<LinksState>();
}

const std::string* linkFormatLocked(PwContext* ctx, uint32_t linkId) {
    const auto& formats = linksState(ctx).linkFormats;
    auto it = formats.find(linkId);
    return it == formats.end() ? nullptr : &it->second;
}
