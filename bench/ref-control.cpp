// Reference client for bench/control.js: a plain libpipewire client that
// sets a node's volume the way a native program would, through the node's
// "Props" param, and waits for the param event that shows the new value.
//   ref-control NODE_ID   -> binds the node and subscribes to its Props, prints
//                            "ready"; then for each line "V1 V2 ..." on standard input
//                            sets every channel to V1 (linear), waits for the Props
//                            event showing it, then V2, and so on, and prints
//                            {"ns":[..]}: for each, the time from the call to that
//                            event (CLOCK_MONOTONIC); until standard input closes.
//   ref-control NODE_ID threaded
//                         -> the same in the add-on's shape: the connection on a
//                            pw_thread_loop; each set asked for on the application
//                            thread and handed to the loop thread (a loop event, which
//                            wakes it), the param event that shows the value handed back
//                            (pw_thread_loop_signal, which wakes the application thread);
//                            timed on the application thread, from the hand-over to the
//                            wake-up. Neither side polls.
#include <unistd.h>

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <string>
#include <vector>

#include <pipewire/pipewire.h>
#include <pipewire/thread-loop.h>
#include <spa/param/audio/raw.h>
#include <spa/param/props.h>
#include <spa/pod/builder.h>
#include <spa/pod/iter.h>

#include "../src/core/Clock.h"
#include "../src/core/ListenerTable.h"

