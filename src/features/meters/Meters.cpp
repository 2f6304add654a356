#include "Meters.h"

#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <deque>
#include <limits>
#include <map>
#include <memory>
#include <mutex>
#include <unordered_map>

#include <pipewire/pipewire.h>
#include <spa/param/audio/format-utils.h>

#include "../../connection/EventQueue.h"
#include "../../connection/PwContext.h"
#include "../../connection/PwThread.h"
#include "../../core/ListenerTable.h"

namespace {

struct Meter;

// The latest levels of a meter, for the JavaScript thread to take.
struct Slot {
    MeterLevels level;
    bool fresh = false;   // not taken yet
    bool queued = false;  // a MeterLevel event for it waits in the event queue
};

// The feature's state, in the context.
struct Meters : FeatureState {
    std::vector<std::unique_ptr<Meter>> meters;  // PipeWire thread only
    // Where streams start one after another: the meter starting now, and
    // the requests waiting for it (see startsOneAtATime). PipeWire thread.
    bool starting = false;
    uint32_t startingId = 0;
    std::deque<MeterRequest> waiting;
    spa_source* settleTimer = nullptr;
    std::map<uint32_t, std::map<uint32_t, uint32_t>> hiddenPorts;  // node -> "port.id" -> port; PipeWire thread
    std::mutex slotMutex;
    std::unordered_map<uint32_t, Slot> slots;  // by meter id, under slotMutex
};

Meters& state(PwContext* ctx) {
    return static_cast<Meters&>(*ctx->features.meters);
}

// One link from a measured port to the meter's port. PipeWire thread.
struct MeterLink {
    Meter* meter;
    pw_proxy* proxy;
    spa_hook listener;
};

struct Meter {
    PwContext* ctx = nullptr;
    MeterRequest req{};
    pw_stream* stream = nullptr;
    spa_hook listener{};
    std::vector<MeterLink*> links;
    bool linked = false;             // its links were asked for
    size_t bound = 0;                // of its links, those the daemon made
    bool settled = false;            // it processed a period, or its links were made
    bool ending = false;             // its end is on its way
    uint32_t node = SPA_ID_INVALID;  // its node's global, once announced
    uint32_t rate = 48000;
    LevelAccumulator levels;
    MeterLevels spare;  // data thread: see publish()
};

// PipeWire before 1.0 loses track of the memory it shares with a client
// whose many new streams negotiate at once ("invalid mem id": those streams
// never run, and the descriptors that came with the memory are left open, or
// closed twice). There the meters' streams start one after another.
bool startsOneAtATime() {
    static const bool before1 = [] {
        unsigned major = 0;
        return std::sscanf(pw_get_library_version(), "%u", &major) == 1 && major < 1;
    }();
    return before1;
}

void beginMeter(PwContext* ctx, const MeterRequest& req);

// The meter starting now (`meterId`) has settled, or ended: the next one
// waiting starts.
void settle(PwContext* ctx, uint32_t meterId) {
    Meters& s = state(ctx);
    if (!s.starting || s.startingId != meterId) return;
    s.starting = false;
    if (s.settleTimer)
        pw_loop_update_timer(pw_main_loop_get_loop(ctx->mainLoop), s.settleTimer, nullptr, nullptr, false);
    while (!s.starting && !s.waiting.empty()) {
        MeterRequest next = std::move(s.waiting.front());
        s.waiting.pop_front();
        bool closing;
        {
            std::lock_guard<std::mutex> lock(s.slotMutex);
            closing = !s.slots.count(next.meterId);
        }
        // One closed meanwhile never starts: its stop, queued, says so.
        if (!closing) beginMeter(ctx, next);
    }
}

void onSettleTimer(void* data, uint64_t) {
    auto* ctx = static_cast<PwContext*>(data);
    settle(ctx, state(ctx).startingId);
}

// Settles the meter starting now in `ms` milliseconds.
void settleIn(PwContext* ctx, uint32_t meterId, long ms) {
    Meters& s = state(ctx);
    if (!s.starting || s.startingId != meterId) return;
    pw_loop* loop = pw_main_loop_get_loop(ctx->mainLoop);
    if (!s.settleTimer) s.settleTimer = pw_loop_add_timer(loop, onSettleTimer, ctx);
    timespec value{0, ms * 1000000};
    if (s.settleTimer) pw_loop_update_timer(loop, s.settleTimer, &value, nullptr, false);
}

double wallClockMs() {
    timespec ts;
    clock_gettime(CLOCK_REALTIME, &ts);
    return double(ts.tv_sec) * 1000 + double(ts.tv_nsec / 1000000);
}

void onLinkRemoved(void* user) {
    pw_proxy_destroy(static_cast<MeterLink*>(user)->proxy);
}

// Once all its links are made, a meter whose node runs processes a period at
// once; one whose node does not has nothing more to negotiate: settled
// either way a moment later.
void onLinkBound(void* user, uint32_t) {
    Meter* meter = static_cast<MeterLink*>(user)->meter;
    if (++meter->bound == meter->req.portIds.size() && !meter->settled) settleIn(meter->ctx, meter->req.meterId, 100);
}

void onLinkDestroy(void* user) {
    auto* link = static_cast<MeterLink*>(user);
    spa_hook_remove(&link->listener);
    link->meter->ctx->graphRequestProxyIds.erase(pw_proxy_get_id(link->proxy));
    auto& links = link->meter->links;
    links.erase(std::remove(links.begin(), links.end(), link), links.end());
}

void endLater(Meter* meter, std::string reason);

// The daemon refused one of the meter's links (no link factory, a port gone
// meanwhile, no format both ends take): the meter would never measure, so it
// ends, saying why.
void onLinkError(void* user, int /*seq*/, int /*res*/, const char* message) {
    auto* link = static_cast<MeterLink*>(user);
    endLater(link->meter,
             std::string("the daemon refused the meter's link: ") + (message ? message : "no reason given"));
}

const auto kLinkEvents = listenerTable<pw_proxy_events>(
    PW_VERSION_PROXY_EVENTS, &pw_proxy_events::destroy, onLinkDestroy, &pw_proxy_events::removed, onLinkRemoved,
    &pw_proxy_events::error, onLinkError, &pw_proxy_events::bound, onLinkBound);

// Destroys the meter's links and stream and forgets it; reports MeterEnded
// with `reason` unless it is null. The next meter waiting starts.
void endMeter(Meter* meter, const char* reason) {
    PwContext* ctx = meter->ctx;
    Meters& s = state(ctx);
    std::vector<MeterLink*> links = meter->links;
    for (MeterLink* link : links) pw_proxy_destroy(link->proxy);
    if (meter->stream) {
        s.hiddenPorts.erase(meter->node);
        spa_hook_remove(&meter->listener);
        pw_stream_destroy(meter->stream);
        meter->stream = nullptr;
    }
    uint32_t id = meter->req.meterId;
    {
        std::lock_guard<std::mutex> lock(s.slotMutex);
        s.slots.erase(id);
    }
    s.meters.erase(
        std::remove_if(s.meters.begin(), s.meters.end(), [meter](const auto& m) { return m.get() == meter; }),
        s.meters.end());
    if (reason) emitGraphEvent(ctx, MeterEnded, id, 0, 0, reason);
    settle(ctx, id);
}

Meter* findMeter(PwContext* ctx, uint32_t meterId) {
    for (const auto& m : state(ctx).meters)
        if (m->req.meterId == meterId) return m.get();
    return nullptr;
}

// Ends the meter on the loop's next turn: not from inside its stream's own
// callbacks, which may not destroy it, and once a lost connection is known.
void endLater(Meter* meter, std::string reason) {
    if (meter->ending) return;
    meter->ending = true;
    uint32_t id = meter->req.meterId;
    postWork(
        meter->ctx,
        [id, reason](PwContext* c) {
            // A stream that failed with the connection is no meter's end:
            // a Graph that reconnects measures again.
            if (Meter* m = findMeter(c, id)) endMeter(m, isConnected(c) ? reason.c_str() : nullptr);
        },
        false);
}

// Links each measured port to the meter's port of the same index, once the
// meter's node and all its ports are announced (the registry may announce
// them before or after the stream receives its node's id: the node's name says
// whose it is).
void linkWhenReady(Meter* meter) {
    pw_core* core = meter->ctx->core.load();
    if (meter->linked || !meter->stream || !core) return;
    auto found = state(meter->ctx).hiddenPorts.find(meter->node);
    if (found == state(meter->ctx).hiddenPorts.end()) return;
    const std::map<uint32_t, uint32_t>& ports = found->second;
    size_t channels = meter->req.portIds.size();
    for (uint32_t i = 0; i < channels; i++)
        if (!ports.count(i)) return;
    meter->linked = true;
    std::string inputNode = std::to_string(found->first);
    for (uint32_t i = 0; i < channels; i++) {
        std::string output = std::to_string(meter->req.portIds[i]), input = std::to_string(ports.at(i));
        std::string outputNode = std::to_string(meter->req.nodeId);
        spa_dict_item items[] = {
            SPA_DICT_ITEM_INIT(PW_KEY_LINK_OUTPUT_NODE, outputNode.c_str()),
            SPA_DICT_ITEM_INIT(PW_KEY_LINK_OUTPUT_PORT, output.c_str()),
            SPA_DICT_ITEM_INIT(PW_KEY_LINK_INPUT_NODE, inputNode.c_str()),
            SPA_DICT_ITEM_INIT(PW_KEY_LINK_INPUT_PORT, input.c_str()),
            SPA_DICT_ITEM_INIT(PW_KEY_OBJECT_LINGER, "false"),
        };
        spa_dict dict = SPA_DICT_INIT_ARRAY(items);
        auto* proxy = static_cast<pw_proxy*>(pw_core_create_object(core, "link-factory", PW_TYPE_INTERFACE_Link,
                                                                   PW_VERSION_LINK, &dict, sizeof(MeterLink)));
        if (!proxy) continue;
        auto* link = static_cast<MeterLink*>(pw_proxy_get_user_data(proxy));
        *link = MeterLink{meter, proxy, {}};
        pw_proxy_add_listener(proxy, &link->listener, &kLinkEvents, link);
        // A refused link is not the script's error to print.
        meter->ctx->graphRequestProxyIds.insert(pw_proxy_get_id(proxy));
        meter->links.push_back(link);
    }
}

void publish(Meter* meter) {
    PwContext* ctx = meter->ctx;
    Meters& s = state(ctx);
    // On the data thread: the levels go into the meter's spare record, which
    // trades places with the slot's, so that neither is allocated again.
    meter->levels.take(wallClockMs(), meter->spare);
    bool tell = false;
    {
        std::lock_guard<std::mutex> lock(s.slotMutex);
        auto it = s.slots.find(meter->req.meterId);
        if (it == s.slots.end()) return;
        // The newest replaces what JavaScript has not taken: never a backlog.
        std::swap(it->second.level, meter->spare);
        it->second.fresh = true;
        tell = !it->second.queued;
        it->second.queued = true;
    }
    if (tell) emitGraphEvent(ctx, MeterLevel, meter->req.meterId);
}

void onProcess(void* user) {
    auto* meter = static_cast<Meter*>(user);
    if (!meter->settled) {
        // Not from inside this callback: the next one starts a stream.
        meter->settled = true;
        uint32_t id = meter->req.meterId;
        postWork(
            meter->ctx, [id](PwContext* c) { settle(c, id); }, false);
    }
    pw_buffer* b = pw_stream_dequeue_buffer(meter->stream);
    if (!b) return;
    spa_buffer* buf = b->buffer;
    size_t frames = 0;
    for (uint32_t i = 0; i < buf->n_datas; i++) {
        const spa_data& d = buf->datas[i];
        if (!d.data || !d.chunk) continue;
        uint32_t offset = std::min(d.chunk->offset, d.maxsize);
        uint32_t size = std::min(d.chunk->size, d.maxsize - offset);
        size_t count = size / sizeof(float);
        meter->levels.add(i, reinterpret_cast<const float*>(static_cast<const uint8_t*>(d.data) + offset), count);
        frames = std::max(frames, count);
    }
    pw_stream_queue_buffer(meter->stream, b);
    meter->levels.advance(frames);
    double interval = meter->rate / meter->req.rateHz;
    if (frames > 0 && double(meter->levels.frames()) >= interval) publish(meter);
}

void onParamChanged(void* user, uint32_t id, const spa_pod* param) {
    auto* meter = static_cast<Meter*>(user);
    if (id != SPA_PARAM_Format || !param) return;
    spa_audio_info_raw info{};
    if (spa_format_audio_raw_parse(param, &info) >= 0 && info.rate > 0) meter->rate = info.rate;
}

void onStateChanged(void* user, pw_stream_state old, pw_stream_state now, const char* error) {
    auto* meter = static_cast<Meter*>(user);
    if (now == PW_STREAM_STATE_ERROR)
        endLater(meter, error ? error : "the meter's stream failed");
    else if (now == PW_STREAM_STATE_UNCONNECTED && old != PW_STREAM_STATE_UNCONNECTED)
        endLater(meter, "the meter's stream was removed");
    else
        linkWhenReady(meter);
}

const auto kStreamEvents = listenerTable<pw_stream_events>(PW_VERSION_STREAM_EVENTS, &pw_stream_events::state_changed,
                                                           onStateChanged, &pw_stream_events::param_changed,
                                                           onParamChanged, &pw_stream_events::process, onProcess);

void startOnLoop(PwContext* ctx, const MeterRequest& req) {
    Meters& s = state(ctx);
    if (startsOneAtATime() && s.starting) {
        s.waiting.push_back(req);
        return;
    }
    beginMeter(ctx, req);
}

// Makes the meter's stream (its links follow once its ports are announced).
void beginMeter(PwContext* ctx, const MeterRequest& req) {
    pw_core* core = ctx->core.load();
    if (!core) {
        emitGraphEvent(ctx, MeterEnded, req.meterId, 0, 0, "PipeWire not connected");
        return;
    }
    auto owned = std::make_unique<Meter>();
    owned->ctx = ctx;
    owned->req = req;
    owned->rate = req.sampleRate;
    Meter* meter = owned.get();
    size_t channels = req.portIds.size();
    meter->levels.reset(channels);
    std::string name = std::string(kMeterNamePrefix) + std::to_string(getpid()) + "." + std::to_string(req.meterId);
    // Passive, linked by us only: no session manager moves it or links it
    // elsewhere, and it keeps no driver running by itself.
    pw_properties* props = pw_properties_new(
        PW_KEY_MEDIA_TYPE, "Audio", PW_KEY_MEDIA_CATEGORY, "Capture", PW_KEY_NODE_NAME, name.c_str(),
        PW_KEY_NODE_PASSIVE, "true", PW_KEY_NODE_DONT_RECONNECT, "true", PW_KEY_NODE_AUTOCONNECT, "false", nullptr);
    // Without a session manager nobody configures the ports of a stream's
    // adapter: it sets them up itself, one per channel.
    pw_properties_set(props, "adapter.auto-port-config",
                      "{ mode = dsp monitor = false control = false position = preserve }");
    pw_properties_setf(props, kMeterKey, "%u", req.nodeId);
    meter->stream = pw_stream_new(core, name.c_str(), props);
    if (!meter->stream) {
        emitGraphEvent(ctx, MeterEnded, req.meterId, 0, 0, "cannot make the meter's stream");
        return;
    }
    state(ctx).meters.push_back(std::move(owned));
    pw_stream_add_listener(meter->stream, &meter->listener, &kStreamEvents, meter);
    // Planar floats, one channel each, at the measured ports' rate (the
    // adapter resamples otherwise).
    spa_audio_info_raw info{};
    info.format = SPA_AUDIO_FORMAT_F32P;
    info.rate = req.sampleRate;
    info.channels = uint32_t(channels);
    for (size_t i = 0; i < channels; i++) info.position[i] = SPA_AUDIO_CHANNEL_AUX0 + uint32_t(i);
    uint8_t buffer[1024];
    spa_pod_builder builder = SPA_POD_BUILDER_INIT(buffer, sizeof buffer);
    const spa_pod* params[] = {spa_format_audio_raw_build(&builder, SPA_PARAM_EnumFormat, &info)};
    if (pw_stream_connect(meter->stream, PW_DIRECTION_INPUT, PW_ID_ANY, PW_STREAM_FLAG_MAP_BUFFERS, params, 1) < 0) {
        endMeter(meter, "cannot connect the meter's stream");
        return;
    }
    if (startsOneAtATime()) {
        state(ctx).starting = true;
        state(ctx).startingId = req.meterId;
        // Whatever holds it up, the next one waits 2 s at most.
        settleIn(ctx, req.meterId, 2000);
    }
}

}  // namespace

