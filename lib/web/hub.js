'use strict';
// The pages connected to the server: each gets a snapshot of the graph, then
// the Graph's events, those heard within BATCH_MS in one frame (an object's
// later changes merged into its first event of the frame: what a page draws
// is the same, with half as much to send and to read while nodes come in
// bursts, their info a moment after them). A page that reads
// too slowly is not buffered for without bound: past HIGH_WATER bytes queued
// it gets nothing more until its queue drains, then a new snapshot; one that
// stays behind for LAG_LIMIT_MS is dropped.
const { performance } = require('node:perf_hooks');
const { deviceView, devicesView } = require('../protocol/device-view');

const HIGH_WATER = 4 * 1024 * 1024;
const LOW_WATER = 256 * 1024;
const LAG_CHECK_MS = 100;
const LAG_LIMIT_MS = 30000;
const MAX_ACTIONS = 200; // the patchbay's recent actions, for new pages
const BATCH_MS = 20; // about a frame of the page's: what it would draw at once anyway

// The Graph's events as the page applies them.
const GRAPH_EVENTS = [
  'node-created', 'node-changed', 'node-destroyed',
  'port-created', 'port-changed', 'port-destroyed',
  'link-created', 'link-changed', 'link-destroyed',
  'defaults-changed',
];
// The devices' events, their devices as the pages see them (device-view.js).
const DEVICE_EVENTS = ['device-created', 'device-changed', 'device-destroyed'];

// Milliseconds since the epoch, with the sub-millisecond part, comparable with
// the browser's performance.timeOrigin + performance.now().
const now = () => performance.timeOrigin + performance.now();

// RegExps (in rules) as their /source/flags, errors as their message.
function replacer(key, value) {
  if (value instanceof RegExp) return String(value);
  if (value instanceof Error) return { error: value.message, code: value.code };
  if (typeof value === 'function') return undefined;
  return value;
}

const frame = (msg) => JSON.stringify(msg, replacer);
// The events' frames hold no RegExp and no Error but in the patchbay's
// actions: the rest is serialised without a replacer (about twice as fast).
const eventsFrame = (msg) => (msg.events.some((e) => e.k === 'action') ? frame(msg) : JSON.stringify(msg));

// "node-created" -> ["node", "created"], for the events that merge.
const PARTS = /^(node|port|link|device)-(created|changed|destroyed)$/;

class Hub {
  #graph;
  #patchbay;
  #clients = new Set();
  #pending = []; // events of this turn, not yet sent
  #open = new Map(); // "node:ID" -> that object's event in #pending, which its later changes join
  #flushing = false;
  #seq = 0;
  #daemon = { connected: true, message: null };
  #actions = [];
  #listeners = [];

  #highWater;
  #snapshots = 0;

