'use strict';
// The bridge: this host's graph kept on an MQTT broker as retained messages,
// and commands taken from it. Under PREFIX/HOST:
//   status              "online" / "offline" (the last will; "offline" too
//                       while the PipeWire daemon is away)
//   node/NAME           one node: { id, name, description, class, state,
//                       volume, mute, target, ports, links } (ports:
//                       [[id, name, direction]], links out of the node:
//                       [[id, output port id, input port id]])
//   defaults            { audioSink, audioSource, videoSource } (node names)
//   links               [["NODE:PORT", "NODE:PORT"], ...]
//   device/NAME         one device (a sound card, a headset): { id, name,
//                       description, api, profile, profiles, output, input,
//                       outputs, inputs } (see deviceState)
//   set, rules/set, defaults/KIND/set, node/NAME/{volume,mute,target}/set,
//                       device/NAME/{profile,output,input}/set
//                       commands, answered on the MQTT 5 response topic or
//                       on PREFIX/HOST/reply
// The graph is compared with what was sent after each batch of the Graph's
// events; only what differs goes out, each topic at most `maxRate` times a
// second, so an idle graph sends nothing.
const { EventEmitter } = require('node:events');
const { randomBytes } = require('node:crypto');
const { checkBridgeOptions, loadMqtt } = require('../protocol/broker-options');
const { Commands } = require('./commands');
const { Streams, checkStreamOptions } = require('./streams');
const { configs, slug } = require('./homeassistant');
const { RateLimit, topicLevel, parseJson } = require('../protocol/broker-payload');
const { checkRequestId } = require('../core/arguments');
const { deviceView } = require('../protocol/device-view');
const { AUTH_CODES, firstConnect } = require('../protocol/broker-connect');

const BACKOFF_MIN_MS = 500;
const BACKOFF_MAX_MS = 30000;
const MAX_IN_FLIGHT = 16;
const CLOSE_STEP_MS = 2000;
const MAX_PACKET_BYTES = 2 * 1024 * 1024; // announced to an MQTT 5 broker: larger packets are not sent to the bridge
const REFUSAL_REPLIES_PER_S = 5; // answers to commands refused for their rate: the rest are counted, not answered
const MAX_TOPICS = 20000; // retained topics held as the bridge's (its own, and discovery configs an earlier run left)
const MAX_RESPONSE_TOPIC = 1024; // characters of an MQTT 5 response topic
const MAX_CORRELATION_BYTES = 256; // bytes of MQTT 5 correlation data, echoed in the answer
// Commands with a response topic and correlation data, remembered so that a
// copy sent again (its answer lost) is answered, not done twice.
const MAX_REMEMBERED = 256;
const REMEMBERED_MS = 60000;
// What #sent holds for one of the bridge's topics that someone else has
// overwritten: never equal to a payload, so the next look sends the bridge's own.
const FORGED = Symbol('forged');
const ECHOES = 4; // MQTT 3.1.1: the bridge's own payloads of a topic it expects back at most
// What no retry mends, before the bridge was ever connected: the broker
// refusing the credentials (MQTT 3.1.1 and 5 reason codes), a certificate
// that the certificate authority given does not vouch for.
const fatal = (e) => AUTH_CODES.has(e.code) || /CERT|SELF_SIGNED|UNABLE_TO_VERIFY|ERR_TLS/.test(String(e.code));

