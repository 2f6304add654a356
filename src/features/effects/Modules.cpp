#include "Modules.h"

#include <cerrno>
#include <cstring>
#include <map>
#include <memory>

#include <pipewire/impl-module.h>
#include <pipewire/pipewire.h>
#include <spa/param/audio/format-utils.h>
#include <spa/param/param.h>
#include <spa/param/props.h>
#include <spa/pod/builder.h>

#include "../../connection/EventQueue.h"
#include "../../connection/PwContext.h"
#include "../../connection/PwThread.h"
#include "../../core/Descriptors.h"
#include "../../core/ListenerTable.h"

namespace {

struct LoadedModule {
    PwContext* ctx;
    uint32_t id;
    pw_impl_module* module;
    spa_hook listener;
    bool unloading;  // destroyed by us: its end is reported by whoever destroys it
};

// The feature's state, in the context. PipeWire thread only.
struct Modules : FeatureState {
    std::map<uint32_t, std::unique_ptr<LoadedModule>> loaded;
    bool coreSet = false;  // the context's Core object is ours, set for the modules
};

Modules& state(PwContext* ctx) {
    return static_cast<Modules&>(*ctx->features.modules);
}

// The module destroyed itself (its core went, or it failed while running):
// it is forgotten and its end reported.
void onModuleDestroy(void* user) {
    auto* m = static_cast<LoadedModule*>(user);
    spa_hook_remove(&m->listener);
    PwContext* ctx = m->ctx;
    uint32_t id = m->id;
    bool told = m->unloading;
    state(ctx).loaded.erase(id);
    if (!told) emitGraphEvent(ctx, ModuleEnded, id, 0, 0, "the module was destroyed");
}

const auto kModuleEvents = listenerTable<pw_impl_module_events>(PW_VERSION_IMPL_MODULE_EVENTS,
                                                                &pw_impl_module_events::destroy, onModuleDestroy);

// The descriptors a module load needs left: what one takes, and a margin for
// the connection and the process's own.
constexpr long kModuleDescriptors = 48;

void unload(LoadedModule* m) {
    m->unloading = true;
    StandardInputKept kept;             // its streams' client nodes may close descriptor 0 as they go
    pw_impl_module_destroy(m->module);  // onModuleDestroy forgets it
}

void loadOnLoop(PwContext* ctx, uint32_t moduleId, const std::string& name, const std::string& args) {
    pw_core* core = ctx->core.load();
    if (!core) {
        emitGraphEvent(ctx, ModuleAnswered, moduleId, 0, -ENOTCONN, "PipeWire not connected");
        return;
    }
    Modules& s = state(ctx);
    if (s.loaded.count(moduleId)) {
        emitGraphEvent(ctx, ModuleAnswered, moduleId, 0, -EEXIST, "module id in use");
        return;
    }
    // A module opens some 10 to 20 descriptors (a connection of its own,
    // its streams' events); PipeWire refused one part way fails as
    // Descriptors.h tells. Refused here instead, the connection untouched.
    long left = descriptorsLeft();
    if (left < kModuleDescriptors) {
        emitGraphEvent(ctx, ModuleAnswered, moduleId, 0, -EMFILE,
                       "too few file descriptors left to load " + name + " (" + std::to_string(left) + ", " +
                           std::to_string(kModuleDescriptors) + " needed)");
        return;
    }
    // The modules take the context's Core object for their streams, or
    // connect one of their own when it has none: their own, closed with
    // them. A filter's controls are set through the daemon, which holds the
    // asking client until the node's client has answered: were that the same
    // client, it would wait for ever.
    if (pw_context_get_object(ctx->context, PW_TYPE_INTERFACE_Core) != nullptr) {
        pw_context_set_object(ctx->context, PW_TYPE_INTERFACE_Core, nullptr);
        s.coreSet = true;
    }
    StandardInputKept kept;  // a load that fails half way tears down the streams it made
    errno = 0;
    pw_impl_module* module = pw_context_load_module(ctx->context, name.c_str(), args.c_str(), nullptr);
    if (!module) {
        int res = errno ? -errno : -EINVAL;
        std::string why = std::string("cannot load ") + name + ": " + std::strerror(-res);
        emitGraphEvent(ctx, ModuleAnswered, moduleId, 0, res, std::move(why));
        return;
    }
    auto owned = std::make_unique<LoadedModule>(LoadedModule{ctx, moduleId, module, {}, false});
    pw_impl_module_add_listener(module, &owned->listener, &kModuleEvents, owned.get());
    s.loaded[moduleId] = std::move(owned);
    emitGraphEvent(ctx, ModuleAnswered, moduleId, 0, 0, "");
}

// The Props of a filter-chain's node: { params: [ name, value, ... ] }.
const spa_pod* buildParams(spa_pod_builder* b, const std::vector<std::pair<std::string, float>>& params) {
    spa_pod_frame outer, inner;
    spa_pod_builder_push_object(b, &outer, SPA_TYPE_OBJECT_Props, SPA_PARAM_Props);
    spa_pod_builder_prop(b, SPA_PROP_params, 0);
    spa_pod_builder_push_struct(b, &inner);
    for (const auto& [name, value] : params) {
        spa_pod_builder_string(b, name.c_str());
        spa_pod_builder_float(b, value);
    }
    spa_pod_builder_pop(b, &inner);
    return static_cast<const spa_pod*>(spa_pod_builder_pop(b, &outer));
}

}  // namespace

