'use strict';
// Loopbacks: PipeWire's loopback module loaded into the add-on's own
// context, a capture stream from one node played into another. Its streams
// are linked here (no session manager needed; one that links them too meets
// links that exist already), and go with close(), the Graph and the process.
const addon = require('../../connection/addon');
const { checkOptions, checkTimeout } = require('../../core/arguments');
const { resolveNode } = require('../resolve-node');
const { loadModule, unloadModule, watchModule, positions } = require('./module');
const { linkNodes } = require('./filter');

const { createdByKey: CREATED_BY } = addon.constants;
const OPTIONS = ['from', 'to', 'latencyMs', 'name', 'channels', 'timeoutMs'];
const portConfig = { mode: 'dsp', monitor: false, control: false, position: 'preserve' };

let count = 0;

class Loopback {
  #g;
  #moduleId;
  #stopWatch;
  #closing = null;
  #ended = null;

  constructor(g, moduleId, name, [capture, playback]) {
    this.#g = g;
    this.#moduleId = moduleId;
    this.name = name;
    this.nodes = { capture: { id: capture.id, name: capture.name }, playback: { id: playback.id, name: playback.name } };
    this.#stopWatch = watchModule(g, moduleId, (why) => (this.#ended = why));
  }

  get closed() {
    return this.#closing !== null || this.#ended !== null;
  }

  // Unloads the loopback; resolves once its nodes are gone. Idempotent.
  close() {
    if (!this.#closing) {
      this.#stopWatch();
      this.#closing = this.#ended !== null ? Promise.resolve() : unloadModule(this.#g, this.#moduleId, [this.nodes.capture.id, this.nodes.playback.id]);
    }
    return this.#closing;
  }
}

// graph.createLoopback({ from, to, latencyMs, name, channels }) → a Loopback
// once its nodes are there and linked from `from` and to `to`.
async function createLoopback(g, options) {
  const what = 'createLoopback';
  const { graph } = g;
  checkOptions(options, OPTIONS, what, { required: ['from', 'to'] });
  const { from, to, latencyMs, channels = 2, timeoutMs = 5000 } = options;
  const name = options.name ?? `quorvane-loopback-${process.pid}-${++count}`;
  if (typeof name !== 'string' || name.length === 0 || name.length > 256) throw new TypeError(`${what}: name must be a non-empty string`);
  if (!Number.isInteger(channels) || channels < 1 || channels > 32) throw new RangeError(`${what}: channels must be a whole number from 1 to 32`);
  if (latencyMs !== undefined && (typeof latencyMs !== 'number' || !(latencyMs >= 1 && latencyMs <= 2000))) {
    throw new RangeError(`${what}: latencyMs must be a number from 1 to 2000`);
  }
  checkTimeout(timeoutMs, what);
  const source = resolveNode(graph.nodes(), from, what);
  const sink = resolveNode(graph.nodes(), to, what);
  const names = [`${name}.capture`, `${name}.playback`];
  for (const n of names) if (graph.nodes().some((node) => node.name === n)) throw new Error(`${what}: a node named ${JSON.stringify(n)} exists already`);
  const common = { [CREATED_BY]: addon.clientName(), 'adapter.auto-port-config': portConfig };
  // The quantum asked for: the latency at 48 kHz.
  if (latencyMs !== undefined) common['node.latency'] = `${Math.round(latencyMs * 48)}/48000`;
  const args = {
    'node.description': name,
    'audio.channels': channels,
    'audio.position': positions(channels),
    'audio.rate': 48000,
    // A session manager links them to the same nodes as this function does.
    'capture.props': { 'node.name': names[0], 'target.object': source.name, 'node.passive': true, ...common },
    'playback.props': { 'node.name': names[1], 'target.object': sink.name, ...common },
  };
  const ends = [
    { name: names[0], output: false, monitor: false, channels },
    { name: names[1], output: true, monitor: false, channels },
  ];
  const { id, nodes } = await loadModule(g, 'libpipewire-module-loopback', args, ends, { timeoutMs });
  const loopback = new Loopback(g, id, name, nodes);
  try {
    await linkNodes(graph, source, nodes[0]);
    await linkNodes(graph, nodes[1], sink);
  } catch (e) {
    await loopback.close();
    throw e;
  }
  return loopback;
}

module.exports = { createLoopback };
