'use strict';
// The Graph: the mirror of the PipeWire graph as an EventEmitter, with waits
// and link requests that settle as Promises. It shares the add-on's one
// connection (and mirror) with createPwThread / destroyPwThread.
const { EventEmitter } = require('node:events');
const os = require('node:os');
const addon = require('./addon');
const { abortableWait } = require('./abortable');
const { compileMatcher, describeMatcher } = require('./match');

// What the Graph offers the routes beside its public API.
const kRoundTrip = Symbol('roundTrip');

// The native event kinds, by number.
const KINDS = [
  'node-created',
  'node-destroyed',
  'link-created',
  'link-destroyed',
  'port-created',
  'port-destroyed',
  'connected',
  'disconnected',
  'link-bound',
  'link-failed',
  'link-ended',
  'sync-done',
  'node-changed',
  'port-changed',
  'link-changed',
];
const MIRROR_EVENTS = new Set([...KINDS.slice(0, 6), 'node-changed', 'port-changed', 'link-changed']);
const LINK_UNTIL = new Set(['announced', 'ready']);

const ERRNO_CODES = new Map(Object.entries(os.constants.errno).map(([code, n]) => [n, code]));
const BACKOFF_FIRST_MS = 50;
const BACKOFF_LIMIT_MS = 1000;

const LINK_USAGE = 'linkPorts requires two port IDs (outputPortId, inputPortId)';
const LINK_NODES_USAGE = 'linkNodesNameToId requires (srcNodeName, dstNodeId)';

function checkTimeout(timeoutMs, what) {
  if (timeoutMs === undefined || timeoutMs === Infinity) return;
  if (typeof timeoutMs !== 'number' || !(timeoutMs >= 0)) {
    throw new TypeError(`${what}: timeoutMs must be a non-negative number or Infinity`);
  }
}

function checkSignal(signal, what) {
  if (signal !== undefined && !(signal instanceof AbortSignal)) {
    throw new TypeError(`${what}: signal must be an AbortSignal`);
  }
}

// 'Input' / 'Output' as waitForNewNode takes them; for ports also 'in' / 'out'.
function nodeDirectionFilter(direction, what) {
  if (direction === undefined) return () => true;
  if (direction === 'Input') return (n) => n.isInput;
  if (direction === 'Output') return (n) => n.isOutput;
  throw new TypeError(`${what}: direction must be 'Input' or 'Output'`);
}

function portDirectionFilter(direction, what) {
  if (direction === undefined) return () => true;
  if (direction === 'in' || direction === 'Input') return (p) => p.direction === 1;
  if (direction === 'out' || direction === 'Output') return (p) => p.direction === 0;
  throw new TypeError(`${what}: direction must be 'in' or 'out'`);
}

// The daemon's refusal, as Node.js reports system errors: its own text,
// errno and code.
function refusal(res, message) {
  const errno = -res;
  const err = new Error(message || os.constants.errno[errno] || `error ${errno}`);
  err.errno = errno;
  err.code = ERRNO_CODES.get(errno) || 'EUNKNOWN';
  return err;
}

class Graph extends EventEmitter {
  #state = 'connecting'; // connecting | connected | disconnected | closed
  #reconnect;
  #backoffMs = BACKOFF_FIRST_MS;
  #reconnectTimer = null;
  #ready; // settles the first connect
  #waits = new Set(); // (kind, payload) => void, for every event; 'closed' at the end
  #requests = new Map(); // token -> { settle, id }
  #byLinkId = new Map(); // registry id -> token, once bound
  #recentLinks = new Map(); // links announced while requests wait for their bound id
  #nextToken = 1;
  #onClose;

  constructor({ reconnect }, onClose) {
    super();
    this.#reconnect = reconnect;
    this.#onClose = onClose;
  }

  get state() {
    return this.#state;
  }

