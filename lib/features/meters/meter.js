'use strict';
// Level meters (graph.meter): the add-on measures peak and RMS of a node's
// output ports (a sink's monitor ports, a source's or a stream's outputs) or
// of one port, through a capture stream of its own that the Graph never
// shows, and hands over the latest levels at the asked rate. The measured
// ports are followed by channel: a node whose ports are made anew (as a
// session manager does to a new stream) is measured through its new ones.
const { EventEmitter } = require('node:events');
const addon = require('../../connection/addon');
const { emitEach } = require('../../connection/call-each');
const { checkOptions, checkNodeReference, checkId } = require('../../core/arguments');
const { resolveNode } = require('../resolve-node');

const OPTIONS = ['rateHz', 'channels'];
const MAX_CHANNELS = 64;
// The most meters open at once, in one Graph and in the process (the
// add-on's bounds).
const { metersPerGraph: PER_GRAPH, meters: PER_PROCESS } = addon.constants.limits;
let open = 0; // meters of the process started and not ended
const NO_PORT = 0xffffffff; // a measured channel whose port is gone
// What a meter does, by the add-on's number: 'measuring', 'idle' (the
// measured node runs no periods) or 'stalled' (it runs, yet none reach the
// meter).
const STAGES = Object.fromEntries(Object.entries(addon.constants.meterStages).map(([name, n]) => [n, name]));
let nextId = 1;

const channelOf = (port) => port.props?.['audio.channel'] ?? port.name;
const isAudio = (port) => !port.props?.['format.dsp'] || port.props['format.dsp'].includes('audio');
const outputsOf = (nodeId) => addon.graphPorts(nodeId).filter((p) => p.direction === 0 && isAudio(p));
const isPort = (x) => x !== null && typeof x === 'object' && 'nodeId' in x && 'direction' in x;

// What `target` names, as { node, ports }: a port (object, or an id no node
// has) is measured alone; a node (id, object or matcher) through its audio
// output ports. Throws a TypeError or an Error naming what is missing.
function measured(graph, target, channels) {
  if (typeof target === 'number') checkId(target, 'meter', 'node');
  // A number names a node, else a port; the node and its ports are listed
  // alone, so that meters started with every node of a large graph in
  // view each cost what their node has, not what the graph has.
  const one = typeof target === 'number' ? addon.graphNodes(target) : [];
  let node, chosen;
  const portId = isPort(target) ? target.id : typeof target === 'number' && one.length === 0 ? target : undefined;
  if (portId !== undefined) {
    const port = graph.ports().find((p) => p.id === portId);
    if (!port) throw new Error(`meter: no port ${portId}`);
    if (port.direction !== 0) throw new Error(`meter: port ${portId} is an input port; meter its node's outputs or the port that feeds it`);
    node = addon.graphNodes(port.nodeId)[0];
    chosen = [port];
  } else {
    checkNodeReference(target, 'meter');
    node = one[0] ?? resolveNode(graph.nodes(), target, 'meter', { defaults: () => graph.defaults });
    chosen = outputsOf(node.id);
    if (chosen.length === 0) throw new Error(`meter: node ${node.id} ${JSON.stringify(node.name)} has no audio output or monitor ports`);
  }
  if (channels !== undefined) {
    chosen = channels.map((c) => {
      const port = chosen.find((p) => channelOf(p) === c);
      if (!port) throw new RangeError(`meter: no channel ${JSON.stringify(c)} (there are ${chosen.map(channelOf).join(', ')})`);
      return port;
    });
  }
  return { node, ports: chosen.slice(0, MAX_CHANNELS) };
}

function checkMeterOptions(options) {
  const { rateHz = 20, channels } = checkOptions(options, OPTIONS, 'meter');
  if (typeof rateHz !== 'number') throw new TypeError('meter: rateHz must be a number');
  if (!(rateHz >= 1 && rateHz <= 60)) throw new RangeError('meter: rateHz must be from 1 to 60');
  const channelsOk =
    channels === undefined ||
    (Array.isArray(channels) &&
      channels.length > 0 &&
      channels.length <= MAX_CHANNELS &&
      channels.every((c) => typeof c === 'string') &&
      new Set(channels).size === channels.length);
  if (!channelsOk) throw new TypeError('meter: channels must be a non-empty array of distinct channel names');
  return { rateHz, channels };
}

// Throws an Error with code 'ERR_TOO_MANY_METERS' (and `limit`) when a
// Graph that has `graphMeters` meters open may not open another: past
// PER_GRAPH meters in that Graph or PER_PROCESS in the process.
function checkMeterCount(graphMeters) {
  const [limit, where] = graphMeters >= PER_GRAPH ? [PER_GRAPH, 'a Graph'] : open >= PER_PROCESS ? [PER_PROCESS, 'a process'] : [];
  if (!limit) return;
  const err = new Error(`meter: at most ${limit} meters open at once in ${where}; close one first`);
  err.code = 'ERR_TOO_MANY_METERS';
  err.limit = limit;
  throw err;
}

// Emits "level" ({ t, peak, rms }: dBFS per channel, -Infinity for
// silence), "state" ({ state, reason }) as what it does changes, and "end"
// (once, with the reason); an async iterator of levels that holds only the
// latest one not taken yet.
class Meter extends EventEmitter {
  #graph;
  #hooks; // { listen(name, fn), reconnect, onEnd(meter) }
  #rateHz;
  #target; // what finds it again after a reconnect: node name, channels
  #ended = null; // the reason, once ended
  #attached = false;
  #portIds = []; // the measured ports the add-on links, by channel
  state = 'starting';
  reason = null; // why it does not measure, while it does not
  #unlisten = [];
  #latest = null;
  #waiting = null; // a pending next() of the iterator
  #closed = null;

