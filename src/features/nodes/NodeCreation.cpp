#include "NodeCreation.h"

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <memory>

#include <pipewire/pipewire.h>
#include <spa/node/command.h>
#include <spa/utils/result.h>

#include "../../connection/EventQueue.h"
#include "../../connection/PwContext.h"
#include "../../connection/PwThread.h"
#include "../../core/Descriptors.h"
#include "../../core/ListenerTable.h"
#include "../../core/PackedProps.h"

namespace {

struct OwnedNode;

// A checked removal sent through the registry: the daemon's refusal of it
// comes before the round trip `syncSeq` ends, answering `destroySeq`.
struct SentNodeRemoval {
    int destroySeq;
    int syncSeq;
    uint32_t token;
    uint32_t id;
};

// The feature's state, in the context.
struct NodeRequests : FeatureState {
    std::vector<OwnedNode*> owned;          // PipeWire thread only
    std::vector<SentNodeRemoval> removals;  // PipeWire thread only
};

NodeRequests& state(PwContext* ctx) {
    return static_cast<NodeRequests&>(*ctx->features.nodes);
}

// Queues the answer `kind` to request `token` for the Graph, as every
// other outcome. PipeWire thread, graph lock not held.
void report(PwContext* ctx, uint32_t token, NodeOutcome kind, uint32_t id = 0, int32_t res = 0,
            std::string message = {}) {
    PwEvent event = makeEvent(NodeRequestAnswered, id, ForGraph);
    event.token = token;
    event.outcome = static_cast<uint8_t>(kind);
    event.res = res;
    event.text = std::move(message);
    emitGraphEvent(ctx, std::move(event));
}

// --- nodes this connection made --------------------------------------------

// User data of a created node's proxy. PipeWire thread only.
struct OwnedNode {
    PwContext* ctx;
    pw_proxy* proxy;
    spa_hook listener;
    uint32_t token;
    bool linger;
    uint32_t globalId;  // once bound, else SPA_ID_INVALID
    bool answered;      // Created or Failed was reported
    bool abandoned;     // its request was given up: the node goes once it exists
    int removalSync;    // a lingering one: the round trip after which it is removed, or -1
};

// Removes a node we made and nobody wants. Its proxy's end takes a node made
// without linger with it; a lingering one goes through the registry, which
// refuses a global this client has not been told of yet: after a round trip.
void removeOwned(OwnedNode* node) {
    pw_core* core = node->ctx->core.load();
    if (node->linger && node->globalId != SPA_ID_INVALID && core) {
        if (node->removalSync < 0) node->removalSync = pw_core_sync(core, PW_ID_CORE, 0);
        return;
    }
    pw_proxy_destroy(node->proxy);
}

void onOwnedBound(void* user, uint32_t globalId) {
    auto* node = static_cast<OwnedNode*>(user);
    node->globalId = globalId;
    bool first = !node->answered;
    node->answered = true;
    if (node->abandoned) {
        removeOwned(node);
        return;
    }
    // Not started here: a node that has run has a negotiated format, and
    // WirePlumber 0.4, whose port configuration then changes no port, waits
    // for its ports forever and links no other stream meanwhile. PipeWire
    // 1.4 reports volume only once a node has run: the volume requests
    // start such a node when it needs it (startNodeOnce).
    if (!first) return;
    report(node->ctx, node->token, NodeOutcome::Created, globalId);
}

void onOwnedError(void* user, int, int res, const char* message) {
    auto* node = static_cast<OwnedNode*>(user);
    if (!node->answered && !node->abandoned)
        report(node->ctx, node->token, NodeOutcome::Failed, 0, res, message ? message : spa_strerror(res));
    node->answered = true;
}

void onOwnedRemoved(void* user) {
    pw_proxy_destroy(static_cast<OwnedNode*>(user)->proxy);
}

void onOwnedDestroy(void* user) {
    auto* node = static_cast<OwnedNode*>(user);
    spa_hook_remove(&node->listener);
    node->ctx->graphRequestProxyIds.erase(pw_proxy_get_id(node->proxy));
    if (!node->answered && !node->abandoned)
        report(node->ctx, node->token, NodeOutcome::Failed, 0, -EPIPE, "PipeWire dropped the node request");
    std::vector<OwnedNode*>& owned = state(node->ctx).owned;
    owned.erase(std::remove(owned.begin(), owned.end(), node), owned.end());
}

const auto kOwnedEvents = listenerTable<pw_proxy_events>(
    PW_VERSION_PROXY_EVENTS, &pw_proxy_events::destroy, onOwnedDestroy, &pw_proxy_events::bound, onOwnedBound,
    &pw_proxy_events::removed, onOwnedRemoved, &pw_proxy_events::error, onOwnedError);

struct CreateRequest {
    uint32_t token;
    bool linger;
    PropList props;
    std::string creator;  // the marker's value
};

// The descriptors a node request needs left: the node is the daemon's (no
// descriptor is opened here for it), but its answers and the connection's
// own traffic may bring some; refused with fewer, as Descriptors.h says why.
constexpr long kNodeDescriptors = 16;

void createOnLoop(PwContext* ctx, const CreateRequest* req) {
    pw_core* core = ctx->core.load();
    long left = core ? descriptorsLeft() : kNodeDescriptors;
    if (left < kNodeDescriptors) {
        report(ctx, req->token, NodeOutcome::Failed, 0, -EMFILE,
               "too few file descriptors left to make a node (" + std::to_string(left) + ", " +
                   std::to_string(kNodeDescriptors) + " needed)");
        return;
    }
    pw_properties* props = core ? pw_properties_new(nullptr, nullptr) : nullptr;
    pw_proxy* proxy = nullptr;
    if (props) {
        for (const auto& [key, value] : req->props) pw_properties_set(props, key.c_str(), value.c_str());
        // Set last: these make the node what this package promises.
        pw_properties_set(props, PW_KEY_FACTORY_NAME, "support.null-audio-sink");
        pw_properties_set(props, "adapter.auto-port-config",
                          "{ mode = dsp monitor = true control = false position = preserve }");
        // PipeWire 1.4 configures ports per channel only from a fixed format;
        // without one it gives a single port in "convert" mode.
        pw_properties_set(props, "audio.format", "F32P");
        pw_properties_set(props, "audio.rate", "48000");
        pw_properties_set(props, PW_KEY_OBJECT_LINGER, req->linger ? "true" : "false");
        pw_properties_set(props, kCreatedByKey, req->creator.c_str());
        proxy = static_cast<pw_proxy*>(pw_core_create_object(core, "adapter", PW_TYPE_INTERFACE_Node, PW_VERSION_NODE,
                                                             &props->dict, sizeof(OwnedNode)));
        pw_properties_free(props);
    }
    if (!proxy) {
        int err = errno ? errno : EIO;
        report(ctx, req->token, NodeOutcome::Failed, 0, -err, "Failed to create node proxy");
    } else {
        auto* node = static_cast<OwnedNode*>(pw_proxy_get_user_data(proxy));
        *node = OwnedNode{ctx, proxy, {}, req->token, req->linger, SPA_ID_INVALID, false, false, -1};
        pw_proxy_add_listener(proxy, &node->listener, &kOwnedEvents, node);
        // Refusals reach the request's Promise instead of standard error.
        ctx->graphRequestProxyIds.insert(pw_proxy_get_id(proxy));
        state(ctx).owned.push_back(node);
    }
}

// The request `token` was given up (its Promise settled by a time-out): the
// node goes, now if it exists, else as soon as it does.
void abandonOnLoop(PwContext* ctx, uint32_t token) {
    std::vector<OwnedNode*> owned = state(ctx).owned;
    for (OwnedNode* node : owned) {
        if (node->token != token || node->abandoned) continue;
        node->abandoned = true;
        if (node->globalId != SPA_ID_INVALID) removeOwned(node);
    }
}

// --- checked removal ---------------------------------------------------------

// User data of a proxy bound to a node only to read its own properties
// (the registry announces a few of them only) before removing it.
struct RemovalCheck {
    PwContext* ctx;
    pw_proxy* proxy;
    spa_hook proxyListener;
    spa_hook nodeListener;
    spa_hook coreListener;
    bool coreHooked;
    uint32_t token;
    uint32_t id;
    uint64_t serial;
    int syncSeq;
    bool verdictKnown;  // the node's info came
    bool mayRemove;
    bool answered;
};

// Whether node `id` in the mirror is still the object with `serial`.
bool mirrorHas(PwContext* ctx, uint32_t id, uint64_t serial) {
    LockGuard lock(ctx->mutex);
    for (const NodeInfo& node : ctx->nodes)
        if (node.id == id) return packedSerial(node.props) == serial;
    return false;
}

void answer(RemovalCheck* check, NodeOutcome kind, std::string message = {}) {
    if (check->answered) return;
    check->answered = true;
    report(check->ctx, check->token, kind, check->id, 0, std::move(message));
}

void onCheckInfo(void* user, const pw_node_info* info) {
    auto* check = static_cast<RemovalCheck*>(user);
    if (!info || !(info->change_mask & PW_NODE_CHANGE_MASK_PROPS)) return;
    check->verdictKnown = true;
    check->mayRemove = mayRemoveNode(info->props, check->serial);
}

// The round trip after the bind is done: the node's info came before it.
// Decided here, in a core event, so the check's proxy may be destroyed.
void onCheckCoreDone(void* user, uint32_t id, int seq) {
    auto* check = static_cast<RemovalCheck*>(user);
    if (id != PW_ID_CORE || seq != check->syncSeq) return;
    PwContext* ctx = check->ctx;
    bool present = mirrorHas(ctx, check->id, check->serial);
    if (!check->verdictKnown || !present) {
        answer(check, NodeOutcome::NotFound);
    } else if (!check->mayRemove) {
        answer(check, NodeOutcome::Refused);
    } else {
        // The mirror still shows the same object (ids are handed out again
        // at once; the serial is not). A refusal (EPERM) fails the request.
        int destroySeq = SPA_RESULT_ASYNC_SEQ(pw_registry_destroy(ctx->registry, check->id));
        int syncSeq = pw_core_sync(ctx->core.load(), PW_ID_CORE, 0);
        if (syncSeq >= 0) state(ctx).removals.push_back(SentNodeRemoval{destroySeq, syncSeq, check->token, check->id});
        answer(check, NodeOutcome::Removing);
        present = false;
    }
    // A node that goes takes the bound proxy's resource with it: that proxy
    // is released in its `removed` handler, as asking the daemon to destroy
    // the resource would be refused.
    if (present) pw_proxy_destroy(check->proxy);
}

void onCheckRemoved(void* user) {
    auto* check = static_cast<RemovalCheck*>(user);
    answer(check, NodeOutcome::NotFound);
    pw_proxy_destroy(check->proxy);
}

void onCheckError(void* user, int, int res, const char* message) {
    auto* check = static_cast<RemovalCheck*>(user);
    check->verdictKnown = false;
    if (!check->answered) {
        check->answered = true;
        report(check->ctx, check->token, NodeOutcome::Failed, check->id, res, message ? message : spa_strerror(res));
    }
}

void onCheckDestroy(void* user) {
    auto* check = static_cast<RemovalCheck*>(user);
    spa_hook_remove(&check->proxyListener);
    spa_hook_remove(&check->nodeListener);
    if (check->coreHooked) spa_hook_remove(&check->coreListener);
    check->ctx->graphRequestProxyIds.erase(pw_proxy_get_id(check->proxy));
    answer(check, NodeOutcome::NotFound);
}

const auto kCheckProxyEvents =
    listenerTable<pw_proxy_events>(PW_VERSION_PROXY_EVENTS, &pw_proxy_events::destroy, onCheckDestroy,
                                   &pw_proxy_events::removed, onCheckRemoved, &pw_proxy_events::error, onCheckError);

const auto kCheckNodeEvents = listenerTable<pw_node_events>(PW_VERSION_NODE_EVENTS, &pw_node_events::info, onCheckInfo);

const auto kCheckCoreEvents =
    listenerTable<pw_core_events>(PW_VERSION_CORE_EVENTS, &pw_core_events::done, onCheckCoreDone);

struct RemoveRequest {
    uint32_t token;
    uint32_t id;
    uint64_t serial;
};

void removeOnLoop(PwContext* ctx, const RemoveRequest& req) {
    if (!mirrorHas(ctx, req.id, req.serial)) {
        report(ctx, req.token, NodeOutcome::NotFound, req.id);
        return;
    }
    // A node of this connection's, made without linger: its proxy is the
    // owner, and destroying it removes the node.
    for (OwnedNode* node : state(ctx).owned) {
        if (node->globalId == req.id && !node->linger) {
            pw_proxy_destroy(node->proxy);
            report(ctx, req.token, NodeOutcome::Removing, req.id);
            return;
        }
    }
    pw_core* core = ctx->core.load();
    auto* proxy = core && ctx->registry
                      ? static_cast<pw_proxy*>(pw_registry_bind(ctx->registry, req.id, PW_TYPE_INTERFACE_Node,
                                                                PW_VERSION_NODE, sizeof(RemovalCheck)))
                      : nullptr;
    if (!proxy) {
        report(ctx, req.token, NodeOutcome::Failed, req.id, -(errno ? errno : EIO), "Failed to bind the node");
        return;
    }
    auto* check = static_cast<RemovalCheck*>(pw_proxy_get_user_data(proxy));
    *check = RemovalCheck{ctx, proxy, {}, {}, {}, false, req.token, req.id, req.serial, -1, false, false, false};
    pw_proxy_add_listener(proxy, &check->proxyListener, &kCheckProxyEvents, check);
    pw_proxy_add_object_listener(proxy, &check->nodeListener, &kCheckNodeEvents, check);
    pw_core_add_listener(core, &check->coreListener, &kCheckCoreEvents, check);
    check->coreHooked = true;
    ctx->graphRequestProxyIds.insert(pw_proxy_get_id(proxy));
    check->syncSeq = pw_core_sync(core, PW_ID_CORE, 0);
}

}  // namespace

