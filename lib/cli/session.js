'use strict';
// The tool's connection to PipeWire: opening it with the tool's exit codes,
// and staying on it until Ctrl-C or until the daemon goes away. The add-on
// is loaded by the first openSession(), not before: help, usage errors and
// the commands that need no daemon work without PipeWire's library.
const { EXIT, CliError } = require('./args');
const { warn } = require('./output');

const CLEANUP_LIMIT_MS = 3000;

let sessionGraph = null; // the Graph, once connected: closed by closeSession()

// openSession({ reconnect }) → the connected Graph, kept for closeSession();
// a CliError with exit code 3 when no daemon is reachable, the loader's Error
// when the add-on cannot be loaded.
async function openSession({ reconnect = false } = {}) {
  const { connect } = require('../connection/connect');
  try {
    sessionGraph = await connect({ reconnect });
  } catch (e) {
    if (!e.message.startsWith('PipeWire not reachable')) throw e;
    const why = e.message.replace(/^PipeWire not reachable:?\s*/, '');
    throw new CliError(
      `no PipeWire daemon reachable (${why}; is PipeWire running for this user? XDG_RUNTIME_DIR set?)`,
      EXIT.NO_DAEMON,
    );
  }
  return sessionGraph;
}

async function closeSession() {
  const graph = sessionGraph;
  sessionGraph = null;
  if (graph) await graph.close();
}

// Waits for the first SIGINT/SIGTERM, runs `onStop` (bounded, so a daemon
// that no longer answers cannot hold the tool) and resolves with 0. A second
// Ctrl-C during that clean-up ends the tool at once.
// Without `reconnect`, the daemon going away resolves with DAEMON_GONE and a
// one-line message; with it, `onLost` / `onBack` are told and the tool stays.
function hold(graph, { reconnect = false, onStop = () => {}, onLost = () => {}, onBack = () => {} } = {}) {
  return new Promise((resolve) => {
    let stopping = false;
    const done = (code) => {
      process.off('SIGINT', stop);
      process.off('SIGTERM', stop);
      graph.off('disconnected', lost);
      graph.off('connected', back);
      resolve(code);
    };
    function stop() {
      if (stopping) {
        process.exit(EXIT.INTERRUPTED);
      }
      stopping = true;
      let timer;
      const limit = new Promise((r) => {
        timer = setTimeout(r, CLEANUP_LIMIT_MS);
      });
      Promise.race([Promise.resolve().then(onStop), limit])
        .catch((e) => warn(`while stopping: ${e.message}`))
        .finally(() => {
          clearTimeout(timer);
          done(EXIT.OK);
        });
    }
    function lost({ message }) {
      if (stopping) return;
      if (!reconnect) {
        warn(`PipeWire went away (${message})`);
        done(EXIT.DAEMON_GONE);
        return;
      }
      warn(`PipeWire went away (${message}); waiting for it to come back`);
      onLost(message);
    }
    function back() {
      if (stopping) return;
      warn('PipeWire is back');
      onBack();
    }
    process.on('SIGINT', stop);
    process.on('SIGTERM', stop);
    graph.on('disconnected', lost);
    graph.on('connected', back);
  });
}

// An AbortSignal that fires on the first SIGINT/SIGTERM, for one-shot waits.
function interruptSignal() {
  const ac = new AbortController();
  const abort = () => ac.abort(new CliError('interrupted', EXIT.INTERRUPTED));
  process.once('SIGINT', abort);
  process.once('SIGTERM', abort);
  return ac.signal;
}

module.exports = { openSession, closeSession, hold, interruptSignal };