void LevelAccumulator::reset(size_t channels) {
    peak_.assign(channels, 0.0f);
    sumSquares_.assign(channels, 0.0);
    frames_ = 0;
}

void LevelAccumulator::add(size_t channel, const float* samples, size_t count) {
    if (channel >= peak_.size()) return;
    float peak = peak_[channel];
    double sum = 0;
    for (size_t i = 0; i < count; i++) {
        float v = samples[i];
        peak = std::max(peak, std::fabs(v));
        sum += double(v) * v;
    }
    peak_[channel] = peak;
    sumSquares_[channel] += sum;
}

void LevelAccumulator::take(double t, MeterLevels& out) {
    out.t = t;
    out.peak.resize(peak_.size());
    out.rms.resize(peak_.size());
    for (size_t i = 0; i < peak_.size(); i++) {
        out.peak[i] = amplitudeDb(peak_[i]);
        double meanSquare = frames_ ? sumSquares_[i] / double(frames_) : 0;
        out.rms[i] = amplitudeDb(std::sqrt(meanSquare));
    }
    reset(peak_.size());
}

double amplitudeDb(double amplitude) {
    if (!(amplitude > 0)) return -std::numeric_limits<double>::infinity();
    return 20 * std::log10(amplitude);
}

void installMeters(PwContext* ctx) {
    if (!ctx->features.meters) ctx->features.meters = std::make_unique<Meters>();
}

