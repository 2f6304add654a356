#include "Profiler.h"

#include <atomic>
#include <cstring>
#include <ctime>
#include <map>
#include <memory>
#include <mutex>

// Before the profiler's header, which needs what it defines (PipeWire 1.6).
#include <pipewire/pipewire.h>

#include <pipewire/extensions/profiler.h>
#include <pipewire/impl-module.h>
#include <spa/param/profiler.h>
#include <spa/pod/iter.h>
#include <spa/pod/parser.h>

#include "../../connection/EventQueue.h"
#include "../../connection/PwContext.h"
#include "../../connection/PwThread.h"
#include "../../core/ListenerTable.h"

namespace {

struct ProfilerState : FeatureState {
    std::atomic<uint32_t> global{SPA_ID_INVALID};  // written on the PipeWire thread
    pw_proxy* proxy = nullptr;                     // PipeWire thread
    spa_hook proxyListener{}, listener{};
    bool moduleLoaded = false;
    std::map<uint32_t, int32_t> xruns;  // driver -> xruns last seen; PipeWire thread
    // follower -> its errors since the profiler was bound, and (1.x) the
    // daemon's count of its xruns last seen; PipeWire thread
    struct Errors {
        int32_t count = 0;
        int32_t xrunCount = -1;
    };
    std::map<uint32_t, Errors> errors;
    std::mutex slotMutex;
    Profile latest;  // under slotMutex
    bool fresh = false, queued = false;
};

ProfilerState& state(PwContext* ctx) {
    return static_cast<ProfilerState&>(*ctx->features.profiler);
}

bool parseBlock(const spa_pod* pod, ProfileBlock& b) {
    spa_pod_parser prs;
    spa_pod_parser_pod(&prs, pod);
    int32_t id = 0;
    const char* name = nullptr;
    int64_t prev = 0;
    spa_fraction latency{0, 0};
    int32_t xrunCount = -1;
    bool async = false;
    if (spa_pod_parser_get_struct(&prs, SPA_POD_Int(&id), SPA_POD_String(&name), SPA_POD_Long(&prev),
                                  SPA_POD_Long(&b.signal), SPA_POD_Long(&b.awake), SPA_POD_Long(&b.finish),
                                  SPA_POD_Int(&b.status), SPA_POD_OPT_Fraction(&latency), SPA_POD_OPT_Int(&xrunCount),
                                  SPA_POD_OPT_Bool(&async)) < 0)
        return false;
    b.xrunCount = xrunCount;
    b.async = async;
    b.id = uint32_t(id);
    b.name = name ? name : "";
    b.latencyNum = latency.num;
    b.latencyDenom = latency.denom;
    return true;
}

double wallClockMs() {
    timespec ts;
    clock_gettime(CLOCK_REALTIME, &ts);
    return double(ts.tv_sec) * 1000 + double(ts.tv_nsec / 1000000);
}

void onProfile(void* user, const spa_pod* pod) {
    auto* ctx = static_cast<PwContext*>(user);
    ProfilerState& s = state(ctx);
    std::vector<ProfileDriver> drivers = parseProfile(pod);
    if (drivers.empty()) return;
    double t = wallClockMs();
    // node -> its count and whether it is a follower, for those that grew
    std::map<uint32_t, std::pair<int32_t, bool>> grown;
    for (ProfileDriver& d : drivers) {
        auto [it, first] = s.xruns.emplace(d.block.id, d.xruns);
        if (!first && d.xruns > it->second) grown[d.block.id] = {d.xruns, false};
        it->second = d.xruns;
        for (ProfileBlock& f : d.followers) {
            // 1.x counts each node's xruns itself (a node the graph does not
            // wait for often is not finished when the profile is taken, and
            // is not late for that): its count's growth. 0.3 does not: the
            // cycles it did not finish, as pw-top counts them.
            ProfilerState::Errors& e = s.errors[f.id];
            int32_t more = 0;
            if (f.xrunCount >= 0) {
                if (e.xrunCount >= 0 && f.xrunCount > e.xrunCount) more = f.xrunCount - e.xrunCount;
                e.xrunCount = f.xrunCount;
            } else if (f.status != kActivationFinished) {
                more = 1;
            }
            if (more > 0) grown[f.id] = {e.count += more, true};
            f.errors = e.count;
        }
    }
    for (const auto& [node, count] : grown) {
        PwEvent event = makeEvent(ProfilerXrun, node, ForGraph);
        event.token = uint32_t(count.first);
        event.res = count.second ? 1 : 0;
        emitGraphEvent(ctx, std::move(event));
    }
    bool tell;
    {
        std::lock_guard<std::mutex> lock(s.slotMutex);
        s.latest = Profile{t, std::move(drivers)};
        s.fresh = true;
        tell = !s.queued;
        s.queued = true;
    }
    if (tell) emitGraphEvent(ctx, ProfileReady, 0);
}

void unbind(PwContext* ctx) {
    ProfilerState& s = state(ctx);
    if (s.proxy) pw_proxy_destroy(s.proxy);
}

void onProxyDestroy(void* user) {
    auto* ctx = static_cast<PwContext*>(user);
    ProfilerState& s = state(ctx);
    spa_hook_remove(&s.listener);
    spa_hook_remove(&s.proxyListener);
    s.proxy = nullptr;
    s.xruns.clear();
    s.errors.clear();
}

void onProxyRemoved(void* user) {
    unbind(static_cast<PwContext*>(user));
}

const auto kProxyEvents = listenerTable<pw_proxy_events>(PW_VERSION_PROXY_EVENTS, &pw_proxy_events::destroy,
                                                         onProxyDestroy, &pw_proxy_events::removed, onProxyRemoved);
const auto kProfilerEvents =
    listenerTable<pw_profiler_events>(PW_VERSION_PROFILER_EVENTS, &pw_profiler_events::profile, onProfile);

void bindOnLoop(PwContext* ctx) {
    ProfilerState& s = state(ctx);
    uint32_t global = s.global.load();
    if (s.proxy || global == SPA_ID_INVALID || !ctx->registry) return;
    // The profiler's protocol comes with its module, loaded into our context
    // as pw-top does.
    if (!s.moduleLoaded)
        s.moduleLoaded =
            pw_context_load_module(ctx->context, PW_EXTENSION_MODULE_PROFILER, nullptr, nullptr) != nullptr;
    s.proxy = static_cast<pw_proxy*>(
        pw_registry_bind(ctx->registry, global, PW_TYPE_INTERFACE_Profiler, PW_VERSION_PROFILER, 0));
    if (!s.proxy) return;
    pw_proxy_add_listener(s.proxy, &s.proxyListener, &kProxyEvents, ctx);
    pw_proxy_add_object_listener(s.proxy, &s.listener, &kProfilerEvents, ctx);
}

}  // namespace

