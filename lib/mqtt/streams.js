'use strict';
// Streams between hosts on one broker: audio from a node of host A to a node
// of host B, carried by PipeWire's network modules loaded into the two
// bridges' contexts (lib/features/fleet/). The broker carries only what each
// end says, as retained records each bridge publishes under its own host:
//   PREFIX/HOST/fleet       { run, pipewire, codecs, address }: this run of
//                           the bridge, what its PipeWire line can send and
//                           the address it receives on
//   PREFIX/HOST/stream/ID   one stream this host is an end of: { role
//                           ("send" or "receive"), run, from, to ("HOST:NODE"),
//                           enabled, latencyMs, codec, address, ports, state,
//                           error, health: { packetsLost, underruns } }
// The sender publishes first (its codecs); the receiver, seeing a record that
// names it, checks its rules, loads its source on its own address and ports
// and publishes them; the sender then loads its sink towards them. Either end
// takes a stream up again from the other's record after a restart (a record
// counts only while its host is online and it is of the host's current run),
// or from its own record of its earlier run while the other end's stands
// (both restarted), a receiver drops its source when the sender goes offline
// (its will), and an end whose peer empties its record removes its own.
const { randomBytes } = require('node:crypto');
const net = require('node:net');
const { checkOptions, checkNumber } = require('../core/arguments');
const { resolveNode } = require('../features/resolve-node');
const { networkLine, chooseCodec } = require('../features/fleet/line');
const { streamRules } = require('../features/fleet/stream-rules');
const { StreamHealth } = require('../features/fleet/stream-health');
const { PORTS } = require('../features/fleet/stream-end');
const { parseJson } = require('../protocol/broker-payload');
const { BrokerRequests, AWAY_MS } = require('../protocol/broker-request');
const { slug } = require('./homeassistant');
const { streamId, endpoint, readRecord, ownRecord, FIELD } = require('../protocol/stream-record');

const OPTIONS = ['address', 'ports', 'send', 'receive', 'latencyMs'];
const MAX_LINKS = 64; // streams this host is an end of
const MAX_HOSTS = 256; // hosts whose status and fleet record are kept
const MAX_RECORDS = 1024; // other hosts' records that name this host
const MAX_FORWARDED = 16; // commands sent on to another host, waiting for its answer
const ANSWER_MS = 10000; // a stream command waits this long for both ends
const ONLINE_WAIT_MS = AWAY_MS; // a command for a known host not heard online waits this long for it (its bridge coming back)
const STALE_MS = 5000; // a record of this host's earlier run that its other end has no record of goes after this
const ANNOUNCE_MS = 1500; // 0.3's RTP: a sender whose receiver has not heard its session is loaded again after this
const DEFAULT_LATENCY_MS = { roc: 200, rtp: 100 }; // the modules' own defaults

/** checkStreamOptions(options) → the bridge's `streams` option checked: { address, ports, rules, latencyMs }. */
function checkStreamOptions(options = {}) {
  const what = 'mqtt: streams';
  const { address, ports = [47000, 47999], send, receive, latencyMs } = checkOptions(options, OPTIONS, what);
  if (address !== undefined && !net.isIP(address)) throw new TypeError(`${what}: address must be an IP address`);
  if (address === '0.0.0.0' || address === '::') throw new RangeError(`${what}: address must be one address, not every one (${address})`);
  const portsOk = Array.isArray(ports) && ports.length === 2 && ports.every((p) => Number.isInteger(p) && p > 0 && p < 65536) && ports[1] - ports[0] >= 2;
  if (!portsOk) throw new RangeError(`${what}: ports must be [first, last], UDP ports at least 3 apart`);
  if (latencyMs !== undefined) checkNumber(latencyMs, what, 'latencyMs', { min: 1, max: 10000, integer: true });
  return { address, ports, rules: streamRules({ send, receive }), latencyMs };
}

/**
 * The streams of one bridge. `graph`; `host` (this host's name), `prefix`
 * (the topic prefix), `options` (checkStreamOptions' result),
 * `homeassistant` ({ discovery } or null), `publish(topic, payload, options)`
 * (sent at once), `localAddress()` (the address the bridge reaches the
 * broker from), `changed()` (the records changed: the bridge looks again).
 */