Handoff requestMeterStart(PwContext* ctx, const MeterRequest& req) {
    {
        std::lock_guard<std::mutex> lock(state(ctx).slotMutex);
        state(ctx).slots[req.meterId] = Slot{};
    }
    Handoff handoff = postWork(ctx, [req](PwContext* c) { startOnLoop(c, req); });
    if (handoff != Handoff::Queued) {
        std::lock_guard<std::mutex> lock(state(ctx).slotMutex);
        state(ctx).slots.erase(req.meterId);
    }
    return handoff;
}

Handoff requestMeterStop(PwContext* ctx, uint32_t meterId) {
    {
        // No more levels; and, waiting to start, it will not.
        std::lock_guard<std::mutex> lock(state(ctx).slotMutex);
        state(ctx).slots.erase(meterId);
    }
    return postWork(
        ctx,
        [meterId](PwContext* c) {
            // One gone already (with a connection, say) is told ended too:
            // whoever closes it waits for that. One waiting to start never
            // starts.
            std::deque<MeterRequest>& waiting = state(c).waiting;
            auto queued = std::find_if(waiting.begin(), waiting.end(),
                                       [meterId](const MeterRequest& r) { return r.meterId == meterId; });
            if (queued != waiting.end()) waiting.erase(queued);
            if (Meter* m = findMeter(c, meterId))
                endMeter(m, "closed");
            else
                emitGraphEvent(c, MeterEnded, meterId, 0, 0, "closed");
        },
        false);
}