void startNodeOnce(pw_proxy* proxy) {
    for (uint32_t id : {SPA_NODE_COMMAND_Start, SPA_NODE_COMMAND_Pause, SPA_NODE_COMMAND_Suspend}) {
        spa_command command = SPA_NODE_COMMAND_INIT(id);
        pw_node_send_command(reinterpret_cast<pw_node*>(proxy), &command);
    }
}

void settleNodeRemovals(PwContext* ctx, int seq) {
    std::vector<SentNodeRemoval>& sent = state(ctx).removals;
    sent.erase(std::remove_if(sent.begin(), sent.end(), [seq](const SentNodeRemoval& r) { return r.syncSeq == seq; }),
               sent.end());
    std::vector<OwnedNode*> owned = state(ctx).owned;
    for (OwnedNode* node : owned) {
        if (node->removalSync != seq) continue;
        if (ctx->registry) pw_registry_destroy(ctx->registry, node->globalId);
        pw_proxy_destroy(node->proxy);
    }
}

bool claimNodeRemovalError(PwContext* ctx, uint32_t id, int seq, int res, const char* message) {
    if (!ctx->registry || id != pw_proxy_get_id(reinterpret_cast<pw_proxy*>(ctx->registry))) return false;
    std::vector<SentNodeRemoval>& sent = state(ctx).removals;
    auto it = std::find_if(sent.begin(), sent.end(), [seq](const SentNodeRemoval& r) { return r.destroySeq == seq; });
    if (it == sent.end()) return false;
    SentNodeRemoval removal = *it;
    sent.erase(it);
    report(ctx, removal.token, NodeOutcome::Failed, removal.id, res, message ? message : spa_strerror(res));
    return true;
}

