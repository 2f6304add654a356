'use strict';
// A page's checked requests carried out through the Graph API. Each resolves
// with a short result for the page or rejects with an Error whose message the
// page shows (the daemon's refusal included).
const { pairPorts } = require('../features/pairing');
const { DEVICE_KINDS } = require('./protocol');

const CREATED_BY = 'quorvane.created-by';

function find(list, id, what) {
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
    const o = find(ports, out, 'port');
    const i = find(ports, inp, 'port');
    if (o.direction !== 0) throw new Error(`port ${out} is not an output port`);
    if (i.direction !== 1) throw new Error(`port ${inp} is not an input port`);
    return { links: [linkView(await graph.link(out, inp))] };
  },

  // Node to node: every output of one to its partner input of the other,
  // by channel; pairs linked already are left as they are.
  async linkNodes(graph, { from, to }) {
    const nodes = graph.nodes();
    find(nodes, from, 'node');
    find(nodes, to, 'node');
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
    await graph.unlink(find(graph.links(), link, 'link'));
    return { unlinked: link };
  },

  async volume(graph, { node, volume }) {
    const n = find(graph.nodes(), node, 'node');
    if (n.volume === undefined) throw new Error(`node ${node} (${n.name}) has no volume`);
    return { volume: (await graph.setVolume(node, volume)).volume };
  },

  async mute(graph, { node, mute }) {
    const n = find(graph.nodes(), node, 'node');
    if (n.mute === undefined) throw new Error(`node ${node} (${n.name}) has no mute`);
    return { mute: (await graph.setMute(node, mute)).mute };
  },

  async default(graph, { kind, node }) {
    find(graph.nodes(), node, 'node');
    return { defaults: await graph.setDefault(kind, node) };
  },

  async move(graph, { stream, target }) {
    const nodes = graph.nodes();
    const s = find(nodes, stream, 'node');
    if (!/^Stream\//.test(s.type || '')) throw new Error(`node ${stream} (${s.name}) is not a stream`);
    if (target !== null) find(nodes, target, 'node');
    return await graph.move(stream, target);
  },

  async create(graph, { name, kind, channels, linger = false }) {
    const node = await graph.createNode({ name, mediaClass: DEVICE_KINDS[kind], channels, linger });
    return { node: node.id };
  },

  // The API refuses a node the package did not make; asking first gives the
  // page the reason without a round trip.
  async destroy(graph, { node }) {
    const n = find(graph.nodes(), node, 'node');
    if (n.props?.[CREATED_BY] === undefined) throw new Error(`node ${node} (${n.name}) was not created by quorvane: refusing to remove it`);
    await graph.destroyNode(node);
    return { destroyed: node };
  },
};

/** Carries out a checked request; resolves with { ok, result } or { ok: false, error }. */
async function perform(graph, { op, args }) {
  try {
    return { ok: true, result: await handlers[op](graph, args) };
  } catch (e) {
    return { ok: false, error: describe(e), code: e.code };
  }
}

module.exports = { perform, CREATED_BY };
