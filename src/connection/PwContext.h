// The one process-wide state record: PipeWire handles, the graph mirror, the
// link bookkeeping, the features' state, the work queue towards the
// PipeWire thread, the event queue towards the JavaScript thread and the locks.
#pragma once

#include <pthread.h>

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <vector>

#include <pipewire/pipewire.h>
#include <uv.h>

#include "../core/MirrorRecords.h"
#include "../core/PwEvent.h"
#include "EventQueue.h"
#include "InfoProxies.h"
#include "WorkQueue.h"

struct PwContext;

// What the features (links, nodes, control) do when the connection changes:
// one table, installed by features/FeatureHooks.cpp, so that the connection
// below them needs no knowledge of what they made. Unset members are skipped.
struct ConnectionHooks {
    // A link was announced; graph lock held. True when a request of this
    // process waits for it (its announcement then wakes JavaScript at once).
    bool (*linkAnnounced)(PwContext* ctx, const LinkInfo& link);
    // A global was withdrawn; graph lock held.
    void (*globalRemoved)(PwContext* ctx, uint32_t id);
    // The same, once the mirror has dealt with it; no lock held.
    void (*globalGone)(PwContext* ctx, uint32_t id);
    // A core error: true when it answers a request of the hook's owner,
    // which then has dealt with it. PipeWire thread, no lock held.
    bool (*coreError)(PwContext* ctx, uint32_t id, int seq, int res, const char* message);
    // A round trip ended. PipeWire thread, no lock held.
    void (*coreDone)(PwContext* ctx, int seq);
    // The connection is being released: drop what belongs to it. PipeWire thread.
    void (*released)(PwContext* ctx);
    // The connection is about to close: hand queued work to the PipeWire
    // thread. JavaScript thread, no lock held.
    void (*beforeClose)(PwContext* ctx);
    // A global of a type the info proxies do not bind (`props`: the
    // registry's): true when a feature bound it (a client's only informs).
    // PipeWire thread, no lock held.
    bool (*bindGlobal)(PwContext* ctx, uint32_t id, const char* type, uint32_t version, const spa_dict* props);
    // An error on one of the info proxies (a refused volume request, say).
    // PipeWire thread, no lock held.
    void (*infoProxyError)(PwContext* ctx, uint32_t proxyId, int seq, int res, const char* message);
    // A node or port the mirror hides (`props`: the registry's). PipeWire
    // thread, no lock held.
    void (*hiddenAnnounced)(PwContext* ctx, uint32_t id, const char* type, const spa_dict* props);
};

// What a feature keeps for the module's life (the links and nodes it made,
// the requests it tracks): defined in the feature's folder, owned by the
// context, so that it is alive whenever the PipeWire thread may touch it,
// at process exit too.
struct FeatureState {
    virtual ~FeatureState() = default;
};

// Each feature's state, one member per feature folder, reached only through
// that folder's accessor (linksState, nodeRequests, controlRequests,
// metadataState); installFeatureHooks makes them before the first start.
struct FeatureStates {
    std::unique_ptr<FeatureState> links;     // features/links/LinksState.h
    std::unique_ptr<FeatureState> nodes;     // features/nodes/NodeCreation.cpp
    std::unique_ptr<FeatureState> control;   // features/control/ControlRequests.cpp
    std::unique_ptr<FeatureState> metadata;  // features/control/Metadata.cpp
    std::unique_ptr<FeatureState> meters;    // features/meters/Meters.cpp
    std::unique_ptr<FeatureState> profiler;  // features/profiler/Profiler.cpp
    std::unique_ptr<FeatureState> modules;   // features/effects/Modules.cpp
    std::unique_ptr<FeatureState> cards;     // features/cards/Cards.cpp
};

// The connection's life, one state for the whole module (docs/development.md,
// "Lifecycle", draws it). Moved only by advanceLifecycle, whose table says
// which thread makes each move and under which lock.
enum class Lifecycle : int {
    Closed,      // no connection: none was started, or the last one was stopped
    Connecting,  // the connect was handed to the PipeWire thread
    Failed,      // no connection came of the start; nothing is handed over until it is stopped
    Connected,   // core and registry made; the initial round trip runs
    Listed,      // the initial graph is in the mirror (the script's createPwThread waits for it)
    Informed,    // every object's info is in too: the Graph receives the mirror from now on
    Lost,        // the daemon ended the connection; work is still handed over and finds no core
    Closing,     // a stop was asked: the PipeWire thread releases the connection
};

