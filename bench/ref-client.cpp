// Reference client for the benchmark: a plain libpipewire client with no
// JavaScript, the physical limit the add-on is measured against.
//   ref-client registry                  -> {"ms":..,"globals":..}  a fresh process: loop, context (plugins,
//                                           configuration), connect, whole registry
//   ref-client connect N                 -> {"median_ms":..,"globals":..}  on the context made once, one
//                                           unmeasured turn, then N times: connect, registry, round trip,
//                                           disconnect
//   ref-client roundtrip ON OP IN IP N [bind-all]
//                                        -> {"median_us":..}        create link -> its global seen (5
//                                           unmeasured first); with bind-all, every node, port and link
//                                           is bound for its info first, and each new link as it comes
//                                           (what a client keeping the live info does)
//   ref-client threaded-roundtrip ON OP IN IP N [bind-all]
//                                        -> {"median_us":..}        the same with the add-on's shape: the
//                                           connection on a pw_thread_loop, the requests made on the
//                                           application thread and handed to it (a loop event, which
//                                           wakes it), the answer handed back (pw_thread_loop_signal,
//                                           which wakes the application thread); neither side polls
//   ref-client threaded-relink NAME SINK_PORT...
//                                        -> as the add-on re-links a route, on a pw_thread_loop and
//                                           holding every object's info (bind-all): each output port
//                                           of a node named NAME is handed, as it is announced, to the
//                                           application thread, which asks for its link to the next
//                                           SINK_PORT (handed to the loop thread), and the link's
//                                           announcement is handed back. Prints "ready", then for
//                                           each such node, once every SINK_PORT is linked,
//                                           {"us":..}: from the last port's arrival on the application
//                                           thread to the last link's; until standard input closes
//   ref-client burst PREFIX N            -> prints "ready", then {"last_ns":..} (CLOCK_MONOTONIC)
//   ref-client info N                    -> {"median_ms":..,"bound":..}  on the context made once, one
//                                           unmeasured turn, then N times: connect, registry, bind every
//                                           node, port and link, round trips until every info (and each
//                                           port's readable format) is in, disconnect
//   ref-client watch NODE_ID             -> prints "ready", then {"ns":..} for each info of that
//                                           node that carries properties, until standard input closes
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>
#include <vector>

#include <unistd.h>

#include <pipewire/pipewire.h>
#include <pipewire/thread-loop.h>
#include <spa/param/param.h>

#include "../src/core/Clock.h"
#include "../src/core/ListenerTable.h"

