// The one connection to the daemon, held by the script's createPwThread /
// destroyPwThread, by the Graph, or by both. It runs while either holds it;
// destroyPwThread closes it for both. V8-free; JavaScript thread.
#pragma once

struct PwContext;

// createPwThread: joins a running connection (waiting for its initial graph),
// else starts one with the start-up pause. False when no thread could start.
bool holdForScript(PwContext* ctx, bool verbose);

// destroyPwThread: hands queued removals over, lets the daemon handle them,
// and closes the connection for everyone; the Graph is told.
void releaseForScript(PwContext* ctx);

// The Graph starts listening: it receives Connected once the mirror holds the
// info of every object (at once when it does already), and the changes
// after it. A connection is started (without a pause) when none runs or the
// one running has failed; with `restart` (a reconnect), a running one is
// closed and made anew, and the Graph is sent the new mirror as created
// events before Connected. False when no thread could start.
bool openForGraph(PwContext* ctx, bool restart);

// The Graph stops listening (sent the mirror's removal first); the connection
// closes unless the script holds it.
void closeForGraph(PwContext* ctx);

// Whether anyone holds the connection.
bool connectionHeld(const PwContext* ctx);

// Hands queued work over and closes the connection; the mirror is emptied.
// A Graph that listens receives `reason` (when given) as Disconnected, then the
// mirror go. Also used at process exit.
void closeConnection(PwContext* ctx, const char* reason);

// The module's end, once, whichever way the process ends (the environment's
// cleanup, exit() after process.exit() or an uncaught exception): removals
// still queued are sent, the connection closes, and the PipeWire thread ends
// while every piece of state it touches is alive. Nothing is told to
// JavaScript any more. JavaScript thread.
void shutdownModule(PwContext* ctx);