bool takeMeterLevel(PwContext* ctx, uint32_t meterId, MeterLevels& out) {
    Meters& s = state(ctx);
    std::lock_guard<std::mutex> lock(s.slotMutex);
    auto it = s.slots.find(meterId);
    if (it == s.slots.end()) return false;
    it->second.queued = false;
    if (!it->second.fresh) return false;
    it->second.fresh = false;
    out = it->second.level;  // a copy: the slot keeps its room
    return true;
}

void meterGlobalAnnounced(PwContext* ctx, uint32_t id, const char* type, const spa_dict* props) {
    Meters& s = state(ctx);
    if (!props) return;
    if (std::strcmp(type, PW_TYPE_INTERFACE_Node) == 0) {
        // "<prefix><pid>.<meter id>": this process's meter of that id.
        const char* name = spa_dict_lookup(props, PW_KEY_NODE_NAME);
        unsigned pid = 0, meterId = 0;
        std::string format = std::string(kMeterNamePrefix) + "%u.%u";
        if (!name || std::sscanf(name, format.c_str(), &pid, &meterId) != 2 || pid != unsigned(getpid())) return;
        if (Meter* m = findMeter(ctx, meterId)) {
            m->node = id;
            linkWhenReady(m);
        }
        return;
    }
    const char* node = spa_dict_lookup(props, PW_KEY_NODE_ID);
    const char* direction = spa_dict_lookup(props, PW_KEY_PORT_DIRECTION);
    const char* index = spa_dict_lookup(props, PW_KEY_PORT_ID);
    if (!node || !direction || std::string(direction) != "in" || !index) return;
    uint32_t nodeId = uint32_t(std::strtoul(node, nullptr, 10));
    s.hiddenPorts[nodeId][uint32_t(std::strtoul(index, nullptr, 10))] = id;
    for (const auto& m : s.meters)
        if (m->node == nodeId) linkWhenReady(m.get());
}

