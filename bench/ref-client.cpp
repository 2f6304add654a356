// Reference client for the benchmark: a plain libpipewire client with no
// JavaScript, the physical limit the add-on is measured against.
//   ref-client registry                  -> {"ms":..,"globals":..}  whole registry after connecting
//   ref-client roundtrip ON OP IN IP N   -> {"median_us":..}        create link -> its global seen
//   ref-client burst PREFIX N            -> prints "ready", then {"last_ns":..} (CLOCK_MONOTONIC)
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>
#include <vector>

#include <pipewire/pipewire.h>

namespace {

int64_t nowNs() {
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return int64_t(ts.tv_sec) * 1000000000 + ts.tv_nsec;
}

struct Ref {
    pw_main_loop* loop = nullptr;
    pw_core* core = nullptr;
    pw_registry* registry = nullptr;
    spa_hook registryListener{}, coreListener{};
    std::string mode;
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
};
Ref gRef;

void onGlobal(void*, uint32_t id, uint32_t, const char* type, uint32_t, const spa_dict* props) {
    gRef.globals++;
    if (gRef.mode == "roundtrip" && strcmp(type, PW_TYPE_INTERFACE_Link) == 0 && props) {
        const char* o = spa_dict_lookup(props, PW_KEY_LINK_OUTPUT_PORT);
        const char* i = spa_dict_lookup(props, PW_KEY_LINK_INPUT_PORT);
        if (o && i && gRef.outPort == o && gRef.inPort == i) {
            gRef.linkId = id;
            pw_main_loop_quit(gRef.loop);
        }
    } else if (gRef.mode == "burst" && gRef.synced && strcmp(type, PW_TYPE_INTERFACE_Node) == 0 && props) {
        const char* name = spa_dict_lookup(props, PW_KEY_NODE_NAME);
        if (name && strncmp(name, gRef.prefix.c_str(), gRef.prefix.size()) == 0 && ++gRef.seen == gRef.wanted) {
            gRef.lastNs = nowNs();
            pw_main_loop_quit(gRef.loop);
        }
    }
}

void onGlobalRemove(void*, uint32_t id) {
    if (id == gRef.linkId) {
        gRef.linkRemoved = true;
        pw_main_loop_quit(gRef.loop);
    }
}

void onDone(void*, uint32_t id, int seq) {
    if (id == PW_ID_CORE && seq == gRef.syncSeq) {
        gRef.synced = true;
        pw_main_loop_quit(gRef.loop);
    }
}

const pw_registry_events kRegistryEvents = {
    .version = PW_VERSION_REGISTRY_EVENTS, .global = onGlobal, .global_remove = onGlobalRemove};
const pw_core_events kCoreEvents = {.version = PW_VERSION_CORE_EVENTS,
                                    .info = nullptr,
                                    .done = onDone,
                                    .ping = nullptr,
                                    .error = nullptr,
                                    .remove_id = nullptr,
                                    .bound_id = nullptr,
                                    .add_mem = nullptr,
                                    .remove_mem = nullptr};

void roundTrip() {
    gRef.synced = false;
    gRef.syncSeq = pw_core_sync(gRef.core, PW_ID_CORE, gRef.syncSeq + 1);
    while (!gRef.synced) pw_main_loop_run(gRef.loop);
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 2) return 2;
    gRef.mode = argv[1];
    pw_init(nullptr, nullptr);
    int64_t start = nowNs();
    gRef.loop = pw_main_loop_new(nullptr);
    pw_context* context = pw_context_new(pw_main_loop_get_loop(gRef.loop), nullptr, 0);
    gRef.core = pw_context_connect(context, nullptr, 0);
    if (!gRef.core) return 1;
    gRef.registry = pw_core_get_registry(gRef.core, PW_VERSION_REGISTRY, 0);
    pw_registry_add_listener(gRef.registry, &gRef.registryListener, &kRegistryEvents, nullptr);
    pw_core_add_listener(gRef.core, &gRef.coreListener, &kCoreEvents, nullptr);
    roundTrip();

    if (gRef.mode == "registry") {
        printf("{\"ms\":%.3f,\"globals\":%u}\n", double(nowNs() - start) / 1e6, gRef.globals);
    } else if (gRef.mode == "roundtrip" && argc >= 7) {
        gRef.outPort = argv[3];
        gRef.inPort = argv[5];
        int n = atoi(argv[6]);
        std::vector<double> samples;
        pw_properties* props =
            pw_properties_new(PW_KEY_LINK_OUTPUT_NODE, argv[2], PW_KEY_LINK_OUTPUT_PORT, argv[3],
                              PW_KEY_LINK_INPUT_NODE, argv[4], PW_KEY_LINK_INPUT_PORT, argv[5], nullptr);
        for (int i = 0; i < n; i++) {
            gRef.linkId = SPA_ID_INVALID;
            gRef.linkRemoved = false;
            int64_t t0 = nowNs();
            auto* proxy = static_cast<pw_proxy*>(pw_core_create_object(
                gRef.core, "link-factory", PW_TYPE_INTERFACE_Link, PW_VERSION_LINK, &props->dict, 0));
            while (gRef.linkId == SPA_ID_INVALID) pw_main_loop_run(gRef.loop);
            samples.push_back(double(nowNs() - t0) / 1e3);
            pw_proxy_destroy(proxy);  // the link belongs to this client: it goes with its proxy
            while (!gRef.linkRemoved) pw_main_loop_run(gRef.loop);
        }
        pw_properties_free(props);
        std::sort(samples.begin(), samples.end());
        printf("{\"median_us\":%.1f}\n", samples[samples.size() / 2]);
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
