'use strict';
// The checked requests of a web page or an MQTT command carried out by the
// operations every face shares (the Graph's methods, lib/features/links.js).
// Each resolves with a short result or rejects with an Error whose message
// the page or the broker's client is given (the daemon's refusal included).
const links = require('../features/links');
const { resolveNode } = require('../features/resolve-node');
const { DEVICE_KINDS } = require('./parse-request');

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


const linkView = (l) => ({ id: l.id, out: l.srcPortId, in: l.sinkPortId });

const handlers = {
  async link(graph, { out, in: inp }) {
    const { made, existing } = await links.linkPorts(graph, out, inp, undefined, null);
    return { links: [...made, ...existing].map(linkView), made: made.length, existing: existing.length };
  },

  // Node to node: every output of one to its partner input of the other of
  // its type (audio by channel, then by position); pairs linked already are
  // left as they are; `unpaired`: the ids of the outputs left without a partner.
  async linkNodes(graph, { from, to }) {
    const { made, existing, unpaired } = await links.linkNodes(graph, from, to, undefined, null);
    return { links: [...made, ...existing].map(linkView), made: made.length, existing: existing.length, unpaired: unpaired.map((u) => u.port.id) };
  },

  async unlink(graph, { link }) {
    const found = graph.links().find((l) => l.id === link);
    if (!found) throw Object.assign(new Error(`no link ${link}`), { code: 'ENOENT' });
    await graph.unlink(found);
    return { unlinked: link };
  },

  async unlinkNodes(graph, { from, to }) {
    return links.unlinkNodes(graph, from, to, undefined, null);
  },

  async volume(graph, { node, volume }) {
    return { volume: (await graph.setVolume(node, volume)).volume };
  },

  async mute(graph, { node, mute }) {
    return { mute: (await graph.setMute(node, mute)).mute };
  },

  async default(graph, { kind, node }) {
    return { defaults: await graph.setDefault(kind, node) };
  },

  async move(graph, { stream, target }) {
    const s = resolveNode(graph.nodes(), stream, null);
    if (!/^Stream\//.test(s.type || '')) throw new Error(`node ${stream} (${s.name}) is not a stream`);
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

  // Streams between hosts are the bridges' (lib/mqtt/streams.js): a page
  // served for one host's daemon has no other host to stream to.
  async stream() {
    throw new Error('stream: streams between hosts go through the hosts\' broker: serve the page with --broker');
  },

  async unstream() {
    return handlers.stream();
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
    return { ok: false, error: e.message, code: e.code }; // an AggregateError's message holds its reasons
  }
}

module.exports = { perform, DeviceBudget, CREATED_BY, MAX_DEVICES, MAX_DEVICE_PORTS };
