'use strict';
// What a patchbay of `rules` would do to the graph as it is now, without
// doing it (`quorvane patchbay --dry-run`): the same actions it would emit.
const { compileMatcher, describeMatcher } = require('../match');
const { pairPorts, pairByNames, typesText } = require('../pairing');
const { nodeMatcher, plainName, whyNoNode } = require('../resolve-node');
const { bindSides } = require('../link-rules/captures');
const { checkRules } = require('./rules');
const { presetMissing } = require('./presets');

// A rule's side as the patchbay applies it: its plain name as a name (a
// node's JACK name or description fits it too).
const side = (m, what, defaults) => nodeMatcher(plainName(m) ?? m, what, { defaults });

/**
 * [{ kind, rule, ... }] as Patchbay's "action" events would carry them, for the graph now; and, for a route that would
 * link nothing, { kind: 'unmatched', rule, why } saying why (a side that matches no node, nodes without ports of the
 * direction or of a common type).
 */
function plan(graph, rules) {
  const checked = checkRules(rules);
  const defaults = () => graph.defaults;
  const nodes = graph.nodes();
  const ports = graph.ports();
  const links = graph.links();
  const byNode = new Map(nodes.map((n) => [n.id, { node: n, outputs: [], inputs: [] }]));
  for (const p of ports) byNode.get(p.nodeId)?.[p.direction === 0 ? 'outputs' : 'inputs'].push(p);
  const nodeName = new Map(nodes.map((n) => [n.id, n.name]));
  const name = (p) => `${nodeName.get(p.nodeId) ?? p.nodeId}:${p.name}`;
  const portById = new Map(ports.map((p) => [p.id, p]));
  const linked = new Set(links.map((l) => `${l.srcPortId}:${l.sinkPortId}`));
  const actions = [];

  const wanted = new Set();
  const exclusiveSources = [];
  checked.routes.forEach((r, i) => {
    const rule = `routes[${i}]`;
    const [fromName, toName] = [plainName(r.from) ?? r.from, plainName(r.to) ?? r.to];
    const sides = bindSides(fromName, toName);
    const from = side(sides.from, 'from', defaults);
    const to = side(sides.to, 'to', defaults);
    const sources = [...byNode.values()].filter((n) => from(n.node));
    const sinks = [...byNode.values()].filter((n) => to(n.node));
    let planned = 0;
    for (const src of sources) {
      if (src.outputs.length === 0) continue;
      if (r.exclusive) exclusiveSources.push({ rule, src });
      for (const sink of sinks) {
        if (sink === src || sink.inputs.length === 0 || !sides.fits(src.node, sink.node)) continue;
        const pairs = r.ports ? pairByNames(src.outputs, sink.inputs, r.ports) : pairPorts(src.outputs, sink.inputs, r.channels, { source: src.node, sink: sink.node });
        planned += pairs.length;
        for (const [o, inp] of pairs) {
          const key = `${o.id}:${inp.id}`;
          if (!linked.has(key) && !wanted.has(key)) actions.push({ kind: 'linked', rule, out: name(o), in: name(inp) });
          wanted.add(key);
        }
      }
    }
    if (planned === 0) actions.push({ kind: 'unmatched', rule, why: whyUnmatched(nodes, { from: fromName, to: toName, ports: r.ports, fits: sides.fits }, sources, sinks) });
  });
  const removed = new Set();
  const remove = (rule, l) => {
    if (removed.has(l.id) || wanted.has(`${l.srcPortId}:${l.sinkPortId}`)) return;
    removed.add(l.id);
    const out = portById.get(l.srcPortId);
    const inp = portById.get(l.sinkPortId);
    actions.push({ kind: 'removed', rule, link: l, out: out ? name(out) : String(l.srcPortId), in: inp ? name(inp) : String(l.sinkPortId) });
  };
  for (const { rule, src } of exclusiveSources) {
    const mine = new Set(src.outputs.map((p) => p.id));
    for (const l of links) if (mine.has(l.srcPortId)) remove(rule, l);
  }
  checked.never.forEach((r, i) => {
    const from = side(r.from, 'from', defaults);
    const to = side(r.to, 'to', defaults);
    for (const l of links) {
      const a = byNode.get(l.srcNodeId)?.node;
      const b = byNode.get(l.sinkNodeId)?.node;
      if (a && b && from(a) && to(b)) remove(`never[${i}]`, l);
    }
  });
  checked.volumes.forEach((r, i) => {
    const match = side(r.node, 'node');
    if (!nodes.some(match)) actions.push({ kind: 'unmatched', rule: `volumes[${i}]`, why: `node: ${whyNoNode(nodes, plainName(r.node) ?? r.node)}` });
    for (const n of nodes) {
      if (!match(n)) continue;
      // A node without the control (its Props come with the info connect() waits for) is not set: said so.
      const missing = presetMissing(r, n);
      if (missing) actions.push({ kind: 'not-set', rule: `volumes[${i}]`, node: n.name, id: n.id, reason: `it has no ${missing}` });
      else actions.push({ kind: 'volume', rule: `volumes[${i}]`, node: n.name, id: n.id, ...(r.volume !== undefined ? { volume: r.volume } : {}), ...(r.mute !== undefined ? { mute: r.mute } : {}) });
    }
  });
  const present = new Set(nodes.map((n) => n.name));
  for (const [kind, names] of Object.entries(checked.defaults)) {
    const choice = names.find((n) => present.has(n));
    if (choice !== undefined && graph.defaults.configured?.[kind] !== choice) actions.push({ kind: 'default', rule: `defaults.${kind}`, defaultKind: kind, node: choice });
  }
  checked.devices.forEach((d, i) => {
    if (!present.has(d.name)) actions.push({ kind: 'created', rule: `devices[${i}]`, node: d.name });
  });
  checked.filters.forEach((f, i) => {
    if (!present.has(f.name) && (f.target === undefined || present.has(f.target))) actions.push({ kind: 'created', rule: `filters[${i}]`, node: f.name });
  });
  checked.loopbacks.forEach((l, i) => {
    if (present.has(l.from) && present.has(l.to)) actions.push({ kind: 'created', rule: `loopbacks[${i}]`, node: l.name ?? `${l.from} -> ${l.to}` });
  });
  const cards = checked.profiles.length ? graph.devices() : [];
  checked.profiles.forEach((r, i) => {
    const match = compileMatcher(r.device);
    for (const d of cards) {
      if (match(d) && d.profile?.name !== r.profile && d.profile?.index !== r.profile) actions.push({ kind: 'profile', rule: `profiles[${i}]`, device: d.name, id: d.id, profile: r.profile });
    }
  });
  return actions;
}