namespace {

struct Ref {
    pw_main_loop* loop = nullptr;
    pw_thread_loop* threadLoop = nullptr;  // threaded-roundtrip: the connection's loop, on its own thread
    pw_proxy* made = nullptr;              // threaded-roundtrip: the link proxy, handed back under the lock
    pw_core* core = nullptr;
    pw_registry* registry = nullptr;
    spa_hook registryListener{}, coreListener{};
    std::string mode;
    bool bindAll = false;  // info, or a round trip with bind-all
    int syncSeq = -1;
    bool synced = false;
    uint32_t globals = 0;
    // roundtrip
    std::string outPort, inPort;
    uint32_t linkId = SPA_ID_INVALID;
    bool linkRemoved = false;
    // burst
    std::string prefix;
    uint32_t wanted = 0, seen = 0;
    int64_t lastNs = 0;
    // info, watch
    std::vector<pw_proxy*> bound;
    uint32_t infos = 0;
    uint32_t paramRequests = 0;
    uint32_t watchId = SPA_ID_INVALID;
    // threaded-relink: what the loop thread hands over, under the thread loop's lock
    std::string relinkName;
    uint32_t relinkNode = SPA_ID_INVALID;
    std::vector<uint32_t> portsHeard, linksHeard;         // loop -> application: announced
    std::vector<std::pair<uint32_t, uint32_t>> asks;      // application -> loop: link these ports
    std::vector<std::pair<uint32_t, pw_proxy*>> relinks;  // output port -> the link proxy made for it
    bool stdinClosed = false;
};
Ref gRef;

// An awaited event came: the single-threaded client's loop returns; the
// threaded one wakes the application thread. Loop thread.
void answered() {
    if (gRef.threadLoop)
        pw_thread_loop_signal(gRef.threadLoop, false);
    else
        pw_main_loop_quit(gRef.loop);
}

// One bound object: its listener, in the proxy's user data.
struct Bound {
    spa_hook listener;
    pw_proxy* proxy;
    uint32_t formatFlags;
};

void onNodeInfo(void*, const pw_node_info* info) {
    gRef.infos++;
    if (gRef.mode == "watch" && info->id == gRef.watchId && (info->change_mask & PW_NODE_CHANGE_MASK_PROPS)) {
        printf("{\"ns\":%lld}\n", static_cast<long long>(monotonicNs()));
        fflush(stdout);
    }
}
// As the add-on (and pw-dump): a port's Format param is asked for when it is
// readable and its flags changed.
void onPortInfo(void* data, const pw_port_info* info) {
    gRef.infos++;
    auto* b = static_cast<Bound*>(data);
    if (!(info->change_mask & PW_PORT_CHANGE_MASK_PARAMS)) return;
    for (uint32_t i = 0; i < info->n_params; i++) {
        if (info->params[i].id != SPA_PARAM_Format || info->params[i].flags == b->formatFlags) continue;
        b->formatFlags = info->params[i].flags;
        if (b->formatFlags & SPA_PARAM_INFO_READ) {
            pw_port_enum_params(reinterpret_cast<pw_port*>(b->proxy), 0, SPA_PARAM_Format, 0, 1, nullptr);
            gRef.paramRequests++;
        }
    }
}
void onLinkInfo(void*, const pw_link_info*) {
    gRef.infos++;
}
const auto kNodeEvents = listenerTable<pw_node_events>(PW_VERSION_NODE_EVENTS, &pw_node_events::info, onNodeInfo);
const auto kPortEvents = listenerTable<pw_port_events>(PW_VERSION_PORT_EVENTS, &pw_port_events::info, onPortInfo);
const auto kLinkEvents = listenerTable<pw_link_events>(PW_VERSION_LINK_EVENTS, &pw_link_events::info, onLinkInfo);

void bind(uint32_t id, const char* type, uint32_t version) {
    const void* events = nullptr;
    if (strcmp(type, PW_TYPE_INTERFACE_Node) == 0) {
        events = &kNodeEvents, version = std::min(version, uint32_t(PW_VERSION_NODE));
    } else if (strcmp(type, PW_TYPE_INTERFACE_Port) == 0) {
        events = &kPortEvents, version = std::min(version, uint32_t(PW_VERSION_PORT));
    } else if (strcmp(type, PW_TYPE_INTERFACE_Link) == 0) {
        events = &kLinkEvents, version = std::min(version, uint32_t(PW_VERSION_LINK));
    } else {
        return;
    }
    auto* proxy = static_cast<pw_proxy*>(pw_registry_bind(gRef.registry, id, type, version, sizeof(Bound)));
    if (!proxy) return;
    auto* b = static_cast<Bound*>(pw_proxy_get_user_data(proxy));
    *b = Bound{{}, proxy, 0};
    pw_proxy_add_object_listener(proxy, &b->listener, events, b);
    gRef.bound.push_back(proxy);
}

// threaded-relink: the node's output ports, and the links from them, are
// handed to the application thread. Loop thread.
void relinkGlobal(uint32_t id, const char* type, const spa_dict* props) {
    const char* v;
    if (strcmp(type, PW_TYPE_INTERFACE_Node) == 0) {
        if (!(v = spa_dict_lookup(props, PW_KEY_NODE_NAME)) || gRef.relinkName != v) return;
        gRef.relinkNode = id;
        gRef.portsHeard.push_back(SPA_ID_INVALID);  // a new node: what was left of the last goes
        pw_thread_loop_signal(gRef.threadLoop, false);
    } else if (strcmp(type, PW_TYPE_INTERFACE_Port) == 0) {
        const char* dir = spa_dict_lookup(props, PW_KEY_PORT_DIRECTION);
        v = spa_dict_lookup(props, PW_KEY_NODE_ID);
        if (!v || uint32_t(atoi(v)) != gRef.relinkNode || !dir || strcmp(dir, "out") != 0) return;
        gRef.portsHeard.push_back(id);
        pw_thread_loop_signal(gRef.threadLoop, false);
    } else if (strcmp(type, PW_TYPE_INTERFACE_Link) == 0) {
        v = spa_dict_lookup(props, PW_KEY_LINK_OUTPUT_PORT);
        uint32_t out = v ? uint32_t(atoi(v)) : SPA_ID_INVALID;
        for (auto& made : gRef.relinks)
            if (made.first == out) {
                gRef.linksHeard.push_back(id);
                pw_thread_loop_signal(gRef.threadLoop, false);
            }
    }
}

void onGlobal(void*, uint32_t id, uint32_t, const char* type, uint32_t version, const spa_dict* props) {
    gRef.globals++;
    if (gRef.bindAll || (gRef.mode == "watch" && id == gRef.watchId)) bind(id, type, version);
    if (!gRef.relinkName.empty() && props) relinkGlobal(id, type, props);
    if (!gRef.outPort.empty() && strcmp(type, PW_TYPE_INTERFACE_Link) == 0 && props) {
        const char* o = spa_dict_lookup(props, PW_KEY_LINK_OUTPUT_PORT);
        const char* i = spa_dict_lookup(props, PW_KEY_LINK_INPUT_PORT);
        if (o && i && gRef.outPort == o && gRef.inPort == i) {
            gRef.linkId = id;
            answered();
        }
    } else if (gRef.mode == "burst" && gRef.synced && strcmp(type, PW_TYPE_INTERFACE_Node) == 0 && props) {
        const char* name = spa_dict_lookup(props, PW_KEY_NODE_NAME);
        if (name && strncmp(name, gRef.prefix.c_str(), gRef.prefix.size()) == 0 && ++gRef.seen == gRef.wanted) {
            gRef.lastNs = monotonicNs();
            pw_main_loop_quit(gRef.loop);
        }
    }
}

void onGlobalRemove(void*, uint32_t id) {
    // threaded-relink: ids come back at once, so the ports of the next node
    // given this id are not the watched node's.
    if (id == gRef.relinkNode) gRef.relinkNode = SPA_ID_INVALID;
    if (id == gRef.linkId) {
        gRef.linkRemoved = true;
        answered();
    }
}

void onDone(void*, uint32_t id, int seq) {
    if (id == PW_ID_CORE && seq == gRef.syncSeq) {
        gRef.synced = true;
        answered();
    }
}

const auto kRegistryEvents =
    listenerTable<pw_registry_events>(PW_VERSION_REGISTRY_EVENTS, &pw_registry_events::global, onGlobal,
                                      &pw_registry_events::global_remove, onGlobalRemove);
const auto kCoreEvents = listenerTable<pw_core_events>(PW_VERSION_CORE_EVENTS, &pw_core_events::done, onDone);

void roundTrip() {
    gRef.synced = false;
    gRef.syncSeq = pw_core_sync(gRef.core, PW_ID_CORE, gRef.syncSeq + 1);
    while (!gRef.synced) pw_main_loop_run(gRef.loop);
}

void connectTo(pw_context* context) {
    gRef.core = pw_context_connect(context, nullptr, 0);
    if (!gRef.core) exit(1);
    gRef.registry = pw_core_get_registry(gRef.core, PW_VERSION_REGISTRY, 0);
    pw_registry_add_listener(gRef.registry, &gRef.registryListener, &kRegistryEvents, nullptr);
    pw_core_add_listener(gRef.core, &gRef.coreListener, &kCoreEvents, nullptr);
}

// In the order hooks, proxies, registry, core.
void disconnect() {
    spa_hook_remove(&gRef.registryListener);
    spa_hook_remove(&gRef.coreListener);
    for (pw_proxy* p : gRef.bound) pw_proxy_destroy(p);
    gRef.bound.clear();
    pw_proxy_destroy(reinterpret_cast<pw_proxy*>(gRef.registry));
    pw_core_disconnect(gRef.core);
}

// On the context made once (as the add-on's connections reuse the one its
// thread keeps), warm: a first turn is not counted. Each turn connects and
// takes the registry with a round trip; with `bindAll`, a second round trip,
// after which the info of every object bound during the first is in, and a
// third when the infos led to requests for ports' formats.
void connectMode(pw_context* context, int n, bool bindAll) {
    std::vector<double> samples;
    size_t bound = 0;
    uint32_t globals = 0;
    for (int i = 0; i <= n; i++) {
        gRef.infos = 0;
        gRef.paramRequests = 0;
        gRef.globals = 0;
        gRef.syncSeq = -1;
        int64_t t0 = monotonicNs();
        connectTo(context);
        roundTrip();
        if (bindAll) roundTrip();
        if (bindAll && gRef.paramRequests > 0) roundTrip();  // the formats asked for on the infos
        if (i > 0) samples.push_back(double(monotonicNs() - t0) / 1e6);
        bound = gRef.bound.size();
        globals = gRef.globals;
        if (gRef.infos < bound) exit(3);
        disconnect();
    }
    std::sort(samples.begin(), samples.end());
    if (bindAll)
        printf("{\"median_ms\":%.3f,\"bound\":%zu}\n", samples[samples.size() / 2], bound);
    else
        printf("{\"median_ms\":%.3f,\"globals\":%u}\n", samples[samples.size() / 2], globals);
}

// The link round trip with the add-on's two threads: on the application
// thread, each request is handed to the loop thread and the answer waited
// for on the thread loop's condition. Prints the median, as "roundtrip".
int threadedRoundTrip(char** argv, int n) {
    gRef.threadLoop = pw_thread_loop_new("ref-client", nullptr);
    if (!gRef.threadLoop) return 1;
    pw_loop* loop = pw_thread_loop_get_loop(gRef.threadLoop);
    pw_context* context = pw_context_new(loop, nullptr, 0);
    if (!context || pw_thread_loop_start(gRef.threadLoop) < 0) return 1;
    pw_properties* props = pw_properties_new(PW_KEY_LINK_OUTPUT_NODE, argv[2], PW_KEY_LINK_OUTPUT_PORT, argv[3],
                                             PW_KEY_LINK_INPUT_NODE, argv[4], PW_KEY_LINK_INPUT_PORT, argv[5], nullptr);
    pw_thread_loop_lock(gRef.threadLoop);
    connectTo(context);
    gRef.synced = false;
    gRef.syncSeq = pw_core_sync(gRef.core, PW_ID_CORE, 0);
    while (!gRef.synced) pw_thread_loop_wait(gRef.threadLoop);
    if (gRef.bindAll) {  // the infos of what was bound
        gRef.synced = false;
        gRef.syncSeq = pw_core_sync(gRef.core, PW_ID_CORE, gRef.syncSeq + 1);
        while (!gRef.synced) pw_thread_loop_wait(gRef.threadLoop);
    }
    gRef.outPort = argv[3];  // from now on its links are awaited
    gRef.inPort = argv[5];
    pw_thread_loop_unlock(gRef.threadLoop);

    // The hand-over: the request is left under the lock and the loop's
    // event signalled (an eventfd write, as the add-on's work queue does);
    // the loop thread makes it or, with `made` set, destroys that link.
    static pw_properties* request;
    request = props;
    spa_source* event = pw_loop_add_event(
        loop,
        [](void*, uint64_t) {
            if (gRef.made) {
                pw_proxy_destroy(gRef.made);
                gRef.made = nullptr;
            } else {
                gRef.made = static_cast<pw_proxy*>(pw_core_create_object(
                    gRef.core, "link-factory", PW_TYPE_INTERFACE_Link, PW_VERSION_LINK, &request->dict, 0));
            }
        },
        nullptr);
    std::vector<double> samples;
    constexpr int kWarmUp = 5;
    for (int i = 0; i < n + kWarmUp; i++) {
        pw_thread_loop_lock(gRef.threadLoop);
        gRef.linkId = SPA_ID_INVALID;
        gRef.linkRemoved = false;
        pw_thread_loop_unlock(gRef.threadLoop);
        int64_t t0 = monotonicNs();
        pw_loop_signal_event(loop, event);
        pw_thread_loop_lock(gRef.threadLoop);
        while (gRef.linkId == SPA_ID_INVALID) pw_thread_loop_wait(gRef.threadLoop);
        pw_thread_loop_unlock(gRef.threadLoop);
        if (i >= kWarmUp) samples.push_back(double(monotonicNs() - t0) / 1e3);
        pw_loop_signal_event(loop, event);
        pw_thread_loop_lock(gRef.threadLoop);
        while (!gRef.linkRemoved) pw_thread_loop_wait(gRef.threadLoop);
        pw_thread_loop_unlock(gRef.threadLoop);
    }
    std::sort(samples.begin(), samples.end());
    printf("{\"median_us\":%.1f}\n", samples[samples.size() / 2]);
    fflush(stdout);
    pw_thread_loop_lock(gRef.threadLoop);
    disconnect();
    pw_loop_destroy_source(loop, event);
    pw_thread_loop_unlock(gRef.threadLoop);
    pw_thread_loop_stop(gRef.threadLoop);
    pw_properties_free(props);
    pw_context_destroy(context);
    pw_thread_loop_destroy(gRef.threadLoop);
    return 0;
}

// A route's re-link in the add-on's shape (see the top). The links made are
// destroyed with their proxies once timed.
int threadedRelink(int argc, char** argv) {
    gRef.relinkName = argv[2];
    std::vector<uint32_t> sinkPorts;
    for (int i = 3; i < argc; i++) sinkPorts.push_back(uint32_t(atoi(argv[i])));
    gRef.threadLoop = pw_thread_loop_new("ref-client", nullptr);
    if (!gRef.threadLoop || sinkPorts.empty()) return 1;
    pw_loop* loop = pw_thread_loop_get_loop(gRef.threadLoop);
    pw_context* context = pw_context_new(loop, nullptr, 0);
    if (!context || pw_thread_loop_start(gRef.threadLoop) < 0) return 1;
    // The loop thread makes the links asked for, and drops the proxies of
    // links gone (their ports went with the node).
    spa_source* event = pw_loop_add_event(
        loop,
        [](void*, uint64_t) {
            for (auto [out, in] : gRef.asks) {
                pw_properties* props = pw_properties_new(nullptr, nullptr);
                pw_properties_setf(props, PW_KEY_LINK_OUTPUT_PORT, "%u", out);
                pw_properties_setf(props, PW_KEY_LINK_INPUT_PORT, "%u", in);
                auto* proxy = static_cast<pw_proxy*>(pw_core_create_object(
                    gRef.core, "link-factory", PW_TYPE_INTERFACE_Link, PW_VERSION_LINK, &props->dict, 0));
                pw_properties_free(props);
                gRef.relinks.emplace_back(out, proxy);
            }
            gRef.asks.clear();
        },
        nullptr);
    // Standard input closed: the application thread stops waiting.
    pw_loop_add_io(
        loop, STDIN_FILENO, SPA_IO_IN | SPA_IO_HUP, false,
        [](void*, int fd, uint32_t mask) {
            char buf[64];
            if (!(mask & SPA_IO_IN) || read(fd, buf, sizeof buf) <= 0) {
                gRef.stdinClosed = true;
                pw_thread_loop_signal(gRef.threadLoop, false);
            }
        },
        nullptr);
    pw_thread_loop_lock(gRef.threadLoop);
    connectTo(context);
    gRef.synced = false;
    gRef.syncSeq = pw_core_sync(gRef.core, PW_ID_CORE, 0);
    while (!gRef.synced) pw_thread_loop_wait(gRef.threadLoop);
    printf("ready\n");
    fflush(stdout);
    size_t linked = 0;
    int64_t lastPort = 0;
    while (!gRef.stdinClosed) {
        pw_thread_loop_wait(gRef.threadLoop);
        bool asked = false;
        for (uint32_t port : gRef.portsHeard) {
            if (port == SPA_ID_INVALID) {
                for (auto& made : gRef.relinks) pw_proxy_destroy(made.second);
                gRef.relinks.clear();
                gRef.asks.clear();
                linked = 0;
                continue;
            }
            lastPort = monotonicNs();
            size_t k = gRef.relinks.size() + gRef.asks.size();
            if (k < sinkPorts.size()) gRef.asks.emplace_back(port, sinkPorts[k]), asked = true;
        }
        gRef.portsHeard.clear();
        if (asked) pw_loop_signal_event(loop, event);
        linked += gRef.linksHeard.size();
        gRef.linksHeard.clear();
        if (linked < sinkPorts.size() || gRef.relinks.size() < sinkPorts.size()) continue;
        printf("{\"us\":%.1f}\n", double(monotonicNs() - lastPort) / 1e3);
        fflush(stdout);
        for (auto& made : gRef.relinks) pw_proxy_destroy(made.second);
        gRef.relinks.clear();
        linked = 0;
    }
    disconnect();
    pw_loop_destroy_source(loop, event);
    pw_thread_loop_unlock(gRef.threadLoop);
    pw_thread_loop_stop(gRef.threadLoop);
    pw_context_destroy(context);
    pw_thread_loop_destroy(gRef.threadLoop);
    return 0;
}

void onStdinClosed(void*, int, uint32_t) {
    pw_main_loop_quit(gRef.loop);
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 2) return 2;
    gRef.mode = argv[1];
    gRef.bindAll = gRef.mode == "info" || gRef.mode == "threaded-relink" ||
                   ((gRef.mode == "roundtrip" || gRef.mode == "threaded-roundtrip") && argc >= 8 &&
                    strcmp(argv[7], "bind-all") == 0);
    pw_init(nullptr, nullptr);
    if (gRef.mode == "threaded-relink") return argc >= 4 ? threadedRelink(argc, argv) : 2;
    if (gRef.mode == "threaded-roundtrip") return argc >= 7 ? threadedRoundTrip(argv, atoi(argv[6])) : 2;
    int64_t start = monotonicNs();
    gRef.loop = pw_main_loop_new(nullptr);
    pw_context* context = pw_context_new(pw_main_loop_get_loop(gRef.loop), nullptr, 0);
    if ((gRef.mode == "info" || gRef.mode == "connect") && argc >= 3) {
        connectMode(context, std::max(1, atoi(argv[2])), gRef.mode == "info");
        pw_context_destroy(context);
        pw_main_loop_destroy(gRef.loop);
        return 0;
    }
    if (gRef.mode == "watch" && argc >= 3) gRef.watchId = uint32_t(atoi(argv[2]));
    gRef.core = pw_context_connect(context, nullptr, 0);
    if (!gRef.core) return 1;
    gRef.registry = pw_core_get_registry(gRef.core, PW_VERSION_REGISTRY, 0);
    pw_registry_add_listener(gRef.registry, &gRef.registryListener, &kRegistryEvents, nullptr);
    pw_core_add_listener(gRef.core, &gRef.coreListener, &kCoreEvents, nullptr);
    roundTrip();

