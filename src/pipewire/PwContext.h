// The one process-wide state record: PipeWire handles, the graph mirror, the
// link bookkeeping, the two queues towards the JavaScript thread and the locks.
#pragma once

#include <pthread.h>

#include <atomic>
#include <cstdint>
#include <deque>
#include <map>
#include <string>
#include <vector>

#include <pipewire/pipewire.h>
#include <uv.h>

#include "../events/PwEvent.h"
#include "GraphRecords.h"

struct LinkProxyData;

// Whether the PipeWire thread runs its main loop. Work may be handed to it
// only while it is Running.
enum class LoopState : int { Starting, Running, StopRequested, Ended };

struct PwContext {
    // PipeWire objects of the connection. All of them are created, used and
    // released on the PipeWire thread; the JavaScript thread only tests `core`.
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
    std::map<uint32_t, LinkStats> linkStats;
    std::map<uint32_t, pw_proxy*> linkProxies;
    // Links requested by name whose registry id is not known yet.
    std::vector<LinkProxyData*> pendingNamedLinks;

    // Guarded by `queueMutex`.
    std::deque<uint32_t> linkDestructionQueue;

    uint32_t coreDoneSeq = 0;
    std::atomic<bool> connected{false};

    // Both locks live as long as the context: queries may take `mutex` in
    // every state, and producers may hold `queueMutex` while a new start
    // would otherwise re-initialise it.
    pthread_mutex_t mutex = PTHREAD_MUTEX_INITIALIZER;
    pthread_mutex_t queueMutex = PTHREAD_MUTEX_INITIALIZER;  // innermost lock

    std::deque<PwEvent> eventQueue;  // guarded by `queueMutex`
    uv_async_t* eventAsync = nullptr;
    std::atomic<bool> asyncInitialized{false};
    bool initialized = false;  // JavaScript thread only

    // The PipeWire thread. `loopState` says whether its main loop runs; only
    // while it does may work be handed to it with a blocking invoke.
    pthread_t thread{};
    bool threadStarted = false;  // JavaScript thread only
    std::atomic<LoopState> loopState{LoopState::Ended};
    std::atomic<bool> initialSyncDone{false};
    int initialSyncSeq = 0;

    ~PwContext();
};

PwContext* getContext();

// Empties the three mirror lists; the caller provides the exclusion.
void clearContextData(PwContext* ctx);

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