  constructor(graph, target, options, hooks) {
    super();
    const { rateHz, channels } = checkMeterOptions(options);
    const { node, ports } = measured(graph, target, channels);
    this.#graph = graph;
    this.#hooks = hooks;
    this.#rateHz = rateHz;
    this.id = nextId++;
    this.node = node.id;
    this.channels = ports.map(channelOf);
    this.#target = { name: node.name, channels: this.channels };
    this.#unlisten.push(
      hooks.listen('disconnected', () => (this.#attached = false)),
      hooks.listen('connected', () => this.#reattach()),
      hooks.listen('port-created', (port) => (this.#attached ? port.nodeId === this.node && this.#follow() : this.#reattach())),
      hooks.listen('port-destroyed', (id) => this.#portIds.includes(id) && (this.#portIds = this.#portIds.map((p) => (p === id ? NO_PORT : p)))),
    );
    // Nothing is left listening when it does not start: not connected, or
    // too few descriptors left (the add-on's Error with code 'EMFILE').
    let started = false;
    try {
      started = this.#start(node, ports);
    } finally {
      if (!started) for (const off of this.#unlisten) off();
    }
    if (!started) throw new Error('meter: PipeWire not connected');
    open++;
  }

  #start(node, ports) {
    this.node = node.id;
    const rate = ports.find((p) => p.format?.rate)?.format.rate ?? 48000;
    this.#portIds = ports.map((p) => p.id);
    this.#attached = addon.graphMeterStart(this.id, node.id, this.#portIds, this.#rateHz, rate);
    return this.#attached;
  }

  // The node's ports changed: each channel measured through the port that
  // carries it now (the add-on links it).
  #follow() {
    if (this.#ended !== null) return;
    const ports = outputsOf(this.node);
    const ids = this.channels.map((c) => ports.find((p) => channelOf(p) === c)?.id ?? NO_PORT);
    if (ids.every((id, i) => id === this.#portIds[i])) return;
    this.#portIds = ids;
    addon.graphMeterPorts(this.id, ids);
  }

  // After a reconnect (a daemon restart): the node of the same name, once it
  // has the same channels.
  #reattach() {
    if (this.#attached || this.#ended !== null || !this.#hooks.reconnect) return;
    const node = this.#graph.nodes().find((n) => n.name === this.#target.name);
    if (!node) return;
    try {
      const { ports } = measured(this.#graph, node.id, this.#target.channels);
      this.#start(node, ports);
    } catch {} // its ports are not all there yet
  }

  // The add-on's events for this meter.
  hear(kind, payload) {
    if (this.#ended !== null) return;
    if (kind === 'meter-ended') return this.end(payload.message, false);
    if (kind === 'meter-state') {
      const state = STAGES[payload.token] ?? 'stalled';
      const reason = state === 'measuring' ? null : payload.message;
      if (state === this.state && reason === this.reason) return; // told already, by its first level
      this.state = state;
      this.reason = reason;
      return this.emit('state', { state, reason });
    }
    // Its first level says it measures, whenever the add-on's look says so too.
    if (this.state === 'starting') {
      this.state = 'measuring';
      this.emit('state', { state: 'measuring', reason: null });
    }
    const level = { t: payload.t, peak: payload.peak, rms: payload.rms };
    if (this.#waiting) {
      this.#waiting({ value: level, done: false });
      this.#waiting = null;
    } else this.#latest = level;
    emitEach(this, 'level', [level]); // a listener's throw keeps no other meter from its level
  }

  // Ends the meter (its stream goes, unless `stop` is false: it is gone).
  end(reason, stop = true) {
    if (this.#ended !== null) return;
    this.#ended = reason;
    open--;
    this.state = 'ended';
    this.reason = reason;
    if (stop && this.#attached) addon.graphMeterStop(this.id);
    for (const off of this.#unlisten) off();
    this.#hooks.onEnd(this);
    if (this.#waiting) this.#waiting({ value: undefined, done: true });
    this.#waiting = null;
    this.emit('end', reason);
  }

  get ended() {
    return this.#ended !== null;
  }

  // Resolves once the meter has ended: its stream and links are gone from
  // the daemon once the "end" it waits for is heard.
  close() {
    if (!this.#closed) {
      this.#closed = new Promise((resolve) => {
        if (this.#ended !== null) return resolve();
        this.once('end', () => resolve());
        if (!this.#attached || !addon.graphMeterStop(this.id)) this.end('closed', false);
      });
    }
    return this.#closed;
  }

  [Symbol.asyncIterator]() {
    return {
      next: () => {
        if (this.#latest) {
          const value = this.#latest;
          this.#latest = null;
          return Promise.resolve({ value, done: false });
        }
        if (this.#ended !== null) return Promise.resolve({ value: undefined, done: true });
        return new Promise((resolve) => (this.#waiting = resolve));
      },
      return: async () => {
        await this.close();
        return { value: undefined, done: true };
      },
      [Symbol.asyncIterator]() {
        return this;
      },
    };
  }
}

module.exports = { Meter, checkMeterCount, METERS_PER_GRAPH: PER_GRAPH, METERS_PER_PROCESS: PER_PROCESS };
