#include "Meters.h"

#include <malloc.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <deque>
#include <map>
#include <memory>
#include <mutex>

#include <pipewire/pipewire.h>
#include <spa/param/audio/format-utils.h>

#include "../../connection/EventQueue.h"
#include "../../connection/PwContext.h"
#include "../../connection/PwThread.h"
#include "../../core/Descriptors.h"
#include "../../core/ListenerTable.h"
#include "../../core/MirrorRecords.h"

namespace {

// Intervals a meter's ring holds for the JavaScript thread.
constexpr size_t kRingSlots = 8;
// How long a meter may go without a period before it says why, and how
// often the PipeWire thread looks at its meters: often while one of them
// does not measure (or has not yet), seldom while all do.
constexpr double kQuietMs = 1000;
constexpr long kWatchMs = 250;
constexpr long kWatchMeasuringMs = 1000;
// A meter linked to a running node that still gets no period has its links
// made again, after 1, 2, 4, ... s, so many times at most.
constexpr int kMaxMends = 5;
constexpr double kFirstMendMs = 1000;
// Until a meter's first level, periods of digital silence are left out (the
// first ones after its links are made carry none of the measured ports'
// sound yet), for this long at most: a silent node then reads silent.
constexpr double kLeadingSilenceSeconds = 0.5;
// PipeWire before 1.0: how often the meter starting now is looked at.
constexpr long kSettleCheckMs = 20;
// The JavaScript thread looks for a meter's next interval this long after it
// is due (its sums are pushed during the period that ends it), and, when it
// is late, again after twice as long each time, up to the meter's interval.
constexpr int64_t kLookLateNs = 2000000;
// A meter with no interval for so long is looked at four times a second.
constexpr int64_t kQuietLookNs = 1000000000;
constexpr int64_t kQuietLookEveryNs = 250000000;

double clockMs(clockid_t clock) {
    timespec ts;
    clock_gettime(clock, &ts);
    return double(ts.tv_sec) * 1000 + double(ts.tv_nsec) / 1e6;
}

// What the data thread, the PipeWire thread and the JavaScript thread share
// of a meter, kept alive by each that holds it: the data thread writes the
// ring and counts periods, the JavaScript thread takes from the ring.
struct MeterShared {
    MeterShared(uint32_t meterId, size_t channels, double rate)
        : id(meterId), rateHz(rate), ring(channels, kRingSlots) {}
    const uint32_t id;
    const double rateHz;
    LevelRing ring;
    std::atomic<uint64_t> periods{0};  // periods processed
    // The JavaScript thread's, under liveMutex: when the next interval is
    // due, so that it looks then rather than on a clock of its own.
    int64_t lastEndNs = 0;  // the end of the last interval taken
    int64_t periodNs = 0;   // between two intervals, as last seen
    int misses = 0;         // looks since then that found none
};

struct Meter;

struct Waiting {
    MeterRequest req;
    std::shared_ptr<MeterShared> shared;
};

// The feature's state, in the context.
struct Meters : FeatureState {
    std::vector<std::unique_ptr<Meter>> meters;  // PipeWire thread only
    // The meters whose streams are negotiating now (at most startingAtOnce()),
    // and the requests waiting for one of them to settle. PipeWire thread.
    std::vector<uint32_t> startingIds;
    std::deque<Waiting> waiting;
    spa_source* settleTimer = nullptr;
    spa_source* watchTimer = nullptr;
    long watchMs = 0;                                             // its period; 0 while disarmed
    std::map<uint32_t, std::map<uint32_t, uint32_t>> inputPorts;  // meter node -> "port.id" -> port; PipeWire thread
    std::map<uint32_t, uint32_t> inputPortNode;                   // such a port -> its node; PipeWire thread
    bool trimQueued = false;                                      // giveBackMemory's; PipeWire thread
    // The meters whose levels the JavaScript thread takes. The JavaScript
    // and PipeWire threads lock it; the data thread never does.
    std::mutex liveMutex;
    std::vector<std::shared_ptr<MeterShared>> live;
    LevelSums taken;  // JavaScript thread
};

Meters& state(PwContext* ctx) {
    return static_cast<Meters&>(*ctx->features.meters);
}

// One link from a measured port to the meter's port of the same channel.
// PipeWire thread.
struct MeterLink {
    Meter* meter;
    pw_proxy* proxy;
    spa_hook listener;
    spa_hook linkListener;
    uint32_t channel;
    uint32_t output;
    uint32_t input;
    bool bound;
    int state;  // pw_link_state, as its info last said
    std::string error;
};

struct Meter {
    PwContext* ctx = nullptr;
    MeterRequest req{};
    std::shared_ptr<MeterShared> shared;
    pw_stream* stream = nullptr;
    spa_hook listener{};
    std::vector<MeterLink*> links;
    uint32_t node = SPA_ID_INVALID;  // its node's global, once announced
    bool ending = false;             // its end is on its way
    // PipeWire thread: what the watch knows.
    double startedMs = 0;
    double progressMs = 0;  // when its period count last grew
    uint64_t seenPeriods = 0;
    int mends = 0;
    double nextMendMs = 0;
    bool told = false;
    MeterStage stage = MeterStage::Measuring;
    std::string said;
    // The data thread only, once the stream is connected.
    LevelAccumulator levels;
    std::atomic<uint32_t> rate{48000};  // written by the PipeWire thread as the format comes
    bool audible = false;               // a period with sound came
    uint64_t silentFrames = 0;          // periods of silence left out before it
};

// How many meters' streams negotiate at once. PipeWire before 1.0 loses
// track of the memory it shares with a client whose many new streams
// negotiate at once ("invalid mem id": those streams never run, and the
// descriptors that came with the memory are left open, or closed twice):
// there they start one after another. Later lines take many, but the
// daemon sends the descriptors of their buffers on the client's one
// connection, which holds at most 1,024 not yet read ("too many fds": the
// links fail with "Buffer allocation failed" and the connection may drop):
// a few at once keep well below that.
size_t startingAtOnce() {
    return isLibraryBefore1() ? size_t(1) : kMetersStartingAtOnce;
}

Meter* findMeter(PwContext* ctx, uint32_t meterId) {
    for (const auto& m : state(ctx).meters)
        if (m->req.meterId == meterId) return m.get();
    return nullptr;
}

bool isLive(PwContext* ctx, uint32_t meterId) {
    Meters& s = state(ctx);
    std::lock_guard<std::mutex> lock(s.liveMutex);
    return std::any_of(s.live.begin(), s.live.end(), [meterId](const auto& m) { return m->id == meterId; });
}

void forgetLive(PwContext* ctx, uint32_t meterId) {
    Meters& s = state(ctx);
    std::lock_guard<std::mutex> lock(s.liveMutex);
    s.live.erase(std::remove_if(s.live.begin(), s.live.end(), [meterId](const auto& m) { return m->id == meterId; }),
                 s.live.end());
}

void arm(PwContext* ctx, spa_source*& timer, void (*fn)(void*, uint64_t), long ms, bool repeat) {
    pw_loop* loop = pw_main_loop_get_loop(ctx->mainLoop);
    if (!timer) timer = pw_loop_add_timer(loop, fn, ctx);
    if (!timer) return;
    timespec value{ms / 1000, (ms % 1000) * 1000000};
    timespec interval{0, 0};
    if (repeat) interval = value;
    pw_loop_update_timer(loop, timer, &value, repeat ? &interval : nullptr, false);
}

void disarm(PwContext* ctx, spa_source* timer) {
    if (timer) pw_loop_update_timer(pw_main_loop_get_loop(ctx->mainLoop), timer, nullptr, nullptr, false);
}

void beginMeter(PwContext* ctx, const MeterRequest& req, std::shared_ptr<MeterShared> shared);

// A meter starting now (`meterId`) has settled, or ended: those waiting
// start while fewer than startingAtOnce() are starting.
void settle(PwContext* ctx, uint32_t meterId) {
    Meters& s = state(ctx);
    auto at = std::find(s.startingIds.begin(), s.startingIds.end(), meterId);
    if (at == s.startingIds.end()) return;
    s.startingIds.erase(at);
    if (s.startingIds.empty()) disarm(ctx, s.settleTimer);
    while (s.startingIds.size() < startingAtOnce() && !s.waiting.empty()) {
        Waiting next = std::move(s.waiting.front());
        s.waiting.pop_front();
        // One closed meanwhile never starts: its stop, queued, says so.
        if (isLive(ctx, next.req.meterId)) beginMeter(ctx, next.req, std::move(next.shared));
    }
}

// Whether each of the meter's links has its format and buffers (paused or
// active): its stream's negotiation is over.
bool negotiated(const Meter* meter) {
    size_t done = std::count_if(meter->links.begin(), meter->links.end(), [](const MeterLink* l) {
        return l->state == PW_LINK_STATE_PAUSED || l->state == PW_LINK_STATE_ACTIVE;
    });
    return done == meter->req.portIds.size();
}

// Whether the meter is still starting: it has not processed a period nor
// are its links negotiated (nothing flows), and it began less than 2 s ago
// (whatever holds it up then).
bool startingUp(const Meter* meter, double now) {
    return meter->shared->periods.load(std::memory_order_relaxed) == 0 && !negotiated(meter) &&
           now - meter->startedMs < 2000;
}

// The meter starting now has settled once it is no longer starting up.
void onSettleTimer(void* data, uint64_t) {
    auto* ctx = static_cast<PwContext*>(data);
    Meters& s = state(ctx);
    if (s.startingIds.empty()) return disarm(ctx, s.settleTimer);
    double now = clockMs(CLOCK_MONOTONIC);
    for (uint32_t id : std::vector<uint32_t>(s.startingIds)) {
        Meter* m = findMeter(ctx, id);
        if (!m || !startingUp(m, now)) settle(ctx, id);
    }
}

void endLater(Meter* meter, std::string reason);
void relink(Meter* meter);

void onLinkRemoved(void* user) {
    pw_proxy_destroy(static_cast<MeterLink*>(user)->proxy);
}

void onLinkBound(void* user, uint32_t) {
    static_cast<MeterLink*>(user)->bound = true;
}

void onLinkDestroy(void* user) {
    auto* link = static_cast<MeterLink*>(user);
    spa_hook_remove(&link->linkListener);
    spa_hook_remove(&link->listener);
    link->meter->ctx->graphRequestProxyIds.erase(pw_proxy_get_id(link->proxy));
    auto& links = link->meter->links;
    links.erase(std::remove(links.begin(), links.end(), link), links.end());
    link->~MeterLink();
}

// Whether `link` joins the ports the meter wants linked now (not ones gone
// or made anew since).
bool isCurrent(const MeterLink* link) {
    const Meter* meter = link->meter;
    if (link->channel >= meter->req.portIds.size() || meter->req.portIds[link->channel] != link->output) return false;
    auto found = state(meter->ctx).inputPorts.find(meter->node);
    if (found == state(meter->ctx).inputPorts.end()) return false;
    auto port = found->second.find(link->channel);
    if (port == found->second.end() || port->second != link->input) return false;
    // The registry as the mirror has it now: the measured node's ports may
    // have been made anew since the ids were asked for, an output's id now
    // an input's (ids come back at once, in any order).
    LockGuard lock(meter->ctx->mutex);
    for (const PortInfo& p : meter->ctx->ports)
        if (p.id == link->output) return p.nodeId == meter->req.nodeId && p.direction == 0;
    return false;
}

// The daemon refused one of the meter's links (no link factory, no format
// both ends take) while both its ports are there: the meter would never
// measure, so it ends, saying why. A refusal because a port went meanwhile
// is no end: the links follow the ports.
void onLinkError(void* user, int /*seq*/, int /*res*/, const char* message) {
    auto* link = static_cast<MeterLink*>(user);
    if (!isCurrent(link)) return;
    endLater(link->meter,
             std::string("the daemon refused the meter's link: ") + (message ? message : "no reason given"));
}

void onLinkInfo(void* user, const pw_link_info* info) {
    auto* link = static_cast<MeterLink*>(user);
    if (!info || !(info->change_mask & PW_LINK_CHANGE_MASK_STATE)) return;
    link->state = info->state;
    link->error = info->error ? info->error : "";
}

const auto kLinkEvents = listenerTable<pw_proxy_events>(
    PW_VERSION_PROXY_EVENTS, &pw_proxy_events::destroy, onLinkDestroy, &pw_proxy_events::removed, onLinkRemoved,
    &pw_proxy_events::error, onLinkError, &pw_proxy_events::bound, onLinkBound);
const auto kLinkInfoEvents = listenerTable<pw_link_events>(PW_VERSION_LINK_EVENTS, &pw_link_events::info, onLinkInfo);

// Destroys the meter's links and stream and forgets it; reports MeterEnded
// with `reason` unless it is null. The next meter waiting starts.
// Once the work queued now is done (the meters closed together have
// ended): the C library gives the freed memory back to the system. A
// stream's buffers, freed on this thread, stay in its allocator's heap
// otherwise, and glibc does not reuse them for the next streams: each 256
// meters opened and closed kept some 45 MB.
void giveBackMemory(PwContext* ctx) {
#ifdef __GLIBC__
    Meters& s = state(ctx);
    if (s.trimQueued) return;
    s.trimQueued = postWork(
                       ctx,
                       [](PwContext* c) {
                           state(c).trimQueued = false;
                           malloc_trim(0);
                       },
                       false) == Handoff::Queued;
#else
    (void)ctx;
#endif
}

void endMeter(Meter* meter, const char* reason) {
    PwContext* ctx = meter->ctx;
    Meters& s = state(ctx);
    StandardInputKept kept;  // the stream's client node may close descriptor 0 as it goes
    std::vector<MeterLink*> links = meter->links;
    for (MeterLink* link : links) pw_proxy_destroy(link->proxy);
    if (meter->stream) {
        s.inputPorts.erase(meter->node);
        spa_hook_remove(&meter->listener);
        // Returns once the data thread is done with the stream.
        pw_stream_destroy(meter->stream);
        meter->stream = nullptr;
    }
    uint32_t id = meter->req.meterId;
    forgetLive(ctx, id);
    s.meters.erase(
        std::remove_if(s.meters.begin(), s.meters.end(), [meter](const auto& m) { return m.get() == meter; }),
        s.meters.end());
    giveBackMemory(ctx);
    if (reason) emitGraphEvent(ctx, MeterEnded, id, 0, 0, reason);
    settle(ctx, id);
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

// Makes the links the meter lacks: from each measured port to the meter's
// input port of the same channel, as soon as both are announced; a link
// whose ports were made anew (or measured anew) gives way to one between
// the ports there are now.
void relink(Meter* meter) {
    PwContext* ctx = meter->ctx;
    pw_core* core = ctx->core.load();
    if (!meter->stream || !core || meter->ending || meter->node == SPA_ID_INVALID) return;
    const std::map<uint32_t, uint32_t>& inputs = state(ctx).inputPorts[meter->node];
    std::string inputNode = std::to_string(meter->node), outputNode = std::to_string(meter->req.nodeId);
    for (uint32_t ch = 0; ch < meter->req.portIds.size(); ch++) {
        uint32_t output = meter->req.portIds[ch];
        auto in = inputs.find(ch);
        uint32_t input = in == inputs.end() ? SPA_ID_INVALID : in->second;
        auto old =
            std::find_if(meter->links.begin(), meter->links.end(), [ch](MeterLink* l) { return l->channel == ch; });
        if (old != meter->links.end()) {
            if ((*old)->output == output && (*old)->input == input) continue;
            pw_proxy_destroy((*old)->proxy);
        }
        if (output == kNoPort || input == SPA_ID_INVALID) continue;
        std::string outputPort = std::to_string(output), inputPort = std::to_string(input);
        spa_dict_item items[] = {
            SPA_DICT_ITEM_INIT(PW_KEY_LINK_OUTPUT_NODE, outputNode.c_str()),
            SPA_DICT_ITEM_INIT(PW_KEY_LINK_OUTPUT_PORT, outputPort.c_str()),
            SPA_DICT_ITEM_INIT(PW_KEY_LINK_INPUT_NODE, inputNode.c_str()),
            SPA_DICT_ITEM_INIT(PW_KEY_LINK_INPUT_PORT, inputPort.c_str()),
            SPA_DICT_ITEM_INIT(PW_KEY_OBJECT_LINGER, "false"),
            // A meter measures what runs anyway: its links start no driver.
            SPA_DICT_ITEM_INIT(PW_KEY_LINK_PASSIVE, "true"),
        };
        spa_dict dict = SPA_DICT_INIT_ARRAY(items);
        auto* proxy = static_cast<pw_proxy*>(pw_core_create_object(core, "link-factory", PW_TYPE_INTERFACE_Link,
                                                                   PW_VERSION_LINK, &dict, sizeof(MeterLink)));
        if (!proxy) continue;
        auto* link = new (pw_proxy_get_user_data(proxy))
            MeterLink{meter, proxy, {}, {}, ch, output, input, false, PW_LINK_STATE_INIT, {}};
        pw_proxy_add_listener(proxy, &link->listener, &kLinkEvents, link);
        pw_proxy_add_object_listener(proxy, &link->linkListener, &kLinkInfoEvents, link);
        // A refused link is not the script's error to print.
        ctx->graphRequestProxyIds.insert(pw_proxy_get_id(proxy));
        meter->links.push_back(link);
    }
}

// Reports the meter's stage, when it changed or says something else.
void report(Meter* meter, MeterStage stage, const std::string& why) {
    if (meter->told && meter->stage == stage && meter->said == why) return;
    meter->told = true;
    meter->stage = stage;
    meter->said = why;
    emitGraphEvent(meter->ctx, MeterState, meter->req.meterId, uint32_t(stage), 0, why);
}

// Why a meter got no period for a second, as far as the PipeWire thread can
// tell; a meter linked to a running node has its links made again (see
// kMaxMends).
MeterStage diagnose(Meter* meter, double now, std::string& why) {
    PwContext* ctx = meter->ctx;
    uint32_t nodeId = meter->req.nodeId;
    int8_t nodeState = kNoState;
    std::string name;
    {
        LockGuard lock(ctx->mutex);
        for (const NodeInfo& n : ctx->nodes) {
            if (n.id != nodeId) continue;
            nodeState = n.state;
            name = n.name;
            break;
        }
    }
    std::string node = "node " + std::to_string(nodeId) + " (\"" + name + "\")";
    if (nodeState != kNoState && nodeState != PW_NODE_STATE_RUNNING) {
        why = node + " is " + pw_node_state_as_string(pw_node_state(nodeState)) +
              ": it runs no periods, so there is nothing to measure until it does";
        return MeterStage::Idle;
    }
    size_t channels = meter->req.portIds.size();
    auto found = state(ctx).inputPorts.find(meter->node);
    size_t inputs = 0;
    if (found != state(ctx).inputPorts.end())
        for (uint32_t ch = 0; ch < channels; ch++) inputs += found->second.count(ch);
    if (inputs < channels) {
        why = "the meter's stream has " + std::to_string(inputs) + " of its " + std::to_string(channels) +
              " input ports: nothing set up its ports";
        return MeterStage::Stalled;
    }
    for (uint32_t ch = 0; ch < channels; ch++) {
        if (meter->req.portIds[ch] != kNoPort) continue;
        why = "the measured port of channel " + std::to_string(ch + 1) + " of " + node +
              " is gone; it is linked again once the node has it back";
        return MeterStage::Stalled;
    }
    size_t bound = 0;
    for (MeterLink* link : meter->links) {
        if (link->state == PW_LINK_STATE_ERROR) {
            why = "its link from port " + std::to_string(link->output) +
                  " failed: " + (link->error.empty() ? "no reason given" : link->error);
            return MeterStage::Stalled;
        }
        bound += link->bound;
    }
    std::string idle;  // the states of its links that do not carry data
    for (MeterLink* link : meter->links)
        if (link->state != PW_LINK_STATE_ACTIVE)
            idle += (idle.empty() ? "" : ", ") + std::string(pw_link_state_as_string(pw_link_state(link->state)));
    if (bound < channels)
        why = std::to_string(bound) + " of its " + std::to_string(channels) + " links are made";
    else if (!idle.empty())
        why = "it is linked to " + node + ", which runs, but its links have not started (" + idle + ")";
    else
        why = "it is linked to " + node + ", which runs, yet no period reached it for a second";
    if (meter->mends < kMaxMends && now >= meter->nextMendMs) {
        // Links the daemon holds but never started: made anew.
        std::vector<MeterLink*> links = meter->links;
        for (MeterLink* link : links) pw_proxy_destroy(link->proxy);
        relink(meter);
        meter->nextMendMs = now + kFirstMendMs * double(1 << meter->mends);
        meter->mends++;
    }
    return MeterStage::Stalled;
}

void watch(Meter* meter, double now) {
    if (meter->ending || !meter->stream) return;
    uint64_t periods = meter->shared->periods.load(std::memory_order_relaxed);
    if (periods != meter->seenPeriods) {
        meter->seenPeriods = periods;
        meter->progressMs = now;
        meter->mends = 0;
        meter->nextMendMs = 0;
        report(meter, MeterStage::Measuring, "");
        return;
    }
    if (now - std::max(meter->progressMs, meter->startedMs) < kQuietMs) return;
    std::string why;
    MeterStage stage = diagnose(meter, now, why);
    report(meter, stage, why);
}

// Looks at the meters every `ms` (0: not at all).
void watchEvery(PwContext* ctx, long ms);

void onWatchTimer(void* data, uint64_t) {
    auto* ctx = static_cast<PwContext*>(data);
    Meters& s = state(ctx);
    double now = clockMs(CLOCK_MONOTONIC);
    bool allMeasuring = true;
    for (const auto& m : s.meters) {
        watch(m.get(), now);
        allMeasuring = allMeasuring && m->told && m->stage == MeterStage::Measuring;
    }
    watchEvery(ctx, s.meters.empty() ? 0 : allMeasuring ? kWatchMeasuringMs : kWatchMs);
}

void watchEvery(PwContext* ctx, long ms) {
    Meters& s = state(ctx);
    if (ms == s.watchMs) return;
    s.watchMs = ms;
    if (ms)
        arm(ctx, s.watchTimer, onWatchTimer, ms, true);
    else
        disarm(ctx, s.watchTimer);
}

// The data thread: each period's samples added to the meter's sums; an
// interval's sums go into its ring once they cover the interval and the ring
// has room (else they grow until it has: none is lost). Nothing here locks,
// allocates or calls the kernel.
void onProcess(void* user) {
    auto* meter = static_cast<Meter*>(user);
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
    meter->shared->periods.fetch_add(1, std::memory_order_relaxed);
    if (frames == 0) return;
    double rate = meter->rate.load(std::memory_order_relaxed);
    if (!meter->audible) {
        // Only silence so far (the sums hold nothing else): left out, for a while.
        const std::vector<float>& peaks = meter->levels.sums().peak;
        if (std::all_of(peaks.begin(), peaks.end(), [](float p) { return p == 0; })) {
            meter->silentFrames += frames;
            if (double(meter->silentFrames) < rate * kLeadingSilenceSeconds) return meter->levels.clear();
        }
        meter->audible = true;
    }
    pw_time time{};
    pw_stream_get_time_n(meter->stream, &time, sizeof time);
    meter->levels.advance(frames, time.now);
    if (endsInterval(meter->levels.frames(), frames, rate / meter->req.rateHz, clockCycle(time.now, frames, rate)) &&
        meter->shared->ring.push(meter->levels.sums()))
        meter->levels.clear();
}

void onParamChanged(void* user, uint32_t id, const spa_pod* param) {
    auto* meter = static_cast<Meter*>(user);
    if (id != SPA_PARAM_Format || !param) return;
    spa_audio_info_raw info{};
    if (spa_format_audio_raw_parse(param, &info) >= 0 && info.rate > 0) meter->rate.store(info.rate);
}

void onStateChanged(void* user, pw_stream_state old, pw_stream_state now, const char* error) {
    auto* meter = static_cast<Meter*>(user);
    if (now == PW_STREAM_STATE_ERROR)
        endLater(meter, error ? error : "the meter's stream failed");
    else if (now == PW_STREAM_STATE_UNCONNECTED && old != PW_STREAM_STATE_UNCONNECTED)
        endLater(meter, "the meter's stream was removed");
    else
        relink(meter);
}

const auto kStreamEvents = listenerTable<pw_stream_events>(PW_VERSION_STREAM_EVENTS, &pw_stream_events::state_changed,
                                                           onStateChanged, &pw_stream_events::param_changed,
                                                           onParamChanged, &pw_stream_events::process, onProcess);

void startOnLoop(PwContext* ctx, const MeterRequest& req, std::shared_ptr<MeterShared> shared) {
    Meters& s = state(ctx);
    if (s.startingIds.size() >= startingAtOnce()) {
        s.waiting.push_back({req, std::move(shared)});
        return;
    }
    beginMeter(ctx, req, std::move(shared));
}

// Makes the meter's stream (its links follow as its ports are announced).
void beginMeter(PwContext* ctx, const MeterRequest& req, std::shared_ptr<MeterShared> shared) {
    pw_core* core = ctx->core.load();
    if (!core) {
        forgetLive(ctx, req.meterId);
        emitGraphEvent(ctx, MeterEnded, req.meterId, 0, 0, "PipeWire not connected");
        return;
    }
    // Its stream opens descriptors as it negotiates, as do those of the
    // meters not negotiated yet (PipeWire 1.x starts them all at once).
    double now = clockMs(CLOCK_MONOTONIC);
    long unsettled = long(std::count_if(state(ctx).meters.begin(), state(ctx).meters.end(),
                                        [now](const auto& m) { return startingUp(m.get(), now); }));
    long needed = kMeterSpareDescriptors + kMeterStreamDescriptors * (unsettled + 1);
    long left = descriptorsLeft();
    if (left < needed) {
        forgetLive(ctx, req.meterId);
        emitGraphEvent(ctx, MeterEnded, req.meterId, 0, -EMFILE,
                       "EMFILE: too few file descriptors left to open the meter's stream (" + std::to_string(left) +
                           ", " + std::to_string(needed) + " needed)");
        return;
    }
    auto owned = std::make_unique<Meter>();
    Meter* meter = owned.get();
    meter->ctx = ctx;
    meter->req = req;
    meter->shared = std::move(shared);
    meter->rate.store(req.sampleRate);
    meter->startedMs = clockMs(CLOCK_MONOTONIC);
    size_t channels = req.portIds.size();
    meter->levels.reset(channels);
    std::string name = std::string(kMeterNamePrefix) + std::to_string(getpid()) + "." + std::to_string(req.meterId);
    // Passive, linked by us only: no session manager configures, moves or
    // links it (its class is none of theirs), and it keeps no driver running
    // by itself.
    pw_properties* props =
        pw_properties_new(PW_KEY_MEDIA_TYPE, "Audio", PW_KEY_MEDIA_CATEGORY, "Capture", PW_KEY_MEDIA_CLASS,
                          kMeterMediaClass, PW_KEY_NODE_NAME, name.c_str(), PW_KEY_NODE_PASSIVE, "true",
                          PW_KEY_NODE_DONT_RECONNECT, "true", PW_KEY_NODE_AUTOCONNECT, "false", nullptr);
    // Nobody else configures the ports of the stream's adapter: it sets them
    // up itself, one per channel.
    pw_properties_set(props, "adapter.auto-port-config",
                      "{ mode = dsp monitor = false control = false position = preserve }");
    pw_properties_setf(props, kMeterKey, "%u", req.nodeId);
    meter->stream = pw_stream_new(core, name.c_str(), props);
    if (!meter->stream) {
        forgetLive(ctx, req.meterId);
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
    // Processed on the data thread (onProcess), not this one.
    auto flags = pw_stream_flags(PW_STREAM_FLAG_MAP_BUFFERS | PW_STREAM_FLAG_RT_PROCESS);
    StandardInputKept kept;  // a connect that fails half way tears down what it made
    if (pw_stream_connect(meter->stream, PW_DIRECTION_INPUT, PW_ID_ANY, flags, params, 1) < 0) {
        endMeter(meter, "cannot connect the meter's stream");
        return;
    }
    Meters& s = state(ctx);
    watchEvery(ctx, kWatchMs);
    s.startingIds.push_back(req.meterId);
    if (s.startingIds.size() == 1) arm(ctx, s.settleTimer, onSettleTimer, kSettleCheckMs, true);
}

}  // namespace

void installMeters(PwContext* ctx) {
    if (!ctx->features.meters) ctx->features.meters = std::make_unique<Meters>();
}

Handoff requestMeterStart(PwContext* ctx, const MeterRequest& req) {
    auto shared = std::make_shared<MeterShared>(req.meterId, req.portIds.size(), req.rateHz);
    Meters& s = state(ctx);
    forgetLive(ctx, req.meterId);
    {
        std::lock_guard<std::mutex> lock(s.liveMutex);
        s.live.push_back(shared);
    }
    Handoff handoff = postWork(ctx, [req, shared](PwContext* c) { startOnLoop(c, req, shared); });
    if (handoff != Handoff::Queued) forgetLive(ctx, req.meterId);
    return handoff;
}

size_t openMeters(PwContext* ctx) {
    Meters& s = state(ctx);
    std::lock_guard<std::mutex> lock(s.liveMutex);
    return s.live.size();
}

Handoff requestMeterPorts(PwContext* ctx, uint32_t meterId, const std::vector<uint32_t>& portIds) {
    return postWork(
        ctx,
        [meterId, portIds](PwContext* c) {
            for (Waiting& w : state(c).waiting)
                if (w.req.meterId == meterId && w.req.portIds.size() == portIds.size()) w.req.portIds = portIds;
            Meter* m = findMeter(c, meterId);
            if (!m || m->req.portIds.size() != portIds.size()) return;
            m->req.portIds = portIds;
            relink(m);
        },
        false);
}

Handoff requestMeterStop(PwContext* ctx, uint32_t meterId) {
    // No more levels; and, waiting to start, it will not.
    forgetLive(ctx, meterId);
    return postWork(
        ctx,
        [meterId](PwContext* c) {
            // One gone already (with a connection, say) is told ended too:
            // whoever closes it waits for that. One waiting to start never
            // starts.
            std::deque<Waiting>& waiting = state(c).waiting;
            auto queued = std::find_if(waiting.begin(), waiting.end(),
                                       [meterId](const Waiting& w) { return w.req.meterId == meterId; });
            if (queued != waiting.end()) waiting.erase(queued);
            if (Meter* m = findMeter(c, meterId))
                endMeter(m, "closed");
            else
                emitGraphEvent(c, MeterEnded, meterId, 0, 0, "closed");
        },
        false);
}

size_t takeMeterLevels(PwContext* ctx, std::vector<TakenLevel>& out, double& nextMs) {
    Meters& s = state(ctx);
    // The data thread stamps an interval's end with the monotonic clock; the
    // levels carry the wall clock.
    timespec mono;
    clock_gettime(CLOCK_MONOTONIC, &mono);
    int64_t now = int64_t(mono.tv_sec) * 1000000000 + mono.tv_nsec;
    double wall = clockMs(CLOCK_REALTIME);
    int64_t due = INT64_MAX;
    size_t n = 0;
    std::lock_guard<std::mutex> lock(s.liveMutex);
    for (const auto& shared : s.live) {
        if (size_t intervals = shared->ring.takeAll(s.taken)) {
            if (n == out.size()) out.emplace_back();
            TakenLevel& level = out[n++];
            level.meterId = shared->id;
            int64_t end = s.taken.endNs > 0 && s.taken.endNs <= now ? s.taken.endNs : now;
            s.taken.toLevels(double(int64_t(wall - double(now - end) / 1e6)), level.levels);
            if (shared->lastEndNs > 0 && end > shared->lastEndNs)
                shared->periodNs = (end - shared->lastEndNs) / int64_t(intervals);
            shared->lastEndNs = end;
            shared->misses = 0;
        }
        // When to look for its next interval.
        int64_t interval = int64_t(1e9 / shared->rateHz), next;
        int64_t expected = shared->lastEndNs + shared->periodNs + kLookLateNs;
        if (shared->periodNs == 0 || shared->lastEndNs == 0)
            next = now + interval;
        else if (now - shared->lastEndNs > kQuietLookNs)
            next = now + std::max(interval, kQuietLookEveryNs);
        else if (expected > now)
            next = expected;
        else
            next = now + std::min(interval, kLookLateNs << std::min(shared->misses++, 10));
        due = std::min(due, next);
    }
    nextMs = due == INT64_MAX ? 0 : std::max(1.0, double(due - now) / 1e6);
    return n;
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
            relink(m);
        }
        return;
    }
    if (std::strcmp(type, PW_TYPE_INTERFACE_Port) != 0) return;
    const char* node = spa_dict_lookup(props, PW_KEY_NODE_ID);
    const char* direction = spa_dict_lookup(props, PW_KEY_PORT_DIRECTION);
    const char* index = spa_dict_lookup(props, PW_KEY_PORT_ID);
    if (!node || !direction || std::string(direction) != "in" || !index) return;
    uint32_t nodeId = uint32_t(std::strtoul(node, nullptr, 10));
    s.inputPorts[nodeId][uint32_t(std::strtoul(index, nullptr, 10))] = id;
    s.inputPortNode[id] = nodeId;
    for (const auto& m : s.meters)
        if (m->node == nodeId) relink(m.get());
}

