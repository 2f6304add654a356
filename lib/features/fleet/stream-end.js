'use strict';
// One end of a stream between hosts: PipeWire's network sink (the sending
// end) or source (the receiving end) loaded into this process's context, and
// a link rule that keeps the host's node linked to it. The module is loaded
// again after the daemon comes back (it goes with the connection) and
// whenever it ends by itself, with a growing pause; the link rule follows the
// module's node as it is made again.
//
// RTP is what a 0.3.x host speaks, and a 1.x host sends to one: the
// receiver's port takes the sender's session announcements (SAP), which name
// the port the sender picked for the audio itself.
//              sending end                          receiving end
//   0.3.x      module-rtp-sink (announces itself)   module-rtp-source (hears them, makes the node)
//   1.x        module-rtp-sink + module-rtp-sap     (ROC only: see line.js)
const { EventEmitter } = require('node:events');
const fs = require('node:fs');
const net = require('node:net');
const addon = require('../../connection/addon');
const { checkOptions, checkNumber, checkText } = require('../../core/arguments');
const { loadModule, unloadModule, watchModule, positions } = require('../effects/module');
const { PORTS, isPortList } = require('./codecs');
const { networkLine, major } = require('./line');

const { createdByKey: CREATED_BY } = addon.constants;
const OPTIONS = ['id', 'role', 'codec', 'node', 'address', 'peer', 'ports', 'latencyMs', 'channels', 'timeoutMs'];
const ROLES = ['send', 'receive'];
const CODECS = ['roc', 'rtp'];
const RETRY_FIRST_MS = 100;
const RETRY_LIMIT_MS = 5000;
const PORT_TRIES = 8;
const portConfig = { mode: 'dsp', monitor: false, control: false, position: 'preserve' };
const ID = /^[A-Za-z0-9_-]{1,64}$/;
const RTP_FORMAT = { format: 'S16BE', rate: 48000 }; // L16, what 0.3.x's RTP modules send and take

// Whether this process's PipeWire (or `version`) is of the 1.x line, whose
// RTP modules leave announcements to module-rtp-sap.
const isModern = (version = networkLine().version) => major(version) >= 1;

// The UDP ports bound in this network namespace, from /proc/net/udp{,6}.
function udpPortsInUse() {
  const used = new Set();
  for (const file of ['/proc/net/udp', '/proc/net/udp6']) {
    let text = '';
    try {
      text = fs.readFileSync(file, 'utf8');
    } catch {
      continue;
    }
    for (const line of text.split('\n').slice(1)) {
      const local = line.trim().split(/\s+/)[1];
      if (local) used.add(parseInt(local.slice(local.lastIndexOf(':') + 1), 16));
    }
  }
  return used;
}

/**
 * freePorts(count, [min, max], skip) → `count` consecutive UDP ports within
 * [min, max] that nothing in this namespace has bound, none in `skip`; null
 * when there are none.
 */
function freePorts(count, [min, max], skip = new Set()) {
  const used = udpPortsInUse();
  const span = max - min + 1;
  const start = Math.floor(Math.random() * span); // two hosts' receivers seldom pick alike
  for (let k = 0; k < span; k++) {
    const first = min + ((start + k) % span);
    if (first + count - 1 > max) continue;
    const ports = Array.from({ length: count }, (_, i) => first + i);
    if (ports.every((p) => !used.has(p) && !skip.has(p))) return ports;
  }
  return null;
}

// A regular expression (PipeWire's rules: "~" and POSIX extended) that
// matches exactly `text`.
const exactly = (text) => text.replace(/[\\^$.*+?()[\]{}|]/g, (c) => `\\${c}`);

/**
 * moduleArgs({ id, role, codec, address, peer, ports, latencyMs, channels,
 * pipewire }) → { name, args, nodeName, then }: the module and its
 * arguments for one end, and the modules to load after it (`then`, 1.x's
 * announcer). `address`: the receiver's (its own for 'receive'; where to
 * send for 'send'), `peer`: the sender's address (for 'receive': 0.3.x's RTP
 * receiver takes only the sessions it announces; for 'send': where its
 * packets come from, named in its announcements). `pipewire`: the line
 * (this process's by default).
 */
