'use strict';
// The hosts on an MQTT broker, as the web server shows them: each host's
// retained state (PREFIX/HOST/status, node/NAME, defaults, as its bridge
// keeps them) read into a RemoteGraph, a stand-in for a Graph with the same
// listings and events, and the page's requests sent to the host's bridge as
// commands on PREFIX/HOST/set with an MQTT 5 response topic. What the broker
// holds is untrusted (any client may publish there): payloads are bounded,
// read into Maps (no object of ours takes a key from them), checked field by
// field, and the number of hosts and of nodes per host is bounded.
const { EventEmitter } = require('node:events');
const { randomBytes } = require('node:crypto');
const { isId } = require('../core/arguments');
const { parseJson, MAX_PAYLOAD_BYTES } = require('../protocol/broker-payload');
const { AUTH_CODES, firstConnect } = require('../protocol/broker-connect');
const { readRecord, ownRecord } = require('../protocol/stream-record');
const { BrokerRequests } = require('../protocol/broker-request');

const MAX_HOSTS = 64;
const MAX_NODES = 2000; // per host
const MAX_PORTS = 512; // per node, and links from it
const MAX_TEXT = 1024;
const MAX_PENDING = 64; // requests waiting for their answer, all hosts together
const REQUEST_MS = 10000;
const CONNECT_MS = 30000;
const BACKOFF_MIN_MS = 500;
const BACKOFF_MAX_MS = 30000;
const SWEEP_MS = 3000;
const STREAM_REQUEST_MS = 15000; // a stream is answered once it flows, or within the bridges' 10 s (12 s sent on)
const MAX_STREAM_RECORDS = 256; // all hosts together (each up to 3 kB: the pages are sent them whole)
const MAX_SINKS = 256; // other hosts' sinks offered to stream to, all hosts together
const FLEET_MS = 250; // the streams and sinks sent to the pages at most this often
const SINK = /^Audio\/Sink/; // what a host takes a stream into, by default

const text = (v, max = MAX_TEXT) => typeof v === 'string' && v.length <= max;
const orNull = (check) => (v) => v === null || check(v);
const listOf = (v, item) => Array.isArray(v) && v.length <= MAX_PORTS && v.every(item);

// A node's state as a bridge publishes it, as the page's node, ports and
// links; null when any field is not what a bridge sends.
function readNode(s) {
  if (s === null || typeof s !== 'object' || Array.isArray(s)) return null;
  const ok = isId(s.id) && text(s.name) && orNull(text)(s.description) && orNull(text)(s.class) && text(s.state, 40)
    && orNull((v) => Number.isFinite(v) && v >= 0 && v <= 100)(s.volume) && orNull((v) => typeof v === 'boolean')(s.mute)
    && (s.target === undefined || orNull(text)(s.target))
    && (s.ports === undefined || listOf(s.ports, (p) => Array.isArray(p) && p.length === 3 && isId(p[0]) && text(p[1], 256) && (p[2] === 0 || p[2] === 1)))
    && (s.links === undefined || listOf(s.links, (l) => Array.isArray(l) && l.length === 3 && l.every(isId)));
  if (!ok) return null;
  const node = { id: s.id, name: s.name, type: s.class ?? '', state: s.state, props: s.description === null ? {} : { 'node.description': s.description } };
  if (s.volume !== null) node.volume = s.volume;
  if (s.mute !== null) node.mute = s.mute;
  const ports = (s.ports ?? []).map(([id, name, direction]) => ({ id, nodeId: s.id, name, direction }));
  return { node, ports, links: s.links ?? [] };
}

/**
 * One host's graph as its bridge keeps it on the broker: nodes(), ports(),
 * links(), defaults and `state`, and the Graph's events (node-created ...,
 * defaults-changed, connected, disconnected) for what changed, worked out
 * after each batch of messages.
 */
class RemoteGraph extends EventEmitter {
  #states = new Map(); // topic level → { node, ports, links }
  #receivedOn = new Map(); // topic level → the broker connection it was last received on
  #shown = { nodes: new Map(), ports: new Map(), links: new Map() }; // id → JSON, as last sent to the pages
  #lists = { nodes: [], ports: [], links: [] };
  #online = false;
  #brokerUp = false;
  #scheduled = false;
  defaults = { audioSink: null, audioSource: null, videoSource: null };

