'use strict';
// The one connection of the process behind every Graph handle: it hears the
// add-on, keeps the connection up while some handle wants it, and carries
// the link requests of all handles. Each handle hears every event once, in
// the daemon's order.
const os = require('node:os');
const addon = require('./addon');
const { abortableWait, checkTimeout, setLongTimeout } = require('./abortable');
const { releaseOwnedNodes } = require('../features/devices');

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
  'metadata-change',
  'control-failed',
];

// What the Graph emits to its listeners as it comes: the mirror's changes.
const MIRROR_EVENTS = new Set(KINDS.filter((k) => /-(created|destroyed|changed)$/.test(k)));

// The keys of the "default" metadata behind graph.defaults: the current
// default (chosen by the session manager) and the one the user configured.
const DEFAULT_KINDS = { audioSink: 'audio.sink', audioSource: 'audio.source', videoSource: 'video.source' };
// What the metadata binding bounds on the native side: keys, and values.
const METADATA_MAX_KEY_BYTES = 1024;
const METADATA_MAX_VALUE_BYTES = 64 * 1024;

// The node name in a default's JSON value ({ "name": "..." }); null for
// anything else. The value is any client's text.
function defaultName(entry) {
  if (!entry) return null;
  try {
    const v = JSON.parse(entry.value);
    return v !== null && typeof v === 'object' && typeof v.name === 'string' ? v.name : null;
  } catch {
    return null;
  }
}