// whyUnmatched(nodes, route, sources, sinks) → why a route links nothing
// now, in words: a side that names no node (whyNoNode: a near name, a port
// given for a node), nodes without ports of the direction, ports of no
// common type, port names that are not there.
function whyUnmatched(nodes, { from, to, ports, fits }, sources, sinks) {
  const list = (found) => found.slice(0, 4).map((n) => JSON.stringify(n.node.name)).join(', ') + (found.length > 4 ? ', ...' : '');
  if (sources.length === 0) return `from: ${whyNoNode(nodes, from)}`;
  if (sinks.length === 0) return `to: ${whyNoNode(nodes, to)}`;
  const givers = sources.filter((n) => n.outputs.length);
  const takers = sinks.filter((n) => n.inputs.length);
  if (givers.length === 0) return `from ${describeMatcher(from)} matches ${list(sources)}, with no output ports`;
  if (takers.length === 0) return `to ${describeMatcher(to)} matches ${list(sinks)}, with no input ports`;
  if (ports) return `the ports named (${ports.map(([o, i]) => `${o} -> ${i}`).join(', ')}) are not on ${list(givers)} and ${list(takers)}`;
  let [a, b, apart] = [null, null, false];
  search: for (const g of givers) {
    for (const t of takers) {
      if (t === g) continue;
      apart = true;
      if (fits(g.node, t.node)) {
        [a, b] = [g, t];
        break search;
      }
    }
  }
  if (!apart) return `from and to match only the same node ${JSON.stringify(givers[0].node.name)}`;
  if (!a) return `no node of from belongs with a node of to by the captures ("\${...}")`;
  return `no port pairs up by type: ${JSON.stringify(a.node.name)} has ${typesText(a.outputs, a.node)} outputs, ${JSON.stringify(b.node.name)} ${typesText(b.inputs, b.node)} inputs`;
}

module.exports = { plan };