function moduleArgs({ id, role, codec, address, peer, ports, latencyMs, channels, pipewire }) {
  const nodeName = `quorvane-stream-${id}.${role === 'send' ? 'send' : 'receive'}`;
  const props = {
    'node.name': nodeName,
    'node.description': `Stream ${id} (${role === 'send' ? `to ${address}` : `from ${peer ?? 'any'}`})`,
    'audio.rate': 48000,
    'audio.channels': channels,
    'audio.position': positions(channels),
    'adapter.auto-port-config': portConfig,
    [CREATED_BY]: addon.clientName(),
  };
  const session = `quorvane-stream-${id}`;
  const then = [];
  if (codec === 'roc' && role === 'receive') {
    const args = { 'local.ip': address, 'local.source.port': ports[0], 'local.repair.port': ports[1], 'local.control.port': ports[2], 'fec.code': 'rs8m', 'source.name': nodeName, 'source.props': props };
    if (latencyMs !== undefined) args['sess.latency.msec'] = latencyMs;
    return { name: 'libpipewire-module-roc-source', args, nodeName, then };
  }
  if (codec === 'roc') {
    return { name: 'libpipewire-module-roc-sink', args: { 'remote.ip': address, 'remote.source.port': ports[0], 'remote.repair.port': ports[1], 'remote.control.port': ports[2], 'fec.code': 'rs8m', 'sink.name': nodeName, 'sink.props': props }, nodeName, then };
  }
  if (role === 'receive') {
    // Only the session of this stream, announced from the sender's address,
    // makes a node. 1.x's module-rtp-sap names no address of its own in its
    // announcements (0.0.0.0), whatever its source.ip: that is taken too.
    const { 'node.name': _n, 'node.description': description, ...common } = props;
    const origin = `~.* IN IP[46] (${exactly(peer)}|0\\.0\\.0\\.0)$`;
    const args = {
      'sap.ip': address,
      'sap.port': ports[0],
      'stream.props': common,
      'stream.rules': [{ matches: [{ 'rtp.session': session, 'rtp.origin': origin }], actions: { 'create-stream': { 'node.name': nodeName, 'node.description': description } } }],
    };
    if (latencyMs !== undefined) args['sess.latency.msec'] = latencyMs;
    return { name: 'libpipewire-module-rtp-source', args, nodeName, then };
  }
  if (isModern(pipewire)) {
    // The sink picks its port; module-rtp-sap announces this sink alone
    // (not every sink in the daemon marked to be announced) to the receiver.
    const audio = { 'audio.format': RTP_FORMAT.format, 'audio.rate': RTP_FORMAT.rate, 'audio.channels': channels, 'audio.position': positions(channels) };
    const args = { 'destination.ip': address, 'sess.name': session, 'sess.media': 'audio', ...audio, 'stream.props': { ...props, 'sess.sap.announce': true } };
    const sap = { 'sap.ip': address, 'sap.port': ports[0], 'stream.rules': [{ matches: [{ 'node.name': nodeName }], actions: { 'announce-stream': {} } }] };
    if (peer) args['source.ip'] = sap['source.ip'] = peer;
    return { name: 'libpipewire-module-rtp-sink', args, nodeName, then: [{ name: 'libpipewire-module-rtp-sap', args: sap }] };
  }
  const args = { 'sap.ip': address, 'sap.port': ports[0], 'destination.ip': address, 'sess.name': session, 'audio.channels': channels, 'audio.position': positions(channels), 'stream.props': props };
  if (peer) args['source.ip'] = peer;
  return { name: 'libpipewire-module-rtp-sink', args, nodeName, then };
}

