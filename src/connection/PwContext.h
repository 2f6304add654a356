// The one process-wide state record: PipeWire handles, the graph mirror, the
// link bookkeeping, the features' state, the work queue towards the
// PipeWire thread, the event queue towards the JavaScript thread and the locks.
#pragma once

#include <pthread.h>

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <deque>
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

struct LinkProxyData;
struct PwContext;

// A link removal on its way to the PipeWire thread: the link's registry id
// and the "object.serial" it had when the removal was asked for (0 when the
// daemon gives none), so that an id the daemon has handed out again since is
// left alone.
struct LinkRemoval {
    uint32_t linkId = 0;
    uint64_t serial = 0;
    bool quiet = false;  // the Graph's: its outcome goes to the Graph, never to standard error
};

// A removal sent to the daemon, until the round trip after it is done: the
// daemon's error for it, if any, comes before that.
struct SentRemoval {
    int destroySeq;  // the sequence number an error for the destroy carries
    int syncSeq;     // the round trip sent right after it
    bool viaRegistry;
    LinkRemoval removal;
};

// What the features (links, nodes, control) do when the connection changes:
// one table, installed by features/FeatureHooks.cpp, so that the connection
// below them needs no knowledge of what they made. Unset members are skipped.
struct ConnectionHooks {
    // A link was announced; graph lock held.
    void (*linkAnnounced)(PwContext* ctx, const LinkInfo& link);
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
};

// What a feature keeps for the module's life (the nodes it made, the
// requests it tracks): owned by the context, so that it is alive whenever
// the PipeWire thread may touch it, at process exit too.
struct FeatureState {
    virtual ~FeatureState() = default;
};

// Whether the PipeWire thread runs its main loop. Work may be handed to it
// only while it is Running.
enum class LoopState : int { Starting, Running, StopRequested, Ended };

struct PwContext {
    // PipeWire objects. All of them are created, used and released on the
    // PipeWire thread; the JavaScript thread only tests `core` and hands work
    // to `mainLoop` while `loopState` is Running. The loop and the context
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

    // Link bookkeeping keyed by the link's registry id, guarded by `mutex`.
    std::map<uint32_t, std::string> linkFormats;
    std::map<uint32_t, pw_proxy*> linkProxies;
    // Links requested by name whose registry id is not known yet.
    std::vector<LinkProxyData*> pendingNamedLinks;
    // Links whose removal was requested and whose withdrawal has not come:
    // a second request for one sends nothing.
    std::set<uint32_t> removalRequested;
    // Registry id -> this process's own link proxy, for each link the daemon
    // has bound to one of our proxies and not withdrawn. Such a link is
    // removed through its proxy. PipeWire thread only.
    std::map<uint32_t, pw_proxy*> ownLinkProxies;
    // Removals sent and not yet followed by their round trip. PipeWire thread only.
    std::vector<SentRemoval> sentRemovals;
    // Whether the Graph hears the changes of the mirror; decided together with
    // each change, under `mutex`.
    bool graphListening = false;
    // The Graph reconnects: its listeners heard the old mirror go and hear
    // the new one appear. A first connect has no listeners yet and is spared
    // the copy of the mirror. Guarded by `mutex`.
    bool graphWantsMirror = false;

    // The bound nodes, ports and links (ObjectInfo.h); PipeWire thread only.
    ObjectBindings bindings;

    // Proxy ids of the Graph's link requests, whose refusals reach the Graph
    // instead of standard error, and the round trips the Graph asked for.
    // PipeWire thread only.
    std::set<uint32_t> graphRequestProxyIds;
    std::set<int> graphSyncs;
    // The Graph's link requests by token, while their proxy lives. PipeWire thread only.
    std::map<uint32_t, LinkProxyData*> graphLinkRequests;

    // Guarded by `queueMutex`.
    std::deque<LinkRemoval> linkDestructionQueue;

    std::atomic<bool> connected{false};
    bool disconnectReported = false;  // PipeWire thread; reset at each connect

    const ConnectionHooks* hooks = nullptr;
    // Installed with `hooks`, before the first start.
    std::unique_ptr<FeatureState> nodeState;     // features/nodes
    std::unique_ptr<FeatureState> controlState;  // features/control

    // Everything handed to the PipeWire thread goes through here.
    WorkQueue work;
    std::string clientName = "quorvane";  // "application.name"; set before a start

    // Both locks live as long as the context: queries may take `mutex` in
    // every state, and producers may hold `queueMutex` while a new start
    // would otherwise re-initialise it.
    pthread_mutex_t mutex = PTHREAD_MUTEX_INITIALIZER;
    pthread_mutex_t queueMutex = PTHREAD_MUTEX_INITIALIZER;  // innermost lock

    EventQueue eventQueue;  // guarded by `queueMutex`
    uv_async_t* eventAsync = nullptr;
    std::atomic<bool> asyncInitialized{false};
    // createPwThread holds the connection. Written on the JavaScript thread;
    // read by the PipeWire thread, which prints core errors only for it.
    std::atomic<bool> initialized{false};
    bool graphOpen = false;  // the Graph holds it; JavaScript thread only

    // The PipeWire thread, with `mainLoop` and `context`: made by the first
    // start, kept until process exit. `loopThreadEnded` is set by the thread
    // as it returns; `loopStartState` is its answer to the start (Running or
    // Ended), guarded by `loopStartMutex`.
    pthread_t thread{};
    bool loopThreadRunning = false;  // JavaScript thread only
    std::atomic<bool> loopThreadEnded{false};
    std::mutex loopStartMutex;
    std::condition_variable loopStartCv;
    LoopState loopStartState = LoopState::Ended;

    // The connection on that thread. `loopState` says whether it runs; only
    // while it does may work be handed to the thread.
    bool threadStarted = false;  // a connection was started; JavaScript thread only
    // The release of a connection, asked for through `releaseEvent` (which a
    // full invoke queue cannot hold up) and answered under `releaseMutex`. A
    // stop that waited in vain leaves it Abandoned: the PipeWire thread
    // releases the connection and empties the mirror when it gets to it.
    enum class Release { None, Asked, Done, Abandoned };
    spa_source* releaseEvent = nullptr;  // made with the loop, on the PipeWire thread
    std::mutex releaseMutex;
    std::condition_variable releaseCv;
    Release releaseState = Release::None;
    std::atomic<LoopState> loopState{LoopState::Ended};
    std::atomic<bool> initialSyncDone{false};  // written under `mutex`
    int initialSyncSeq = 0;
    // The round trip after which the mirror holds every object's info; the
    // Graph hears the mirror from then on. Written under `mutex`.
    std::atomic<bool> infoSyncDone{false};
    int infoSyncSeq = -1;  // PipeWire thread

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

// Empties the three mirror lists; the caller provides the exclusion.
void clearContextData(PwContext* ctx);

// Empties the mirror under the graph lock. A Graph that listens hears
// `reason` (when given) as Disconnected, then the mirror go.
void emptyMirror(PwContext* ctx, const char* reason);

// Whether the Graph hears the mirror's changes now: it listens and has heard
// the mirror whole (with its info). Graph lock held.
inline bool graphHearsMirrorLocked(const PwContext* ctx) {
    return ctx->graphListening && ctx->infoSyncDone;
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
