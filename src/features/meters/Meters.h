// Level meters: a capture pw_stream per meter, owned by the add-on, linked
// by the add-on to the ports it measures, measuring peak and RMS per channel
// on the PipeWire thread. Each meter's latest levels wait in a slot of its
// own; a MeterLevel event (its `id`: the meter) tells the JavaScript thread
// that the slot holds new ones, once, however many replace them meanwhile.
// A MeterEnded event (`id`, `text`: why) ends it. V8-free.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include <spa/utils/dict.h>

#include "../../connection/WorkQueue.h"
#include "../../core/MirrorRecords.h"

struct PwContext;

// The property of our own a meter's node carries: the id of what it measures.
constexpr const char* kMeterKey = "quorvane.meter";
// The most channels one meter measures.
constexpr size_t kMaxMeterChannels = 64;

// Levels in dBFS per channel; -infinity for silence. `t`: the wall clock,
// in ms since the epoch, when the interval ended.
struct MeterLevels {
    double t = 0;
    std::vector<double> peak, rms;
};

// Peak and mean square of each channel, over the periods added since the
// last take.
class LevelAccumulator {
public:
    LevelAccumulator() = default;
    explicit LevelAccumulator(size_t channels) { reset(channels); }
    void reset(size_t channels);
    // `samples` of channel `channel` (out of range: ignored).
    void add(size_t channel, const float* samples, size_t count);
    // Counts `frames` more frames; add() calls for one period come first.
    void advance(size_t frames) { frames_ += frames; }
    size_t frames() const { return frames_; }
    // The levels so far, in dBFS, into `out` (its vectors reused: no
    // allocation once they have room), and starts again.
    void take(double t, MeterLevels& out);

private:
    std::vector<float> peak_;
    std::vector<double> sumSquares_;
    size_t frames_ = 0;
};

// 20·log10 of an amplitude; -infinity for 0.
double amplitudeDb(double amplitude);

struct MeterRequest {
    uint32_t meterId;
    uint32_t nodeId;                // the node it measures (watched: its removal ends the meter)
    std::vector<uint32_t> portIds;  // the output ports linked, one per channel, in order
    double rateHz;                  // levels per second
    uint32_t sampleRate;            // asked of the graph: a stream's adapter gives ports only to a fixed format
};

// Makes the feature's state in the context; before the first start.
void installMeters(PwContext* ctx);

// Starts meter `req.meterId`: its stream, then its links once its ports are
// announced. Not waited for; nothing is asked unless it is Queued.
Handoff requestMeterStart(PwContext* ctx, const MeterRequest& req);

// Ends meter `meterId`: its stream and links are destroyed, and MeterEnded
// ("closed") is reported, for a meter that has ended already too.
Handoff requestMeterStop(PwContext* ctx, uint32_t meterId);

// JavaScript thread: the latest levels of `meterId` since the last take;
// false when none are new (or the meter is gone).
bool takeMeterLevel(PwContext* ctx, uint32_t meterId, MeterLevels& out);

// Hooks (FeatureHooks.cpp). PipeWire thread, no lock held.
// A hidden node (a meter's, named with the meter's id) or one of its ports
// was announced.
void meterGlobalAnnounced(PwContext* ctx, uint32_t id, const char* type, const spa_dict* props);
// A global was removed: meters measuring it end.
void meterGlobalGone(PwContext* ctx, uint32_t id);
// The connection is released: every meter's stream goes, without events.
void releaseMeters(PwContext* ctx);
