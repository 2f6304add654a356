#include "PwThread.h"

#include <unistd.h>

#include <chrono>
#include <condition_variable>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <mutex>
#include <string>

#include <spa/utils/result.h>

#include "../core/Clock.h"
#include "../core/Descriptors.h"
#include "../core/ListenerTable.h"
#include "EventQueue.h"
#include "InfoProxies.h"
#include "PwContext.h"
#include "RegistryMirror.h"

namespace {

using Release = PwContext::Release;

constexpr int kStartupPauseMs = 500;
constexpr int kStartupLimitMs = 3000;
constexpr int kReleaseLimitMs = 2000;

const auto kRegistryEvents =
    listenerTable<pw_registry_events>(PW_VERSION_REGISTRY_EVENTS, &pw_registry_events::global, onRegistryGlobal,
                                      &pw_registry_events::global_remove, onRegistryGlobalRemove);

const auto kCoreEvents = listenerTable<pw_core_events>(PW_VERSION_CORE_EVENTS, &pw_core_events::done, onCoreDone,
                                                       &pw_core_events::error, onCoreError);

// Releases the connection, in the order hooks, bound objects, registry,
// core, and drops what the thread kept for it. PipeWire thread; the context
// and the loop stay for the next connection.
void releaseConnection(PwContext* ctx) {
    ctx->graphSyncs.clear();
    ctx->hiddenIds.clear();
    if (ctx->hooks && ctx->hooks->released) ctx->hooks->released(ctx);
    if (ctx->registry) spa_hook_remove(&ctx->registryListener);
    releaseObjectInfo(ctx);
    if (ctx->registry) {
        pw_proxy_destroy(reinterpret_cast<pw_proxy*>(ctx->registry));
        ctx->registry = nullptr;
    }
    if (pw_core* core = ctx->core.load()) {
        spa_hook_remove(&ctx->coreListener);
        ctx->core = nullptr;
        StandardInputKept kept;  // the streams it takes along may close descriptor 0
        pw_core_disconnect(core);
    }
}

// Carries out a release the JavaScript thread asked for, once. When that
// thread stopped waiting, the mirror it emptied may have taken announcements
// of the old connection since: they go too. PipeWire thread.
void runAskedRelease(PwContext* ctx) {
    {
        std::lock_guard<std::mutex> lock(ctx->releaseMutex);
        if (ctx->releaseState != Release::Asked && ctx->releaseState != Release::Abandoned) return;
    }
    releaseConnection(ctx);
    bool late;
    {
        std::lock_guard<std::mutex> lock(ctx->releaseMutex);
        late = ctx->releaseState == Release::Abandoned;
        ctx->releaseState = Release::Done;
        ctx->releaseCv.notify_all();
    }
    if (late) emptyMirror(ctx, nullptr);
}

void onReleaseAsked(void* data, uint64_t) {
    runAskedRelease(static_cast<PwContext*>(data));
}

// Tells the Graph, once per connection, that the connection is gone or could
// not be made. PipeWire thread.
void reportDisconnected(PwContext* ctx, int res, const std::string& text) {
    if (ctx->disconnectReported) return;
    ctx->disconnectReported = true;
    emitGraphEvent(ctx, Disconnected, 0, 0, res, text);
}

// Who we are, for the daemon's client list and the session manager's logs.
pw_properties* clientProperties(PwContext* ctx) {
    char exe[4096];
    ssize_t n = readlink("/proc/self/exe", exe, sizeof exe - 1);
    exe[n > 0 ? n : 0] = '\0';
    const char* binary = std::strrchr(exe, '/') ? std::strrchr(exe, '/') + 1 : exe;
    pw_properties* props = pw_properties_new(PW_KEY_APP_NAME, ctx->clientName.c_str(), nullptr);
    if (props && *binary) pw_properties_set(props, PW_KEY_APP_PROCESS_BINARY, binary);
    return props;
}

void startFlush(PwContext* ctx) {
    pw_core* core = ctx->core.load();
    std::lock_guard<std::mutex> lock(ctx->flushMutex);
    ctx->flushDone = core == nullptr;
    ctx->flushSeq = core ? pw_core_sync(core, PW_ID_CORE, 0) : -1;
}

// Connects on the loop: the registry and its listener, the core listener,
// and the round trip that ends the initial graph. PipeWire thread.
void connectOnLoop(PwContext* ctx) {
    // A release the thread has not got to yet comes first.
    runAskedRelease(ctx);
    if (lifecycleOf(ctx) != Lifecycle::Connecting) return;  // closed before it ran
    ctx->disconnectReported = false;
    ctx->infoSyncSeq = -1;
    pw_core* core = pw_context_connect(ctx->context, clientProperties(ctx), 0);
    if (!core) {
        reportDisconnected(ctx, -errno, std::string("cannot connect (") + spa_strerror(-errno) + ")");
    } else {
        ctx->registry = pw_core_get_registry(core, PW_VERSION_REGISTRY, 0);
        if (!ctx->registry) {
            reportDisconnected(ctx, -errno, std::string("no registry (") + spa_strerror(-errno) + ")");
            pw_core_disconnect(core);
        } else {
            pw_registry_add_listener(ctx->registry, &ctx->registryListener, &kRegistryEvents, ctx);
            pw_core_add_listener(core, &ctx->coreListener, &kCoreEvents, ctx);
            ctx->initialSyncSeq = pw_core_sync(core, PW_ID_CORE, 0);
            ctx->core = core;
        }
    }
    // A stop asked meanwhile keeps Closing, and releases what was made.
    advanceLifecycle(ctx, ctx->core.load() ? Lifecycle::Connected : Lifecycle::Failed);
}

enum class LoopStart { Ready, Failed, NoThread };

// Starts the PipeWire thread once: its loop and context serve every later
// connection, which then costs no thread, context or plugin loading. Waits
// until the thread has made them or failed; a failed thread has ended and
// is joined, and the next start tries again.
LoopStart startLoopThread(PwContext* ctx) {
    if (ctx->threadState.load() == PwThreadState::Running) return LoopStart::Ready;
    advancePwThread(ctx, PwThreadState::Starting);
    // The PipeWire thread, and the data thread its context starts, take no
    // signals: they go to the JavaScript thread, whose handlers Node.js
    // installed, and never interrupt PipeWire's calls.
    sigset_t all, previous;
    sigfillset(&all);
    pthread_sigmask(SIG_SETMASK, &all, &previous);
    int res = pthread_create(&ctx->thread, nullptr, pwThreadFunc, ctx);
    pthread_sigmask(SIG_SETMASK, &previous, nullptr);
    if (res != 0) {
        advancePwThread(ctx, PwThreadState::None);
        return LoopStart::NoThread;
    }
    {
        std::unique_lock<std::mutex> lock(ctx->threadMutex);
        ctx->threadCv.wait(lock, [ctx] { return ctx->threadState.load() != PwThreadState::Starting; });
        if (ctx->threadState.load() == PwThreadState::Running) return LoopStart::Ready;
    }
    pthread_join(ctx->thread, nullptr);
    advancePwThread(ctx, PwThreadState::None);
    return LoopStart::Failed;
}

}  // namespace

