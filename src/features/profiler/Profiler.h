// The daemon's profiler (its "Profiler" global, from module-profiler), as
// pw-top reads it: each profile's drivers, their clock, load and xruns, and
// the timings of every node they drive. Bound while a Graph's profiler runs;
// the latest profile waits in a slot, told by a ProfileReady event, once
// however many replace it. A driver's new xruns, and a follower's new errors
// (pw-top's ERR: the growth of the daemon's count of its xruns on 1.x, its
// cycles not finished on 0.3), come as ProfilerXrun (`id`: the node, `token`:
// its count, `res`: 0 for a driver's xruns, 1 for a follower's errors), at
// most once per node per profile the daemon sends. V8-free.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include <spa/pod/pod.h>
#include <spa/utils/dict.h>

#include "../../connection/WorkQueue.h"

struct PwContext;

// A node's status once its cycle is done (PipeWire's
// PW_NODE_ACTIVATION_FINISHED): any other in a profile is a cycle it missed.
constexpr int32_t kActivationFinished = 3;

// One node's times in a cycle, in ns of the monotonic clock.
struct ProfileBlock {
    uint32_t id = 0;
    std::string name;
    int64_t signal = 0, awake = 0, finish = 0;
    int32_t status = 0;
    int32_t errors = 0;      // a follower's errors since the profiler was bound (see above)
    int32_t xrunCount = -1;  // the daemon's own count of the node's xruns (1.x), -1 where not sent
    bool async = false;      // a follower the graph does not wait for (1.x)
    uint32_t latencyNum = 0, latencyDenom = 0;
};

struct ProfileDriver {
    ProfileBlock block;
    uint64_t quantum = 0;  // the clock's duration, in frames
    uint32_t rateNum = 0, rateDenom = 0;
    float load[3] = {0, 0, 0};  // fast, medium, slow
    int32_t xruns = 0;
    std::vector<ProfileBlock> followers;
};

struct Profile {
    double t = 0;  // wall clock, ms since the epoch
    std::vector<ProfileDriver> drivers;
};

// The profiles in one "profile" event: a struct of Profiler objects, one
// per driver cycle. Unknown or short entries are skipped.
std::vector<ProfileDriver> parseProfile(const spa_pod* pod);

void installProfiler(PwContext* ctx);

// Whether the daemon announced a profiler on this connection. Any thread.
bool hasProfiler(PwContext* ctx);

// Starts or stops listening to the profiler (stopped when `on` is false).
Handoff requestProfiler(PwContext* ctx, bool on);

// JavaScript thread: the latest profile since the last take.
bool takeProfile(PwContext* ctx, Profile& out);

// Hooks (FeatureHooks.cpp), PipeWire thread.
bool profilerGlobal(PwContext* ctx, uint32_t id, const char* type);
void profilerGlobalGone(PwContext* ctx, uint32_t id);
void releaseProfiler(PwContext* ctx);
