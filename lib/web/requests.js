'use strict';
// A page's checked requests carried out through the Graph API. Each resolves
// with a short result for the page or rejects with an Error whose message the
// page shows (the daemon's refusal included).
const { pairPorts } = require('../features/pairing');
const { resolveNode } = require('../features/resolve-node');
const { DEVICE_KINDS } = require('./protocol');

const CREATED_BY = 'quorvane.created-by';
// What pages may make through one server, counted while the devices exist.
const MAX_DEVICES = 32;
const MAX_DEVICE_PORTS = 256;
const DEFAULT_CHANNELS = 2; // createNode's FL,FR

// A name as a person reads it: without invisible characters, in one case, in
// its compatibility form (full-width letters as letters).
const readAs = (name) => String(name).normalize('NFKC').replace(/[\p{Cc}\p{Cf}\p{Zl}\p{Zp}\s]/gu, '').toLowerCase();

/**
 * The devices pages made through one server: at most MAX_DEVICES of them
 * and MAX_DEVICE_PORTS ports (a device of n channels counted as 2n: its
 * inputs and outputs, monitors included) while they exist. reserve() throws an Error
 * saying which bound a new device would pass, or returns a slot to
 * settle(nodeId) once made or release() if not.
 */
class DeviceBudget {
  #made = new Map(); // node id -> ports
  #pending = new Set(); // reservations not settled yet: { ports }

  constructor(graph) {
    this.graph = graph;
  }