bool startPwThread(PwContext* ctx, bool verbose) {
    // Closed since the module loaded: kept out of PipeWire's hands again.
    guardStandardDescriptors();
    pw_init(nullptr, nullptr);
    // PIPEWIRE_DEBUG, which pw_init has read, is the user's choice, as for
    // PipeWire's own tools; without it only errors are printed (everything
    // for a verbose start).
    const char* debug = std::getenv("PIPEWIRE_DEBUG");
    if (verbose)
        pw_log_set_level(SPA_LOG_LEVEL_DEBUG);
    else if (!debug || !*debug)
        pw_log_set_level(SPA_LOG_LEVEL_ERROR);

    advanceLifecycle(ctx, Lifecycle::Connecting);
    LoopStart started = startLoopThread(ctx);
    if (started == LoopStart::NoThread) {
        advanceLifecycle(ctx, Lifecycle::Closed);
        return false;
    }
    // Without a loop the Graph has received why; a later start tries again.
    if (started == LoopStart::Failed) {
        advanceLifecycle(ctx, Lifecycle::Failed);
        return true;
    }
    // Not waited for: the start returns while the daemon answers.
    if (ctx->work.push(connectOnLoop, false) != Handoff::Queued) advanceLifecycle(ctx, Lifecycle::Failed);
    return true;
}

void waitForStartup(PwContext* ctx) {
    int64_t start = monotonicMs();
    sleepMs(kStartupPauseMs);
    while (lifecycleOf(ctx) == Lifecycle::Connected && monotonicMs() - start < kStartupLimitMs) {
        sleepMs(2);
    }
}

