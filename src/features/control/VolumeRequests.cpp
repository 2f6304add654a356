#include "VolumeRequests.h"

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
#include "ControlRequests.h"

namespace {

struct PropsRequest {
    uint32_t token;
    uint32_t nodeId;
    std::vector<float> volumes;
    int mute;
};

void setPropsOnLoop(PwContext* ctx, const PropsRequest& req) {
    pw_proxy* proxy = boundNodeProxy(ctx, req.nodeId);
    if (!proxy) {
        failControlRequest(ctx, req.token, -ENOENT, "no node " + std::to_string(req.nodeId));
        return;
    }
    uint8_t buffer[1024];
    spa_pod_builder b = SPA_POD_BUILDER_INIT(buffer, sizeof buffer);
    const spa_pod* param = buildNodeProps(&b, req.volumes.data(), req.volumes.size(), req.mute);
    int res = param ? pw_node_set_param(reinterpret_cast<pw_node*>(proxy), SPA_PARAM_Props, 0, param) : -EINVAL;
    followControlRequest(ctx, req.token, pw_proxy_get_id(proxy), res);
}

}  // namespace

Handoff requestNodeProps(PwContext* ctx, uint32_t token, uint32_t nodeId, const std::vector<float>& volumes, int mute) {
    auto req = std::make_shared<const PropsRequest>(PropsRequest{token, nodeId, volumes, mute});
    return postWork(ctx, [req](PwContext* c) { setPropsOnLoop(c, *req); });
}
