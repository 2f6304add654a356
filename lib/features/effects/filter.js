'use strict';
// Equalisers: PipeWire's filter-chain module with its built-in biquads,
// loaded into the add-on's own context. A Filter's nodes are this process's
// streams: they carry CREATED_BY, change live through their "params"
// controls, and go with close(), with the Graph and with the process.
const addon = require('../../connection/addon');
const { refusal } = require('../../connection/refusal');
const { newToken } = require('../../connection/tokens');
const { checkOptions, checkTimeout, checkBoolean } = require('../../core/arguments');
const { resolveNode } = require('../resolve-node');
const { pairPorts } = require('../pairing');
const { loadModule, unloadModule, watchModule, positions } = require('./module');
const { LABELS, MAX_BANDS, checkBands, checkGain, clockRate } = require('./bands');

const { createdByKey: CREATED_BY } = addon.constants;

const MEDIA_CLASSES = ['Audio/Sink', 'Audio/Source', 'Stream'];
// A live change of the preamp or the volume goes in steps of RAMP_STEP_DB,
// one every RAMP_STEP_MS (20 dB a second): the daemon applies a step at the
// start of a period, so one period of 2048 frames at 48 kHz carries about
// 0.85 dB, less than a 1 kHz sine changes from one sample to the next (as a
// band's own change dies away within a few ms): no click.
const RAMP_STEP_DB = 0.2;
const RAMP_STEP_MS = 10;
const SILENT_DB = -90; // where a ramp from or to silence starts or ends
const { linearVolume: MAX_LINEAR } = addon.constants.limits;
const OPTIONS = ['name', 'description', 'mediaClass', 'channels', 'filters', 'preamp', 'target', 'linger', 'timeoutMs'];
const MAX_CHANNELS = 32;
const MAX_NAME = 256;

const isText = (s) => typeof s === 'string' && s.length > 0 && s.length <= MAX_NAME && !s.includes('\0');

// The filter graph: the preamp (a high shelf at 0 Hz, which is a plain gain)
// then each band, in a chain.
function filterGraph(bands, preamp) {
  const nodes = [{ type: 'builtin', name: 'preamp', label: 'bq_highshelf', control: { Freq: 0, Q: 1, Gain: preamp } }];
  bands.forEach((b, i) => nodes.push({ type: 'builtin', name: `band${i + 1}`, label: LABELS[b.type], control: { Freq: b.freq, Q: b.q, Gain: b.gain } }));
  const links = nodes.slice(1).map((n, i) => ({ output: `${nodes[i].name}:Out`, input: `${n.name}:In` }));
  return { nodes, links };
}

// The controls' values as the node's "params" take them.
function controlParams(bands, preamp) {
  const flat = ['preamp:Gain', preamp];
  bands.forEach((b, i) => flat.push(`band${i + 1}:Freq`, b.freq, `band${i + 1}:Q`, b.q, `band${i + 1}:Gain`, b.gain));
  return flat;
}

function checkFilterOptions(graph, options) {
  const what = 'createFilter';
  if (options === null || typeof options !== 'object') throw new TypeError(`${what} requires an options object ({ name, filters, ... })`);
  checkOptions(options, OPTIONS, what);
  const { name, description, mediaClass = 'Audio/Sink', channels = 2, filters = [], preamp = 0, target, linger = false, timeoutMs = 5000 } = options;
  if (!isText(name)) throw new TypeError(`${what}: name must be a non-empty string (at most ${MAX_NAME} characters)`);
  if (description !== undefined && !isText(description)) throw new TypeError(`${what}: description must be a non-empty string`);
  if (!MEDIA_CLASSES.includes(mediaClass)) throw new TypeError(`${what}: mediaClass must be one of ${MEDIA_CLASSES.map((c) => `'${c}'`).join(', ')}`);
  if (!Number.isInteger(channels) || channels < 1 || channels > MAX_CHANNELS) throw new RangeError(`${what}: channels must be a whole number from 1 to ${MAX_CHANNELS}`);
  checkBoolean(linger, what, 'linger');
  // The filter runs in this process: its nodes cannot outlive it.
  if (linger) throw new TypeError(`${what}: linger is not possible: a filter is processed in this process, and its nodes go with it`);
  checkTimeout(timeoutMs, what);
  const rate = clockRate(graph);
  const bands = checkBands(filters, rate, what);
  checkGain(preamp, `${what}: preamp`);
  // The node named `name` is the device (or the stream's input); the other one
  // is named after it.
  const main = mediaClass === 'Audio/Source' ? 'playback' : 'capture';
  const names = { capture: main === 'capture' ? name : `${name}.input`, playback: main === 'playback' ? name : `${name}.output` };
  for (const n of Object.values(names)) {
    const same = graph.nodes().find((node) => node.name === n);
    if (same) throw new Error(`${what}: a node named ${JSON.stringify(n)} exists already (node ${same.id})`);
  }
  const targetNode = target === undefined ? undefined : resolveNode(graph.nodes(), target, what);
  return { name, description: description ?? name, rate, mediaClass, channels, bands, preamp, names, main, targetNode, timeoutMs };
}

