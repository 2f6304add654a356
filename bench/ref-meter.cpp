// Reference for the meters' benchmark: a plain libpipewire client running N
// capture streams on one node's output (or monitor) ports, made, linked and
// measured as the add-on makes its meters: passive, ports set up by the
// stream's adapter, planar floats, one link per channel; peak and sum of
// squares of each channel on the data thread (PW_STREAM_FLAG_RT_PROCESS),
// each interval's sums handed to the main thread through a ring per stream
// (src/core/Levels.h), which the main thread drains RATE times a second and
// turns into peak and RMS in dBFS.
//   ref-meter NODE_ID N RATE SECONDS PORT_ID...
//     prints "ready" once every stream has measured a level, then, SECONDS
//     later, {"cpu_ms":..,"levels":..}: the process's CPU time (user and
//     system) over those seconds and the levels it measured
#include <sys/resource.h>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include <pipewire/pipewire.h>
#include <spa/param/audio/format-utils.h>

#include "../src/core/Levels.h"
#include "../src/core/ListenerTable.h"

namespace {

struct Stream;

struct Ref {
    pw_main_loop* loop = nullptr;
    pw_core* core = nullptr;
    pw_registry* registry = nullptr;
    spa_hook registryListener{};
    uint32_t nodeId = 0;
    double rateHz = 20;
    std::vector<uint32_t> sourcePorts;                       // the node's output ports, by "port.id"
    std::map<uint32_t, std::map<uint32_t, uint32_t>> ports;  // stream node -> "port.id" -> port
    std::vector<Stream*> streams;
    int count = 0;                  // streams to make
    spa_source* starter = nullptr;  // makes them, until all are made
    long levels = 0;
    bool measuring = false;
    double startCpu = 0, startMs = 0;
    int seconds = 0;
} gRef;

struct Stream {
    Stream(size_t channels) : ring(channels, 8) { levels.reset(channels); }
    pw_stream* stream = nullptr;
    spa_hook listener{};
    bool linked = false;
    bool measured = false;
    double madeMs = 0, linkedMs = 0;
    std::atomic<uint64_t> periods{0};  // counted by the data thread
    LevelAccumulator levels;           // the data thread's
    LevelRing ring;
    LevelSums taken;     // the main thread's
    MeterLevels latest;  // the main thread's
};

double cpuMs() {
    rusage r;
    getrusage(RUSAGE_SELF, &r);
    return (r.ru_utime.tv_sec + r.ru_stime.tv_sec) * 1e3 + (r.ru_utime.tv_usec + r.ru_stime.tv_usec) / 1e3;
}

double nowMs() {
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return ts.tv_sec * 1e3 + ts.tv_nsec / 1e6;
}

void linkStream(Stream* s) {
    uint32_t node = pw_stream_get_node_id(s->stream);
    auto found = gRef.ports.find(node);
    if (s->linked || found == gRef.ports.end() || found->second.size() < gRef.sourcePorts.size()) return;
    s->linked = true;
    s->linkedMs = nowMs();
    for (uint32_t i = 0; i < gRef.sourcePorts.size(); i++) {
        std::string on = std::to_string(gRef.nodeId), op = std::to_string(gRef.sourcePorts[i]);
        std::string in = std::to_string(node), ip = std::to_string(found->second[i]);
        pw_properties* props =
            pw_properties_new(PW_KEY_LINK_OUTPUT_NODE, on.c_str(), PW_KEY_LINK_OUTPUT_PORT, op.c_str(),
                              PW_KEY_LINK_INPUT_NODE, in.c_str(), PW_KEY_LINK_INPUT_PORT, ip.c_str(), nullptr);
        pw_core_create_object(gRef.core, "link-factory", PW_TYPE_INTERFACE_Link, PW_VERSION_LINK, &props->dict, 0);
        pw_properties_free(props);
    }
}

void onGlobal(void*, uint32_t id, uint32_t, const char* type, uint32_t, const spa_dict* props) {
    if (std::strcmp(type, PW_TYPE_INTERFACE_Port) != 0 || !props) return;
    const char* node = spa_dict_lookup(props, PW_KEY_NODE_ID);
    const char* index = spa_dict_lookup(props, PW_KEY_PORT_ID);
    const char* dir = spa_dict_lookup(props, PW_KEY_PORT_DIRECTION);
    if (!node || !index || !dir) return;
    uint32_t nodeId = std::strtoul(node, nullptr, 10);
    if (std::strcmp(dir, "in") == 0) {
        gRef.ports[nodeId][std::strtoul(index, nullptr, 10)] = id;
        for (Stream* s : gRef.streams) linkStream(s);
    }
}

const auto kRegistryEvents =
    listenerTable<pw_registry_events>(PW_VERSION_REGISTRY_EVENTS, &pw_registry_events::global, onGlobal);

// The data thread: the period's samples added up; an interval's sums into
// the ring once it ends and the ring has room.
void onProcess(void* data) {
    auto* s = static_cast<Stream*>(data);
    pw_buffer* b = pw_stream_dequeue_buffer(s->stream);
    if (!b) return;
    size_t frames = 0;
    for (uint32_t i = 0; i < b->buffer->n_datas; i++) {
        const spa_data& d = b->buffer->datas[i];
        if (!d.data || !d.chunk) continue;
        uint32_t offset = std::min(d.chunk->offset, d.maxsize);
        size_t n = std::min(d.chunk->size, d.maxsize - offset) / sizeof(float);
        s->levels.add(i, reinterpret_cast<const float*>(static_cast<const uint8_t*>(d.data) + offset), n);
        frames = std::max(frames, n);
    }
    pw_stream_queue_buffer(s->stream, b);
    s->periods.fetch_add(1, std::memory_order_relaxed);
    if (frames == 0) return;
    pw_time time{};
    pw_stream_get_time_n(s->stream, &time, sizeof time);
    s->levels.advance(frames, time.now);
    // Intervals end as the add-on's meters end them: in step on the driver's clock.
    if (endsInterval(s->levels.frames(), frames, 48000 / gRef.rateHz, clockCycle(time.now, frames, 48000)) &&
        s->ring.push(s->levels.sums()))
        s->levels.clear();
}

void onStateChanged(void* data, pw_stream_state, pw_stream_state, const char*) {
    linkStream(static_cast<Stream*>(data));
}

const auto kStreamEvents = listenerTable<pw_stream_events>(PW_VERSION_STREAM_EVENTS, &pw_stream_events::process,
                                                           onProcess, &pw_stream_events::state_changed, onStateChanged);

Stream* makeStream(int index) {
    size_t channels = gRef.sourcePorts.size();
    auto* s = new Stream(channels);
    std::string name = "ref-meter." + std::to_string(index);
    pw_properties* props =
        pw_properties_new(PW_KEY_MEDIA_TYPE, "Audio", PW_KEY_MEDIA_CATEGORY, "Capture", PW_KEY_MEDIA_CLASS,
                          "Meter/Audio", PW_KEY_NODE_NAME, name.c_str(), PW_KEY_NODE_PASSIVE, "true",
                          PW_KEY_NODE_AUTOCONNECT, "false", PW_KEY_NODE_DONT_RECONNECT, "true", nullptr);
    pw_properties_set(props, "adapter.auto-port-config",
                      "{ mode = dsp monitor = false control = false position = preserve }");
    s->stream = pw_stream_new(gRef.core, name.c_str(), props);
    pw_stream_add_listener(s->stream, &s->listener, &kStreamEvents, s);
    spa_audio_info_raw info{};
    info.format = SPA_AUDIO_FORMAT_F32P;
    info.rate = 48000;
    info.channels = uint32_t(channels);
    for (size_t i = 0; i < channels; i++) info.position[i] = SPA_AUDIO_CHANNEL_AUX0 + uint32_t(i);
    uint8_t buffer[1024];
    spa_pod_builder b = SPA_POD_BUILDER_INIT(buffer, sizeof buffer);
    const spa_pod* params[] = {spa_format_audio_raw_build(&b, SPA_PARAM_EnumFormat, &info)};
    auto flags = pw_stream_flags(PW_STREAM_FLAG_MAP_BUFFERS | PW_STREAM_FLAG_RT_PROCESS);
    pw_stream_connect(s->stream, PW_DIRECTION_INPUT, PW_ID_ANY, flags, params, 1);
    s->madeMs = nowMs();
    return s;
}

// As the add-on does: on PipeWire before 1.0 (whose client memory handling
// fails many streams negotiating at once) one stream after another, the next
// once the last has processed a period, 100 ms after it was linked, or after
// 2 s; on 1.x all at once.
void makeStreams() {
    static const bool oneAtATime = [] {
        unsigned major = 0;
        return std::sscanf(pw_get_library_version(), "%u", &major) == 1 && major < 1;
    }();
    while (int(gRef.streams.size()) < gRef.count) {
        if (oneAtATime && !gRef.streams.empty()) {
            Stream* last = gRef.streams.back();
            double now = nowMs();
            bool settled = last->periods.load(std::memory_order_relaxed) > 0 ||
                           (last->linked && now - last->linkedMs >= 100) || now - last->madeMs >= 2000;
            if (!settled) return;
        }
        gRef.streams.push_back(makeStream(int(gRef.streams.size())));
    }
}

void onStartTick(void*, uint64_t) {
    makeStreams();
    if (int(gRef.streams.size()) == gRef.count)
        pw_loop_update_timer(pw_main_loop_get_loop(gRef.loop), gRef.starter, nullptr, nullptr, false);
}

// The main thread, RATE times a second: every stream's levels since the last
// look, in dBFS.
void onTick(void*, uint64_t) {
    if (int(gRef.streams.size()) < gRef.count) return;
    for (Stream* s : gRef.streams) {
        if (!s->ring.takeAll(s->taken)) continue;
        s->taken.toLevels(0, s->latest);
        s->measured = true;
        if (gRef.measuring) gRef.levels++;
    }
    if (!gRef.measuring) {
        if (!std::all_of(gRef.streams.begin(), gRef.streams.end(), [](Stream* s) { return s->measured; })) return;
        gRef.measuring = true;
        gRef.startCpu = cpuMs();
        gRef.startMs = nowMs();
        std::printf("ready\n");
        std::fflush(stdout);
        return;
    }
    if (nowMs() - gRef.startMs < gRef.seconds * 1000.0) return;
    std::printf("{\"cpu_ms\":%.1f,\"levels\":%ld}\n", cpuMs() - gRef.startCpu, gRef.levels);
    std::fflush(stdout);
    pw_main_loop_quit(gRef.loop);
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 6) {
        std::fprintf(stderr, "usage: ref-meter NODE_ID N RATE SECONDS PORT_ID...\n");
        return 2;
    }
    pw_init(nullptr, nullptr);
    gRef.nodeId = std::strtoul(argv[1], nullptr, 10);
    gRef.count = std::atoi(argv[2]);
    gRef.rateHz = std::atof(argv[3]);
    gRef.seconds = std::atoi(argv[4]);
    for (int i = 5; i < argc; i++) gRef.sourcePorts.push_back(std::strtoul(argv[i], nullptr, 10));
    gRef.loop = pw_main_loop_new(nullptr);
    pw_context* context = pw_context_new(pw_main_loop_get_loop(gRef.loop), nullptr, 0);
    gRef.core = pw_context_connect(context, nullptr, 0);
    if (!gRef.core) return 1;
    gRef.registry = pw_core_get_registry(gRef.core, PW_VERSION_REGISTRY, 0);
    pw_registry_add_listener(gRef.registry, &gRef.registryListener, &kRegistryEvents, nullptr);
    pw_loop* loop = pw_main_loop_get_loop(gRef.loop);
    makeStreams();
    gRef.starter = pw_loop_add_timer(loop, onStartTick, nullptr);
    timespec every{0, 20000000};
    pw_loop_update_timer(loop, gRef.starter, &every, &every, false);
    spa_source* timer = pw_loop_add_timer(loop, onTick, nullptr);
    long ms = std::max(1L, long(1000 / gRef.rateHz));
    timespec interval{ms / 1000, (ms % 1000) * 1000000};
    pw_loop_update_timer(loop, timer, &interval, &interval, false);
    pw_main_loop_run(gRef.loop);
    pw_loop_destroy_source(loop, gRef.starter);
    for (Stream* s : gRef.streams) pw_stream_destroy(s->stream);
    pw_core_disconnect(gRef.core);
    pw_context_destroy(context);
    pw_main_loop_destroy(gRef.loop);
    return 0;
}