// The PipeWire thread's own life: made by the first start, kept for every
// later connection, ended at process exit. Moved only by advancePwThread.
enum class PwThreadState : int {
    None,      // not made yet (or it failed, and was joined: the next start tries again)
    Starting,  // made; making its loop and context
    Running,   // its loop runs and drains the work queue
    Ended,     // its loop has returned (process exit, or it could not start)
};

struct PwContext {
    // PipeWire objects. All of them are created, used and released on the
    // PipeWire thread; the JavaScript thread only tests `core` and hands work
    // to `mainLoop` while acceptsWork(). The loop and the context
    // outlive the connections; the others belong to one connection.
    pw_context* context = nullptr;
    std::atomic<pw_core*> core{nullptr};
    pw_registry* registry = nullptr;
    spa_hook registryListener{};
    spa_hook coreListener{};
    pw_main_loop* mainLoop = nullptr;

    // The mirror, guarded by `mutex`.
    std::vector<NodeInfo> nodes;
    std::vector<PortInfo> ports;
    std::vector<LinkInfo> links;

    // Whether the Graph receives the changes of the mirror; decided together with
    // each change, under `mutex`.
    bool graphListening = false;
    // The Graph has received the mirror whole: it was Informed and the mirror
    // has not been emptied since. Apart from the lifecycle because it
    // outlives a Lost connection until the mirror goes. Under `mutex`.
    bool mirrorDelivered = false;
    // The Graph reconnects: its listeners were sent the old mirror as destroyed and are sent
    // the new one appear. A first connect has no listeners yet and is spared
    // the copy of the mirror. Guarded by `mutex`.
    bool graphWantsMirror = false;

    // The globals the mirror hides (RegistryMirror.cpp: the add-on's own
    // meters, their ports and links). PipeWire thread only.
    std::set<uint32_t> hiddenIds;

    // The bound nodes, ports and links (ObjectInfo.h); PipeWire thread only.
    ObjectBindings bindings;

    // Proxy ids of the Graph's link requests, whose refusals reach the Graph
    // instead of standard error, and the round trips the Graph asked for.
    // PipeWire thread only.
    std::set<uint32_t> graphRequestProxyIds;
    std::set<int> graphSyncs;
    // The connection's end was reported to the Graph (once per connection,
    // whichever of a failed connect, a core error or the close comes
    // first). PipeWire thread; reset at each connect.
    bool disconnectReported = false;

    const ConnectionHooks* hooks = nullptr;
    FeatureStates features;  // installed with `hooks`, before the first start

    // Everything handed to the PipeWire thread goes through here.
    WorkQueue work;
    std::string clientName = "quorvane";  // "application.name"; set before a start
    // The kinds of object whose info is bound as their globals are announced,
    // one bit a kind (node 1, port 2, link 4, device 8); written by the
    // JavaScript thread, read on the PipeWire thread. Without a kind's info,
    // the registry's properties serve, as they do when a bind fails (and
    // without devices', no device is listed).
    std::atomic<uint8_t> infoKinds{15};

    // Both locks live as long as the context: queries may take `mutex` in
    // every state, and producers may hold `queueMutex` while a new start
    // would otherwise re-initialise it.
    pthread_mutex_t mutex = PTHREAD_MUTEX_INITIALIZER;
    pthread_mutex_t queueMutex = PTHREAD_MUTEX_INITIALIZER;  // innermost lock

    EventQueue eventQueue;  // guarded by `queueMutex`
    uv_async_t* eventAsync = nullptr;
    std::atomic<bool> asyncInitialized{false};
    // Who holds the connection: the script (createPwThread) and the Graph,
    // independently of each other and of the connection's state (either may
    // hold one that is Lost, or let go of one still Connecting). `scriptHolds`
    // is written on the JavaScript thread and read by the PipeWire thread,
    // which prints core errors only for the script.
    std::atomic<bool> scriptHolds{false};
    bool graphHolds = false;  // JavaScript thread only

    // The PipeWire thread, with `mainLoop` and `context`. `threadState` is
    // waited on under `threadMutex` while the thread starts.
    pthread_t thread{};
    std::mutex threadMutex;
    std::condition_variable threadCv;
    std::atomic<PwThreadState> threadState{PwThreadState::None};

    std::atomic<Lifecycle> lifecycle{Lifecycle::Closed};