void installNodeRequests(PwContext* ctx) {
    if (!ctx->features.nodes) ctx->features.nodes = std::make_unique<NodeRequests>();
}

Handoff requestNodeCreation(PwContext* ctx, uint32_t token, const PropList& props, bool linger) {
    auto req = std::make_shared<const CreateRequest>(CreateRequest{token, linger, props, ctx->clientName});
    return postWork(ctx, [req](PwContext* c) { createOnLoop(c, req.get()); });
}

Handoff requestNodeRemoval(PwContext* ctx, uint32_t token, uint32_t id, uint64_t serial) {
    RemoveRequest req{token, id, serial};
    return postWork(ctx, [req](PwContext* c) { removeOnLoop(c, req); });
}

void abandonNodeRequest(PwContext* ctx, uint32_t token) {
    // Not counted against the bound: a clean-up is never refused.
    postWork(
        ctx, [token](PwContext* c) { abandonOnLoop(c, token); }, false);
}

void releaseOwnedNodes(PwContext* ctx) {
    runWork(ctx, [](PwContext* c) {
        // Destroying a proxy of a node made without linger removes the node;
        // a lingering node stays.
        std::vector<OwnedNode*> owned = state(c).owned;
        for (OwnedNode* node : owned) pw_proxy_destroy(node->proxy);
    });
}

bool mayRemoveNode(const spa_dict* props, uint64_t serial) {
    const char* marker = props ? spa_dict_lookup(props, kCreatedByKey) : nullptr;
    const char* own = props ? spa_dict_lookup(props, PW_KEY_OBJECT_SERIAL) : nullptr;
    return marker && serial != 0 && parseSerial(own) == serial;
}
