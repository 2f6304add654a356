#include "VolumeRequests.h"

#include <algorithm>
#include <cerrno>
#include <memory>
#include <string>

#include <pipewire/pipewire.h>
#include <spa/param/param.h>
#include <spa/utils/result.h>

#include "../../connection/InfoProxies.h"
#include "../../connection/PwContext.h"
#include "../../connection/PwThread.h"
#include "../../core/NodeProps.h"
#include "../../core/PackedProps.h"
#include "../nodes/NodeCreation.h"
#include "ControlRequests.h"

namespace {

// Sends so many times at most: PipeWire 1.6's converter applies the first
// Props after a node was suspended without announcing it, and announces the
// same Props sent again; 1.4's announces nothing before the node has run.
constexpr int kMaxSends = 3;

// What the mirror knows of node `id`: whether it shows the request's values,
// whether this package made it and it is suspended. False, false when gone.
struct NodeView {
    bool present = false;
    bool shows = false;
    bool ownSuspended = false;
};

NodeView viewNode(PwContext* ctx, const PendingProps& req) {
    NodeView view;
    LockGuard lock(ctx->mutex);
    for (const NodeInfo& node : ctx->nodes) {
        if (node.id != req.nodeId) continue;
        view.present = true;
        const NodeControls* c = node.controls.get();
        view.shows = c && (req.volumes.empty() || c->channelVolumes == req.volumes) &&
                     (req.mute < 0 || (c->hasMute && c->mute == (req.mute == 1)));
        view.ownSuspended = node.state == PW_NODE_STATE_SUSPENDED && findProp(node.props, kCreatedByKey);
        break;
    }
    return view;
}

// Sends `req`'s Props on `proxy`; the daemon's immediate answer (< 0: failed).
int sendProps(pw_proxy* proxy, const PendingProps& req) {
    uint8_t buffer[1024];
    spa_pod_builder b = SPA_POD_BUILDER_INIT(buffer, sizeof buffer);
    const spa_pod* param = buildNodeProps(&b, req.volumes.data(), req.volumes.size(), req.mute);
    return param ? pw_node_set_param(reinterpret_cast<pw_node*>(proxy), SPA_PARAM_Props, 0, param) : -EINVAL;
}

// Remembers `req`, sent, until the next round trip tells whether the node
// shows it.
void watch(PwContext* ctx, PendingProps req) {
    pw_core* core = ctx->core.load();
    if (!core) return;
    req.seq = pw_core_sync(core, PW_ID_CORE, 0);
    std::vector<PendingProps>& pending = pendingProps(ctx);
    if (pending.size() >= kMaxPendingProps) pending.erase(pending.begin());
    pending.push_back(std::move(req));
}

// A newer request for the same node takes the values it sets over from the
// older ones still pending: those are never sent again over it.
void supersede(PwContext* ctx, const PendingProps& req) {
    std::vector<PendingProps>& pending = pendingProps(ctx);
    for (PendingProps& older : pending) {
        if (older.nodeId != req.nodeId) continue;
        if (!req.volumes.empty()) older.volumes.clear();
        if (req.mute >= 0) older.mute = -1;
    }
    pending.erase(std::remove_if(pending.begin(), pending.end(),
                                 [](const PendingProps& p) { return p.volumes.empty() && p.mute < 0; }),
                  pending.end());
}

void setPropsOnLoop(PwContext* ctx, const PendingProps& req) {
    pw_proxy* proxy = boundNodeProxy(ctx, req.nodeId);
    if (!proxy) {
        failControlRequest(ctx, req.token, -ENOENT, "no node " + std::to_string(req.nodeId));
        return;
    }
    supersede(ctx, req);
    int res = sendProps(proxy, req);
    followControlRequest(ctx, req.token, pw_proxy_get_id(proxy), res);
    if (res >= 0) watch(ctx, req);
}

}  // namespace

Handoff requestNodeProps(PwContext* ctx, uint32_t token, uint32_t nodeId, const std::vector<float>& volumes, int mute) {
    auto req = std::make_shared<const PendingProps>(PendingProps{token, nodeId, volumes, mute, -1, 1, false});
    return postWork(ctx, [req](PwContext* c) { setPropsOnLoop(c, *req); });
}

void settlePropsRequests(PwContext* ctx, int seq) {
    std::vector<PendingProps>& pending = pendingProps(ctx);
    std::vector<PendingProps> again;
    for (auto it = pending.begin(); it != pending.end();) {
        if (it->seq != seq) {
            ++it;
            continue;
        }
        again.push_back(std::move(*it));
        it = pending.erase(it);
    }
    for (PendingProps& req : again) {
        NodeView view = viewNode(ctx, req);
        pw_proxy* proxy = boundNodeProxy(ctx, req.nodeId);
        if (!view.present || view.shows || req.sends >= kMaxSends || !proxy) continue;
        // Sent again, each time after a round trip that did not show it; a
        // suspended node of ours is first started, once.
        if (!req.started && view.ownSuspended) {
            startNodeOnce(proxy);
            req.started = true;
        }
        req.sends++;
        int res = sendProps(proxy, req);
        followControlRequest(ctx, req.token, pw_proxy_get_id(proxy), res);
        if (res >= 0) watch(ctx, std::move(req));
    }
}