// A node as its state topic holds it: `ports` its ports as [id, name,
// direction (0 output, 1 input)], `links` the links from its outputs as
// [id, output port id, input port id], both by id, for a page to draw.
function nodeState(node, target, ports = [], links = []) {
  const p = node.props ?? {};
  const state = { id: node.id, name: node.name, description: p['node.description'] ?? p['node.nick'] ?? null, class: node.type || null, state: node.state, volume: node.volume ?? null, mute: node.mute ?? null };
  if (/^Stream\//.test(node.type)) state.target = target ?? null;
  state.ports = ports;
  state.links = links;
  return state;
}

// A device as its state topic holds it, from what the pages are sent (texts
// cut, lists capped, the active choices kept): `profile`, `output` and
// `input` the active one's name or null; `profiles`, `outputs` and `inputs`
// the names that can be chosen (available, or the active one), the routes
// those of the active profile.
function deviceState(d) {
  const v = deviceView(d);
  const names = (list, active) => list.filter((c) => c.available !== 'no' || c.index === active).map((c) => c.name);
  const nameOf = (list, active) => list.find((c) => c.index === active)?.name ?? null;
  return {
    id: v.id,
    name: v.name,
    description: v.description,
    api: typeof d.api === 'string' ? d.api.slice(0, 64) : null,
    profile: nameOf(v.profiles, v.profile),
    profiles: names(v.profiles, v.profile),
    output: nameOf(v.routes.output, v.active.output),
    input: nameOf(v.routes.input, v.active.input),
    outputs: names(v.routes.output, v.active.output),
    inputs: names(v.routes.input, v.active.input),
  };
}

class Bridge extends EventEmitter {
  #graph;
  #o;
  #client = null;
  #mqtt;
  #sent = new Map(); // retained topic → the payload the broker holds (as far as the bridge knows)
  #echoes = new Map(); // MQTT 3.1.1: topic → the payloads last published there, still to come back
  #lastSent = new Map(); // topic → when it was last sent
  #missingSince = new Map(); // discovery topic → since when its node is gone
  #keys = new Map(); // topic key → node, as of the last look at the graph
  #deviceKeys = new Map(); // topic key → device, likewise
  #discovery = new Map(); // the discovery configs of each node, by what they are made of
  #timer = null;
  #scheduled = false;
  #daemonUp = true;
  #brokerUp = false;
  #closed = false;
  #backoff = BACKOFF_MIN_MS;
  #retry = null;
  #inFlight = 0;
  #remembered = new Map(); // response topic + correlation → { at, outcome: Promise }
  #commandLimit;
  #refusalLimit = new RateLimit(REFUSAL_REPLIES_PER_S, REFUSAL_REPLIES_PER_S);
  #patchbay = null;
  #commands;
  #streams;
  #listeners = [];
  #counts = { published: 0, commands: 0, refused: 0, unanswered: 0, ignored: 0, cleared: 0 };

  constructor(graph, options) {
    super();
    this.#graph = graph;
    this.#o = checkBridgeOptions(options);
    this.#mqtt = loadMqtt();
    this.#commandLimit = new RateLimit(this.#o.commandRate, this.#o.commandRate * 2);
    this.hostTopic = `${this.#o.topicPrefix}/${this.#o.hostName}`;
    this.#streams = new Streams(graph, {
      host: this.#o.hostName,
      prefix: this.#o.topicPrefix,
      options: checkStreamOptions(this.#o.streams),
      homeassistant: this.#o.homeassistant ? { discovery: this.#o.discoveryPrefix } : null,
      publish: (topic, payload, options) => this.#publish(topic, payload, false, options),
      localAddress: () => this.#client?.stream?.localAddress,
      changed: () => this.#schedule(),
    });
    this.#commands = new Commands(graph, {
      streams: this.#streams,
      patchbay: { get: () => this.#patchbay, set: (p) => (this.#patchbay = p) },
      nodeOf: (key) => this.#nodeOf(key),
      deviceOf: (key) => this.#deviceOf(key),
    });
  }

  get rules() {
    return this.#patchbay?.rules ?? null;
  }

  /**
   * Streams audio from `from` to `to` ("HOST:NODE" each, hosts on this
   * broker; lib/mqtt/streams.js, docs/fleet.md): resolves with the sender's
   * record once audio flows, rejects with why not. `options`: { latencyMs,
   * enabled }.
   */
  async stream(from, to, options = {}) {
    const { latencyMs, enabled } = options;
    const outcome = await this.#streams.command('stream', { from, to, ...(latencyMs !== undefined ? { latencyMs } : {}), ...(enabled !== undefined ? { enabled } : {}) });
    if (!outcome.ok) throw new Error(outcome.error);
    return outcome.result;
  }

  /** Removes the stream from `from` to `to`; resolves once this host's end is gone (the other follows). */
  async unstream(from, to) {
    const outcome = await this.#streams.command('unstream', { from, to });
    if (!outcome.ok) throw new Error(outcome.error);
  }

  /** This host's streams, as their records say. */
  streams() {
    return this.#streams.list();
  }

  /**
   * Counts since the start: messages published, commands done, refused, refusals left unanswered, retained
   * commands ignored, and retained messages of others cleared under the host's prefix or the discovery one.
   */
  stats() {
    return { ...this.#counts, topics: this.#sent.size };
  }

  /**
   * Starts the rules (if any), connects and publishes the graph; resolves
   * with the bridge once the broker has taken it, rejects (and closes) when
   * the broker refuses the credentials or stays out of reach for
   * connectTimeoutMs. Past that the bridge reconnects by itself.
   */
  async start() {
    const o = this.#o;
    if (o.rules !== undefined && o.rules !== null) this.#patchbay = this.#graph.patchbay(o.rules);
    const listen = (emitter, name, fn) => {
      emitter.on(name, fn);
      this.#listeners.push(() => emitter.off(name, fn));
    };
    for (const name of ['node-created', 'node-changed', 'node-destroyed', 'port-created', 'port-changed', 'port-destroyed', 'link-created', 'link-destroyed', 'defaults-changed', 'device-created', 'device-changed', 'device-destroyed']) {
      listen(this.#graph, name, () => this.#schedule());
    }
    listen(this.#graph, 'disconnected', () => {
      this.#daemonUp = false;
      this.#status();
    });
    listen(this.#graph, 'connected', () => {
      this.#daemonUp = true;
      this.#status();
      this.#schedule();
    });
    this.#daemonUp = this.#graph.state === 'connected';
    const client = this.#mqtt.connect(o.broker, {
      clientId: o.clientId ?? `quorvane-${o.hostName.replace(/[^A-Za-z0-9_-]/g, '_').slice(0, 40)}-${randomBytes(4).toString('hex')}`,
      protocolVersion: o.protocolVersion,
      username: o.username,
      password: o.password,
      ca: o.ca,
      will: { topic: `${this.hostTopic}/status`, payload: Buffer.from('offline'), retain: true, qos: 1 },
      reconnectPeriod: 0, // the bridge's own back-off instead
      connectTimeout: Math.min(10000, o.connectTimeoutMs || 10000),
      queueQoSZero: false, // what is sent while away is sent again, whole, on return
      clean: true,
      keepalive: 30,
      properties: o.protocolVersion === 5 ? { maximumPacketSize: MAX_PACKET_BYTES } : undefined,
    });
    this.#client = client;
    client.on('message', (topic, payload, packet) => this.#message(topic, payload, packet));
    client.on('connect', () => this.#connected());
    client.on('close', () => this.#lost());
    client.on('error', (e) => {
      if (this.#brokerUp || !fatal(e)) this.emit('warning', e);
    });
    try {
      await firstConnect(
        client,
        o.connectTimeoutMs,
        () => new Error(`mqtt: broker ${o.broker} not reached in ${o.connectTimeoutMs} ms`),
        (e) => (!fatal(e) ? null : new Error(AUTH_CODES.has(e.code) ? `mqtt: the broker refused the bridge: ${e.message}` : `mqtt: the broker's certificate: ${e.message}`)),
      );
    } catch (e) {
      await this.close();
      throw e;
    }
    return this;
  }

  // Connected (again): subscriptions, then the whole state, sent anew (a
  // restarted broker may have lost it).
  #connected() {
    this.#brokerUp = true;
    this.#backoff = BACKOFF_MIN_MS;
    const v5 = this.#o.protocolVersion === 5;
    const h = this.hostTopic;
    // Everything under the host's prefix: its commands, and what others may
    // have left there (cleared, below). MQTT 5 keeps the retain flag of what
    // is published while the bridge is subscribed (rap) and spares it its own
    // messages (nl); MQTT 3.1.1 does neither.
    const topics = [`${h}/#`];
    if (this.#o.homeassistant) topics.push(`${this.#o.discoveryPrefix}/+/${slug(`quorvane-${this.#o.hostName}`)}/+/config`);
    topics.push(...this.#streams.subscriptions());
    this.#client.subscribe(topics, { qos: 0, ...(v5 ? { nl: true, rap: true } : {}) }, (e) => e && this.emit('warning', e));
    this.#echoes.clear(); // what was sent before is not coming back
    this.#status();
    for (const [topic, payload] of this.#sent) if (payload !== FORGED) this.#publish(topic, payload);
    this.#schedule();
    this.emit('connected');
  }

  // The broker went away: back again after a back-off that doubles up to
  // BACKOFF_MAX_MS (with some jitter, so that many bridges do not return at once).
  #lost() {
    const was = this.#brokerUp;
    this.#brokerUp = false;
    if (this.#closed) return;
    if (was) this.emit('offline');
    if (this.#retry) return;
    const delay = Math.round(this.#backoff * (0.8 + Math.random() * 0.4));
    this.#backoff = Math.min(this.#backoff * 2, BACKOFF_MAX_MS);
    this.#retry = setTimeout(() => {
      this.#retry = null;
      if (!this.#closed) this.#client.reconnect();
    }, delay);
  }

  #status() {
    if (this.#brokerUp) this.#publish(`${this.hostTopic}/status`, this.#daemonUp ? 'online' : 'offline', false);
  }

  // A message under the host's prefix that is no command: what the bridge
  // itself publishes there stays as it published it, and what it does not
  // publish does not stay. With MQTT 5 only retained messages are others'
  // leftovers or forgeries (the bridge does not hear its own); with MQTT
  // 3.1.1, which clears the retain flag of what it forwards live and sends
  // the bridge its own messages back, any text that differs from what the
  // bridge sent is taken as one.
  #foreign(topic, payload, packet) {
    const v5 = this.#o.protocolVersion === 5;
    if (v5 && !packet.retain) return; // not kept by the broker
    const text = payload.toString('utf8');
    if (topic === `${this.hostTopic}/status`) {
      if (text !== (this.#daemonUp ? 'online' : 'offline')) this.#status();
      return;
    }
    if (topic === `${this.hostTopic}/reply` && !packet.retain) return; // answers, the bridge's own among them
    const echoes = this.#echoes.get(topic);
    if (!packet.retain && echoes?.includes(text)) {
      echoes.splice(0, echoes.indexOf(text) + 1); // this one and those before it have come back
      if (echoes.length === 0) this.#echoes.delete(topic);
      return;
    }
    if (this.#sent.has(topic)) {
      // One of the bridge's topics: its own state again, once the graph is looked at.
      if (this.#sent.get(topic) === text) return;
      this.#sent.set(topic, FORGED);
      this.#schedule();
      return;
    }
    if (text === '') return; // nothing kept: a removal (the bridge's own, with MQTT 3.1.1)
    this.#counts.cleared++;
    this.#publish(topic, '', false);
  }

  #publish(topic, payload, count = true, options = { retain: true, qos: 0 }) {
    if (!this.#brokerUp) return;
    if (count) this.#counts.published++;
    // MQTT 3.1.1 sends the bridge its own retained messages back: the last
    // few of each topic are known as its own when they come.
    if (options.retain && this.#o.protocolVersion !== 5 && topic.startsWith(`${this.hostTopic}/`)) {
      const echoes = this.#echoes.get(topic) ?? [];
      echoes.push(payload);
      if (echoes.length > ECHOES) echoes.shift();
      this.#echoes.set(topic, echoes);
    }
    this.#client.publish(topic, payload, options);
  }

  #schedule() {
    if (this.#scheduled || this.#closed) return;
    this.#scheduled = true;
    setImmediate(() => {
      this.#scheduled = false;
      this.#flush();
    });
  }

  #nodeOf(key) {
    if (this.#keys.size === 0 || !this.#keys.has(key)) this.#look();
    return this.#keys.get(key);
  }

  #deviceOf(key) {
    if (!this.#deviceKeys.has(key)) this.#look();
    return this.#deviceKeys.get(key);
  }

  // The graph now, as topic → payload.
  #look() {
    const g = this.#graph;
    const h = this.hostTopic;
    const nodes = g.nodes().sort((a, b) => a.id - b.id);
    const ports = new Map(g.ports().map((p) => [p.id, p]));
    const byId = new Map(nodes.map((n) => [n.id, n]));
    const portName = (id) => {
      const p = ports.get(id);
      return p ? `${byId.get(p.nodeId)?.name ?? p.nodeId}:${p.name}` : String(id);
    };
    const links = [];
    const target = new Map(); // stream id → the device it is linked to
    const portsOf = new Map(); // node id → its ports, as its state holds them
    const linksOf = new Map(); // node id → the links from its outputs
    const push = (map, key, item) => (map.get(key) ?? map.set(key, []).get(key)).push(item);
    for (const p of [...ports.values()].sort((a, b) => a.id - b.id)) push(portsOf, p.nodeId, [p.id, p.name, p.direction]);
    for (const l of g.links().sort((a, b) => a.id - b.id)) {
      push(linksOf, l.srcNodeId, [l.id, l.srcPortId, l.sinkPortId]);
      links.push([portName(l.srcPortId), portName(l.sinkPortId)]);
      const from = ports.get(l.srcPortId)?.nodeId;
      const to = ports.get(l.sinkPortId)?.nodeId;
      if (/^Stream\/Output/.test(byId.get(from)?.type) && !target.has(from)) target.set(from, byId.get(to)?.name);
      if (/^Stream\/Input/.test(byId.get(to)?.type) && !target.has(to)) target.set(to, byId.get(from)?.name);
    }
    links.sort((a, b) => (a[0] < b[0] ? -1 : a[0] > b[0] ? 1 : a[1] < b[1] ? -1 : a[1] > b[1] ? 1 : 0));
    const want = new Map();
    const listed = [];
    this.#keys.clear();
    for (const node of nodes) {
      // A second node of the same name is set apart by its id.
      let key = topicLevel(node.name || `node-${node.id}`);
      if (this.#keys.has(key)) key = `${key}~${node.id}`;
      this.#keys.set(key, node);
      const topic = `${h}/node/${key}`;
      want.set(topic, JSON.stringify(nodeState(node, target.get(node.id), portsOf.get(node.id), linksOf.get(node.id))));
      listed.push({ key, topic, node, target: target.get(node.id) ?? null });
    }
    const devices = [];
    this.#deviceKeys.clear();
    for (const device of g.devices().sort((a, b) => a.id - b.id)) {
      const state = deviceState(device);
      let key = topicLevel(state.name || `device-${device.id}`);
      if (this.#deviceKeys.has(key)) key = `${key}~${device.id}`;
      this.#deviceKeys.set(key, device);
      const topic = `${h}/device/${key}`;
      want.set(topic, JSON.stringify(state));
      devices.push({ key, topic, state });
    }
    const d = g.defaults;
    want.set(`${h}/defaults`, JSON.stringify({ audioSink: d.audioSink, audioSource: d.audioSource, videoSource: d.videoSource }));
    want.set(`${h}/links`, JSON.stringify(links));
    for (const [topic, text] of this.#streams.topics()) want.set(topic, text);
    if (this.#o.homeassistant) {
      const version = require('../../package.json').version;
      for (const [topic, text] of configs({ host: this.#o.hostName, hostTopic: h, discovery: this.#o.discoveryPrefix, nodes: listed, devices, defaults: d, version }, this.#discovery)) {
        want.set(topic, text);
      }
    }
    return want;
  }

  // Sends what differs from what the broker holds, each topic at most
  // maxRate times a second; a discovery config is removed only once its node
  // has been gone for forgetAfterMs (a restart does not remove the entity).
  #flush() {
    clearTimeout(this.#timer);
    this.#timer = null;
    if (this.#closed || !this.#brokerUp || !this.#daemonUp || this.#graph.state !== 'connected') return;
    const want = this.#look();
    const now = Date.now();
    const interval = 1000 / this.#o.maxRate;
    let next = Infinity;
    const send = (topic, payload) => {
      const last = this.#lastSent.get(topic) ?? -Infinity;
      if (now - last < interval) {
        next = Math.min(next, last + interval);
        return;
      }
      this.#lastSent.set(topic, now);
      this.#publish(topic, payload);
      if (payload === '') this.#sent.delete(topic);
      else this.#sent.set(topic, payload);
    };
    for (const [topic, payload] of want) {
      this.#missingSince.delete(topic);
      if (this.#sent.get(topic) !== payload) send(topic, payload);
    }
    const discovery = `${this.#o.discoveryPrefix}/`;
    for (const topic of [...this.#sent.keys()]) {
      if (want.has(topic)) continue;
      if (topic.startsWith(discovery)) {
        const since = this.#missingSince.get(topic) ?? now;
        this.#missingSince.set(topic, since);
        if (now - since < this.#o.forgetAfterMs) {
          next = Math.min(next, since + this.#o.forgetAfterMs);
          continue;
        }
        this.#missingSince.delete(topic);
      }
      send(topic, '');
    }
    for (const [topic, at] of this.#lastSent) if (now - at >= interval && !this.#sent.has(topic)) this.#lastSent.delete(topic);
    if (next !== Infinity) this.#timer = setTimeout(() => this.#flush(), Math.max(1, next - now));
  }

  // --- commands ----------------------------------------------------------------

  #route(topic) {
    const h = `${this.hostTopic}/`;
    if (!topic.startsWith(h)) return null;
    const levels = topic.slice(h.length).split('/');
    if (levels.length === 1 && levels[0] === 'set') return { kind: 'host' };
    if (levels.length === 2 && levels[0] === 'rules' && levels[1] === 'set') return { kind: 'rules' };
    if (levels.length === 3 && levels[0] === 'defaults' && levels[2] === 'set') return { kind: 'default', what: levels[1] };
    if (levels.length === 4 && levels[0] === 'node' && levels[3] === 'set') return { kind: 'node', key: levels[1], what: levels[2] };
    if (levels.length === 4 && levels[0] === 'device' && levels[3] === 'set') return { kind: 'device', key: levels[1], what: levels[2] };
    if (levels.length === 3 && levels[0] === 'stream' && levels[2] === 'set') return { kind: 'stream', key: levels[1] };
    return null;
  }

  #message(topic, payload, packet) {
    if (this.#streams.hear(topic, payload, packet)) return;
    const route = this.#route(topic);
    if (!route) {
      if (topic.startsWith(`${this.hostTopic}/`)) return this.#foreign(topic, payload, packet);
      // A retained discovery config this run has not sent (left by an earlier
      // run): taken as sent, so that it is removed if its node is gone for
      // good; past MAX_TOPICS held, removed at once.
      if (packet.retain && payload.length > 0 && !this.#sent.has(topic)) {
        if (this.#sent.size >= MAX_TOPICS) {
          this.#counts.cleared++;
          this.#publish(topic, '', false);
          return;
        }
        this.#sent.set(topic, payload.toString('utf8'));
        this.#schedule();
      }
      return;
    }
    // A retained command is never carried out: it would be done again at
    // every reconnect, and by every bridge that subscribes later. With MQTT 5
    // it is removed from the broker too (the bridge does not hear the
    // removal; with MQTT 3.1.1 it would, as an empty command).
    if (packet.retain) {
      this.#counts.ignored++;
      if (this.#o.protocolVersion === 5 && payload.length > 0) this.#publish(topic, '', false);
      return;
    }
    const answer = (outcome) => this.#reply(topic, packet, outcome);
    if (!this.#commandLimit.take()) {
      this.#counts.refused++;
      if (this.#refusalLimit.take()) answer({ ok: false, error: `too many commands: at most ${this.#o.commandRate} a second; this one was not done` });
      else this.#counts.unanswered++;
      return;
    }
    if (this.#inFlight >= MAX_IN_FLIGHT) {
      this.#counts.refused++;
      answer({ ok: false, error: `busy: ${MAX_IN_FLIGHT} commands are under way; this one was not done` });
      return;
    }
    if (!this.#daemonUp) {
      answer({ ok: false, error: 'PipeWire is away; this command was not done' });
      return;
    }
    const refusal = this.#replyRefusal(packet);
    if (refusal) {
      this.#counts.refused++;
      answer({ ok: false, error: `${refusal}; this command was not done` });
      return;
    }
    let id;
    try {
      id = route.kind === 'host' ? requestId(payload) : undefined;
    } catch (e) {
      this.#counts.refused++;
      answer({ ok: false, error: `${e.message}; this command was not done` });
      return;
    }
    const key = rememberedKey(packet);
    const earlier = key && this.#remembered.get(key);
    if (earlier) {
      earlier.outcome.then(answer);
      return;
    }
    this.#inFlight++;
    this.#counts.commands++;
    const outcome = this.#commands.run(route, payload).then((o) => (id === undefined ? o : { id, ...o }));
    if (key) this.#remember(key, outcome);
    outcome.then(answer).finally(() => {
      this.#inFlight--;
      this.#schedule();
    });
  }

  // Keeps the outcome of a command sent with a response topic and
  // correlation data for REMEMBERED_MS: a copy of it sent again (its answer
  // lost) gets that answer and is not done twice. At most MAX_REMEMBERED,
  // the oldest forgotten first.
  #remember(key, outcome) {
    const now = performance.now();
    for (const [k, entry] of this.#remembered) {
      if (now - entry.at < REMEMBERED_MS && this.#remembered.size < MAX_REMEMBERED) break;
      this.#remembered.delete(k);
    }
    this.#remembered.set(key, { at: now, outcome });
  }

  // Why an answer to the command of `packet` could not be given as asked
  // (an MQTT 5 response topic that is no topic or too long, correlation
  // data too long), or null. Such a command is refused, not done unheard.
  #replyRefusal(packet) {
    const { responseTopic, correlationData } = packet.properties ?? {};
    if (responseTopic !== undefined && !isReplyTopic(responseTopic)) return `the response topic must be a topic of 1 to ${MAX_RESPONSE_TOPIC} characters without "+" or "#"`;
    if (correlationData !== undefined && correlationData.length > MAX_CORRELATION_BYTES) return `the correlation data must be at most ${MAX_CORRELATION_BYTES} bytes`;
    return null;
  }

  // The outcome on the MQTT 5 response topic with the correlation data, or
  // on PREFIX/HOST/reply (also where the response topic is not one: see
  // #replyRefusal).
  #reply(topic, packet, outcome) {
    const { responseTopic, correlationData } = packet.properties ?? {};
    const body = JSON.stringify({ topic, ...outcome }, (k, v) => (v instanceof RegExp ? String(v) : v));
    if (isReplyTopic(responseTopic)) {
      const correlation = correlationData && correlationData.length <= MAX_CORRELATION_BYTES ? { correlationData } : undefined;
      this.#publish(responseTopic, body, false, { qos: 0, retain: false, properties: correlation });
    } else {
      this.#publish(`${this.hostTopic}/reply`, body, false, { qos: 0, retain: false });
    }
  }

  /**
   * Ends the bridge: its rules stop (their links go), "offline" is published
   * and the broker left; the host's retained state stays for others to read.
   */
  async close() {
    if (this.#closed) return;
    this.#closed = true;
    clearTimeout(this.#timer);
    clearTimeout(this.#retry);
    for (const off of this.#listeners.splice(0)) off();
    await this.#patchbay?.close();
    await this.#streams.close();
    const client = this.#client;
    if (!client) return;
    // Each step bounded: a broker that no longer answers cannot hold the close.
    const bounded = (start) => {
      let timer;
      return Promise.race([new Promise(start), new Promise((resolve) => (timer = setTimeout(resolve, CLOSE_STEP_MS)))]).finally(() => clearTimeout(timer));
    };
    if (this.#brokerUp) await bounded((resolve) => client.publish(`${this.hostTopic}/status`, 'offline', { retain: true, qos: 1 }, () => resolve()));
    if (!(await bounded((resolve) => client.end(false, {}, () => resolve(true))))) client.end(true);
    this.emit('closed');
  }
}

const isReplyTopic = (t) => typeof t === 'string' && t.length > 0 && t.length <= MAX_RESPONSE_TOPIC && !/[+#]/.test(t);
// What identifies a command sent with an MQTT 5 response topic and
// correlation data (a controller's copies of one command carry the same
// both), or null.
function rememberedKey(packet) {
  const { responseTopic, correlationData } = packet.properties ?? {};
  return isReplyTopic(responseTopic) && correlationData?.length ? `${responseTopic}\n${correlationData.toString('hex')}` : null;
}

// The "id" a JSON command carries, echoed in its answer (for MQTT 3.1.1,
// which has no correlation data): undefined when it has none (or is no JSON
// object: its refusal says so), else checked as every protocol's request id
// (a TypeError or RangeError for one that is not).
function requestId(payload) {
  let msg;
  try {
    msg = parseJson(payload);
  } catch {
    return undefined;
  }
  if (msg === null || typeof msg !== 'object' || msg.id === undefined) return undefined;
  return checkRequestId(msg.id, 'a command', { min: Number.MIN_SAFE_INTEGER, max: Number.MAX_SAFE_INTEGER, text: true });
}

/** bridge(graph, options) → Promise of a started Bridge (see Bridge.start). */
async function bridge(graph, options) {
  return new Bridge(graph, options).start();
}

module.exports = { Bridge, bridge };