    if (gRef.mode == "registry") {
        printf("{\"ms\":%.3f,\"globals\":%u}\n", double(monotonicNs() - start) / 1e6, gRef.globals);
    } else if (gRef.mode == "roundtrip" && argc >= 7) {
        gRef.outPort = argv[3];
        gRef.inPort = argv[5];
        int n = atoi(argv[6]);
        std::vector<double> samples;
        pw_properties* props =
            pw_properties_new(PW_KEY_LINK_OUTPUT_NODE, argv[2], PW_KEY_LINK_OUTPUT_PORT, argv[3],
                              PW_KEY_LINK_INPUT_NODE, argv[4], PW_KEY_LINK_INPUT_PORT, argv[5], nullptr);
        // Warm: the first few links on a port pair are slower, and not counted.
        constexpr int kWarmUp = 5;
        for (int i = 0; i < n + kWarmUp; i++) {
            gRef.linkId = SPA_ID_INVALID;
            gRef.linkRemoved = false;
            int64_t t0 = monotonicNs();
            auto* proxy = static_cast<pw_proxy*>(pw_core_create_object(
                gRef.core, "link-factory", PW_TYPE_INTERFACE_Link, PW_VERSION_LINK, &props->dict, 0));
            while (gRef.linkId == SPA_ID_INVALID) pw_main_loop_run(gRef.loop);
            if (i >= kWarmUp) samples.push_back(double(monotonicNs() - t0) / 1e3);
            pw_proxy_destroy(proxy);  // the link belongs to this client: it goes with its proxy
            while (!gRef.linkRemoved) pw_main_loop_run(gRef.loop);
        }
        pw_properties_free(props);
        std::sort(samples.begin(), samples.end());
        printf("{\"median_us\":%.1f}\n", samples[samples.size() / 2]);
    } else if (gRef.mode == "watch" && gRef.watchId != SPA_ID_INVALID) {
        pw_loop_add_io(
            pw_main_loop_get_loop(gRef.loop), STDIN_FILENO, SPA_IO_IN | SPA_IO_HUP, false,
            [](void* data, int fd, uint32_t mask) {
                char buf[64];
                if (!(mask & SPA_IO_IN) || read(fd, buf, sizeof buf) <= 0) onStdinClosed(data, fd, mask);
            },
            nullptr);
        roundTrip();  // bound, with its first info
        printf("ready\n");
        fflush(stdout);
        pw_main_loop_run(gRef.loop);
        for (pw_proxy* p : gRef.bound) pw_proxy_destroy(p);
        gRef.bound.clear();
    } else if (gRef.mode == "burst" && argc >= 4) {
        gRef.prefix = argv[2];
        gRef.wanted = uint32_t(atoi(argv[3]));
        printf("ready\n");
        fflush(stdout);
        while (gRef.seen < gRef.wanted) pw_main_loop_run(gRef.loop);
        printf("{\"last_ns\":%lld}\n", static_cast<long long>(gRef.lastNs));
    } else {
        return 2;
    }
    fflush(stdout);
    pw_proxy_destroy(reinterpret_cast<pw_proxy*>(gRef.registry));
    pw_core_disconnect(gRef.core);
    pw_context_destroy(context);
    pw_main_loop_destroy(gRef.loop);
    return 0;
}
