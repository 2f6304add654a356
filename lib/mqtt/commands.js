'use strict';
// Commands from the broker, carried out as the web page's requests are: the
// names in them are looked up in the graph by the resolvers every face uses,
// the result is checked by the page's own request check
// (lib/protocol/parse-request.js) and done by the same operations
// (lib/protocol/perform.js). Each resolves with { ok: true, result } or
// { ok: false, error }; nothing is done for a command that is refused.
const { checkOptions } = require('../core/arguments');
const { resolveNode } = require('../features/resolve-node');
const { resolvePort } = require('../features/resolve-port');
const { parseRequest, DEFAULT_KINDS } = require('../protocol/parse-request');
const { perform, DeviceBudget } = require('../protocol/perform');
const { parseJson, parseScalar } = require('../protocol/broker-payload');

class CommandError extends Error {}

// op → the fields a command on the host's "set" topic may have ("id" besides).
const FIELDS = {
  volume: ['node', 'volume'],
  mute: ['node', 'mute'],
  default: ['kind', 'node'],
  move: ['stream', 'target'],
  link: ['from', 'to', 'out', 'in'],
  unlink: ['link', 'from', 'to'],
  rules: ['rules'],
  stream: ['from', 'to', 'latencyMs', 'enabled'],
  unstream: ['from', 'to', 'stream'],
};

// A node named by its id (checked later, as the page's ids are) or its name:
// a name several nodes have is refused, as everywhere.
function nodeId(graph, ref, field) {
  if (typeof ref !== 'string') return ref;
  return resolveNode(graph.nodes(), ref, field, { defaults: () => graph.defaults }).id;
}

// A port as its id (checked later) or "NODE:PORT".
function portId(graph, ref, field, direction) {
  if (typeof ref !== 'string') return ref;
  return resolvePort({ nodes: graph.nodes(), ports: graph.ports() }, ref, field, { direction }).id;
}

// Checked as a page's request (a RequestError, with the page's words, for a
// wrong type or range), then done.
async function request(graph, budget, op, fields) {
  const checked = parseRequest(JSON.stringify({ id: 0, op, ...fields }));
  return perform(graph, checked, { budget });
}

const bool = (v) => (v === 'ON' || v === 'true' ? true : v === 'OFF' || v === 'false' ? false : v);

/**
 * The commands of one bridge: `graph`, `patchbay` ({ get(), set(p) }: the
 * rule set in force, or null), `streams` (the bridge's streams between hosts,
 * lib/mqtt/streams.js), `nodeOf(key)` (the node a node topic names,
 * or undefined) and `deviceOf(key)` (the device a device topic names, or
 * undefined).
 */
class Commands {
  constructor(graph, { patchbay, nodeOf, deviceOf, streams }) {
    this.graph = graph;
    this.streams = streams;
    this.patchbay = patchbay;
    this.nodeOf = nodeOf;
    this.deviceOf = deviceOf;
    this.budget = new DeviceBudget(graph);
  }

  /**
   * run(route, payload) → Promise of the outcome. `route`: { kind: 'host' }
   * (a JSON command { op, ... }), { kind: 'node', key, what } (what:
   * volume, mute, target; the payload one value), { kind: 'default', what }
   * (the payload a node), { kind: 'rules' } (a rule set, null to drop it),
   * { kind: 'device', key, what } (what: profile, output, input; the
   * payload a name or an index).
   */
  async run(route, payload) {
    try {
      return await this.#run(route, payload);
    } catch (e) {
      return { ok: false, error: e.message };
    }
  }

