'use strict';
// The one connection of the process behind every Graph handle: it hears the
// add-on, keeps the connection up while some handle wants it, and carries
// the link requests of all handles. Each handle hears every event once, in
// the daemon's order.
const os = require('node:os');
const addon = require('./addon');
const { abortableWait, setLongTimeout } = require('./abortable');
const { releaseOwnedNodes } = require('./devices');

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
  'unlink-failed',
  'node-changed',
  'port-changed',
  'link-changed',
];

// What the Graph emits to its listeners as it comes: the mirror's changes.
const MIRROR_EVENTS = new Set(KINDS.filter((k) => /-(created|destroyed|changed)$/.test(k)));

const ERRNO_CODES = new Map(Object.entries(os.constants.errno).map(([code, n]) => [n, code]));
const BACKOFF_FIRST_MS = 50;
const BACKOFF_LIMIT_MS = 1000;
// Link requests handed to the PipeWire thread and not answered yet. The
// thread takes work through a queue of fixed size; the rest waits here, in
// order.
const MAX_IN_FLIGHT = 64;

// A link proxy keeps its token for its life, across Graphs: tokens are unique
// for the life of the process.
let lastToken = 0;
function newToken() {
  lastToken = (lastToken % 0xffffffff) + 1;
  return lastToken;
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

class Connection {
  state = 'connecting'; // connecting | connected | disconnected | closed
  routes = new Set(); // the open routes of every handle, in the order made
  linking = new Set(); // 'out:in' pairs some route is asking for right now
  ownLinks = new Set(); // ids of the links this process asked for and that exist
  #handles = new Set(); // open handles: { reconnect, deliver(name, payload), lost(message, wasConnected, keep) }
  #starting = new Set(); // connect() calls waiting for the first answer
  #requests = new Map(); // token -> { settle, id }
  #byLinkId = new Map(); // registry id -> token, once bound
  #recentLinks = new Map(); // links announced while requests wait for their bound id
  #inFlight = new Set(); // tokens the PipeWire thread has and has not answered
  #queue = []; // { token, out, inp } waiting for room
  #unlinks = new Map(); // link id -> Set of settles waiting for it to go
  #backoffMs = BACKOFF_FIRST_MS;
  #reconnectTimer = null;
  #onEnd;
  #endReason = 'the connection was closed';

  constructor(onEnd) {
    this.#onEnd = onEnd;
    addon.setGraphListener((kind, payload, changed) => this.#onNative(kind, payload, changed));
    if (!addon.openGraph(false)) this.#failStart('the PipeWire thread could not be started');
  }

  // Resolves once the mirror holds the daemon's whole graph; rejects with
  // the reason when no daemon answers within `timeoutMs` (Infinity: never).
  ready(timeoutMs, reconnect) {
    if (this.state === 'connected') return Promise.resolve();
    if (this.state === 'closed') return Promise.reject(new Error(`PipeWire not reachable: ${this.#endReason}`));
    return new Promise((resolve, reject) => {
      const start = { reconnect, resolve, reject, timer: null };
      const end = () => {
        clearTimeout(start.timer);
        this.#starting.delete(start);
      };
      start.resolve = () => (end(), resolve());
      start.reject = (message) => {
        end();
        reject(new Error(`PipeWire not reachable: ${message}`));
        if (this.#handles.size === 0 && this.#starting.size === 0) this.#end();
      };
      if (timeoutMs !== Infinity) {
        start.timer = setLongTimeout(() => start.reject(`no answer within ${timeoutMs} ms`), timeoutMs);
      }
      this.#starting.add(start);
      if (this.state === 'disconnected' && reconnect) this.#scheduleReconnect();
    });
  }

  attach(handle) {
    this.#handles.add(handle);
  }

  // A handle lets go; the connection closes with the last one.
  detach(handle) {
    this.#handles.delete(handle);
    if (this.#handles.size === 0 && this.#starting.size === 0) this.#end();
  }

  // --- link requests ------------------------------------------------------------

  // Asks for a link; `settle` hears the outcome. Returns the clean-up to run
  // when the caller stops waiting.
  requestLink(out, inp, settle) {
    const token = newToken();
    const made = (link) => {
      this.ownLinks.add(link.id);
      settle.resolve(link);
    };
    this.#requests.set(token, { settle: { resolve: made, reject: settle.reject }, id: undefined });
    this.#queue.push({ token, out, inp });
    this.#pump();
    return () => this.#forgetRequest(token);
  }

  #pump() {
    while (this.#queue.length > 0 && this.#inFlight.size < MAX_IN_FLIGHT) {
      const { token, out, inp } = this.#queue.shift();
      const req = this.#requests.get(token);
      if (!req) continue; // given up while it waited
      try {
        addon.graphLink(out, inp, token);
        this.#inFlight.add(token);
      } catch (e) {
        req.settle.reject(e);
      }
    }
  }

  #answered(token) {
    if (this.#inFlight.delete(token)) this.#pump();
  }

  #forgetRequest(token) {
    const req = this.#requests.get(token);
    if (req?.id !== undefined) this.#byLinkId.delete(req.id);
    this.#requests.delete(token);
    if (this.#requests.size === 0) this.#recentLinks.clear();
  }

  // Resolves when the link is gone: at once when it is gone already (or its
  // id names a newer object than the `serial` given); rejects with the
  // daemon's refusal when it stays.
  unlink(linkId, timeoutMs, serial) {
    return abortableWait(
      { timeoutMs, timeoutError: () => new Error(`link ${linkId} was not removed within ${timeoutMs} ms`) },
      (settle) => {
        if (this.state === 'closed') return settle.resolve(); // gone with the connection
        let state;
        try {
          state = addon.graphUnlink(linkId, serial);
        } catch (e) {
          return settle.reject(e);
        }
        if (state === 'gone') return settle.resolve();
        if (state === 'not-a-link') return settle.reject(new Error(`unlink: ${linkId} names a node or a port, not a link`));
        if (!this.#unlinks.has(linkId)) this.#unlinks.set(linkId, new Set());
        const waiting = this.#unlinks.get(linkId);
        waiting.add(settle);
        return () => {
          waiting.delete(settle);
          if (waiting.size === 0 && this.#unlinks.get(linkId) === waiting) this.#unlinks.delete(linkId);
        };
      },
    );
  }

  #settleUnlinks(id, err) {
    const waiting = this.#unlinks.get(id);
    if (!waiting) return;
    this.#unlinks.delete(id);
    for (const settle of [...waiting]) (err ? settle.reject(err) : settle.resolve());
  }

  // --- what the add-on says -------------------------------------------------------

  #onNative(kind, payload, changed) {
    const name = KINDS[kind];
    if (this.state === 'closed' || name === undefined) return;
    switch (name) {
      case 'connected':
        this.state = 'connected';
        this.#backoffMs = BACKOFF_FIRST_MS;
        for (const start of [...this.#starting]) start.resolve();
        break;
      case 'disconnected':
        this.#onDisconnected(payload);
        return;
      case 'link-bound': {
        this.#answered(payload.token);
        const req = this.#requests.get(payload.token);
        if (!req) return;
        req.id = payload.id;
        const link = this.#recentLinks.get(payload.id);
        if (link) req.settle.resolve(link);
        else this.#byLinkId.set(payload.id, payload.token);
        return;
      }
      case 'link-failed':
        this.#answered(payload.token);
        this.#requests.get(payload.token)?.settle.reject(refusal(payload.res, payload.message));
        return;
      case 'unlink-failed':
        this.#settleUnlinks(payload.id, refusal(payload.res, payload.message));
        return;
      case 'link-ended':
        this.#answered(payload.token);
        this.#requests.get(payload.token)?.settle.reject(new Error('PipeWire dropped the link request'));
        return;
      case 'link-created': {
        const token = this.#byLinkId.get(payload.id);
        if (token !== undefined) this.#requests.get(token)?.settle.resolve(payload);
        else if (this.#requests.size > 0) this.#recentLinks.set(payload.id, payload);
        break;
      }
      case 'link-destroyed':
        this.ownLinks.delete(payload);
        this.#recentLinks.delete(payload);
        this.#settleUnlinks(payload);
        break;
      default:
        break;
    }
    for (const handle of [...this.#handles]) handle.deliver(name, payload, changed);
  }

  #onDisconnected({ res, message }) {
    const wasConnected = this.state === 'connected';
    this.state = 'disconnected';
    // What the PipeWire thread had is gone with the connection, and the links
    // this process made with it.
    this.#inFlight.clear();
    this.ownLinks.clear();
    for (const id of [...this.#unlinks.keys()]) this.#settleUnlinks(id);
    // res 0: destroyPwThread closed the connection for everyone on purpose.
    const retry = res !== 0;
    const keep = (h) => retry && h.reconnect;
    for (const start of [...this.#starting]) if (!(retry && start.reconnect)) start.reject(message);
    for (const handle of [...this.#handles]) handle.lost(message, wasConnected, keep(handle));
    if (this.#handles.size > 0 || this.#starting.size > 0) this.#scheduleReconnect();
    else this.#end();
  }

  #scheduleReconnect() {
    if (this.#reconnectTimer || this.state === 'closed') return;
    const delay = this.#backoffMs;
    this.#backoffMs = Math.min(this.#backoffMs * 2, BACKOFF_LIMIT_MS);
    this.#reconnectTimer = setTimeout(() => {
      this.#reconnectTimer = null;
      if (this.state !== 'disconnected') return;
      if (!addon.openGraph(true)) this.#scheduleReconnect();
    }, delay);
  }

  #failStart(message) {
    this.#endReason = message;
    for (const start of [...this.#starting]) start.reject(message);
    this.#end();
  }

  #end() {
    if (this.state === 'closed') return;
    this.state = 'closed';
    clearTimeout(this.#reconnectTimer);
    this.#reconnectTimer = null;
    releaseOwnedNodes(); // made without linger: they go with the last handle
    addon.closeGraph();
    addon.setGraphListener(undefined);
    this.#queue = [];
    this.#inFlight.clear();
    this.ownLinks.clear();
    for (const id of [...this.#unlinks.keys()]) this.#settleUnlinks(id);
    for (const start of [...this.#starting]) start.reject(this.#endReason);
    this.#onEnd(this);
  }
}

module.exports = { Connection, MIRROR_EVENTS };
