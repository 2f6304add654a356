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

int setPropsOnLoop(spa_loop*, bool, uint32_t, const void* raw, size_t size, void* user) {
    if (size != sizeof(PropsRequest*)) return -1;
    auto* ctx = static_cast<PwContext*>(user);
    std::unique_ptr<PropsRequest> req(*static_cast<PropsRequest* const*>(raw));
    pw_proxy* proxy = boundNodeProxy(ctx, req->nodeId);
    if (!proxy) {
        failControlRequest(ctx, req->token, -ENOENT, "no node " + std::to_string(req->nodeId));
        return 0;
    }
    uint8_t buffer[1024];
    spa_pod_builder b = SPA_POD_BUILDER_INIT(buffer, sizeof buffer);
    const spa_pod* param = buildNodeProps(&b, req->volumes.data(), req->volumes.size(), req->mute);
    int res = param ? pw_node_set_param(reinterpret_cast<pw_node*>(proxy), SPA_PARAM_Props, 0, param) : -EINVAL;
    if (res < 0)
        failControlRequest(ctx, req->token, res, spa_strerror(res));
    else
        trackControlRequest(pw_proxy_get_id(proxy), res, req->token);
    return 0;
}

}  // namespace

bool requestNodeProps(PwContext* ctx, uint32_t token, uint32_t nodeId, const std::vector<float>& volumes, int mute) {
    auto* req = new PropsRequest{token, nodeId, volumes, mute};
    // The loop copies the pointer; the request is freed where it runs.
    if (postToLoop(ctx, setPropsOnLoop, &req, sizeof req)) return true;
    delete req;
    return false;
}