void stopPwThread(PwContext* ctx) {
    if (!advanceLifecycle(ctx, Lifecycle::Closing)) return;  // none started
    if (ctx->threadState.load() == PwThreadState::Running) {
        // Asked through an event, which the loop's invoke queue (full of
        // posted link requests, say) cannot hold up, and waited for, so that
        // the released objects are out of the thread's hands before the
        // mirror is emptied. A connect queued before is released too, as it
        // runs. Should the thread not answer in time, the release stays its
        // job: nothing of it is touched from here.
        std::unique_lock<std::mutex> lock(ctx->releaseMutex);
        ctx->releaseState = Release::Asked;
        lock.unlock();
        pw_loop_signal_event(pw_main_loop_get_loop(ctx->mainLoop), ctx->releaseEvent);
        lock.lock();
        int64_t deadline = monotonicMs() + kReleaseLimitMs;
        // Bounded slices: a signal or a spurious wake-up only loops again.
        while (ctx->releaseState == Release::Asked && ctx->threadState.load() != PwThreadState::Ended &&
               monotonicMs() < deadline)
            ctx->releaseCv.wait_for(lock, std::chrono::milliseconds(50));
        if (ctx->releaseState == Release::Asked) ctx->releaseState = Release::Abandoned;
    }
    advanceLifecycle(ctx, Lifecycle::Closed);
}

void shutdownPwThread(PwContext* ctx) {
    if (ctx->threadState.load() != PwThreadState::Running) return;
    // The quit runs on the loop's own thread; a queue closed already means
    // the thread is ending by itself. Should it not end in time (stuck in
    // a call), it is left behind rather than the exit hung.
    ctx->work.push([](PwContext* c) { pw_main_loop_quit(c->mainLoop); }, false);
    timespec deadline{};
    clock_gettime(CLOCK_REALTIME, &deadline);
    deadline.tv_sec += kReleaseLimitMs / 1000;
    int res;
    // Bounded: a signal only restarts the join, the deadline stays.
    while ((res = pthread_timedjoin_np(ctx->thread, nullptr, &deadline)) == EINTR) {
    }
    if (res != 0) pthread_detach(ctx->thread);
}

bool isLoopRunning(PwContext* ctx) {
    return acceptsWork(ctx);
}

Handoff postWork(PwContext* ctx, Work work, bool bounded) {
    // Only the JavaScript thread closes the connection, and it is the one
    // calling here, so a running connection does not close before the push.
    if (!isLoopRunning(ctx)) return Handoff::NotRunning;
    return ctx->work.push(std::move(work), bounded);
}

WorkResult runWorkFor(PwContext* ctx, const Work& work, int deadlineMs) {
    if (!isLoopRunning(ctx)) return WorkResult::NotRunning;
    // Shared with the queued item, which may outlive a wait that gave up: it
    // then finds `abandoned` and leaves `work` (on the caller's stack, gone)
    // alone. A condition variable is not ended early by a signal.
    struct Wait {
        std::mutex mutex;
        std::condition_variable cv;
        bool started = false, done = false, abandoned = false;
    };
    auto wait = std::make_shared<Wait>();
    auto run = [&work, wait](PwContext* c) {
        {
            std::lock_guard<std::mutex> lock(wait->mutex);
            if (wait->abandoned) return;
            wait->started = true;
        }
        work(c);
        std::lock_guard<std::mutex> lock(wait->mutex);
        wait->done = true;
        wait->cv.notify_one();
    };
    if (ctx->work.push(run, false) != Handoff::Queued) return WorkResult::NotRunning;
    // Woken once, when the work is done; past the deadline, work not started
    // is abandoned and work started is waited for to its end.
    std::unique_lock<std::mutex> lock(wait->mutex);
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(deadlineMs);
    while (!wait->done) {
        if (wait->cv.wait_until(lock, deadline) != std::cv_status::timeout || wait->done) continue;
        if (!wait->started) {
            wait->abandoned = true;
            return WorkResult::TimedOut;
        }
        wait->cv.wait(lock, [&wait] { return wait->done; });
    }
    return WorkResult::Done;
}

bool runWork(PwContext* ctx, const Work& work) {
    return runWorkFor(ctx, work, kHandoffDeadlineMs) == WorkResult::Done;
}

