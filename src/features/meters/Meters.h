// Level meters: a capture pw_stream per meter, owned by the add-on, linked
// by the add-on to the ports it measures. Peak and RMS per channel are
// measured on PipeWire's data thread (the stream's process callback runs
// there), which hands each interval's sums to the JavaScript thread through
// a ring of the meter's own (core/Levels.h): no lock, no allocation, no
// system call on that thread. The JavaScript thread takes them when it looks
// (takeMeterLevels). The PipeWire thread makes and links the streams,
// follows their ports and looks at each meter a few times a second: one that
// measures nothing for a second says why (MeterState), one that cannot go on
// ends (MeterEnded, `text`: why). V8-free.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include <spa/utils/dict.h>

#include "../../connection/WorkQueue.h"
#include "../../core/Levels.h"

struct PwContext;

// The property of our own a meter's node carries: the id of what it measures.
constexpr const char* kMeterKey = "quorvane.meter";
// The media class of a meter's node: none a session manager takes up (they
// configure, link and move "Stream/*", "Audio/*" and "Video/*" nodes), so
// that its ports stay as the stream set them up and its links are ours alone.
constexpr const char* kMeterMediaClass = "Meter/Audio";
// The most channels one meter measures.
constexpr size_t kMaxMeterChannels = 64;
// The most meters one Graph, and the whole process, may have open at once
// (lib/ refuses more; the add-on refuses past kMaxMeters too): each one is a
// stream in the daemon, some descriptors and its buffers' memory here. A web
// page's meters are fewer still.
constexpr size_t kMaxMetersPerGraph = 256;
constexpr size_t kMaxMeters = 512;
// The descriptors a meter's stream needs left as it is opened: what the
// stream opens as it negotiates (its buffers' memory, its activation's
// eventfds: 5 or 6), for it and for every other meter that has not
// negotiated yet, and besides those the headroom a node request keeps (the
// connection's own traffic brings some). Refused with fewer, as
// core/Descriptors.h says why.
constexpr long kMeterStreamDescriptors = 8;
constexpr long kMeterSpareDescriptors = 16;
// The meters' streams negotiating at once (on PipeWire 1.0 and later; one
// before): their buffers' descriptors come on one connection.
constexpr size_t kMetersStartingAtOnce = 16;
// A measured channel whose port is gone, in MeterRequest::portIds.
constexpr uint32_t kNoPort = 0xffffffff;

// What a meter does, as MeterState reports it in `token`, with `text`
// saying why when it does not measure.
enum class MeterStage : uint32_t {
    Measuring = 0,  // periods reach it
    Idle = 1,       // the measured node runs no periods: there is nothing to measure
    Stalled = 2,    // the measured node runs, yet no period reaches the meter
};

struct MeterRequest {
    uint32_t meterId;
    uint32_t nodeId;                // the node it measures (watched: its removal ends the meter)
    std::vector<uint32_t> portIds;  // the output ports linked, one per channel, in order
    double rateHz;                  // levels per second
    uint32_t sampleRate;            // asked of the graph: a stream's adapter gives ports only to a fixed format
};

// A meter's levels, taken by the JavaScript thread.
struct TakenLevel {
    uint32_t meterId = 0;
    MeterLevels levels;
};

// Makes the feature's state in the context; before the first start.
void installMeters(PwContext* ctx);

// Starts meter `req.meterId`: its stream, then its links as its ports are
// announced. Not waited for; nothing is asked unless it is Queued. A meter
// whose stream cannot be opened for want of descriptors when its turn comes
// ends (MeterEnded) with a text that begins "EMFILE:". JavaScript thread.
Handoff requestMeterStart(PwContext* ctx, const MeterRequest& req);

// The meters started and not ended or stopped yet. JavaScript thread.
size_t openMeters(PwContext* ctx);

// The measured ports of meter `meterId` again, one per channel (kNoPort for
// one that is gone): after the measured node's ports were made anew. Its
// links follow. JavaScript thread.
Handoff requestMeterPorts(PwContext* ctx, uint32_t meterId, const std::vector<uint32_t>& portIds);

// Ends meter `meterId`: its stream and links are destroyed, and MeterEnded
// ("closed") is reported, for a meter that has ended already too; no level
// of it is taken after this call. JavaScript thread.
Handoff requestMeterStop(PwContext* ctx, uint32_t meterId);

// JavaScript thread: the levels of each meter that measured an interval
// since the last take (every interval since then, as one), into the first
// entries of `out` (reused); returns how many. `nextMs`: in how many ms to
// look again (when the next interval of some meter is due; 0: no meter
// runs).
size_t takeMeterLevels(PwContext* ctx, std::vector<TakenLevel>& out, double& nextMs);

// Hooks (FeatureHooks.cpp). PipeWire thread, no lock held.
// A hidden node (a meter's, named with the meter's id) or one of its ports
// was announced.
void meterGlobalAnnounced(PwContext* ctx, uint32_t id, const char* type, const spa_dict* props);
// A global was removed: meters measuring it end; a meter whose port it was
// links again once its port is back.
void meterGlobalGone(PwContext* ctx, uint32_t id);
// The connection is released: every meter's stream goes, without events.
void releaseMeters(PwContext* ctx);