function checkEndOptions(options) {
  const what = 'stream';
  checkOptions(options, OPTIONS, what, { required: ['id', 'role', 'codec', 'node', 'address'] });
  const { id, role, codec, node, address, peer, ports, latencyMs, channels = 2, timeoutMs = 5000 } = options;
  if (typeof id !== 'string' || !ID.test(id)) throw new TypeError(`${what}: id must be 1 to 64 letters, digits, "_" or "-"`);
  if (!ROLES.includes(role)) throw new TypeError(`${what}: role must be 'send' or 'receive'`);
  if (!CODECS.includes(codec)) throw new TypeError(`${what}: codec must be one of ${CODECS.join(', ')}`);
  checkText(node, what, 'node', { max: 1024 });
  if (!net.isIP(address)) throw new TypeError(`${what}: address must be an IP address`);
  if (address === '0.0.0.0' || address === '::') throw new RangeError(`${what}: address must be one address, not every one (${address})`);
  if (peer !== undefined && !net.isIP(peer)) throw new TypeError(`${what}: peer must be an IP address`);
  if (codec === 'rtp' && role === 'receive' && peer === undefined) throw new TypeError(`${what}: an RTP receiver needs the sender's address (peer)`);
  if (ports !== undefined) {
    if (!isPortList(ports, codec)) throw new TypeError(`${what}: ports must be ${PORTS[codec]} UDP port number(s) for ${codec}`);
  }
  if (role === 'send' && ports === undefined) throw new TypeError(`${what}: the sending end needs the receiver's ports`);
  if (latencyMs !== undefined) checkNumber(latencyMs, what, 'latencyMs', { min: 1, max: 10000, integer: true });
  checkNumber(channels, what, 'channels', { min: 1, max: 8, integer: true });
  return { id, role, codec, node, address, peer, ports, latencyMs, channels, timeoutMs };
}

/**
 * One end of a stream, made by StreamEnd.open(). Events: "state" (the end's
 * state: 'running', 'waiting' while the daemon is away or the module is
 * loaded again, 'failed' with the reason), "loaded" (each load, with the
 * count), "ports" (a receiver's ports changed), "error". `ports`: the
 * receiver's ports in use (chosen when not given).
 */
class StreamEnd extends EventEmitter {
  #g;
  #o;
  #portRange;
  #modules = []; // ids of the modules loaded for this end, its node's first
  #stopWatches = [];
  #rule = null;
  #closed = false;
  #retry = null;
  #retryMs = RETRY_FIRST_MS;
  #unlisten = [];
  #loading = null;
  state = 'waiting';
  reason = null;
  loads = 0; // times the module was loaded

  constructor(g, o, portRange) {
    super();
    this.#g = g;
    this.#o = o;
    this.#portRange = portRange;
    this.id = o.id;
    this.role = o.role;
    this.codec = o.codec;
    this.ports = o.ports ?? null;
    this.nodeName = moduleArgs({ ...o, ports: this.ports ?? [0, 0, 0] }).nodeName;
  }

  static async open(g, options, { portRange = [47000, 47999] } = {}) {
    const o = checkEndOptions(options);
    const end = new StreamEnd(g, o, portRange);
    try {
      await end.#load();
    } catch (e) {
      await end.close();
      throw e;
    }
    end.#start();
    return end;
  }

  get closed() {
    return this.#closed;
  }