bool openWorkQueue(PwContext* ctx) {
    int fd = ctx->work.wakeFd();
    if (fd < 0) return false;
    spa_source* source = pw_loop_add_io(
        pw_main_loop_get_loop(ctx->mainLoop), fd, SPA_IO_IN, false,
        [](void* data, int, uint32_t) { static_cast<PwContext*>(data)->work.onWake(static_cast<PwContext*>(data)); },
        ctx);
    ctx->work.open(source);
    return source != nullptr;
}

void closeWorkQueue(PwContext* ctx) {
    if (spa_source* source = ctx->work.close(ctx)) pw_loop_destroy_source(pw_main_loop_get_loop(ctx->mainLoop), source);
}

bool flushToDaemon(PwContext* ctx, int timeoutMs) {
    if (!isConnected(ctx) || !runWork(ctx, startFlush)) return false;
    std::unique_lock<std::mutex> lock(ctx->flushMutex);
    int64_t deadline = monotonicMs() + timeoutMs;
    while (!ctx->flushDone && isConnected(ctx) && monotonicMs() < deadline)
        ctx->flushCv.wait_for(lock, std::chrono::milliseconds(20));
    return ctx->flushDone;
}

int requestGraphSync(PwContext* ctx) {
    int seq = -1;
    auto sync = [&seq](PwContext* c) {
        pw_core* core = c->core.load();
        seq = core ? pw_core_sync(core, PW_ID_CORE, 0) : -1;
        if (seq >= 0) c->graphSyncs.insert(seq);
    };
    if (!isConnected(ctx)) return -1;
    WorkResult result = runWorkFor(ctx, sync, kHandoffDeadlineMs);
    if (result == WorkResult::TimedOut) return kSyncTimedOut;
    return result == WorkResult::Done ? seq : -1;
}

namespace {

// Before the loop waits: the events this iteration queued wake the
// JavaScript thread, once.
void beforeLoopWait(void* data) {
    sendDeferredWakeup(static_cast<PwContext*>(data));
}

// Nothing to do after the wait; PipeWire 1.4 refuses a hook without `after`.
void afterLoopWait(void*) {}

const auto kLoopHooks =
    listenerTable<spa_loop_control_hooks>(SPA_VERSION_LOOP_CONTROL_HOOKS, &spa_loop_control_hooks::before,
                                          beforeLoopWait, &spa_loop_control_hooks::after, afterLoopWait);

// Runs as the loop's first work, so the start is told only once the loop
// has been entered and drains the work queue.
void onLoopEntered(void* data, uint64_t) {
    advancePwThread(static_cast<PwContext*>(data), PwThreadState::Running);
}

}  // namespace

bool isLibraryBefore1() {
    static const bool before = [] {
        unsigned major = 0;
        return std::sscanf(pw_get_library_version(), "%u", &major) == 1 && major < 1;
    }();
    return before;
}

namespace {

// The context's configuration: PipeWire's own for a client, with module-rt,
// which schedules the data thread (where the meters' streams and the loaded
// network and filter modules process) as pw-cat's, realtime where the user
// may. 1.x has module-rt in client.conf; 0.3.x keeps it in client-rt.conf,
// what its pw-cat and pw-play load. PIPEWIRE_CONFIG_NAME overrides either.
// A 0.3 installation without client-rt.conf gets client.conf's context.
pw_context* newContext(pw_loop* loop) {
    pw_context* context = nullptr;
    if (isLibraryBefore1())
        context = pw_context_new(loop, pw_properties_new(PW_KEY_CONFIG_NAME, "client-rt.conf", nullptr), 0);
    return context ? context : pw_context_new(loop, nullptr, 0);
}

}  // namespace