// A stream's ports set up as a session manager would.
const portConfig = (monitor) => ({ mode: 'dsp', monitor, control: false, position: 'preserve' });

// Links every output port of `from` to an input port of `to` (by channel,
// else in order); a link that exists already counts.
async function linkNodes(graph, from, to) {
  const ports = graph.ports();
  const outputs = ports.filter((p) => p.nodeId === from.id && p.direction === 0);
  const inputs = ports.filter((p) => p.nodeId === to.id && p.direction === 1);
  const pairs = pairPorts(outputs, inputs, 'auto');
  if (pairs.length === 0) throw new Error(`no ports to link from node ${from.id} to node ${to.id}`);
  await Promise.all(
    pairs.map(([o, i]) =>
      graph.link(o.id, i.id).catch((e) => {
        if (e.code !== 'EEXIST') throw e;
      }),
    ),
  );
}

const toDb = (linear) => (linear > 0 ? Math.max(SILENT_DB, 20 * Math.log10(linear)) : SILENT_DB);
const toLinear = (db) => (db <= SILENT_DB ? 0 : 10 ** (db / 20));
const sleep = (ms) => new Promise((resolve) => setTimeout(resolve, ms));

class Filter {
  #g;
  #moduleId;
  #bands;
  #preamp;
  #ramp = 0; // the running set()'s number: a newer one takes over from where it is
  #controls; // the node whose params are the chain's controls
  #stopWatch;
  #closing = null;
  #ended = null;

  constructor(g, moduleId, spec, nodes) {
    this.#g = g;
    this.#moduleId = moduleId;
    this.#bands = spec.bands;
    this.#preamp = spec.preamp;
    const [capture, playback] = nodes;
    this.name = spec.name;
    this.nodes = { capture: { id: capture.id, name: capture.name }, playback: { id: playback.id, name: playback.name } };
    this.id = this.nodes[spec.main].id;
    this.#controls = capture.id;
    this.#stopWatch = watchModule(g, moduleId, (why) => (this.#ended = why));
  }

  get closed() {
    return this.#closing !== null || this.#ended !== null;
  }

  get filters() {
    return this.#bands.map((b) => ({ ...b }));
  }

  get preamp() {
    return this.#preamp;
  }