function checkMetadataText(text, what, max) {
  if (typeof text !== 'string') throw new TypeError(`setMetadata: ${what} must be a string`);
  if (text.includes('\0')) throw new TypeError(`setMetadata: ${what} must not contain NUL`);
  if (Buffer.byteLength(text) > max) throw new RangeError(`setMetadata: ${what} is longer than ${max} bytes`);
}

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
  // The daemon's metadata objects, by registry id, in the order announced:
  // { name, subjects: Map<subject, Map<key, { type, value }>> }. Changes
  // numbered up to #metadataGeneration are in.
  #metadata = new Map();
  #metadataGeneration = 0;
  #defaults = null; // as graph.defaults gives it, kept with the metadata
  #watchers = new Set(); // (name, payload) => void, for the connection's own waits

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

  // Asks for a link; `settle` hears the outcome. A lingering link outlives
  // the connection. Returns the clean-up to run when the caller stops waiting.
  requestLink(out, inp, settle, { linger = false } = {}) {
    const token = newToken();
    const made = (link) => {
      this.ownLinks.add(link.id);
      settle.resolve(link);
    };
    this.#requests.set(token, { settle: { resolve: made, reject: settle.reject }, id: undefined });
    this.#queue.push({ token, out, inp, linger });
    this.#pump();
    return () => this.#forgetRequest(token);
  }

  #pump() {
    while (this.#queue.length > 0 && this.#inFlight.size < MAX_IN_FLIGHT) {
      const { token, out, inp, linger } = this.#queue.shift();
      const req = this.#requests.get(token);
      if (!req) continue; // given up while it waited
      try {
        addon.graphLink(out, inp, token, linger);
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

  // --- metadata ---------------------------------------------------------------------

  // The metadata named `name` (the first of that name), as a read-only view
  // that stays current; null when there is none.
  metadata(name = 'default') {
    if (!this.#findMetadata(name)) return null;
    const current = () => this.#findMetadata(name);
    return Object.freeze({
      name,
      // The "client.id" of the client that made it (the session manager
      // for "default"), when the daemon said.
      get owner() {
        return current()?.owner;
      },
      get(subject, key) {
        const entry = current()?.subjects.get(subject)?.get(key);
        return entry && { type: entry.type, value: entry.value };
      },
      entries(subject) {
        const keys = current()?.subjects.get(subject);
        return keys ? [...keys].map(([key, e]) => ({ key, type: e.type, value: e.value })) : [];
      },
    });
  }

  // graph.defaults: node names (or null) from the "default" metadata.
  defaults() {
    const d = this.#defaults ?? this.#computeDefaults();
    return { ...d, configured: { ...d.configured } };
  }

  // Sets (value null: deletes) `key` of `subject` in the metadata `name`;
  // resolves once the metadata reports it.
  setMetadata(subject, key, type, value, { name = 'default', timeoutMs = 3000 } = {}) {
    let entry;
    try {
      if (!Number.isInteger(subject) || subject < 0 || subject > 0xffffffff) {
        throw new TypeError('setMetadata: subject must be an object id (a whole number from 0 to 4294967295)');
      }
      checkMetadataText(key, 'key', METADATA_MAX_KEY_BYTES);
      if (key === '') throw new TypeError('setMetadata: key must not be empty');
      if (type !== null) checkMetadataText(type, 'type', METADATA_MAX_KEY_BYTES);
      if (value !== null) checkMetadataText(value, 'value', METADATA_MAX_VALUE_BYTES);
      if (typeof name !== 'string' || name === '') throw new TypeError('setMetadata: name must be a metadata name');
      checkTimeout(timeoutMs, 'setMetadata');
      const m = this.#findMetadata(name);
      if (!m) {
        const hint = name === 'default' ? ': the session manager keeps it; is one running?' : '';
        throw new Error(`no "${name}" metadata${hint}`);
      }
      entry = m.subjects.get(subject)?.get(key);
    } catch (e) {
      return Promise.reject(e);
    }
    // The value it has already (with no type given, whatever its type): the
    // metadata reports no change for it.
    const done = value === null ? !entry : entry?.value === value && (!type || entry.type === type);
    return abortableWait(
      { timeoutMs, timeoutError: () => new Error(`metadata "${name}": "${key}" of ${subject} was not set within ${timeoutMs} ms`) },
      (settle) => {
        const token = newToken();
        let sent;
        try {
          sent = addon.graphSetMetadata(name, subject, key, value === null ? null : type, value, token);
        } catch (e) {
          return settle.reject(e);
        }
        if (!sent) return settle.reject(new Error('PipeWire not connected'));
        if (done) return settle.resolve();
        const watch = (event, p) => {
          if (event === 'metadata-changed' && p.name === name && p.subject === subject && p.key === key && p.value === value) {
            settle.resolve();
          } else if (event === 'control-failed' && p.token === token) {
            settle.reject(refusal(p.res, `metadata "${name}": ${p.message}`));
          } else if (event === 'metadata-removed' && p === name && !this.#findMetadata(name)) {
            settle.reject(new Error(`the "${name}" metadata went away`));
          }
        };
        this.#watchers.add(watch);
        return () => this.#watchers.delete(watch);
      },
    );
  }

  #findMetadata(name) {
    for (const m of this.#metadata.values()) if (m.name === name) return m;
    return undefined;
  }

  #computeDefaults() {
    const keys = this.#findMetadata('default')?.subjects.get(0);
    const d = {};
    const configured = {};
    for (const [kind, suffix] of Object.entries(DEFAULT_KINDS)) {
      d[kind] = defaultName(keys?.get(`default.${suffix}`));
      configured[kind] = defaultName(keys?.get(`default.configured.${suffix}`));
    }
    d.configured = configured;
    return d;
  }

  // One change from the add-on, unless the snapshot taken since holds it.
  #onMetadataChange(c) {
    if (c.generation <= this.#metadataGeneration) return;
    this.#metadataGeneration = c.generation;
    this.#applyMetadata(c);
    this.#checkDefaults();
  }

  // `tell`: whether the change is told (not while a snapshot is read in).
  #applyMetadata(c, tell = true) {
    if (c.kind === 'added') {
      this.#metadata.set(c.id, { name: c.name, owner: c.owner, subjects: new Map() });
      return;
    }
    const m = this.#metadata.get(c.id);
    if (!m) return;
    if (c.kind === 'removed') {
      this.#metadata.delete(c.id);
      if (!tell) return;
      for (const [subject, keys] of m.subjects) {
        for (const key of keys.keys()) this.#tell('metadata-changed', { name: m.name, subject, key, type: null, value: null });
      }
      this.#tell('metadata-removed', m.name);
      return;
    }
    let keys = m.subjects.get(c.subject);
    if (c.kind === 'set') {
      if (!keys) m.subjects.set(c.subject, (keys = new Map()));
      keys.set(c.key, { type: c.type, value: c.value });
    } else if (keys?.delete(c.key)) {
      if (keys.size === 0) m.subjects.delete(c.subject);
    } else {
      return;
    }
    if (tell) this.#tell('metadata-changed', { name: m.name, subject: c.subject, key: c.key, type: c.type, value: c.value });
  }

  // The add-on's whole metadata as of now, in place of what this has; the
  // differences are told as changes.
  #takeMetadataSnapshot() {
    const { generation, changes } = addon.graphMetadata();
    const before = this.#metadata;
    this.#metadata = new Map();
    for (const c of changes) this.#applyMetadata(c, false);
    this.#metadataGeneration = Math.max(this.#metadataGeneration, generation);
    const entries = (all) => {
      const out = new Map();
      for (const m of all.values()) {
        for (const [subject, keys] of m.subjects) {
          for (const [key, e] of keys) {
            const k = JSON.stringify([m.name, subject, key]);
            if (!out.has(k)) out.set(k, { name: m.name, subject, key, type: e.type, value: e.value });
          }
        }
      }
      return out;
    };
    const old = entries(before);
    const now = entries(this.#metadata);
    for (const [k, e] of old) if (!now.has(k)) this.#tell('metadata-changed', { ...e, type: null, value: null });
    for (const [k, e] of now) {
      const was = old.get(k);
      if (!was || was.type !== e.type || was.value !== e.value) this.#tell('metadata-changed', e);
    }
    for (const m of before.values()) if (!this.#findMetadata(m.name)) this.#tell('metadata-removed', m.name);
    this.#checkDefaults();
  }

  #checkDefaults() {
    const before = this.#defaults;
    const now = this.#computeDefaults();
    this.#defaults = now;
    if (before && JSON.stringify(before) === JSON.stringify(now)) return;
    if (!before && Object.values(now).every((v) => v === null) && Object.values(now.configured).every((v) => v === null)) return;
    this.#tell('defaults-changed', this.defaults());
  }

  // A change of the metadata, to the connection's waits and every handle.
  #tell(name, payload) {
    for (const watch of [...this.#watchers]) watch(name, payload);
    if (name === 'metadata-removed') return;
    for (const handle of [...this.#handles]) handle.deliver(name, payload);
  }

  // --- what the add-on says -------------------------------------------------------

  #onNative(kind, payload, changed) {
    const name = KINDS[kind];
    if (this.state === 'closed' || name === undefined) return;
    switch (name) {
      case 'connected':
        this.state = 'connected';
        this.#backoffMs = BACKOFF_FIRST_MS;
        this.#takeMetadataSnapshot();
        for (const start of [...this.#starting]) start.resolve();
        break;
      case 'metadata-change':
        this.#onMetadataChange(payload);
        return;
      case 'control-failed':
        for (const watch of [...this.#watchers]) watch(name, payload);
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

module.exports = { Connection, MIRROR_EVENTS, newToken, refusal };