void meterGlobalGone(PwContext* ctx, uint32_t id) {
    Meters& s = state(ctx);
    s.hiddenPorts.erase(id);
    std::vector<Meter*> ended;
    for (const auto& m : s.meters) {
        const std::vector<uint32_t>& ports = m->req.portIds;
        if (m->req.nodeId == id || std::find(ports.begin(), ports.end(), id) != ports.end()) ended.push_back(m.get());
    }
    for (Meter* m : ended) endMeter(m, "the measured node was removed");
    for (auto it = s.waiting.begin(); it != s.waiting.end();) {
        const std::vector<uint32_t>& ports = it->portIds;
        if (it->nodeId != id && std::find(ports.begin(), ports.end(), id) == ports.end()) {
            ++it;
            continue;
        }
        emitGraphEvent(ctx, MeterEnded, it->meterId, 0, 0, "the measured node was removed");
        it = s.waiting.erase(it);
    }
}

void releaseMeters(PwContext* ctx) {
    Meters& s = state(ctx);
    while (!s.meters.empty()) endMeter(s.meters.back().get(), nullptr);
    s.waiting.clear();
    s.starting = false;
    if (s.settleTimer) pw_loop_destroy_source(pw_main_loop_get_loop(ctx->mainLoop), s.settleTimer);
    s.settleTimer = nullptr;
    s.hiddenPorts.clear();
}
