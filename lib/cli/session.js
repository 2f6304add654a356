'use strict';
// The tool's connection to PipeWire: opening it with the tool's exit codes,
// and staying on it until Ctrl-C or until the daemon goes away. The add-on
// is loaded by the first openSession() or openView(), not before: help,
// usage errors and the commands that need no daemon work without PipeWire's
// library.
const { EXIT, CliError } = require('./args');
const { warn } = require('./output');

const CLEANUP_LIMIT_MS = 3000;
const CONNECT_MS = 3000; // as connect()
const ALL_INFO = ['node', 'port', 'link'];

let sessionGraph = null; // the Graph, once connected: closed by closeSession()
let sessionView = null; // or the one look of openView(): closed by closeSession() too

// The loader's "PipeWire not reachable" as the tool says it, with exit code 3.
function unreachable(e) {
  if (!e.message.startsWith('PipeWire not reachable')) return e;
  const why = e.message.replace(/^PipeWire not reachable:?\s*/, '');
  return new CliError(
    `no PipeWire daemon reachable (${why}; is PipeWire running for this user? XDG_RUNTIME_DIR set?)`,
    EXIT.NO_DAEMON,
  );
}

// openSession({ reconnect }) → the connected Graph, kept for closeSession();
// a CliError with exit code 3 when no daemon is reachable, the loader's Error
// when the add-on cannot be loaded.
async function openSession({ reconnect = false } = {}) {
  const { connect } = require('../graph/connect');
  try {
    sessionGraph = await connect({ reconnect });
  } catch (e) {
    throw unreachable(e);
  }
  return sessionGraph;
}

// openView({ info }) → { nodes(), ports(), links(), defaults }: the graph as
// the daemon has it once connected, each listing taken once, for the commands
// that only read it. `info`: the kinds of object ("node", "port", "link")
// whose live info the command prints; the others carry the registry's
// properties. Errors as openSession(). It is the connection the Graph stands
// on, without the Graph and what the Graph brings (requests, routes, devices,
// waits): a one-shot listing loads, binds and runs only what it prints.
// `settled`: after a round trip, so that what the daemon sends right after
// the mirror (the ports' latency) has arrived too.
async function openView({ info = ALL_INFO, settled = false } = {}) {
  const addon = require('../connection/addon');
  const { Connection } = require('../connection/connection');
  addon.setClientName(addon.clientName());
  addon.setInfoKinds(info);
  const connection = new Connection({ beforeClose: () => {}, onEnd: () => {} });
  // Loaded while the PipeWire thread connects.
  const { withControls } = require('../features/control');
  // Held while the tool reads: the connection closes when it lets go.
  const reader = { reconnect: false, deliver: () => {}, lost: () => {} };
  try {
    await connection.ready(CONNECT_MS, false);
  } catch (e) {
    throw unreachable(e);
  }
  addon.setInfoKinds([...ALL_INFO, 'device']); // what is announced later, bound as a Graph binds it
  connection.attach(reader);
  if (settled) await roundTrip(reader);
  const once = (list) => {
    let taken = null;
    return () => (taken ??= list());
  };
  sessionView = {
    nodes: once(() => withControls(addon.graphNodes())),
    ports: once(() => addon.graphPorts()),
    links: once(() => addon.graphLinks()),
    get defaults() {
      return connection.defaults();
    },
    close: () => connection.detach(reader),
  };
  return sessionView;
}

// Resolves once the daemon has answered a round trip heard by `reader`
// (bounded: a daemon that no longer answers leaves the view as it is).
function roundTrip(reader) {
  const addon = require('../connection/addon');
  return new Promise((resolve) => {
    const seq = addon.graphSync();
    if (seq < 0) return resolve();
    const timer = setTimeout(done, CONNECT_MS);
    function done() {
      clearTimeout(timer);
      reader.deliver = () => {};
      resolve();
    }
    reader.deliver = (name, payload) => name === 'sync-done' && payload?.id === seq && done();
  });
}

async function closeSession() {
  const graph = sessionGraph;
  const view = sessionView;
  sessionGraph = null;
  sessionView = null;
  view?.close();
  if (graph) await graph.close();
}

// Waits for the first SIGINT/SIGTERM, runs `onStop` (bounded, so a daemon
// that no longer answers cannot hold the tool) and resolves with 0. A second
// Ctrl-C during that clean-up ends the tool at once.
// Without `reconnect`, the daemon going away resolves with DAEMON_GONE and a
// one-line message; with it, `onLost` / `onBack` are told and the tool stays.
// `onHold(end)` is given end(code, message), which stops the tool as Ctrl-C
// does but resolves with `code`, after saying `message`.
function hold(graph, { reconnect = false, onStop = () => {}, onLost = () => {}, onBack = () => {}, onHold = () => {} } = {}) {
  return new Promise((resolve) => {
    let stopping = false;
    const done = (code) => {
      process.off('SIGINT', interrupt);
      process.off('SIGTERM', interrupt);
      graph.off('disconnected', lost);
      graph.off('connected', back);
      resolve(code);
    };
    // A signal: the first stops, a second ends the tool at once.
    function interrupt() {
      if (stopping) process.exit(EXIT.INTERRUPTED);
      stop(EXIT.OK);
    }
    function stop(code) {
      stopping = true;
      let timer;
      const limit = new Promise((r) => {
        timer = setTimeout(r, CLEANUP_LIMIT_MS);
      });
      Promise.race([Promise.resolve().then(onStop), limit])
        .catch((e) => warn(`while stopping: ${e.message}`))
        .finally(() => {
          clearTimeout(timer);
          done(code);
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
    process.on('SIGINT', interrupt);
    process.on('SIGTERM', interrupt);
    graph.on('disconnected', lost);
    graph.on('connected', back);
    onHold((code, message) => {
      if (stopping) return;
      warn(message);
      stop(code);
    });
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

module.exports = { openSession, openView, closeSession, hold, interruptSignal };