  #count() {
    const present = new Set(this.graph.nodes().map((n) => n.id));
    for (const id of this.#made.keys()) if (!present.has(id)) this.#made.delete(id);
    let ports = 0;
    for (const p of this.#made.values()) ports += p;
    for (const r of this.#pending) ports += r.ports;
    return { devices: this.#made.size + this.#pending.size, ports };
  }

  reserve(channels) {
    const ports = channels * 2;
    const now = this.#count();
    if (now.devices + 1 > MAX_DEVICES) throw new Error(`too many devices: at most ${MAX_DEVICES} made from the page at once; remove one first`);
    if (now.ports + ports > MAX_DEVICE_PORTS) throw new Error(`too many ports: devices made from the page have at most ${MAX_DEVICE_PORTS} ports together (${now.ports} now, this one ${ports}); remove one first`);
    const slot = { ports };
    this.#pending.add(slot);
    return {
      settle: (id) => (this.#pending.delete(slot), this.#made.set(id, ports)),
      release: () => this.#pending.delete(slot),
    };
  }

  forget(id) {
    this.#made.delete(id);
  }
}

// byId(list, id, what) → the port or link of `list` with that id; an Error
// "no port 5" (`what`: 'port' or 'link') when none has it. Nodes go through
// resolveNode, as the Graph's own requests do.
function byId(list, id, what) {
  const o = list.find((x) => x.id === id);
  if (!o) throw new Error(`no ${what} ${id}`);
  return o;
}

const describe = (e) => {
  if (e instanceof AggregateError) return `${e.message}: ${[...new Set(e.errors.map((x) => x.message))].join('; ')}`;
  return e.message;
};

const linkView = (l) => ({ id: l.id, out: l.srcPortId, in: l.sinkPortId });

const handlers = {
  async link(graph, { out, in: inp }) {
    const ports = graph.ports();
    const o = byId(ports, out, 'port');
    const i = byId(ports, inp, 'port');
    if (o.direction !== 0) throw new Error(`port ${out} is not an output port`);
    if (i.direction !== 1) throw new Error(`port ${inp} is not an input port`);
    return { links: [linkView(await graph.link(out, inp))] };
  },

  // Node to node: every output of one to its partner input of the other,
  // by channel; pairs linked already are left as they are.
  async linkNodes(graph, { from, to }) {
    const nodes = graph.nodes();
    resolveNode(nodes, from, null);
    resolveNode(nodes, to, null);
    const ports = graph.ports();
    const outs = ports.filter((p) => p.nodeId === from && p.direction === 0);
    const ins = ports.filter((p) => p.nodeId === to && p.direction === 1);
    const pairs = pairPorts(outs, ins, 'auto');
    if (pairs.length === 0) throw new Error(`node ${from} has no outputs or node ${to} no inputs`);
    const existing = new Set(graph.links().map((l) => `${l.srcPortId}>${l.sinkPortId}`));
    const wanted = pairs.filter(([o, i]) => !existing.has(`${o.id}>${i.id}`));
    const outcomes = await Promise.allSettled(wanted.map(([o, i]) => graph.link(o.id, i.id)));
    const refused = outcomes.filter((r) => r.status === 'rejected').map((r) => r.reason);
    if (refused.length) throw new AggregateError(refused, `${refused.length} of ${wanted.length} links refused`);
    return { links: outcomes.map((r) => linkView(r.value)) };
  },

  async unlink(graph, { link }) {
    await graph.unlink(byId(graph.links(), link, 'link'));
    return { unlinked: link };
  },

  async volume(graph, { node, volume }) {
    const n = resolveNode(graph.nodes(), node, null);
    if (n.volume === undefined) throw new Error(`node ${node} (${n.name}) has no volume`);
    return { volume: (await graph.setVolume(node, volume)).volume };
  },

  async mute(graph, { node, mute }) {
    const n = resolveNode(graph.nodes(), node, null);
    if (n.mute === undefined) throw new Error(`node ${node} (${n.name}) has no mute`);
    return { mute: (await graph.setMute(node, mute)).mute };
  },

  async default(graph, { kind, node }) {
    resolveNode(graph.nodes(), node, null);
    return { defaults: await graph.setDefault(kind, node) };
  },

  async move(graph, { stream, target }) {
    const nodes = graph.nodes();
    const s = resolveNode(nodes, stream, null);
    if (!/^Stream\//.test(s.type || '')) throw new Error(`node ${stream} (${s.name}) is not a stream`);
    if (target !== null) resolveNode(nodes, target, null);
    return await graph.move(stream, target);
  },

  // Within the server's budget; a name that reads like an existing node's
  // but is not the same text is made, with a warning.
  async create(graph, { name, kind, channels, linger = false }, { budget }) {
    const slot = budget.reserve(channels?.length ?? DEFAULT_CHANNELS);
    const like = graph.nodes().find((n) => n.name !== name && readAs(n.name) === readAs(name));
    let node;
    try {
      node = await graph.createNode({ name, mediaClass: DEVICE_KINDS[kind], channels, linger });
    } catch (e) {
      slot.release();
      throw e;
    }
    slot.settle(node.id);
    const result = { node: node.id };
    if (like) result.warning = `${JSON.stringify(name)} differs from the existing node ${JSON.stringify(like.name)} (${like.id}) only by case or invisible characters`;
    return result;
  },

  // A device's profile or route, on the device the page saw (pinned by its
  // serial, when given): refused, with nothing sent, when it is unknown or
  // not available (see graph.setProfile).
  async profile(graph, { device, serial, profile }) {
    const d = await graph.setProfile(serial === undefined ? device : { id: device, serial }, profile);
    return { device: d.id, profile: d.profile?.name ?? null };
  },

  async route(graph, { device, serial, route, direction }) {
    const d = await graph.setRoute(serial === undefined ? device : { id: device, serial }, route, { direction });
    return { device: d.id, route: d.activeRoutes[direction]?.name ?? null };
  },

  // The API refuses a node the package did not make; asking first gives the
  // page the reason without a round trip.
  async destroy(graph, { node }, { budget }) {
    const n = resolveNode(graph.nodes(), node, null);
    if (n.props?.[CREATED_BY] === undefined) throw new Error(`node ${node} (${n.name}) was not created by quorvane: refusing to remove it`);
    await graph.destroyNode(node);
    budget.forget(node);
    return { destroyed: node };
  },
};

/**
 * Carries out a checked request; `context`: { budget } (a DeviceBudget of
 * the server). Resolves with { ok, result } or { ok: false, error, code }.
 */
async function perform(graph, { op, args }, context) {
  try {
    return { ok: true, result: await handlers[op](graph, args, context) };
  } catch (e) {
    return { ok: false, error: describe(e), code: e.code };
  }
}

module.exports = { perform, DeviceBudget, CREATED_BY, MAX_DEVICES, MAX_DEVICE_PORTS };
