'use strict';
// What a patchbay of `rules` would do to the graph as it is now, without
// doing it (`quorvane patchbay --dry-run`): the same actions it would emit.
const { compileMatcher, describeMatcher } = require('../match');
const { FirstOf } = require('./first-of');
const { pairPorts, pairByNames, typesText } = require('../pairing');
const { nodeMatcher, plainName, whyNoNode } = require('../resolve-node');
const { bindSides } = require('../link-rules/captures');
const { checkRules } = require('./rules');
const { presetMissing } = require('./presets');

// A side of a rule as a message names it: the text it looks for where it
// looks for one text, else the matcher written out.
function sideText(m) {
  if (m instanceof FirstOf) return sideText(m.alternatives[0]);
  if (typeof m === 'string') return m;
  const values = Object.values(m);
  return values.length === 1 && typeof values[0] === 'string' ? values[0] : describeMatcher(m);
}

// A rule's side as the patchbay applies it: its plain name as a name (a
// node's JACK name or description fits it too).
const side = (m, what, defaults) => nodeMatcher(plainName(m) ?? m, what, { defaults });

// Nodes as a message lists them: the first four names.
const listed = (found) => found.slice(0, 4).map((n) => JSON.stringify(n.node.name)).join(', ') + (found.length > 4 ? ', ...' : '');

// Why no node of `all` (byNode's entries) fits side `what` of a route with
// ports of `direction` ('output' or 'input'): nodes it matches that have none
// of them, a name that comes close (whyNoNode), or the matcher written out.
function whyNoSide(nodes, all, m, match, what, direction) {
  const fitting = all.filter((n) => match(n.node));
  if (fitting.length) return `${listed(fitting)} ${fitting.length === 1 ? 'has' : 'have'} no ${direction} ports ("${what}")`;
  const name = plainName(m);
  if (name !== undefined) return `${whyNoNode(nodes, name)} ("${what}")`;
  return `no node with ${direction} ports matches ${describeMatcher(m)} ("${what}")`;
}

/**
 * [{ kind, rule, ... }] as Patchbay's "action" events would carry them, for the graph now; and, for each route's
 * connection that takes no node or port now, { kind: 'unmatched', rule, out, in, reason }, and for a volume rule that
 * matches no node, { kind: 'unmatched', rule, node, reason }.
 */
// The [output, input] names of `names` that do not both name a port of the
// source's outputs and the sink's inputs, with why: [[out, in, reason]].
function unpairedNames(src, sink, names) {
  const has = (ports, n) => pairByNames(ports, ports, [[n, n]]).length > 0; // a port pairByNames finds by `n`
  const out = [];
  for (const pair of names) {
    if (pairByNames(src.outputs, sink.inputs, [pair]).length > 0) continue;
    const [o, inp] = pair;
    const lacks = has(src.outputs, o) ? [sink, 'input', inp] : [src, 'output', o];
    out.push([o, inp, `node ${JSON.stringify(lacks[0].node.name)} has no ${lacks[1]} port named ${JSON.stringify(lacks[2])}`]);
  }
  return out;
}

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
    const bound = (m) => (m instanceof FirstOf ? m.bind(() => nodes) : plainName(m) ?? m);
    const sides = bindSides(bound(r.from), bound(r.to));
    const from = side(sides.from, 'from', defaults);
    const to = side(sides.to, 'to', defaults);
    const all = [...byNode.values()];
    const sources = all.filter((src) => src.outputs.length > 0 && from(src.node));
    const sinks = all.filter((sink) => sink.inputs.length > 0 && to(sink.node));
    const unmatched = (out, inp, reason) => actions.push({ kind: 'unmatched', rule, out, in: inp, reason });
    // What takes nothing now: each connection of the rule, with why.
    const connections = r.ports ?? [[null, null]];
    const missing = sources.length === 0 ? ['from', r.from, from, 'output'] : sinks.length === 0 ? ['to', r.to, to, 'input'] : null;
    if (missing) {
      const [what, m, match, direction] = missing;
      const reason = whyNoSide(nodes, all, bound(m), match, what, direction);
      for (const [o, inp] of connections) {
        unmatched(`${sideText(r.from)}${o === null ? '' : `:${o}`}`, `${sideText(r.to)}${inp === null ? '' : `:${inp}`}`, reason);
      }
    }
    let apart = false;
    let belong = false;
    for (const src of sources) {
      if (r.exclusive) exclusiveSources.push({ rule, src });
      for (const sink of sinks) {
        if (sink === src) continue;
        apart = true;
        if (!sides.fits(src.node, sink.node)) continue;
        belong = true;
        const pairs = r.ports ? pairByNames(src.outputs, sink.inputs, r.ports) : pairPorts(src.outputs, sink.inputs, r.channels, { source: src.node, sink: sink.node });
        if (pairs.length === 0 && !r.ports) {
          unmatched(src.node.name, sink.node.name, `no port pairs up by type: ${JSON.stringify(src.node.name)} has ${typesText(src.outputs, src.node)} outputs, ${JSON.stringify(sink.node.name)} ${typesText(sink.inputs, sink.node)} inputs`);
        }
        for (const [o, inp] of pairs) {
          const key = `${o.id}:${inp.id}`;
          if (!linked.has(key) && !wanted.has(key)) actions.push({ kind: 'linked', rule, out: name(o), in: name(inp) });
          wanted.add(key);
        }
        for (const [o, inp, why] of unpairedNames(src, sink, r.ports ?? [])) unmatched(`${src.node.name}:${o}`, `${sink.node.name}:${inp}`, why);
      }
    }
    if (!missing && !apart) unmatched(sideText(r.from), sideText(r.to), `from and to match only the same node ${JSON.stringify(sources[0].node.name)}`);
    else if (!missing && !belong) unmatched(sideText(r.from), sideText(r.to), 'no node of from belongs with a node of to by the captures ("${...}")');
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
    if (!nodes.some(match)) actions.push({ kind: 'unmatched', rule: `volumes[${i}]`, node: sideText(r.node), reason: whyNoNode(nodes, plainName(r.node) ?? r.node) });
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

module.exports = { plan, sideText };