void meterGlobalGone(PwContext* ctx, uint32_t id) {
    Meters& s = state(ctx);
    // One of a meter's input ports: its link went with it, and comes back
    // with the port.
    auto input = s.inputPortNode.find(id);
    if (input != s.inputPortNode.end()) {
        auto ports = s.inputPorts.find(input->second);
        if (ports != s.inputPorts.end())
            for (auto it = ports->second.begin(); it != ports->second.end(); ++it)
                if (it->second == id) {
                    ports->second.erase(it);
                    break;
                }
        s.inputPortNode.erase(input);
        return;
    }
    s.inputPorts.erase(id);
    std::vector<Meter*> ended;
    for (const auto& m : s.meters) {
        if (m->req.nodeId == id) {
            ended.push_back(m.get());
            continue;
        }
        // A measured port: linked again when the node has it back (the
        // JavaScript side says which that is).
        std::replace(m->req.portIds.begin(), m->req.portIds.end(), id, kNoPort);
    }
    for (Meter* m : ended) endMeter(m, "the measured node was removed");
    for (auto it = s.waiting.begin(); it != s.waiting.end();) {
        if (it->req.nodeId != id) {
            std::replace(it->req.portIds.begin(), it->req.portIds.end(), id, kNoPort);
            ++it;
            continue;
        }
        forgetLive(ctx, it->req.meterId);
        emitGraphEvent(ctx, MeterEnded, it->req.meterId, 0, 0, "the measured node was removed");
        it = s.waiting.erase(it);
    }
}

void releaseMeters(PwContext* ctx) {
    Meters& s = state(ctx);
    while (!s.meters.empty()) endMeter(s.meters.back().get(), nullptr);
    for (const Waiting& w : s.waiting) forgetLive(ctx, w.req.meterId);
    s.waiting.clear();
    s.startingIds.clear();
    pw_loop* loop = pw_main_loop_get_loop(ctx->mainLoop);
    if (s.settleTimer) pw_loop_destroy_source(loop, s.settleTimer);
    if (s.watchTimer) pw_loop_destroy_source(loop, s.watchTimer);
    s.settleTimer = s.watchTimer = nullptr;
    s.watchMs = 0;
    s.inputPorts.clear();
    s.inputPortNode.clear();
}