  // Opens the connection (or joins the running one); resolves once the mirror
  // holds the daemon's whole graph.
  start(timeoutMs) {
    return new Promise((resolve, reject) => {
      const deadline = Date.now() + timeoutMs;
      let timer = null;
      this.#ready = {
        resolve: () => {
          clearTimeout(timer);
          this.#ready = null;
          resolve(this);
        },
        reject: (message) => {
          clearTimeout(timer);
          this.#ready = null;
          this.#shutdown(new Error('Graph closed'));
          reject(new Error(`PipeWire not reachable: ${message}`));
        },
        deadline,
      };
      timer = setTimeout(() => this.#ready?.reject(`no answer within ${timeoutMs} ms`), timeoutMs);
      addon.setGraphListener((kind, payload, changed) => this.#onNative(kind, payload, changed));
      if (!addon.openGraph(false)) this.#ready.reject('the PipeWire thread could not be started');
    });
  }

  // --- the mirror -----------------------------------------------------------

  nodes() {
    return addon.graphNodes();
  }

  ports() {
    return addon.graphPorts();
  }

  links() {
    return addon.graphLinks();
  }

  find(matcher) {
    const match = compileMatcher(matcher, 'find');
    return this.nodes().filter(match);
  }

  // --- waits ------------------------------------------------------------------

  waitForNode(matcher, { direction, timeoutMs = 5000, signal } = {}) {
    try {
      var match = compileMatcher(matcher, 'waitForNode');
      var wanted = nodeDirectionFilter(direction, 'waitForNode');
      checkTimeout(timeoutMs, 'waitForNode');
      checkSignal(signal, 'waitForNode');
    } catch (e) {
      return Promise.reject(e);
    }
    const fits = (n) => wanted(n) && match(n);
    return this.#wait(
      { timeoutMs, signal, timeoutError: () => new Error(`node ${describeMatcher(matcher)} did not appear within ${timeoutMs} ms`) },
      (settle) => {
        const present = this.nodes().find(fits);
        if (present) return settle.resolve(present);
        return {
          // A node may come to match later, when its properties change.
          onEvent: (kind, node) => {
            if ((kind === 'node-created' || kind === 'node-changed') && fits(node)) settle.resolve(node);
          },
        };
      },
      { survivesReconnect: true },
    );
  }