class Streams {
  #graph;
  #host;
  #prefix;
  #o;
  #ha;
  #publish;
  #localAddress;
  #changed;
  #run = randomBytes(6).toString('hex');
  #line;
  #links = new Map(); // stream id → the stream this host is an end of
  #refused = new Map(); // stream id → { record, since }: records refused here, kept until the sender drops its own
  #peers = new Map(); // host → { online, run, codecs, address }
  #remote = new Map(); // "HOST/ID" → record, of other hosts' records that name this host
  #stale = new Map(); // stream id → { since, record }: this host's record of an earlier run, and when it was heard
  #forwarded; // commands sent on to other hosts (BrokerRequests)
  #health; // the ends' underruns (StreamHealth)
  #removed = new Set(); // nonces of streams removed here: the other end's record is not taken up again
  #onlineWaits = new Set(); // { host, wake(online) }: commands waiting for a host to be heard online
  #replyTopic;
  #scheduled = false;
  #timer = null;
  #timerAt = 0; // when #timer fires
  #closed = false;
  #unlisten = [];

  constructor(graph, { host, prefix, options, homeassistant, publish, localAddress, changed }) {
    this.#graph = graph;
    this.#host = host;
    this.#prefix = prefix;
    this.#o = options;
    this.#ha = homeassistant;
    this.#publish = publish;
    this.#localAddress = localAddress;
    this.#changed = changed;
    this.#line = networkLine();
    this.#replyTopic = `${prefix}-fleet/${randomBytes(8).toString('hex')}/reply`;
    this.#forwarded = new BrokerRequests({
      max: MAX_FORWARDED,
      replyTopic: this.#replyTopic,
      publish: (topic, text, o) => this.#publish(topic, text, o),
      outcome: (answer) => (answer === null || typeof answer !== 'object' || typeof answer.ok !== 'boolean' ? { ok: false, error: 'the host answered with no outcome' }
        : answer.ok ? { ok: true, result: answer.result } : { ok: false, error: String(answer.error).slice(0, FIELD.error) }),
    });
    this.#health = new StreamHealth(graph, () => [...this.#links.values()].flatMap((l) => (l.end ? [l.end.nodeName] : [])), () => this.#changed());
    // A receiver's node coming or going changes its record; the node of a
    // sender taken up again lets it stream.
    const onNode = (node) => {
      if (typeof node?.name !== 'string') return;
      if (node.name.startsWith('quorvane-stream-')) (this.#schedule(), this.#health.soon());
      else if ([...this.#links.values()].some((l) => l.unchecked)) this.#schedule();
    };
    for (const name of ['node-created', 'node-destroyed']) {
      graph.on(name, onNode);
      this.#unlisten.push(() => graph.off(name, onNode));
    }
  }

  /** The topics the bridge subscribes to for the streams. */
  subscriptions() {
    const p = this.#prefix;
    return [`${p}/+/status`, `${p}/+/fleet`, `${p}/+/stream/+`, this.#replyTopic];
  }

  /** The address this host receives on: the one it was given, else the one it reaches the broker from; null without either. */
  address() {
    if (this.#o.address) return this.#o.address;
    const a = this.#localAddress();
    if (typeof a !== 'string') return null;
    const v4 = /^::ffff:(\d+\.\d+\.\d+\.\d+)$/.exec(a);
    return v4 ? v4[1] : net.isIP(a) ? a : null;
  }

  /** { streams: [...] }: this host's streams as its records say. */
  list() {
    return [...this.#links.values()].map((l) => this.#record(l));
  }

  // --- what the broker says ---------------------------------------------------

  /**
   * hear(topic, payload, packet) → true when the message is the streams'
   * (a status, a fleet record, a stream record, an answer to a command sent
   * on), false for the bridge to handle.
   */
  hear(topic, payload, packet) {
    if (topic === this.#replyTopic) {
      this.#forwarded.answered(packet, payload);
      return true;
    }
    const p = `${this.#prefix}/`;
    if (!topic.startsWith(p)) return false;
    const levels = topic.slice(p.length).split('/');
    const host = levels[0];
    if (levels.length === 2 && (levels[1] === 'status' || levels[1] === 'fleet')) {
      // Its own status and fleet record are the bridge's topics: the bridge
      // puts back what another client publishes there.
      if (host === this.#host) return false;
      const peer = this.#peer(host);
      if (!peer) return true;
      if (levels[1] === 'status') {
        peer.online = payload.toString('utf8') === 'online';
        const set = this.#setTopic(host);
        if (peer.online) {
          this.#forwarded.back(set);
          for (const w of [...this.#onlineWaits]) if (w.host === host) w.wake(true);
        } else this.#forwarded.away(set, { ok: false, error: `stream: host ${JSON.stringify(host)} went offline before it answered` });
      } else {
        let f = null;
        try {
          f = payload.length > 0 ? parseJson(payload) : null;
        } catch {}
        peer.run = f && typeof f.run === 'string' && f.run.length <= FIELD.run ? f.run : null;
        peer.codecs = Array.isArray(f?.codecs) ? f.codecs.filter((c) => Object.hasOwn(PORTS, c)).slice(0, 4) : [];
        peer.address = typeof f?.address === 'string' && net.isIP(f.address) ? f.address : null;
      }
      this.#schedule();
      return true;
    }
    if (levels.length !== 3 || levels[1] !== 'stream') return false;
    const id = levels[2];
    if (host === this.#host) {
      // This host's own record: of this run (its own, coming back), or of an
      // earlier one, taken up again while its other end's record stands.
      const r = payload.length > 0 ? readRecord(payload) : null;
      if (r && ownRecord(host, id, r) && r.run !== this.#run && !this.#links.has(id) && !this.#refused.has(id)) {
        this.#stale.set(id, { since: this.#stale.get(id)?.since ?? Date.now(), record: r });
        this.#schedule();
        this.#later(STALE_MS);
      } else if (!r) this.#stale.delete(id);
      return true;
    }
    const key = `${host}/${id}`;
    const r = payload.length > 0 ? readRecord(payload) : null;
    // Only records that name this host, of the host that says them.
    const names = (x) => x && (x.ends.from.host === this.#host || x.ends.to.host === this.#host) && ownRecord(host, id, x);
    if (names(r)) {
      if (this.#remote.has(key) || this.#remote.size < MAX_RECORDS) this.#remote.set(key, r);
    } else this.#remote.delete(key);
    this.#schedule();
    return true;
  }

  #peer(host) {
    let peer = this.#peers.get(host);
    if (!peer && this.#peers.size < MAX_HOSTS) this.#peers.set(host, (peer = { online: false, run: null, codecs: [], address: null }));
    return peer;
  }

  // Resolves true once `host` is heard online (at once if it is), false
  // after ONLINE_WAIT_MS, or at once for a host never heard of: a command
  // given as a host's bridge comes back may come before its "online" does.
  #heardOnline(host) {
    const peer = this.#peers.get(host);
    if (peer?.online) return Promise.resolve(true);
    if (!peer || this.#closed || this.#onlineWaits.size >= MAX_FORWARDED) return Promise.resolve(false);
    return new Promise((resolve) => {
      const timer = setTimeout(() => w.wake(false), ONLINE_WAIT_MS);
      const w = { host, wake: (online) => (clearTimeout(timer), this.#onlineWaits.delete(w), resolve(online)) };
      this.#onlineWaits.add(w);
    });
  }

  // A peer's record of stream `id` that counts: of its current run, while it is online.
  #current(host, id) {
    const peer = this.#peers.get(host);
    const r = this.#remote.get(`${host}/${id}`);
    return r && peer?.online && peer.run !== null && r.run === peer.run ? r : null;
  }

  // --- what the bridge publishes --------------------------------------------

  /** topics() → Map of topic → payload: this host's fleet record, its streams' records and their Home Assistant switches. */
  topics() {
    const h = `${this.#prefix}/${this.#host}`;
    const out = new Map();
    out.set(`${h}/fleet`, JSON.stringify({ run: this.#run, pipewire: this.#line.version, codecs: this.#line.codecs, address: this.address() }));
    for (const link of this.#links.values()) out.set(`${h}/stream/${link.id}`, JSON.stringify(this.#record(link)));
    for (const [id, { record }] of this.#refused) out.set(`${h}/stream/${id}`, JSON.stringify(record));
    if (this.#ha) {
      const hostNode = slug(`quorvane-${this.#host}`);
      for (const link of this.#links.values()) {
        out.set(
          `${this.#ha.discovery}/switch/${hostNode}/${slug(`stream:${link.id}`)}/config`,
          JSON.stringify({
            availability: [{ topic: `${h}/status` }],
            name: `Stream ${link.from} to ${link.to}`,
            unique_id: `quorvane:${this.#host}:stream:${link.id}`,
            state_topic: `${h}/stream/${link.id}`,
            value_template: "{{ 'ON' if value_json.enabled else 'OFF' }}",
            json_attributes_topic: `${h}/stream/${link.id}`,
            command_topic: `${h}/stream/${link.id}/set`,
            payload_on: 'ON',
            payload_off: 'OFF',
            icon: 'mdi:speaker-wireless',
            device: { identifiers: [`quorvane:${this.#host}`] },
          }),
        );
      }
    }
    return out;
  }

  #record(link) {
    const latencyMs = link.latencyMs ?? (link.codec ? DEFAULT_LATENCY_MS[link.codec] : undefined);
    const r = { role: link.role, run: this.#run, nonce: link.nonce, from: link.from, to: link.to, enabled: link.enabled, latencyMs, codecs: this.#line.codecs, codec: link.codec, address: this.address(), ports: null, state: link.state, error: link.error, health: { packetsLost: null, underruns: link.end ? this.#health.underruns(link.end.nodeName) : null }, pipewire: this.#line.version };
    if (link.role === 'receive') Object.assign(r, { ports: link.ports, session: link.session ?? 0, ready: link.ready });
    else {
      const peer = this.#current(link.ends.to.host, link.id);
      if (peer) Object.assign(r, { peerAddress: peer.address, ports: peer.ports });
    }
    return r;
  }

  // --- commands ---------------------------------------------------------------

  /**
   * command(op, fields) → Promise of { ok, result } or { ok: false, error }:
   * "stream" ({ from, to, latencyMs, enabled }: "HOST:NODE" each) and
   * "unstream" ({ from, to } or { stream: ID }), from any host of the
   * broker: carried out here when this host is the sender (or, to remove, an
   * end), else sent on to the host that is.
   */
  async command(op, fields) {
    try {
      return await (op === 'stream' ? this.#stream(fields) : this.#unstream(fields));
    } catch (e) {
      return { ok: false, error: e.message };
    }
  }

  /** The Home Assistant switch of stream `id`: "ON" or "OFF". */
  async toggle(id, payload) {
    const link = this.#links.get(id);
    if (!link) return { ok: false, error: `no stream ${JSON.stringify(String(id).slice(0, 64))} on this host` };
    const text = payload.toString('utf8').trim();
    if (text !== 'ON' && text !== 'OFF') return { ok: false, error: 'a stream switch takes ON or OFF' };
    return this.command('stream', { from: link.from, to: link.to, enabled: text === 'ON' });
  }

  async #stream(fields) {
    const { from, to, latencyMs, enabled = true } = fields;
    const a = endpoint(from, 'from');
    const b = endpoint(to, 'to');
    if (a.host === b.host) throw new Error('stream: a stream goes from one host to another; link nodes of one host with "link"');
    if (latencyMs !== undefined) checkNumber(latencyMs, 'stream', 'latencyMs', { min: 1, max: 10000, integer: true });
    if (typeof enabled !== 'boolean') throw new TypeError('stream: enabled must be true or false');
    if (a.host !== this.#host) return this.#forward(a.host, { op: 'stream', ...fields });
    if (!(await this.#heardOnline(b.host))) throw new Error(`stream: host ${JSON.stringify(b.host)} is not online on this broker (prefix ${this.#prefix})`);
    const node = resolveNode(this.#graph.nodes(), a.node, 'from');
    const why = this.#o.rules.allows('send', node);
    if (why) throw new Error(`stream: ${why}`);
    if (this.#line.codecs.length === 0) throw new Error(`stream: this host's PipeWire (${this.#line.version ?? 'unknown'}) has none of the network modules (ROC, RTP)`);
    const canonical = `${a.host}:${node.name}`;
    const id = streamId(canonical, to);
    let link = this.#links.get(id);
    // Every receiver of one source plays it at one latency target (rooms in
    // step): a new stream takes its siblings' target, a target given is set
    // on them all.
    const siblings = [...this.#links.values()].filter((l) => l.role === 'send' && l.from === canonical && l.id !== id);
    if (!link) {
      if (this.#links.size >= MAX_LINKS) throw new Error(`stream: this host is an end of ${MAX_LINKS} streams already`);
      link = this.#add({ id, role: 'send', from: canonical, to, latencyMs: latencyMs ?? siblings.find((l) => l.latencyMs !== undefined)?.latencyMs ?? this.#o.latencyMs });
      link.nonce = randomBytes(6).toString('hex');
    } else if (latencyMs !== undefined) link.latencyMs = latencyMs;
    if (latencyMs !== undefined && siblings.some((l) => l.latencyMs !== latencyMs)) {
      for (const l of siblings) l.latencyMs = latencyMs;
      this.#changed();
    }
    link.enabled = enabled;
    this.#schedule();
    return this.#settled(link);
  }

  async #unstream(fields) {
    let id = fields.stream;
    let ends = null;
    if (id === undefined) {
      ends = { from: endpoint(fields.from, 'from'), to: endpoint(fields.to, 'to') };
      const link = [...this.#links.values()].find((l) => l.from === fields.from && l.to === fields.to) ?? [...this.#links.values()].find((l) => l.ends.from.host === ends.from.host && l.to === fields.to && this.#nodeNamed(l, ends.from.node));
      id = link?.id ?? streamId(fields.from, fields.to);
    } else if (typeof id !== 'string' || !/^[0-9a-f]{16}$/.test(id)) throw new TypeError('unstream: stream must be a stream id (16 hexadecimal digits)');
    const link = this.#links.get(id);
    if (link) {
      this.#remove(link, null);
      return { ok: true, result: { stream: id, removed: true } };
    }
    if (!ends) throw new Error(`unstream: this host is no end of stream ${id}; give from and to`);
    const online = (h) => this.#peers.get(h)?.online;
    const host = online(ends.from.host) ? ends.from.host : online(ends.to.host) ? ends.to.host : null;
    if (host === null || host === this.#host) throw new Error(`unstream: no stream from ${fields.from} to ${fields.to} here, and neither end is online`);
    return this.#forward(host, { op: 'unstream', from: fields.from, to: fields.to });
  }

  // Whether `name` resolves, on this host, to the node a link's sender names.
  #nodeNamed(link, name) {
    try {
      return `${this.#host}:${resolveNode(this.#graph.nodes(), name, 'from').name}` === link.from;
    } catch {
      return false;
    }
  }

  // Resolves once the link streams (or is off), is removed, or ANSWER_MS
  // passes; the link is removed then, unless it was streaming once.
  #settled(link) {
    return new Promise((resolve) => {
      const done = (outcome) => {
        clearTimeout(timer);
        link.waiters.delete(check);
        resolve(outcome);
      };
      const check = () => {
        if (link.removed) return done({ ok: false, error: `stream: ${link.error ?? 'removed'}` });
        if (link.state === 'streaming' || link.state === 'off') return done({ ok: true, result: this.#record(link) });
        return undefined;
      };
      const timer = setTimeout(() => {
        const peer = link.ends.to.host;
        this.#remove(link, `no answer from ${peer} within ${ANSWER_MS / 1000} s (${link.state}${link.error ? `: ${link.error}` : ''})`);
        check();
      }, ANSWER_MS);
      link.waiters.add(check);
      check();
    });
  }

  // The topic `host`'s bridge takes commands on (what requests sent on to it are waited for by).
  #setTopic(host) {
    return `${this.#prefix}/${host}/set`;
  }

  // Sends a command on to `host`'s bridge and resolves with its answer.
  async #forward(host, command) {
    if (!(await this.#heardOnline(host))) return { ok: false, error: `stream: host ${JSON.stringify(host)} is not online on this broker` };
    const waitMs = ANSWER_MS + 2000;
    return this.#forwarded.send(this.#setTopic(host), command, waitMs, () => ({ ok: false, error: `no answer from ${host} within ${waitMs / 1000} s` }))
      ?? { ok: false, error: `busy: ${MAX_FORWARDED} stream commands wait for their hosts` };
  }

  // --- the ends -------------------------------------------------------------

  #add({ id, role, from, to, latencyMs, codec = null }) {
    this.#stale.delete(id);
    this.#refused.delete(id);
    const link = { id, role, from, to, ends: { from: endpoint(from, 'from'), to: endpoint(to, 'to') }, nonce: null, latencyMs, codec, enabled: true, announce: 0, loadedAt: 0, ready: false, state: 'connecting', error: null, ports: null, end: null, endKey: null, opening: null, peerSeen: false, unchecked: false, removed: false, waiters: new Set() };
    this.#links.set(id, link);
    this.#changed();
    return link;
  }

  // Removes a stream this host is an end of: its end unloaded, its record
  // emptied (the other end follows).
  #remove(link, why) {
    if (link.removed) return;
    link.removed = true;
    link.error = why;
    this.#forget(link.nonce);
    this.#links.delete(link.id);
    this.#closeEnd(link);
    for (const check of [...link.waiters]) check();
    this.#changed();
  }

  // This host's record of stream `id` emptied on the broker, whoever's run published it.
  #empty(id) {
    this.#publish(`${this.#prefix}/${this.#host}/stream/${id}`, '', { retain: true, qos: 0 });
  }

  // Stream `nonce` removed here: no record of it is taken up again.
  #forget(nonce) {
    if (!nonce) return;
    this.#removed.add(nonce);
    if (this.#removed.size > MAX_RECORDS) this.#removed.delete(this.#removed.values().next().value);
  }

  #refuse(id, record, why) {
    this.#stale.delete(id); // the refusal takes the place of this host's record of an earlier run
    this.#refused.set(id, { since: Date.now(), of: record, record: { role: 'receive', run: this.#run, nonce: record.nonce, from: record.from, to: record.to, enabled: false, codecs: this.#line.codecs, codec: null, address: null, ports: null, state: 'refused', error: why, health: null, pipewire: this.#line.version } });
    this.#changed();
  }

  #closeEnd(link) {
    const end = link.end;
    link.end = null;
    link.endKey = null;
    end?.close().catch(() => {});
  }

  // Loads this end as `params` say, unless it is loaded so already (as far
  // as `same`, the parameters that tell two loads apart, says).
  #ensureEnd(link, params, same = params) {
    const key = JSON.stringify(same);
    if (link.endKey === key) return;
    this.#closeEnd(link);
    link.endKey = key;
    const opening = this.#graph
      .streamEnd({ id: link.id, role: link.role, ...params }, { portRange: this.#o.ports })
      .then((end) => {
        if (link.endKey !== key || link.removed || this.#closed) return end.close();
        link.end = end;
        link.loadedAt = Date.now();
        if (link.role === 'receive') link.ports = end.ports;
        end.on('state', () => this.#schedule());
        link.session = end.loads;
        end.on('loaded', (loads) => {
          link.session = loads;
          link.loadedAt = Date.now();
          this.#schedule();
        });
        end.on('ports', (ports) => {
          link.ports = ports;
          this.#schedule();
        });
        end.on('error', () => {});
        link.error = null;
        return undefined;
      })
      .catch((e) => {
        if (link.endKey !== key) return;
        link.endKey = null;
        if (link.role === 'receive') {
          // Refused: the sender drops the stream on reading why.
          this.#remove(link, e.message);
          const r = this.#remote.get(`${link.ends.from.host}/${link.id}`);
          if (r) this.#refuse(link.id, r, e.message);
        } else this.#remove(link, e.message);
      })
      .finally(() => {
        if (link.opening === opening) link.opening = null;
        this.#schedule();
      });
    link.opening = opening;
  }

  // --- keeping it all as the records say ------------------------------------

  #schedule() {
    if (this.#scheduled || this.#closed) return;
    this.#scheduled = true;
    setImmediate(() => {
      this.#scheduled = false;
      if (!this.#closed) this.#reconcile();
    });
  }

  // Looks at the records again in `ms`, or sooner if a look is due sooner
  // (a later one is asked for again when it is due).
  #later(ms) {
    const at = Date.now() + ms;
    if (this.#closed || (this.#timer && this.#timerAt <= at)) return;
    clearTimeout(this.#timer);
    this.#timerAt = at;
    this.#timer = setTimeout(() => {
      this.#timer = null;
      this.#schedule();
    }, ms);
  }

  #reconcile() {
    const before = JSON.stringify([...this.#links.values()].map((l) => [l.id, l.state, l.error, l.codec, l.ports, l.enabled, l.latencyMs, l.session, l.ready]));
    this.#adopt();
    for (const link of [...this.#links.values()]) {
      if (link.role === 'send') this.#keepSending(link);
      else this.#keepReceiving(link);
    }
    // Refusals stay until the sender's record goes (or STALE_MS twice over).
    const now = Date.now();
    for (const [id, { record, since }] of this.#refused) {
      const sender = this.#remote.get(`${record.from.slice(0, record.from.indexOf(':'))}/${id}`);
      if (!sender || now - since > 2 * STALE_MS) {
        this.#refused.delete(id);
        this.#changed();
      } else this.#later(2 * STALE_MS);
    }
    // This host's records of an earlier run that no end took up again go.
    for (const [id, { since }] of this.#stale) {
      if (this.#links.has(id)) this.#stale.delete(id);
      else if (now - since >= STALE_MS) {
        this.#stale.delete(id);
        this.#empty(id);
      } else this.#later(STALE_MS - (now - since));
    }
    const after = JSON.stringify([...this.#links.values()].map((l) => [l.id, l.state, l.error, l.codec, l.ports, l.enabled, l.latencyMs, l.session, l.ready]));
    if (after !== before) this.#changed();
    for (const link of this.#links.values()) for (const check of [...link.waiters]) check();
  }

  // Streams named by another host's record that this host is no end of yet:
  // a sender's record that names this host as the receiver (a new stream,
  // or one this host had before a restart), a receiver's that names it as
  // the sender (after this host's restart).
  #adopt() {
    if (this.#graph.state !== 'connected') return;
    for (const [key, r] of this.#remote) {
      const host = key.slice(0, key.lastIndexOf('/'));
      const id = key.slice(key.lastIndexOf('/') + 1);
      if (this.#links.has(id) || this.#current(host, id) !== r || (r.nonce && this.#removed.has(r.nonce))) continue;
      // A refusal stands for the record it answered; a new one is weighed anew.
      if (this.#refused.has(id) && this.#refused.get(id).of === r) continue;
      if (this.#links.size >= MAX_LINKS) return;
      if (r.role === 'send' && r.ends.to.host === this.#host) {
        if (!r.enabled && r.state === 'off') continue;
        this.#takeUpReceiver(id, r);
      } else if (r.role === 'receive' && r.ends.from.host === this.#host && r.state !== 'refused' && this.#line.codecs.length > 0) {
        this.#takeUpSender(id, r);
      }
    }
    // This host's own records of an earlier run (its bridge restarted) are
    // taken up again while the other end's record of the same stream stands,
    // of whatever run: that end may have restarted too (a power cut), and
    // takes the stream up in turn from this end's record of this run. A
    // stream removed meanwhile has no record at the other end.
    for (const [id, { record: own }] of this.#stale) {
      const other = this.#otherEnd(id, own);
      if (this.#links.has(id) || !other) continue;
      if (this.#links.size >= MAX_LINKS) return;
      if (own.role === 'send') {
        if (this.#line.codecs.length > 0) this.#takeUpSender(id, own).peerSeen = true;
      } else this.#takeUpReceiver(id, other, own);
    }
  }

  // A stream this host receives, from sender record `sender` (a new stream,
  // or, after a restart, this host's own record `own` of its earlier run,
  // whose ports are asked for again), unless the rules refuse it.
  #takeUpReceiver(id, sender, own = null) {
    const why = this.#mayReceive(sender);
    if (why) return this.#refuse(id, sender, why);
    const codec = chooseCodec(sender.codecs, this.#line.receives);
    const r = own ?? sender;
    const link = this.#add({ id, role: 'receive', from: r.from, to: r.to, latencyMs: r.latencyMs, codec });
    link.nonce = r.nonce;
    if (own) Object.assign(link, { enabled: own.enabled, peerSeen: true, ports: own.codec === codec ? own.ports : null });
    return undefined;
  }

  // A stream this host sends, taken up again after a restart from record `r`
  // (the receiver's, or this host's own of its earlier run): it streams once
  // its node is there and the rules still let this host send it (#keepSending).
  #takeUpSender(id, r) {
    const link = this.#add({ id, role: 'send', from: r.from, to: r.to, latencyMs: r.latencyMs });
    return Object.assign(link, { enabled: r.enabled, nonce: r.nonce ?? randomBytes(6).toString('hex'), unchecked: true });
  }

  // The other end's record of stream `id` that answers this host's record
  // `own` (the same stream, not one removed and asked for again), or null.
  #otherEnd(id, own) {
    const r = this.#remote.get(`${own.ends[own.role === 'send' ? 'to' : 'from'].host}/${id}`);
    const answers = own.nonce && own.state !== 'refused' && !this.#removed.has(own.nonce);
    return answers && r && r.role !== own.role && r.nonce === own.nonce && r.state !== 'refused' ? r : null;
  }

  // Why this host does not take the stream of sender record `r`, or null.
  #mayReceive(r) {
    const peer = this.#peers.get(r.ends.from.host);
    if (!this.address()) return `host ${this.#host} takes no stream: its bridge has no address to receive on (the streams.address option)`;
    const codec = chooseCodec(r.codecs, this.#line.receives);
    if (!codec) return `no transport both hosts have (${r.ends.from.host} sends ${r.codecs.join(', ') || 'none'}; ${this.#host} takes ${this.#line.receives.join(', ') || 'none'}, PipeWire ${this.#line.version ?? 'unknown'})`;
    if (codec === 'rtp' && !(r.address ?? peer?.address)) return `no address of ${r.ends.from.host} to take RTP from`;
    let node;
    try {
      node = resolveNode(this.#graph.nodes(), r.ends.to.node, 'to');
    } catch (e) {
      return e.message;
    }
    return this.#o.rules.allows('receive', node);
  }

  #keepSending(link) {
    const peer = this.#peers.get(link.ends.to.host);
    const current = this.#current(link.ends.to.host, link.id);
    // Only the receiver's answer to this very stream (not to one removed before).
    const r = current && current.nonce === link.nonce ? current : null;
    if (r) link.peerSeen = true;
    else if (link.peerSeen && peer?.online && !this.#remote.has(`${link.ends.to.host}/${link.id}`)) return this.#remove(link, `${link.ends.to.host} removed the stream`);
    if (r?.state === 'refused') return this.#remove(link, r.error ?? `${link.ends.to.host} refused the stream`);
    if (link.unchecked) {
      // Taken up again: its node, once there, checked against the rules anew.
      let node;
      try {
        node = resolveNode(this.#graph.nodes(), link.ends.from.node, 'from');
      } catch {
        this.#closeEnd(link);
        link.state = 'waiting';
        return undefined;
      }
      const why = this.#o.rules.allows('send', node);
      if (why) {
        this.#remove(link, why);
        this.#empty(link.id); // its record may not have been published in this run (the receiver follows)
        return undefined;
      }
      link.unchecked = false;
    }
    if (!link.enabled) {
      this.#closeEnd(link);
      link.state = 'off';
      return undefined;
    }
    if (r && r.state === 'listening' && r.codec && r.address && r.ports) {
      link.codec = r.codec;
      // 0.3's RTP receiver makes its node when it hears the session
      // announced, which the sender does as it starts, then every few
      // seconds: a receiver loaded again has the sender loaded again too.
      // Until the receiver has its node, the announcement is made again
      // (the sender loaded again) every ANNOUNCE_MS.
      const params = { codec: r.codec, node: link.ends.from.node, address: r.address, ports: r.ports, ...(this.address() ? { peer: this.address() } : {}) };
      const running = link.end?.state === 'running';
      if (r.codec === 'rtp' && !r.ready && running && Date.now() - link.loadedAt >= ANNOUNCE_MS) link.announce++;
      this.#ensureEnd(link, params, r.codec === 'rtp' ? { ...params, session: r.session, announce: link.announce } : params);
      if (r.codec === 'rtp' && !r.ready) this.#later(running ? Math.max(50, ANNOUNCE_MS - (Date.now() - link.loadedAt)) : ANNOUNCE_MS);
      link.state = running && (r.codec !== 'rtp' || r.ready) ? 'streaming' : 'connecting';
      link.error = link.end?.state === 'failed' ? link.end.reason : link.error;
    } else link.state = peer?.online ? 'connecting' : 'waiting';
    return undefined;
  }

  #keepReceiving(link) {
    const peer = this.#peers.get(link.ends.from.host);
    const r = this.#current(link.ends.from.host, link.id);
    if (r) link.peerSeen = true;
    else if (link.peerSeen && peer?.online && !this.#remote.has(`${link.ends.from.host}/${link.id}`)) return this.#remove(link, `${link.ends.from.host} removed the stream`);
    // The sender gone (its will, or its daemon away): its source goes too.
    if (!peer?.online || !r) {
      this.#closeEnd(link);
      link.state = 'waiting';
      return undefined;
    }
    link.enabled = r.enabled;
    link.nonce = r.nonce;
    if (!r.enabled) {
      this.#closeEnd(link);
      link.state = 'off';
      return undefined;
    }
    if (r.latencyMs !== undefined) link.latencyMs = r.latencyMs;
    const latencyMs = link.latencyMs ?? DEFAULT_LATENCY_MS[link.codec];
    const same = { codec: link.codec, node: link.ends.to.node, address: this.address(), latencyMs };
    const peerAddress = r.address ?? peer.address;
    if (peerAddress) same.peer = peerAddress;
    // The ports it chose first are asked for again when it is loaded again.
    this.#ensureEnd(link, link.ports ? { ...same, ports: link.ports } : same, same);
    link.state = link.end?.state === 'running' ? 'listening' : link.end?.state === 'failed' ? 'error' : 'connecting';
    // Its node: at once for ROC, once it hears the sender's announcement for 0.3's RTP.
    link.ready = link.state === 'listening' && this.#graph.nodes().some((n) => n.name === link.end.nodeName);
    link.error = link.end?.state === 'failed' ? link.end.reason : null;
    return undefined;
  }

  /** Unloads this host's ends; the records stay on the broker (the streams are taken up again when the bridge comes back). */
  async close() {
    if (this.#closed) return;
    this.#closed = true;
    clearTimeout(this.#timer);
    for (const off of this.#unlisten.splice(0)) off();
    this.#forwarded.close({ ok: false, error: 'the bridge closed' });
    for (const w of [...this.#onlineWaits]) w.wake(false);
    this.#health.close();
    await Promise.all([...this.#links.values()].map(async (link) => {
      const end = link.end;
      link.endKey = null;
      link.end = null;
      await link.opening?.catch(() => {});
      await end?.close().catch(() => {});
    }));
  }
}

module.exports = { Streams, checkStreamOptions, streamId, endpoint, readRecord };