  // `daemon`: whether the graph's daemon is there at the start ({ connected,
  // message }); a Graph is connected when a hub is made for it.
  constructor(graph, patchbay = null, { highWater = HIGH_WATER, daemon = null } = {}) {
    this.#graph = graph;
    if (daemon) this.#daemon = daemon;
    this.#highWater = highWater;
    this.#patchbay = patchbay;
    const listen = (emitter, name, fn) => {
      emitter.on(name, fn);
      this.#listeners.push(() => emitter.off(name, fn));
    };
    for (const name of GRAPH_EVENTS) listen(graph, name, (d, c) => this.#queue({ k: name, d, c, t: now() }));
    if (typeof graph.devices === 'function') {
      for (const name of DEVICE_EVENTS) listen(graph, name, (d) => this.#queue({ k: name, d: d !== null && typeof d === 'object' ? deviceView(d) : d, t: now() }));
    }
    listen(graph, 'disconnected', ({ message }) => {
      this.#daemon = { connected: false, message };
      this.#queue({ k: 'daemon', d: this.#daemon, t: now() });
    });
    // After a reconnect the events have brought every page up to date;
    // a snapshot makes sure of it.
    listen(graph, 'connected', () => {
      this.#daemon = { connected: true, message: null };
      this.#flush();
      for (const c of this.#clients) if (!c.lagging) this.#sendSnapshot(c);
    });
    if (patchbay) {
      const record = (action) => {
        this.#actions.push(action);
        if (this.#actions.length > MAX_ACTIONS) this.#actions.shift();
        this.#queue({ k: 'action', d: action, t: now() });
      };
      listen(patchbay, 'action', (a) => record({ ...a, at: Date.now() }));
      listen(patchbay, 'error', (e) => record({ kind: 'error', message: e?.message ?? String(e), at: Date.now() }));
    }
  }

  get size() {
    return this.#clients.size;
  }

  /**
   * Pages connected, those of them behind (waiting to start again from a
   * snapshot), and the snapshots built so far.
   */
  stats() {
    return { clients: this.#clients.size, lagging: [...this.#clients].filter((c) => c.lagging).length, snapshots: this.#snapshots };
  }

  snapshot() {
    const g = this.#graph;
    this.#snapshots++;
    return {
      type: 'snapshot',
      seq: this.#seq,
      t: now(),
      nodes: g.nodes(),
      ports: g.ports(),
      links: g.links(),
      defaults: g.defaults,
      devices: typeof g.devices === 'function' ? devicesView(g.devices()) : undefined,
      daemon: this.#daemon,
      rules: this.#patchbay ? (this.#patchbay.rules ?? null) : undefined,
      actions: this.#patchbay ? this.#actions : undefined,
    };
  }

  /**
   * Whether a page is behind: left behind, or with more queued than a page
   * that keeps up has (a snapshot for it would only wait in its queue).
   */
  isBehind(client) {
    return client.lagging || client.ws.bufferedAmount > Math.min(LOW_WATER, this.#highWater / 4);
  }

  /** Adds a page (a ws WebSocket); it gets a snapshot at once. */
  add(ws) {
    const client = { ws, lagging: false, since: 0, timer: null };
    this.#clients.add(client);
    this.#sendSnapshot(client);
    return client;
  }

  remove(client) {
    clearInterval(client.timer);
    this.#clients.delete(client);
  }

  /**
   * A message to one page, unless it is behind (it gets a snapshot later
   * anyway). The events received so far go first: an answer never overtakes
   * the change it reports.
   */
  send(client, msg) {
    this.#flush();
    this.#write(client, frame(msg));
  }

  /**
   * A message to one page only while it keeps up: false, and nothing sent,
   * for a page behind or with more than `queuedMax` bytes queued (levels
   * skip it rather than wait for it).
   */
  trySend(client, msg, queuedMax) {
    const { ws } = client;
    if (client.lagging || ws.readyState !== ws.OPEN || ws.bufferedAmount > queuedMax) return false;
    this.send(client, msg);
    return true;
  }

  /** A message to every page but those behind (they miss it). */
  broadcast(msg) {
    this.#flush();
    const data = Buffer.from(frame(msg));
    for (const c of this.#clients) this.#write(c, data);
  }

  #sendSnapshot(client) {
    if (client.ws.readyState !== client.ws.OPEN) return;
    client.ws.send(frame(this.snapshot()));
  }

  #queue(event) {
    const parts = PARTS.exec(event.k);
    const id = parts && (parts[2] === 'destroyed' ? event.d : event.d?.id);
    if (parts && (typeof id === 'number' || typeof id === 'string')) {
      const key = `${parts[1]}:${id}`;
      const first = this.#open.get(key);
      if (parts[2] === 'destroyed') this.#open.delete(key); // an id comes round again at once: no merging across
      else if (parts[2] === 'created' || !first) this.#open.set(key, event);
      else {
        // Its latest state in its first event; what changed, all of it.
        first.d = event.d;
        if (first.c !== undefined) first.c = { ...first.c, ...event.c };
        return;
      }
    }
    this.#pending.push(event);
    if (this.#flushing) return;
    this.#flushing = true;
    setTimeout(() => this.#flush(), BATCH_MS);
  }

  #flush() {
    this.#flushing = false;
    if (this.#pending.length === 0) return;
    const events = this.#pending;
    this.#pending = [];
    this.#open.clear();
    this.#seq += events.length;
    // Encoded once for every page.
    const data = Buffer.from(eventsFrame({ type: 'events', seq: this.#seq, events }));
    for (const c of this.#clients) this.#write(c, data);
  }

  #write(client, data) {
    const { ws } = client;
    if (client.lagging || ws.readyState !== ws.OPEN) return;
    if (ws.bufferedAmount > this.#highWater) {
      this.#fallBehind(client);
      return;
    }
    ws.send(data, { binary: false }); // a text frame, whether a string or its UTF-8 bytes
  }

  // Nothing more is queued for the page; once its queue drains it starts
  // again from a snapshot, and a page that never drains is dropped.
  #fallBehind(client) {
    client.lagging = true;
    client.since = Date.now();
    client.timer = setInterval(() => {
      if (client.ws.bufferedAmount <= Math.min(LOW_WATER, this.#highWater / 4)) {
        clearInterval(client.timer);
        client.lagging = false;
        this.#sendSnapshot(client);
      } else if (Date.now() - client.since > LAG_LIMIT_MS) {
        clearInterval(client.timer);
        client.ws.terminate();
      }
    }, LAG_CHECK_MS);
  }

  close() {
    for (const off of this.#listeners.splice(0)) off();
    for (const c of [...this.#clients]) {
      this.remove(c);
      c.ws.terminate();
    }
  }
}

module.exports = { Hub, frame, eventsFrame, HIGH_WATER };