namespace {

struct Ref {
    pw_main_loop* loop = nullptr;
    pw_thread_loop* threadLoop = nullptr;  // threaded: the connection's loop, on its own thread
    pw_core* core = nullptr;
    pw_registry* registry = nullptr;
    pw_proxy* node = nullptr;
    spa_hook registryListener{}, nodeListener{};
    uint32_t nodeId = SPA_ID_INVALID;
    uint32_t channels = 0;
    bool pending = false;
    float target = 0;
    int64_t t0 = 0;
    std::string input;
    std::vector<float> queued;  // the values of the line still to set
    std::vector<int64_t> times;
};
Ref gRef;

void setNext();
void startVolume(float v);

void onParam(void*, int, uint32_t id, uint32_t, uint32_t, const spa_pod* param) {
    if (id != SPA_PARAM_Props || !spa_pod_is_object(param)) return;
    const spa_pod_prop* prop =
        spa_pod_object_find_prop(reinterpret_cast<const spa_pod_object*>(param), nullptr, SPA_PROP_channelVolumes);
    float volumes[SPA_AUDIO_MAX_CHANNELS];
    uint32_t n = prop ? spa_pod_copy_array(&prop->value, SPA_TYPE_Float, volumes, SPA_AUDIO_MAX_CHANNELS) : 0;
    if (n == 0) return;
    if (gRef.channels == 0) {
        gRef.channels = n;
        if (gRef.threadLoop) {
            pw_thread_loop_signal(gRef.threadLoop, false);
        } else {
            printf("ready\n");
            fflush(stdout);
        }
    }
    if (!gRef.pending) return;
    for (uint32_t i = 0; i < n; i++)
        if (volumes[i] != gRef.target) return;
    gRef.pending = false;
    if (gRef.threadLoop) {  // the application thread takes the time
        pw_thread_loop_signal(gRef.threadLoop, false);
        return;
    }
    gRef.times.push_back(monotonicNs() - gRef.t0);
    setNext();
}

void printTimes() {
    std::string line = "{\"ns\":[";
    for (size_t i = 0; i < gRef.times.size(); i++) line += (i ? "," : "") + std::to_string(gRef.times[i]);
    printf("%s]}\n", line.c_str());
    fflush(stdout);
    gRef.times.clear();
}

void setNext() {
    if (!gRef.queued.empty()) {
        float v = gRef.queued.front();
        gRef.queued.erase(gRef.queued.begin());
        gRef.target = v;
        gRef.pending = true;
        gRef.t0 = monotonicNs();
        startVolume(v);
        return;
    }
    printTimes();
}

const auto kNodeEvents = listenerTable<pw_node_events>(PW_VERSION_NODE_EVENTS, &pw_node_events::param, onParam);

void onGlobal(void*, uint32_t id, uint32_t, const char* type, uint32_t, const spa_dict*) {
    if (id != gRef.nodeId || gRef.node || std::string(type) != PW_TYPE_INTERFACE_Node) return;
    gRef.node = static_cast<pw_proxy*>(pw_registry_bind(gRef.registry, id, type, PW_VERSION_NODE, 0));
    pw_proxy_add_object_listener(gRef.node, &gRef.nodeListener, &kNodeEvents, nullptr);
    uint32_t ids[] = {SPA_PARAM_Props};
    pw_node_subscribe_params(reinterpret_cast<pw_node*>(gRef.node), ids, 1);
}

const auto kRegistryEvents =
    listenerTable<pw_registry_events>(PW_VERSION_REGISTRY_EVENTS, &pw_registry_events::global, onGlobal);

// Sends the set: every channel to `v`. Loop thread.
void startVolume(float v) {
    std::vector<float> volumes(gRef.channels, v);
    uint8_t buffer[1024];
    spa_pod_builder b = SPA_POD_BUILDER_INIT(buffer, sizeof buffer);
    spa_pod_frame f;
    spa_pod_builder_push_object(&b, &f, SPA_TYPE_OBJECT_Props, SPA_PARAM_Props);
    spa_pod_builder_prop(&b, SPA_PROP_channelVolumes, 0);
    spa_pod_builder_array(&b, sizeof(float), SPA_TYPE_Float, gRef.channels, volumes.data());
    auto* param = static_cast<const spa_pod*>(spa_pod_builder_pop(&b, &f));
    pw_node_set_param(reinterpret_cast<pw_node*>(gRef.node), SPA_PARAM_Props, 0, param);
}

void onStdin(void*, int fd, uint32_t mask) {
    char buf[256];
    ssize_t n = (mask & SPA_IO_IN) ? read(fd, buf, sizeof buf) : 0;
    if (n <= 0) {
        pw_main_loop_quit(gRef.loop);
        return;
    }
    gRef.input.append(buf, size_t(n));
    for (size_t nl; (nl = gRef.input.find('\n')) != std::string::npos;) {
        std::string line = gRef.input.substr(0, nl);
        gRef.input.erase(0, nl + 1);
        char* end = line.data();
        for (char* p = end;; p = end) {
            float v = std::strtof(p, &end);
            if (end == p) break;
            gRef.queued.push_back(v);
        }
        if (gRef.channels && !gRef.pending) setNext();
    }
}

// The threaded form: the application thread reads the lines and times each
// set from its hand-over to the wake-up that brings the param event.
int threaded() {
    gRef.threadLoop = pw_thread_loop_new("ref-control", nullptr);
    if (!gRef.threadLoop) return 1;
    pw_loop* loop = pw_thread_loop_get_loop(gRef.threadLoop);
    pw_context* context = pw_context_new(loop, nullptr, 0);
    if (!context || pw_thread_loop_start(gRef.threadLoop) < 0) return 1;
    pw_thread_loop_lock(gRef.threadLoop);
    gRef.core = pw_context_connect(context, nullptr, 0);
    if (!gRef.core) return 1;
    gRef.registry = pw_core_get_registry(gRef.core, PW_VERSION_REGISTRY, 0);
    pw_registry_add_listener(gRef.registry, &gRef.registryListener, &kRegistryEvents, nullptr);
    // The loop thread runs the set it is handed, the target read under the
    // thread loop's lock, which it holds while it dispatches.
    spa_source* event = pw_loop_add_event(
        loop, [](void*, uint64_t) { startVolume(gRef.target); }, nullptr);
    while (gRef.channels == 0) pw_thread_loop_wait(gRef.threadLoop);
    pw_thread_loop_unlock(gRef.threadLoop);
    printf("ready\n");
    fflush(stdout);

    char* line = nullptr;
    size_t size = 0;
    while (getline(&line, &size, stdin) > 0) {
        char* end = line;
        for (char* p = end;; p = end) {
            float v = std::strtof(p, &end);
            if (end == p) break;
            pw_thread_loop_lock(gRef.threadLoop);
            gRef.target = v;
            gRef.pending = true;
            pw_thread_loop_unlock(gRef.threadLoop);
            int64_t t0 = monotonicNs();
            pw_loop_signal_event(loop, event);
            pw_thread_loop_lock(gRef.threadLoop);
            while (gRef.pending) pw_thread_loop_wait(gRef.threadLoop);
            pw_thread_loop_unlock(gRef.threadLoop);
            gRef.times.push_back(monotonicNs() - t0);
        }
        printTimes();
    }
    free(line);
    pw_thread_loop_lock(gRef.threadLoop);
    pw_loop_destroy_source(loop, event);
    if (gRef.node) pw_proxy_destroy(gRef.node);
    pw_proxy_destroy(reinterpret_cast<pw_proxy*>(gRef.registry));
    pw_core_disconnect(gRef.core);
    pw_thread_loop_unlock(gRef.threadLoop);
    pw_thread_loop_stop(gRef.threadLoop);
    pw_context_destroy(context);
    pw_thread_loop_destroy(gRef.threadLoop);
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 2) return 2;
    gRef.nodeId = uint32_t(atoi(argv[1]));
    pw_init(nullptr, nullptr);
    if (argc >= 3 && std::string(argv[2]) == "threaded") return threaded();
    gRef.loop = pw_main_loop_new(nullptr);
    pw_context* context = pw_context_new(pw_main_loop_get_loop(gRef.loop), nullptr, 0);
    gRef.core = pw_context_connect(context, nullptr, 0);
    if (!gRef.core) return 1;
    gRef.registry = pw_core_get_registry(gRef.core, PW_VERSION_REGISTRY, 0);
    pw_registry_add_listener(gRef.registry, &gRef.registryListener, &kRegistryEvents, nullptr);
    pw_loop_add_io(pw_main_loop_get_loop(gRef.loop), STDIN_FILENO, SPA_IO_IN | SPA_IO_HUP, false, onStdin, nullptr);
    pw_main_loop_run(gRef.loop);
    if (gRef.node) pw_proxy_destroy(gRef.node);
    pw_proxy_destroy(reinterpret_cast<pw_proxy*>(gRef.registry));
    pw_core_disconnect(gRef.core);
    pw_context_destroy(context);
    pw_main_loop_destroy(gRef.loop);
    pw_deinit();
    return 0;
}