  constructor(name) {
    super();
    this.name = name;
  }

  get state() {
    return this.#brokerUp && this.#online ? 'connected' : 'disconnected';
  }

  get online() {
    return this.#online;
  }

  get message() {
    return this.#brokerUp ? `${this.name} is offline` : 'the broker is out of reach';
  }

  get empty() {
    return this.#states.size === 0 && !this.#online;
  }

  nodes() {
    return this.#lists.nodes;
  }

  ports() {
    return this.#lists.ports;
  }

  links() {
    return this.#lists.links;
  }

  /**
   * A node's retained state (null: emptied), received on the broker connection
   * `round`; false when the host has MAX_NODES already.
   */
  setNode(key, state, round = 0) {
    if (state === null) {
      this.#states.delete(key);
      this.#receivedOn.delete(key);
    } else if (this.#states.has(key) || this.#states.size < MAX_NODES) {
      this.#states.set(key, state);
      this.#receivedOn.set(key, round);
    } else return false;
    this.#schedule();
    return true;
  }

  /**
   * Forgets the nodes not received on the connection `round`: once connected
   * again, the broker sends every retained state, but none of those emptied
   * while the connection was down.
   */
  sweep(round) {
    for (const key of [...this.#states.keys()]) if (this.#receivedOn.get(key) !== round) this.setNode(key, null);
  }

  setDefaults(d) {
    const kinds = ['audioSink', 'audioSource', 'videoSource'];
    const next = Object.fromEntries(kinds.map((k) => [k, d !== null && typeof d === 'object' && text(d[k]) ? d[k] : null]));
    if (JSON.stringify(next) === JSON.stringify(this.defaults)) return;
    this.defaults = next;
    this.emit('defaults-changed', next);
  }

  /** The host's status and the broker's: "connected" when both are up. */
  setStatus(online, brokerUp) {
    const before = this.state;
    this.#online = online;
    this.#brokerUp = brokerUp;
    if (this.state === before) return;
    if (this.state === 'connected') this.emit('connected');
    else this.emit('disconnected', { message: this.message });
  }

  #schedule() {
    if (this.#scheduled) return;
    this.#scheduled = true;
    setImmediate(() => {
      this.#scheduled = false;
      this.#update();
    });
  }

  // The lists anew, and an event for each node, port and link that differs
  // from what was last sent (a node id held by two topics counts once).
  #update() {
    const nodes = new Map();
    const ports = new Map();
    const links = new Map();
    for (const s of this.#states.values()) {
      if (nodes.has(s.node.id)) continue;
      nodes.set(s.node.id, s.node);
      for (const p of s.ports) if (!ports.has(p.id)) ports.set(p.id, p);
    }
    for (const s of this.#states.values()) {
      if (nodes.get(s.node.id) !== s.node) continue;
      for (const [id, out, inp] of s.links) {
        const src = ports.get(out);
        const sink = ports.get(inp);
        if (!src || !sink || src.nodeId !== s.node.id || links.has(id)) continue;
        links.set(id, { id, srcNodeId: src.nodeId, srcPortId: out, sinkNodeId: sink.nodeId, sinkPortId: inp, state: 'active' });
      }
    }
    const tell = (kind, now) => {
      const shown = this.#shown[kind];
      const gone = [...shown.keys()].filter((id) => !now.has(id));
      for (const id of gone) shown.delete(id);
      const changed = [];
      for (const [id, item] of now) {
        const json = JSON.stringify(item);
        const before = shown.get(id);
        if (before === json) continue;
        shown.set(id, json);
        changed.push([`${kind.slice(0, -1)}-${before === undefined ? 'created' : 'changed'}`, item]);
      }
      this.#lists[kind] = [...now.values()];
      return { gone, changed };
    };
    const l = tell('links', links);
    const p = tell('ports', ports);
    const n = tell('nodes', nodes);
    // Links go before the ports and nodes they end on, and come after them.
    for (const [kind, { gone }] of [['link', l], ['port', p], ['node', n]]) for (const id of gone) this.emit(`${kind}-destroyed`, id);
    for (const [name, item] of [...n.changed, ...p.changed, ...l.changed]) this.emit(name, item);
  }
}

/**
 * The hosts under PREFIX on a broker. `options`: broker (URL), username,
 * password, ca, topicPrefix (default "quorvane"). start() resolves once
 * connected; rejects when the broker refuses the credentials or is not
 * reached in 30 s. Emits "hosts" when hosts come, go, or go on or offline,
 * and "warning" for the broker's errors once connected.
 */
class RemoteHosts extends EventEmitter {
  #o;
  #client = null;
  #hosts = new Map(); // name → RemoteGraph
  #pending; // requests to the hosts' bridges (BrokerRequests)
  #replyTopic;
  #brokerUp = false;
  #closed = false;
  #backoff = BACKOFF_MIN_MS;
  #retry = null;
  #round = 0; // broker connections so far
  #sweep = null;
  #streams = new Map(); // "HOST/ID" → a stream record, as its end publishes it
  #fleetTimer = null;
  #fleetShown = '';