void* pwThreadFunc(void* arg) {
    auto* ctx = static_cast<PwContext*>(arg);
    ctx->disconnectReported = false;
    pw_main_loop* loop = pw_main_loop_new(nullptr);
    pw_context* context = loop ? newContext(pw_main_loop_get_loop(loop)) : nullptr;
    if (!loop) reportDisconnected(ctx, -errno, spa_strerror(-errno));
    if (loop && !context)
        reportDisconnected(ctx, -errno, std::string("no PipeWire context (") + spa_strerror(-errno) + ")");
    if (!context) {
        if (loop) pw_main_loop_destroy(loop);
        advancePwThread(ctx, PwThreadState::Ended);
        return nullptr;
    }
    ctx->mainLoop = loop;
    ctx->context = context;
    pw_loop* events = pw_main_loop_get_loop(loop);
    ctx->releaseEvent = pw_loop_add_event(events, onReleaseAsked, ctx);
    bool queueOpen = ctx->releaseEvent && openWorkQueue(ctx);
    spa_source* entered = queueOpen ? pw_loop_add_event(events, onLoopEntered, ctx) : nullptr;
    if (entered) {
        spa_hook loopHook{};
        pw_loop_add_hook(events, &loopHook, &kLoopHooks, ctx);
        deferWakeups(true);
        pw_loop_signal_event(events, entered);
        pw_main_loop_run(loop);
        deferWakeups(false);
        sendDeferredWakeup(ctx);
        spa_hook_remove(&loopHook);
        pw_loop_destroy_source(events, entered);
    }

    // Process exit: the last connection was released already, unless the
    // exit came while one was still being made. Work still queued runs, and
    // finds no connection.
    releaseConnection(ctx);
    closeWorkQueue(ctx);
    if (ctx->releaseEvent) pw_loop_destroy_source(events, ctx->releaseEvent);
    ctx->releaseEvent = nullptr;
    ctx->context = nullptr;
    {
        StandardInputKept kept;  // the modules it unloads may close descriptor 0
        pw_context_destroy(context);
    }
    ctx->mainLoop = nullptr;
    pw_main_loop_destroy(loop);
    advancePwThread(ctx, PwThreadState::Ended);
    return nullptr;
}

void onCoreDone(void* data, uint32_t id, int seq) {
    auto* ctx = static_cast<PwContext*>(data);
    if (id != PW_ID_CORE) return;
    if (ctx->hooks && ctx->hooks->coreDone) ctx->hooks->coreDone(ctx, seq);
    if (seq == ctx->initialSyncSeq && lifecycleOf(ctx) == Lifecycle::Connected) {
        // The script's connection is ready; the Graph waits for the info
        // round trip that follows.
        bool listed;
        {
            LockGuard lock(ctx->mutex);
            listed = advanceLifecycle(ctx, Lifecycle::Listed);
        }
        if (listed) startInfoRoundTrip(ctx);
    }
    onInfoRoundTrip(ctx, seq);
    {
        std::lock_guard<std::mutex> lock(ctx->flushMutex);
        if (seq == ctx->flushSeq) {
            ctx->flushDone = true;
            ctx->flushCv.notify_all();
        }
    }
    if (ctx->graphSyncs.erase(seq)) emitGraphEvent(ctx, SyncDone, uint32_t(seq));
}

void onCoreError(void* data, uint32_t id, int seq, int res, const char* message) {
    auto* ctx = static_cast<PwContext*>(data);
    // The answer to a removal we sent (a link already gone, say) is the link
    // bookkeeping's, and never the end of the connection.
    if (ctx->hooks && ctx->hooks->coreError && ctx->hooks->coreError(ctx, id, seq, res, message)) return;
    // A refusal of a request made by the Graph reaches its Promise instead,
    // and a connection only the Graph holds reports its end as an event.
    bool graphOnly = id == PW_ID_CORE && !ctx->scriptHolds.load();
    // Nor are errors about the objects bound for their info (a format gone
    // between its announcement and our request for it), nor a request that
    // reached an object the daemon had dropped already, which comes back on
    // the core itself: the object's removal is told by the registry.
    unsigned gone = 0;
    bool unknownResource =
        id == PW_ID_CORE && res == -ENOENT && message && std::sscanf(message, "unknown resource %u", &gone) == 1;
    if (isObjectInfoProxy(ctx, id) || unknownResource) return;
    if (!ctx->graphRequestProxyIds.count(id) && !graphOnly)
        fprintf(stderr, "pipewire error: id %u seq %d res %d (%s): %s\n", id, seq, res, spa_strerror(res),
                message ? message : "");
    // An error about one object (it is gone) leaves the connection as it is;
    // only the connection's own failure ends it.
    if (id == PW_ID_CORE && res != -ENOENT) {
        advanceLifecycle(ctx, Lifecycle::Lost);
        reportDisconnected(ctx, res,
                           std::string(message ? message : "connection error") + " (" + spa_strerror(res) + ")");
    }
}