bool isLoadableModule(const std::string& name) {
    static const char* const kNames[] = {
        "libpipewire-module-filter-chain",
        "libpipewire-module-loopback",
        // Audio between hosts: RTP (every line; 1.x announces its sessions
        // with module-rtp-sap) and ROC (PipeWire 1.x built with it).
        "libpipewire-module-rtp-sink",
        "libpipewire-module-rtp-source",
        "libpipewire-module-rtp-sap",
        "libpipewire-module-roc-sink",
        "libpipewire-module-roc-source",
    };
    for (const char* known : kNames)
        if (name == known) return true;
    return false;
}

void installModules(PwContext* ctx) {
    if (!ctx->features.modules) ctx->features.modules = std::make_unique<Modules>();
}

Handoff requestModuleLoad(PwContext* ctx, uint32_t moduleId, const std::string& name, const std::string& args) {
    return postWork(ctx, [moduleId, name, args](PwContext* c) { loadOnLoop(c, moduleId, name, args); });
}

Handoff requestModuleUnload(PwContext* ctx, uint32_t moduleId) {
    return postWork(
        ctx,
        [moduleId](PwContext* c) {
            auto it = state(c).loaded.find(moduleId);
            if (it != state(c).loaded.end()) unload(it->second.get());
            emitGraphEvent(c, ModuleEnded, moduleId, 0, 0, "closed");
        },
        false);
}

Handoff requestControlParams(PwContext* ctx, uint32_t token, uint32_t nodeId,
                             const std::vector<std::pair<std::string, float>>& params) {
    return postWork(ctx, [token, nodeId, params](PwContext* c) {
        auto found = c->bindings.nodeProxies.find(nodeId);
        if (found == c->bindings.nodeProxies.end()) {
            emitGraphEvent(c, ControlFailed, 0, token, -ENOENT, "no node " + std::to_string(nodeId));
            return;
        }
        std::vector<uint8_t> buffer(256 + params.size() * 96);
        spa_pod_builder b = SPA_POD_BUILDER_INIT(buffer.data(), uint32_t(buffer.size()));
        const spa_pod* param = buildParams(&b, params);
        int res =
            param ? pw_node_set_param(reinterpret_cast<pw_node*>(found->second), SPA_PARAM_Props, 0, param) : -ENOSPC;
        if (res < 0) emitGraphEvent(c, ControlFailed, 0, token, res, "cannot set the node's params");
    });
}

Handoff requestPortConfig(PwContext* ctx, uint32_t token, uint32_t nodeId, bool output, bool monitor,
                          uint32_t channels) {
    return postWork(ctx, [token, nodeId, output, monitor, channels](PwContext* c) {
        auto found = c->bindings.nodeProxies.find(nodeId);
        if (found == c->bindings.nodeProxies.end() || channels == 0 || channels > SPA_AUDIO_MAX_CHANNELS) {
            emitGraphEvent(c, ControlFailed, 0, token, -ENOENT, "no node " + std::to_string(nodeId));
            return;
        }
        spa_audio_info_raw info{};
        info.format = SPA_AUDIO_FORMAT_F32P;
        info.rate = 48000;
        info.channels = channels;
        if (channels == 1)
            info.position[0] = SPA_AUDIO_CHANNEL_MONO;
        else if (channels == 2)
            info.position[0] = SPA_AUDIO_CHANNEL_FL, info.position[1] = SPA_AUDIO_CHANNEL_FR;
        else
            for (uint32_t i = 0; i < channels; i++) info.position[i] = SPA_AUDIO_CHANNEL_AUX0 + i;
        uint8_t buffer[2048];
        spa_pod_builder b = SPA_POD_BUILDER_INIT(buffer, sizeof buffer);
        spa_pod_frame frame;
        spa_pod_builder_push_object(&b, &frame, SPA_TYPE_OBJECT_ParamPortConfig, SPA_PARAM_PortConfig);
        spa_pod_builder_add(&b, SPA_PARAM_PORT_CONFIG_direction,
                            SPA_POD_Id(output ? SPA_DIRECTION_OUTPUT : SPA_DIRECTION_INPUT), SPA_PARAM_PORT_CONFIG_mode,
                            SPA_POD_Id(SPA_PARAM_PORT_CONFIG_MODE_dsp), SPA_PARAM_PORT_CONFIG_monitor,
                            SPA_POD_Bool(monitor), SPA_PARAM_PORT_CONFIG_control, SPA_POD_Bool(false), 0);
        spa_pod_builder_prop(&b, SPA_PARAM_PORT_CONFIG_format, 0);
        spa_format_audio_raw_build(&b, SPA_PARAM_Format, &info);
        auto* param = static_cast<const spa_pod*>(spa_pod_builder_pop(&b, &frame));
        int res = param ? pw_node_set_param(reinterpret_cast<pw_node*>(found->second), SPA_PARAM_PortConfig, 0, param)
                        : -ENOSPC;
        if (res < 0) emitGraphEvent(c, ControlFailed, 0, token, res, "cannot set the node's ports up");
    });
}

void releaseModules(PwContext* ctx) {
    Modules& s = state(ctx);
    while (!s.loaded.empty()) unload(s.loaded.begin()->second.get());
    if (s.coreSet) pw_context_set_object(ctx->context, PW_TYPE_INTERFACE_Core, nullptr);
    s.coreSet = false;
}