    // The release of a connection, asked for through `releaseEvent` (which a
    // full invoke queue cannot hold up) and answered under `releaseMutex`. A
    // stop that waited in vain leaves it Abandoned: the PipeWire thread
    // releases the connection and empties the mirror when it gets to it. A
    // hand-shake of its own, not a lifecycle state: an abandoned release
    // outlives the stop that asked for it, into the next connection's start.
    enum class Release { None, Asked, Done, Abandoned };
    spa_source* releaseEvent = nullptr;  // made with the loop, on the PipeWire thread
    std::mutex releaseMutex;
    std::condition_variable releaseCv;
    Release releaseState = Release::None;
    int initialSyncSeq = 0;  // PipeWire thread
    int infoSyncSeq = -1;    // PipeWire thread

    // The round trip that closes a connection, so that requests already
    // sent have reached the daemon. Guarded by `flushMutex`.
    std::mutex flushMutex;
    std::condition_variable flushCv;
    int flushSeq = -1;
    bool flushDone = false;

    // The module's end ran (shutdownModule). JavaScript thread.
    bool shutDown = false;
};

// The module's one context: made at the first call, never destroyed (a
// thread left behind by a stuck exit may still read it); its teardown is
// shutdownModule (SharedConnection.h), run by the module's exit hooks.
PwContext* getContext();

// The one transition of the connection's state: to `to` from the state it is
// in, when the table below allows it; false (nothing changed) when it does
// not (another thread moved it first). Who moves it, and under which lock:
//   Closed     -> Connecting  JavaScript thread: a start (startPwThread)
//   Connecting -> Closed      JavaScript thread: no thread could be made
//   Connecting -> Failed      JavaScript thread (the thread failed to start, or
//                             took no work) or PipeWire thread (no core/registry)
//   Connecting -> Connected   PipeWire thread: connectOnLoop made the core
//   Connected  -> Listed      PipeWire thread, graph lock: the initial round trip ended
//   Listed     -> Informed    PipeWire thread, graph lock: the info round trip ended
//   Connected, Listed, Informed -> Lost   PipeWire thread: a core error ended it
//   any but Closed -> Closing JavaScript thread: stopPwThread
//   Closing    -> Closed      JavaScript thread: the release answered or given up
bool advanceLifecycle(PwContext* ctx, Lifecycle to);

// The PipeWire thread's transitions, under `threadMutex` (waiters are woken):
//   None -> Starting        JavaScript thread, before pthread_create
//   Starting -> None        JavaScript thread: no thread made, or a failed one joined
//   Starting -> Running     PipeWire thread: its loop was entered
//   Starting, Running -> Ended   PipeWire thread, as it returns
void advancePwThread(PwContext* ctx, PwThreadState to);

inline Lifecycle lifecycleOf(const PwContext* ctx);

// A connection was started and not yet stopped (whatever became of it).
inline bool connectionStarted(const PwContext* ctx) {
    return lifecycleOf(ctx) != Lifecycle::Closed;
}

// Work may be handed to the PipeWire thread: its connect ran and made a
// core, and no stop was asked.
inline bool acceptsWork(const PwContext* ctx) {
    Lifecycle s = lifecycleOf(ctx);
    return s == Lifecycle::Connected || s == Lifecycle::Listed || s == Lifecycle::Informed || s == Lifecycle::Lost;
}

// The core is connected and the daemon has not ended the connection.
inline bool isConnected(const PwContext* ctx) {
    Lifecycle s = lifecycleOf(ctx);
    return s == Lifecycle::Connected || s == Lifecycle::Listed || s == Lifecycle::Informed;
}

// Empties the three mirror lists; the caller provides the exclusion.
void clearContextData(PwContext* ctx);

// Empties the mirror under the graph lock. A Graph that listens receives
// `reason` (when given) as Disconnected, then the mirror go.
void emptyMirror(PwContext* ctx, const char* reason);

// Whether the Graph receives the mirror's changes now: it listens and has received
// the mirror whole (with its info). Graph lock held.
inline bool graphReceivesMirrorLocked(const PwContext* ctx) {
    return ctx->graphListening && ctx->mirrorDelivered;
}

inline Lifecycle lifecycleOf(const PwContext* ctx) {
    return ctx->lifecycle.load();
}

// RAII holder for one of the context's locks.
class LockGuard {
public:
    explicit LockGuard(pthread_mutex_t& m) : m_(m) { pthread_mutex_lock(&m_); }
    ~LockGuard() { pthread_mutex_unlock(&m_); }
    LockGuard(const LockGuard&) = delete;
    LockGuard& operator=(const LockGuard&) = delete;

private:
    pthread_mutex_t& m_;
};