  async #run(route, payload) {
    const g = this.graph;
    if (route.kind === 'rules') return this.#rules(parseJson(payload));
    if (route.kind === 'stream') return this.streams.toggle(route.key, payload);
    if (route.kind === 'default') {
      if (!DEFAULT_KINDS.includes(route.what)) throw new CommandError(`defaults: one of ${DEFAULT_KINDS.join(', ')}`);
      return request(g, this.budget, 'default', { kind: route.what, node: nodeId(g, parseScalar(payload), 'node') });
    }
    if (route.kind === 'node') {
      const node = this.nodeOf(route.key);
      if (!node) throw new CommandError(`no node ${JSON.stringify(route.key.slice(0, 200))} on this host`);
      const value = parseScalar(payload);
      if (route.what === 'volume') return request(g, this.budget, 'volume', { node: node.id, volume: value });
      if (route.what === 'mute') return request(g, this.budget, 'mute', { node: node.id, mute: bool(value) });
      if (route.what === 'target') {
        const target = value === '' || value === 'default' || value === null ? null : nodeId(g, value, 'target');
        return request(g, this.budget, 'move', { stream: node.id, target });
      }
      throw new CommandError(`unknown setting ${JSON.stringify(route.what)}; one of volume, mute, target`);
    }
    if (route.kind === 'device') {
      const device = this.deviceOf(route.key);
      if (!device) throw new CommandError(`no device ${JSON.stringify(route.key.slice(0, 200))} on this host`);
      // Pinned by its serial: a command for a device gone does not reach the
      // device the daemon has given its id since.
      const pin = { device: device.id, ...(Number.isSafeInteger(device.serial) && device.serial > 0 ? { serial: device.serial } : {}) };
      const value = parseScalar(payload);
      if (route.what === 'profile') return request(g, this.budget, 'profile', { ...pin, profile: value });
      if (route.what === 'output' || route.what === 'input') return request(g, this.budget, 'route', { ...pin, route: value, direction: route.what });
      throw new CommandError(`unknown setting ${JSON.stringify(route.what.slice(0, 200))}; one of profile, output, input`);
    }
    const msg = parseJson(payload);
    if (msg === null || typeof msg !== 'object' || Array.isArray(msg)) throw new CommandError('a command is a JSON object { "op": ..., ... }');
    if (typeof msg.op !== 'string' || !Object.hasOwn(FIELDS, msg.op)) throw new CommandError(`unknown op; one of ${Object.keys(FIELDS).join(', ')}`);
    const { op, id: _id, ...fields } = msg;
    checkOptions(fields, FIELDS[op], op);
    switch (op) {
      case 'volume':
      case 'mute':
        return request(g, this.budget, op, { ...fields, node: nodeId(g, fields.node, 'node') });
      case 'default':
        return request(g, this.budget, op, { ...fields, node: nodeId(g, fields.node, 'node') });
      case 'move':
        return request(g, this.budget, op, { stream: nodeId(g, fields.stream, 'stream'), target: fields.target === undefined ? undefined : nodeId(g, fields.target, 'target') });
      case 'link':
        if ('out' in fields || 'in' in fields) return request(g, this.budget, 'link', { out: portId(g, fields.out, 'out', 'out'), in: portId(g, fields.in, 'in', 'in') });
        return request(g, this.budget, 'linkNodes', { from: nodeId(g, fields.from, 'from'), to: nodeId(g, fields.to, 'to') });
      case 'stream':
      case 'unstream':
        return this.streams.command(op, fields);
      case 'unlink':
        if ('link' in fields) return request(g, this.budget, 'unlink', fields);
        return request(g, this.budget, 'unlinkNodes', { from: nodeId(g, fields.from, 'from'), to: nodeId(g, fields.to, 'to') });
      default:
        return this.#rules(fields.rules === undefined ? undefined : fields.rules);
    }
  }

  // A rule set kept applied by the bridge's patchbay: replaced whole (checked
  // first, nothing changes for bad rules), or dropped with null.
  async #rules(rules) {
    if (rules === undefined) throw new CommandError('rules: a rule set, or null to drop it');
    const current = this.patchbay.get();
    if (rules === null) {
      if (current) await current.close();
      this.patchbay.set(null);
      return { ok: true, result: { rules: null } };
    }
    if (current) return { ok: true, result: await current.update(rules) };
    const made = this.graph.patchbay(rules);
    this.patchbay.set(made);
    return { ok: true, result: { rules: made.rules } };
  }
}

module.exports = { Commands, CommandError };