  // Changes the bands' frequencies, Q and gains, the preamp and the volume
  // (on wpctl's scale, of the node named `name`'s every channel) live, on the
  // same nodes; the preamp and the volume ramp (RAMP_STEP_DB). The number of
  // bands and their types are the chain's: another one is a RangeError (make
  // a new filter). Resolves once the daemon has handed the last values to
  // the filter (a newer set() taking over first resolves it too).
  set(options) {
    const what = 'filter.set';
    let bands, preamp, volume;
    try {
      if (options === null || typeof options !== 'object') throw new TypeError(`${what} requires { filters, preamp, volume }`);
      checkOptions(options, ['filters', 'preamp', 'volume'], what);
      ({ preamp = this.#preamp, volume } = options);
      bands = options.filters === undefined ? this.#bands : checkBands(options.filters, clockRate(this.#g.graph), what);
      checkGain(preamp, `${what}: preamp`);
      if (volume !== undefined) {
        if (typeof volume !== 'number' || !Number.isFinite(volume)) throw new TypeError(`${what}: volume must be a finite number`);
        if (volume < 0 || volume ** 3 > MAX_LINEAR) throw new RangeError(`${what}: volume must be from 0 to ${Math.cbrt(MAX_LINEAR).toFixed(4)} (wpctl's scale)`);
      }
      if (bands.length !== this.#bands.length) {
        throw new RangeError(`${what}: the filter has ${this.#bands.length} bands; their number cannot change live (create a new filter)`);
      }
      const changed = bands.findIndex((b, i) => b.type !== this.#bands[i].type);
      if (changed >= 0) throw new RangeError(`${what}: filters[${changed}].type cannot change live (create a new filter)`);
      if (this.closed) throw new Error(`${what}: the filter is closed${this.#ended ? ` (${this.#ended})` : ''}`);
    } catch (e) {
      return Promise.reject(e);
    }
    return this.#rampTo(bands, preamp, volume);
  }

  // The node whose volume the filter's volume is: the one named `name`.
  get #volumeNode() {
    return this.id;
  }

  // Steps from the values in force to these, one every RAMP_STEP_MS; each
  // step is the filter's in force once sent.
  async #rampTo(bands, preamp, volume) {
    const what = 'filter.set';
    const ramp = ++this.#ramp;
    const channels = addon.graphNodeControls(this.#volumeNode)[0]?.channelVolumes ?? [];
    if (volume !== undefined && channels.length === 0) throw new Error(`${what}: node ${this.#volumeNode} has no volume`);
    const fromDb = toDb(channels[0] ?? 1);
    const toVolumeDb = volume === undefined ? fromDb : toDb(volume ** 3);
    const fromPreamp = this.#preamp;
    const steps = Math.max(1, Math.ceil(Math.max(Math.abs(preamp - fromPreamp), Math.abs(toVolumeDb - fromDb)) / RAMP_STEP_DB));
    for (let k = 1; k <= steps; k++) {
      if (ramp !== this.#ramp) return; // a newer set() goes on from here
      if (this.closed) throw new Error(`${what}: the filter is closed${this.#ended ? ` (${this.#ended})` : ''}`);
      const at = k / steps;
      const stepPreamp = k === steps ? preamp : fromPreamp + (preamp - fromPreamp) * at;
      const last = k === steps;
      await this.#send(bands, stepPreamp, volume === undefined ? null : last ? volume ** 3 : toLinear(fromDb + (toVolumeDb - fromDb) * at), channels.length, last);
      // In force from now on, whatever comes next.
      this.#bands = bands;
      this.#preamp = stepPreamp;
      if (!last) await sleep(RAMP_STEP_MS);
    }
  }

  // Hands one step to the daemon: the chain's controls and, unless null, the
  // volume; with `confirm`, resolves once the daemon has answered.
  #send(bands, preamp, linear, channels, confirm) {
    const what = 'filter.set';
    const token = newToken();
    const sent = addon.graphSetControlParams(token, this.#controls, controlParams(bands, preamp)) && (linear === null || addon.graphSetNodeProps(this.#volumeNode, newToken(), new Array(channels).fill(linear), null));
    if (!sent) return Promise.reject(new Error('PipeWire not connected'));
    if (!confirm) return Promise.resolve();
    return this.#g.wait({ timeoutMs: 5000, timeoutError: () => new Error(`${what}: no answer within 5000 ms`) }, (settle) => {
      const seq = addon.graphSync();
      return {
        onEvent: (kind, payload) => {
          if (kind === 'control-failed' && payload.token === token) settle.reject(refusal(payload.res, payload.message));
          else if (kind === 'sync-done' && payload.id === seq) settle.resolve();
        },
      };
    });
  }

  // Unloads the filter; resolves once its nodes are gone. Idempotent.
  close() {
    if (!this.#closing) {
      this.#stopWatch();
      this.#closing = this.#ended !== null ? Promise.resolve() : unloadModule(this.#g, this.#moduleId, [this.nodes.capture.id, this.nodes.playback.id]);
    }
    return this.#closing;
  }
}

// graph.createFilter(options) → a Filter, once both its nodes and their ports
// are there (and, with `target`, linked to it).
async function createFilter(g, options) {
  const { graph } = g;
  const spec = checkFilterOptions(graph, options);
  const position = positions(spec.channels);
  const mark = { [CREATED_BY]: addon.clientName() };
  const capture = { 'node.name': spec.names.capture, 'node.description': spec.description, ...mark };
  const playback = { 'node.name': spec.names.playback, 'node.description': spec.description, ...mark };
  // The device's other side runs only while the device is used.
  // Without a session manager nobody configures the streams' ports: they do
  // it themselves, one per channel (a sink with its monitor ports too).
  capture['adapter.auto-port-config'] = portConfig(spec.mediaClass === 'Audio/Sink');
  playback['adapter.auto-port-config'] = portConfig(false);
  if (spec.mediaClass === 'Audio/Sink') {
    capture['media.class'] = 'Audio/Sink';
    playback['node.passive'] = true;
  } else if (spec.mediaClass === 'Audio/Source') {
    playback['media.class'] = 'Audio/Source';
    capture['node.passive'] = true;
  }
  const args = {
    'node.description': spec.description,
    'media.name': spec.description,
    'audio.channels': spec.channels,
    'audio.position': position,
    // A stream's adapter sets its own ports up only for a fixed format.
    'audio.rate': spec.rate,
    'filter.graph': filterGraph(spec.bands, spec.preamp),
    'capture.props': capture,
    'playback.props': playback,
  };
  const ends = [
    { name: spec.names.capture, output: false, monitor: spec.mediaClass === 'Audio/Sink', channels: spec.channels },
    { name: spec.names.playback, output: true, monitor: false, channels: spec.channels },
  ];
  const { id, nodes } = await loadModule(g, 'libpipewire-module-filter-chain', args, ends, { timeoutMs: spec.timeoutMs });
  const filter = new Filter(g, id, spec, nodes);
  if (spec.targetNode) {
    try {
      const [capture, playback] = nodes;
      if (spec.mediaClass === 'Audio/Source') await linkNodes(graph, spec.targetNode, capture);
      else await linkNodes(graph, playback, spec.targetNode);
    } catch (e) {
      await filter.close();
      throw e;
    }
  }
  return filter;
}

module.exports = { createFilter, checkBands, filterGraph, linkNodes, LABELS, MAX_BANDS };