  waitForPorts(nodeId, { direction, count, timeoutMs = 5000, signal } = {}) {
    try {
      if (typeof nodeId !== 'number') throw new TypeError('waitForPorts requires a node ID');
      var wanted = portDirectionFilter(direction, 'waitForPorts');
      if (count !== undefined && !(Number.isInteger(count) && count >= 1)) {
        throw new TypeError('waitForPorts: count must be a whole number of at least 1');
      }
      checkTimeout(timeoutMs, 'waitForPorts');
      checkSignal(signal, 'waitForPorts');
    } catch (e) {
      return Promise.reject(e);
    }
    const portsNow = () => this.ports().filter((p) => p.nodeId === nodeId && wanted(p));
    return this.#wait(
      { timeoutMs, signal, timeoutError: () => new Error(`node ${nodeId} did not get its ports within ${timeoutMs} ms`) },
      (settle) => {
        if (!this.nodes().some((n) => n.id === nodeId)) return settle.reject(new Error(`no node ${nodeId}`));
        // Without a count: at least one port, once the daemon has sent all
        // it announced so far (a round trip), so a node's ports come whole.
        let syncSeq = -1;
        const check = () => {
          const ports = portsNow();
          if (count !== undefined ? ports.length >= count : ports.length > 0 && syncSeq < 0) settle.resolve(ports);
        };
        const sync = () => {
          syncSeq = addon.graphSync();
          if (syncSeq < 0) settle.reject(new Error('PipeWire not connected'));
        };
        if (count !== undefined) check();
        else sync();
        return {
          onEvent: (kind, payload) => {
            if (kind === 'node-destroyed' && payload === nodeId) settle.reject(new Error(`node ${nodeId} was removed`));
            else if (kind === 'port-created' && payload.nodeId === nodeId && wanted(payload)) {
              if (count !== undefined) check();
              else if (syncSeq < 0) sync();
            } else if (kind === 'sync-done' && payload.id === syncSeq) {
              syncSeq = -1;
              check();
            }
          },
        };
      },
    );
  }

  // --- links ------------------------------------------------------------------

  // until: 'announced' resolves with the link as the registry announces
  // it; 'ready' once its state is "paused" or "active" (rejecting with the
  // daemon's text when it enters "error").
  link(outputPortId, inputPortId, { timeoutMs = 3000, until = 'announced' } = {}) {
    try {
      if (typeof outputPortId !== 'number' || typeof inputPortId !== 'number') throw new TypeError(LINK_USAGE);
      checkTimeout(timeoutMs, 'link');
      if (!LINK_UNTIL.has(until)) throw new TypeError("link: until must be 'announced' or 'ready'");
    } catch (e) {
      return Promise.reject(e);
    }
    const token = this.#nextToken++;
    let linkId; // once announced, while waiting for 'ready'
    return this.#wait(
      {
        timeoutMs,
        timeoutError: () =>
          new Error(
            linkId === undefined
              ? `link ${outputPortId} -> ${inputPortId}: no answer within ${timeoutMs} ms`
              : `link ${outputPortId} -> ${inputPortId}: not ready within ${timeoutMs} ms`,
          ),
      },
      (settle) => {
        const ready = (link) => {
          if (link.state === 'paused' || link.state === 'active') settle.resolve(link);
          else if (link.state === 'error') settle.reject(new Error(link.error || 'the link failed'));
        };
        // Changes heard before the request learnt its link's id (the
        // announcement may come before the daemon's answer to the request).
        const early = new Map();
        const announced = until === 'announced' ? settle : {
          resolve: (link) => {
            linkId = link.id;
            ready(early.get(linkId) ?? link);
            early.clear();
          },
          reject: settle.reject,
        };
        this.#requests.set(token, { settle: announced, id: undefined });
        try {
          addon.graphLink(outputPortId, inputPortId, token);
        } catch (e) {
          settle.reject(e);
        }
        return {
          onEvent: (kind, payload) => {
            if (until !== 'ready') return;
            if (linkId === undefined) {
              if (kind === 'link-changed') early.set(payload.id, payload);
              return;
            }
            if (kind === 'link-changed' && payload.id === linkId) ready(payload);
            else if (kind === 'link-destroyed' && payload === linkId) settle.reject(new Error(`link ${linkId} was removed`));
          },
          cleanup: () => this.#forgetRequest(token),
        };
      },
    );
  }

  async linkNodes(source, sinkNodeId, { timeoutMs = 3000 } = {}) {
    if (typeof sinkNodeId !== 'number' || (typeof source !== 'string' && typeof source !== 'object' && typeof source !== 'function')) {
      throw new TypeError(LINK_NODES_USAGE);
    }
    const match = compileMatcher(source, 'linkNodes');
    const src = this.nodes().find(match);
    const ports = this.ports();
    const outputs = src ? ports.filter((p) => p.nodeId === src.id && p.direction === 0) : [];
    const inputs = ports.filter((p) => p.nodeId === sinkNodeId && p.direction === 1);
    if (outputs.length === 0 || inputs.length === 0) throw new Error('Could not find matching ports');
    const pairs = outputs.slice(0, inputs.length).map((o, i) => [o.id, inputs[i].id]);
    const outcomes = await Promise.allSettled(pairs.map(([o, i]) => this.link(o, i, { timeoutMs })));
    const made = outcomes.filter((r) => r.status === 'fulfilled').map((r) => r.value);
    const refused = outcomes.filter((r) => r.status === 'rejected').map((r) => r.reason);
    if (refused.length === 0) return made;
    const err = new AggregateError(refused, `${refused.length} of ${pairs.length} links refused`);
    err.links = made;
    throw err;
  }

  unlink(linkId, { timeoutMs = 3000 } = {}) {
    try {
      if (typeof linkId !== 'number') throw new TypeError('unlink requires a link ID');
      checkTimeout(timeoutMs, 'unlink');
    } catch (e) {
      return Promise.reject(e);
    }
    return this.#wait(
      { timeoutMs, timeoutError: () => new Error(`link ${linkId} was not removed within ${timeoutMs} ms`) },
      (settle) => {
        if (!addon.graphUnlink(linkId)) return settle.reject(new Error(`no link ${linkId}`));
        return {
          onEvent: (kind, payload) => {
            if (kind === 'link-destroyed' && payload === linkId) settle.resolve();
          },
        };
      },
    );
  }

  // --- routes -----------------------------------------------------------------

  route(options) {
    const { Route } = require('./route');
    return new Route(this, options);
  }

  // Resolves once the daemon has answered a round trip: every change it
  // announced before has been heard.
  [kRoundTrip]() {
    return this.#wait({}, (settle) => {
      const seq = addon.graphSync();
      if (seq < 0) return settle.reject(new Error('PipeWire not connected'));
      return {
        onEvent: (kind, payload) => {
          if (kind === 'sync-done' && payload.id === seq) settle.resolve();
        },
      };
    });
  }

  // --- lifecycle --------------------------------------------------------------

  close() {
    if (this.#state !== 'closed') this.#shutdown(new Error('Graph closed'));
    return Promise.resolve();
  }

  // A wait that also ends when the Graph closes (and, unless it says it
  // survives one, when the connection goes). `start(settle)` returns nothing
  // or { onEvent(kind, payload), cleanup() }.
  #wait(options, start, { survivesReconnect = false } = {}) {
    if (this.#state === 'closed') return Promise.reject(new Error('Graph closed'));
    return abortableWait(options, (settle) => {
      let hooks = {};
      const listener = (kind, payload) => {
        if (kind === 'closed' || (kind === 'disconnected' && !survivesReconnect)) settle.reject(payload);
        else if (kind !== 'disconnected') hooks.onEvent?.(kind, payload);
      };
      this.#waits.add(listener);
      hooks = start(settle) || {};
      return () => {
        this.#waits.delete(listener);
        hooks.cleanup?.();
      };
    });
  }

  #forgetRequest(token) {
    const req = this.#requests.get(token);
    if (req?.id !== undefined) this.#byLinkId.delete(req.id);
    this.#requests.delete(token);
    if (this.#requests.size === 0) this.#recentLinks.clear();
  }

  #onNative(kind, payload, changed) {
    const name = KINDS[kind];
    if (this.#state === 'closed' || name === undefined) return;
    switch (name) {
      case 'connected':
        this.#state = 'connected';
        this.#backoffMs = BACKOFF_FIRST_MS;
        this.#ready?.resolve();
        this.emit('connected');
        return;
      case 'disconnected':
        this.#onDisconnected(payload);
        return;
      case 'link-bound': {
        const req = this.#requests.get(payload.token);
        if (!req) return;
        req.id = payload.id;
        const link = this.#recentLinks.get(payload.id);
        if (link) req.settle.resolve(link);
        else this.#byLinkId.set(payload.id, payload.token);
        return;
      }
      case 'link-failed':
        this.#requests.get(payload.token)?.settle.reject(refusal(payload.res, payload.message));
        return;
      case 'link-ended': {
        const req = this.#requests.get(payload.token);
        if (req) req.settle.reject(new Error('PipeWire dropped the link request'));
        return;
      }
      case 'link-created': {
        const token = this.#byLinkId.get(payload.id);
        if (token !== undefined) this.#requests.get(token)?.settle.resolve(payload);
        else if (this.#requests.size > 0) this.#recentLinks.set(payload.id, payload);
        break;
      }
      case 'link-destroyed':
        this.#recentLinks.delete(payload);
        break;
      default:
        break;
    }
    for (const wait of [...this.#waits]) wait(name, payload);
    if (changed !== undefined) this.emit(name, payload, changed);
    else if (MIRROR_EVENTS.has(name)) this.emit(name, payload);
  }

  #onDisconnected({ res, message }) {
    const wasConnected = this.#state === 'connected';
    const gone = new Error(`PipeWire disconnected: ${message}`);
    for (const wait of [...this.#waits]) wait('disconnected', gone);
    if (this.#ready) {
      // Not connected yet: with reconnect, keep trying until the time-out.
      if (this.#reconnect && res !== 0) this.#scheduleReconnect();
      else this.#ready.reject(message);
      return;
    }
    if (wasConnected) {
      this.#state = 'disconnected';
      this.emit('disconnected', { message });
    }
    // res 0: destroyPwThread closed the connection for everyone on purpose.
    if (this.#reconnect && res !== 0) this.#scheduleReconnect();
    else this.#shutdown(gone);
  }

  #scheduleReconnect() {
    if (this.#reconnectTimer || this.#state === 'closed') return;
    const delay = this.#backoffMs;
    this.#backoffMs = Math.min(this.#backoffMs * 2, BACKOFF_LIMIT_MS);
    this.#reconnectTimer = setTimeout(() => {
      this.#reconnectTimer = null;
      if (this.#state === 'closed') return;
      if (!addon.openGraph(true)) this.#scheduleReconnect();
    }, delay);
  }

  #shutdown(reason) {
    if (this.#state === 'closed') return;
    this.#state = 'closed';
    clearTimeout(this.#reconnectTimer);
    this.#reconnectTimer = null;
    addon.closeGraph();
    addon.setGraphListener(undefined);
    for (const wait of [...this.#waits]) wait('closed', reason);
    this.#onClose(this);
  }
}

module.exports = { Graph, kRoundTrip };
