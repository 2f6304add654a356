// The PipeWire thread: its main loop, the connection, and the hand-over of
// work to it. Free of V8 so the lifecycle can be driven from plain C++.
#pragma once

#include <cstddef>
#include <cstdint>

#include "WorkQueue.h"

struct PwContext;

// Initialises PipeWire, sets its log level (unless PIPEWIRE_DEBUG does),
// starts the PipeWire thread when it does not run yet, and has it connect.
// False when the thread could not be created.
bool startPwThread(PwContext* ctx, bool verbose);

// Whether the libpipewire this process runs is of the 0.3 line (before 1.0),
// whose client configuration and limits differ from later lines'.
bool isLibraryBefore1();

// Blocks until the mirror holds the daemon's initial graph: at least 500 ms,
// longer only while a connected daemon is still announcing it (bounded).
void waitForStartup(PwContext* ctx);

// Closes the connection: the PipeWire thread releases the registry and the
// core, and this waits for it, for at most 2 s; a thread that has not
// answered by then releases it (and empties the mirror) when it gets to it,
// before any new connection. The thread, its loop and context stay for the
// next start. Safe in every state.
void stopPwThread(PwContext* ctx);

// Process exit: stops the loop and joins the thread, which destroys the
// context and the loop. Safe in every state.
void shutdownPwThread(PwContext* ctx);

// True while a connection runs on the PipeWire thread and no stop was asked.
bool isLoopRunning(PwContext* ctx);

// Hands `work` to the PipeWire thread without waiting for it; a request
// (`bounded`) is refused when kMaxQueuedRequests wait already. Nothing is
// handed over unless the loop runs. JavaScript thread.
Handoff postWork(PwContext* ctx, Work work, bool bounded = true);

// How long the JavaScript thread waits for the PipeWire thread to take a
// hand-off: that thread only ever runs short callbacks, so a wait this long
// means it is stuck, and the JavaScript thread must not be.
constexpr int kHandoffDeadlineMs = 2000;

enum class WorkResult {
    Done,        // `work` has run
    NotRunning,  // no loop to run it: nothing was handed over
    TimedOut,    // the PipeWire thread did not take it in time: it will never run
};

// Runs `work` on the PipeWire thread and waits until it has run, at most
// `deadlineMs` for the thread to start it (work it has started is waited
// for to its end: it may use the caller's stack). Returns NotRunning without
// blocking when the loop is not running. Signals do not cut the wait short.
// JavaScript thread.
WorkResult runWorkFor(PwContext* ctx, const Work& work, int deadlineMs);

// runWorkFor with kHandoffDeadlineMs; true when `work` has run.
bool runWork(PwContext* ctx, const Work& work);

// The work queue's event on the loop of `ctx->mainLoop`: opened by the
// PipeWire thread before its loop runs, closed (running what waits) after.
bool openWorkQueue(PwContext* ctx);
void closeWorkQueue(PwContext* ctx);

// A round trip to the daemon, so that every request sent before has been
// handled there; waits at most `timeoutMs`. False when there is no
// connection or no answer came.
bool flushToDaemon(PwContext* ctx, int timeoutMs);

// Asks for a round trip whose end reaches the Graph as SyncDone with the
// returned sequence number; -1 without a connection, kSyncTimedOut when the
// PipeWire thread did not take the request within kHandoffDeadlineMs.
constexpr int kSyncTimedOut = -2;
int requestGraphSync(PwContext* ctx);

void* pwThreadFunc(void* arg);
void onCoreDone(void* data, uint32_t id, int seq);
void onCoreError(void* data, uint32_t id, int seq, int res, const char* message);