  #set(state, reason = null) {
    if (this.state === state && this.reason === reason) return;
    this.state = state;
    this.reason = reason;
    this.emit('state', state, reason);
  }

  // Loads the modules (a receiver without ports tries free ones in its
  // range, a few times); rejects with the first refusal, nothing left loaded.
  async #load() {
    const o = this.#o;
    const tried = new Set();
    for (let attempt = 0; ; attempt++) {
      const ports = this.ports ?? freePorts(PORTS[o.codec], this.#portRange, tried);
      if (!ports) throw new Error(`stream: no free UDP port in ${this.#portRange.join('-')}`);
      try {
        await this.#loadModules(moduleArgs({ ...o, ports }), (why) => this.#ended(why));
        const moved = this.ports !== ports;
        this.ports = ports;
        this.loads++;
        this.#set('running');
        this.emit('loaded', this.loads);
        if (moved) this.emit('ports', ports);
        return;
      } catch (e) {
        // A receiver whose ports were taken meanwhile tries others; the
        // sender's are the receiver's to choose.
        for (const p of ports) tried.add(p);
        if (o.role !== 'receive' || attempt + 1 >= PORT_TRIES || this.#g.graph.state !== 'connected') throw e;
        this.ports = null;
      }
    }
  }

  // Loads `plan`'s module and those after it, each watched (onEnd(why) when
  // it ends by itself); on a refusal unloads those loaded and rejects.
  async #loadModules(plan, onEnd) {
    const ids = [];
    try {
      for (const { name, args } of [plan, ...plan.then]) ids.push((await loadModule(this.#g, name, args, [], { timeoutMs: this.#o.timeoutMs })).id);
    } catch (e) {
      await Promise.all(ids.map((id) => unloadModule(this.#g, id, [])));
      throw e;
    }
    this.#modules.push(...ids);
    for (const id of ids) this.#stopWatches.push(watchModule(this.#g, id, onEnd));
  }

  // The link rule (the host's node to the sink, or the source to the host's
  // node) and the reloads.
  #start() {
    if (this.#closed) return;
    const { graph } = this.#g;
    const from = this.role === 'send' ? this.#o.node : this.nodeName;
    const to = this.role === 'send' ? this.nodeName : this.#o.node;
    this.#rule = graph.linkRule({ from, to });
    this.#rule.on('error', (e) => this.emit('error', e));
    this.#unlisten.push(
      this.#g.listen('disconnected', () => {
        this.#forget();
        this.#set('waiting', 'PipeWire is away');
      }),
      this.#g.listen('connected', () => this.#reload(0)),
    );
  }

  // A module ended by itself (its connection lost, or it failed): the others
  // go too, and all are loaded again.
  #ended(why) {
    const others = this.#modules;
    this.#forget();
    for (const id of others) unloadModule(this.#g, id, []);
    if (this.#closed) return;
    this.#set('waiting', why);
    if (this.#g.graph.state === 'connected') this.#reload(this.#retryMs);
  }

  // Forgets the modules (gone, or going).
  #forget() {
    for (const stop of this.#stopWatches.splice(0)) stop();
    this.#modules = [];
  }

  // Unloads the modules; resolves once they and this end's node are gone.
  async #unloadModules() {
    const ids = this.#modules;
    this.#forget();
    const nodeIds = this.#g.graph.nodes().filter((n) => n.name === this.nodeName).map((n) => n.id);
    await Promise.all(ids.map((id, i) => unloadModule(this.#g, id, i === 0 ? nodeIds : [])));
  }

  // Loads the module again after `delayMs`; after a failure, again with a
  // pause that doubles up to RETRY_LIMIT_MS.
  #reload(delayMs) {
    if (this.#closed || this.#retry || this.#loading || this.#modules.length > 0) return;
    this.#retry = setTimeout(() => {
      this.#retry = null;
      if (this.#closed || this.#g.graph.state !== 'connected' || this.#modules.length > 0) return;
      this.#loading = this.#load()
        .then(() => (this.#retryMs = RETRY_FIRST_MS))
        .catch((e) => {
          this.#set('failed', e.message);
          this.#retryMs = Math.min(this.#retryMs * 2, RETRY_LIMIT_MS);
          this.#loading = null;
          this.#reload(this.#retryMs);
        })
        .finally(() => (this.#loading = null));
    }, delayMs);
  }

  /** Unloads the modules and ends the link rule; resolves once its node is gone. Idempotent. */
  async close() {
    if (this.#closed) return;
    this.#closed = true;
    clearTimeout(this.#retry);
    for (const off of this.#unlisten.splice(0)) off();
    await this.#loading?.catch(() => {});
    const rule = this.#rule;
    this.#rule = null;
    await rule?.close().catch(() => {});
    await this.#unloadModules();
    this.#set('closed');
  }
}

module.exports = { StreamEnd, moduleArgs, freePorts, udpPortsInUse, PORTS };