  constructor({ broker, username, password, ca, topicPrefix = 'quorvane' } = {}) {
    super();
    // The same checks as a bridge's: a URL without a password, a prefix of printable levels.
    require('../protocol/broker-options').checkBridgeOptions({ broker, username, password, ca, topicPrefix, hostName: 'web' });
    this.#o = { broker, username, password, ca, topicPrefix };
    this.#replyTopic = `${topicPrefix}-web/${randomBytes(8).toString('hex')}/reply`;
    this.#pending = new BrokerRequests({
      max: MAX_PENDING,
      replyTopic: this.#replyTopic,
      publish: (topic, body, options) => this.#client.publish(topic, body, options),
      outcome: (reply) => (reply?.ok === true ? { ok: true, result: reply.result ?? null } : { ok: false, error: text(reply?.error) ? reply.error : 'the host answered with something not understood' }),
    });
  }

  /** The hosts, by name: [{ name, online }]. */
  list() {
    return [...this.#hosts.values()].filter((g) => !g.empty).map((g) => ({ name: g.name, online: g.online })).sort((a, b) => (a.name < b.name ? -1 : a.name > b.name ? 1 : 0));
  }

  /** The RemoteGraph of the host `name`, or undefined. */
  graph(name) {
    const g = this.#hosts.get(name);
    return g && !g.empty ? g : undefined;
  }

  async start() {
    const mqtt = require('../protocol/broker-options').loadMqtt();
    const o = this.#o;
    const client = mqtt.connect(o.broker, {
      clientId: `quorvane-web-${randomBytes(6).toString('hex')}`,
      protocolVersion: 5,
      username: o.username,
      password: o.password,
      ca: o.ca,
      reconnectPeriod: 0, // a back-off of its own instead
      connectTimeout: 10000,
      clean: true,
      keepalive: 30,
      properties: { maximumPacketSize: 2 * MAX_PAYLOAD_BYTES },
    });
    this.#client = client;
    client.on('message', (topic, payload, packet) => this.#message(topic, payload, packet));
    client.on('connect', () => this.#connected());
    client.on('close', () => this.#lost());
    client.on('error', (e) => this.#brokerUp && this.emit('warning', e));
    try {
      await firstConnect(
        client,
        CONNECT_MS,
        () => new Error(`broker ${o.broker} not reached in ${CONNECT_MS} ms`),
        (e) => (AUTH_CODES.has(e.code) ? new Error(`the broker refused the web server: ${e.message}`) : null),
      );
    } catch (e) {
      await this.close();
      throw e;
    }
    return this;
  }

  #connected() {
    this.#brokerUp = true;
    this.#backoff = BACKOFF_MIN_MS;
    const p = this.#o.topicPrefix;
    const round = ++this.#round;
    this.#client.subscribe([`${p}/+/status`, `${p}/+/node/+`, `${p}/+/defaults`, `${p}/+/stream/+`, this.#replyTopic], { qos: 0 }, (e) => {
      if (e) return this.emit('warning', e);
      // The retained state follows the subscription; what has not come
      // within SWEEP_MS is no longer on the broker.
      if (round === 1) return;
      clearTimeout(this.#sweep);
      this.#sweep = setTimeout(() => {
        for (const g of this.#hosts.values()) g.sweep(round);
        for (const [key, r] of this.#streams) if (r.round !== round) this.#streams.delete(key);
        this.#fleetChanged();
        this.emit('hosts');
      }, SWEEP_MS);
    });
    for (const g of this.#hosts.values()) g.setStatus(g.online, true);
  }

  // Back after a back-off that doubles up to BACKOFF_MAX_MS, with jitter.
  #lost() {
    const was = this.#brokerUp;
    this.#brokerUp = false;
    if (this.#closed) return;
    if (was) for (const g of this.#hosts.values()) g.setStatus(g.online, false);
    if (this.#retry) return;
    const delay = Math.round(this.#backoff * (0.8 + Math.random() * 0.4));
    this.#backoff = Math.min(this.#backoff * 2, BACKOFF_MAX_MS);
    this.#retry = setTimeout(() => {
      this.#retry = null;
      if (!this.#closed) this.#client.reconnect();
    }, delay);
  }

  #message(topic, payload, packet) {
    if (topic === this.#replyTopic) return this.#pending.answered(packet, payload);
    const prefix = `${this.#o.topicPrefix}/`;
    if (!topic.startsWith(prefix)) return;
    const levels = topic.slice(prefix.length).split('/');
    const [name] = levels;
    if (name.length === 0 || name.length > 100) return;
    if (levels[1] === 'stream') return this.#streamRecord(name, levels, payload);
    let g = this.#hosts.get(name);
    if (payload.length === 0 && !g) return;
    const existed = Boolean(g && !g.empty);
    const online = g?.online;
    if (!g) {
      // A host's graph is kept once made (pages may hold it), but for room
      // for a new one: an empty one makes way.
      if (this.#hosts.size >= MAX_HOSTS) {
        const gone = [...this.#hosts.values()].find((h) => h.empty);
        if (!gone) return;
        this.#hosts.delete(gone.name);
      }
      g = new RemoteGraph(name);
      g.setStatus(false, this.#brokerUp);
      this.#hosts.set(name, g);
    }
    let value = null;
    if (payload.length > 0 && levels[1] !== 'status') {
      try {
        value = parseJson(payload);
      } catch {
        value = null; // not a bridge's: as if absent
      }
    }
    if (levels[1] === 'status' && levels.length === 2) {
      g.setStatus(payload.toString('utf8') === 'online', this.#brokerUp);
      const set = this.#setTopic(name);
      if (g.online) this.#pending.back(set);
      else this.#pending.away(set, { ok: false, error: `${name} went offline before it answered` });
    } else if (levels[1] === 'defaults' && levels.length === 2) g.setDefaults(value);
    else if (levels[1] === 'node' && levels.length === 3) g.setNode(levels[2], value === null ? null : readNode(value), this.#round);
    if (existed !== !g.empty || online !== g.online) this.emit('hosts');
    this.#fleetChanged();
  }

  // A stream's record under PREFIX/HOST/stream/ID: kept when it is the
  // host's own end of it (readRecord's checks), dropped when emptied or not.
  #streamRecord(host, levels, payload) {
    if (levels.length !== 3) return;
    const key = `${host}/${levels[2]}`;
    const r = payload.length > 0 ? readRecord(payload) : null;
    if (r && ownRecord(host, levels[2], r)) {
      if (!this.#streams.has(key) && this.#streams.size >= MAX_STREAM_RECORDS) return;
      r.round = this.#round;
      this.#streams.set(key, r);
    } else if (!this.#streams.delete(key)) return;
    this.#fleetChanged();
  }

  // The pages are told of the streams and sinks at most every FLEET_MS, and
  // only when what they would be told differs.
  #fleetChanged() {
    if (this.#fleetTimer || this.#closed) return;
    this.#fleetTimer = setTimeout(() => {
      this.#fleetTimer = null;
      const now = JSON.stringify(this.fleet());
      if (now === this.#fleetShown) return;
      this.#fleetShown = now;
      this.emit('fleet');
    }, FLEET_MS);
  }

  /**
   * The streams between hosts and where one may go, as the pages show them:
   * { sinks: [{ host, name, label }] (the sinks of the online hosts whose
   * names hold no ":", at most MAX_SINKS), streams: [{ id, from, to, ends:
   * [{ host, role, online, state, error, enabled, codec, latencyMs }] }]
   * (each stream with the records its ends keep, the sender's first), by
   * their ends }.
   */
  fleet() {
    const sinks = [];
    for (const h of this.list()) {
      if (!h.online || h.name.includes(':')) continue; // a stream's end is "HOST:NODE"
      const nodes = this.#hosts.get(h.name).nodes().filter((n) => SINK.test(n.type));
      for (const n of nodes) if (sinks.length < MAX_SINKS) sinks.push({ host: h.name, name: n.name, label: n.props['node.description'] || n.name });
    }
    const byId = new Map();
    for (const [key, r] of this.#streams) {
      const host = key.slice(0, key.lastIndexOf('/'));
      const id = key.slice(key.lastIndexOf('/') + 1);
      if (!byId.has(id)) byId.set(id, { id, from: r.from, to: r.to, ends: [] });
      const online = this.#hosts.get(host)?.online ?? false;
      byId.get(id).ends.push({ host, role: r.role, online, state: r.state, error: r.error, enabled: r.enabled, codec: r.codec, latencyMs: r.latencyMs ?? null, underruns: r.underruns });
    }
    const order = (a, b) => (a < b ? -1 : a > b ? 1 : 0);
    for (const s of byId.values()) s.ends.sort((a, b) => (a.role === 'send' ? 0 : 1) - (b.role === 'send' ? 0 : 1));
    return { sinks, streams: [...byId.values()].sort((a, b) => order(a.from, b.from) || order(a.to, b.to)) };
  }

  // The topic `name`'s bridge takes commands on (what requests to it are waited for by).
  #setTopic(name) {
    return `${this.#o.topicPrefix}/${name}/set`;
  }

  /**
   * Sends the page's request (as protocol.js parsed it: { op, args }) to the
   * host's bridge; resolves with { ok, result } or { ok: false, error }, also
   * when no answer comes within REQUEST_MS.
   */
  request(name, { op, args }) {
    const g = this.graph(name);
    if (!g) return Promise.resolve({ ok: false, error: `no host ${JSON.stringify(name)} on the broker` });
    if (!g.online || !this.#brokerUp) return Promise.resolve({ ok: false, error: g.message });
    const command = op === 'linkNodes' ? { op: 'link', ...args } : { op, ...args };
    if (!['volume', 'mute', 'default', 'move', 'link', 'unlink', 'stream', 'unstream'].includes(command.op)) {
      return Promise.resolve({ ok: false, error: `${op}: not done through the broker; do it on ${name} itself` });
    }
    const waitMs = command.op === 'stream' ? STREAM_REQUEST_MS : REQUEST_MS;
    return this.#pending.send(this.#setTopic(name), command, waitMs, () => ({ ok: false, error: `no answer from ${name} within ${waitMs / 1000} s` }))
      ?? Promise.resolve({ ok: false, error: `busy: ${MAX_PENDING} requests wait for their hosts` });
  }

  async close() {
    this.#closed = true;
    clearTimeout(this.#retry);
    clearTimeout(this.#fleetTimer);
    clearTimeout(this.#sweep);
    this.#pending.close({ ok: false, error: 'the server is closing' });
    const client = this.#client;
    if (!client) return;
    let timer;
    const ended = await Promise.race([new Promise((resolve) => client.end(false, {}, () => resolve(true))), new Promise((resolve) => (timer = setTimeout(resolve, 2000)))]);
    clearTimeout(timer);
    if (!ended) client.end(true);
  }
}

module.exports = { RemoteHosts, RemoteGraph, readNode, MAX_HOSTS, MAX_NODES };