std::vector<ProfileDriver> parseProfile(const spa_pod* pod) {
    std::vector<ProfileDriver> drivers;
    if (!pod || !spa_pod_is_struct(pod)) return drivers;
    const void* body = SPA_POD_BODY_CONST(pod);
    uint32_t size = SPA_POD_BODY_SIZE(pod);
    for (auto* o = static_cast<const spa_pod*>(body); spa_pod_is_inside(body, size, o);
         o = static_cast<const spa_pod*>(spa_pod_next(o))) {
        if (!spa_pod_is_object_type(o, SPA_TYPE_OBJECT_Profiler)) continue;
        ProfileDriver d;
        bool haveDriver = false;
        const spa_pod_prop* p;
        SPA_POD_OBJECT_FOREACH(reinterpret_cast<const spa_pod_object*>(o), p) {
            spa_pod_parser prs;
            spa_pod_parser_pod(&prs, &p->value);
            if (p->key == SPA_PROFILER_info) {
                int64_t counter = 0;
                spa_pod_parser_get_struct(&prs, SPA_POD_Long(&counter), SPA_POD_Float(&d.load[0]),
                                          SPA_POD_Float(&d.load[1]), SPA_POD_Float(&d.load[2]),
                                          SPA_POD_OPT_Int(&d.xruns));
            } else if (p->key == SPA_PROFILER_clock) {
                int32_t flags = 0, id = 0;
                const char* name = nullptr;
                int64_t nsec = 0, position = 0, duration = 0;
                spa_fraction rate{0, 0};
                if (spa_pod_parser_get_struct(&prs, SPA_POD_Int(&flags), SPA_POD_Int(&id), SPA_POD_String(&name),
                                              SPA_POD_Long(&nsec), SPA_POD_Fraction(&rate), SPA_POD_Long(&position),
                                              SPA_POD_Long(&duration)) >= 0) {
                    d.quantum = uint64_t(duration);
                    d.rateNum = rate.num;
                    d.rateDenom = rate.denom;
                }
            } else if (p->key == SPA_PROFILER_driverBlock) {
                haveDriver = parseBlock(&p->value, d.block);
            } else if (p->key == SPA_PROFILER_followerBlock) {
                ProfileBlock b;
                if (parseBlock(&p->value, b)) d.followers.push_back(std::move(b));
            }
        }
        if (haveDriver) drivers.push_back(std::move(d));
    }
    return drivers;
}

void installProfiler(PwContext* ctx) {
    if (!ctx->features.profiler) ctx->features.profiler = std::make_unique<ProfilerState>();
}

bool hasProfiler(PwContext* ctx) {
    return state(ctx).global.load() != SPA_ID_INVALID;
}

Handoff requestProfiler(PwContext* ctx, bool on) {
    return postWork(
        ctx, [on](PwContext* c) { on ? bindOnLoop(c) : unbind(c); }, false);
}

bool takeProfile(PwContext* ctx, Profile& out) {
    ProfilerState& s = state(ctx);
    std::lock_guard<std::mutex> lock(s.slotMutex);
    s.queued = false;
    if (!s.fresh) return false;
    s.fresh = false;
    out = std::move(s.latest);
    return true;
}

bool profilerGlobal(PwContext* ctx, uint32_t id, const char* type) {
    if (std::strcmp(type, PW_TYPE_INTERFACE_Profiler) != 0) return false;
    state(ctx).global = id;
    return true;
}

// A global went: the profiler itself, or a node whose counts are forgotten,
// since PipeWire gives its id to the next object at once (a new node must
// not start with the errors of the one gone). PipeWire thread.
void profilerGlobalGone(PwContext* ctx, uint32_t id) {
    ProfilerState& s = state(ctx);
    if (s.global.load() == id) s.global = SPA_ID_INVALID;
    s.xruns.erase(id);
    s.errors.erase(id);
}

void releaseProfiler(PwContext* ctx) {
    unbind(ctx);
    state(ctx).global = SPA_ID_INVALID;
}
