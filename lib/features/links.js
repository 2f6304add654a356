'use strict';
// Linking and unlinking by port and by node: one function per operation,
// which the Graph, the command line, the web page and the MQTT commands all
// call, so that one request gives one result whichever face carries it.
// `graph` is anything with the Graph's nodes(), ports(), links(), link(),
// unlink() and defaults.
const { resolveNode } = require('./resolve-node');
const { resolvePort } = require('./resolve-port');
const { pairPorts, unpairedPorts, typesText } = require('./pairing');

const failure = (message, code) => Object.assign(new Error(message), { code });
const label = (node) => JSON.stringify(node.name);
const pairKey = (out, inp) => `${out}:${inp}`;

// The nodes and ports of the graph now, for a resolver.
const view = (graph) => ({ nodes: graph.nodes(), ports: graph.ports() });

// linkPorts(graph, out, inp, options, what) → { made, existing }: the link
// from port `out` to port `inp` (port ids, port objects or "NODE:PORT"
// names, resolvePort; checked to be an output and an input port before
// anything is asked for), made, or there already; rejects as linkNodes does.
function linkPorts(graph, out, inp, options, what = 'link') {
  const v = view(graph);
  const o = resolvePort(v, out, what, { direction: 'out' });
  const i = resolvePort(v, inp, what, { direction: 'in' });
  return linkPairs(graph, [[o, i]], options, what);
}

// nodePairs(graph, from, to, what) → { source, sink, pairs, unpaired }: the
// two nodes `from` and `to` name (resolveNode: an ambiguous name refused),
// the [output port, input port] pairs that link them (pairPorts: a port
// only to a port of its type) and the outputs no pair takes (unpairedPorts:
// { port, type }). An Error with code 'ENOENT' when a side has
// no ports of its direction, 'EINVAL' when no port of one has a partner of
// its type on the other ("MIDI outputs, audio inputs").
function nodePairs(graph, from, to, what) {
  const nodes = graph.nodes();
  const defaults = () => graph.defaults;
  const source = resolveNode(nodes, from, what, { defaults });
  const sink = resolveNode(nodes, to, what, { defaults });
  const ports = graph.ports();
  const outputs = ports.filter((p) => p.nodeId === source.id && p.direction === 0);
  const inputs = ports.filter((p) => p.nodeId === sink.id && p.direction === 1);
  const head = what ? `${what}: ` : '';
  if (outputs.length === 0) throw failure(`${head}node ${label(source)} has no output ports`, 'ENOENT');
  if (inputs.length === 0) throw failure(`${head}node ${label(sink)} has no input ports`, 'ENOENT');
  const sides = { source, sink };
  const pairs = pairPorts(outputs, inputs, 'auto', sides);
  if (pairs.length === 0) {
    throw failure(
      `${head}no port of node ${label(source)} has a partner of its type on node ${label(sink)}: ${typesText(outputs, source)} outputs, ${typesText(inputs, sink)} inputs`,
      'EINVAL',
    );
  }
  return { source, sink, pairs, unpaired: unpairedPorts(outputs, pairs, sides) };
}

// linkNodes(graph, from, to, options, what) → { made, existing, unpaired }:
// every output of `from` linked to its partner input of `to` (nodePairs); a
// pair linked already (by anyone) is left as it is and counted in
// `existing`; `unpaired` the outputs left without a partner (nodePairs). `options` go to graph.link(). When the daemon
// refuses some pair, rejects with an AggregateError of the refusals (each
// with its `pair` of ports) and the links `made` and `existing` and the
// `unpaired` ports on it.
async function linkNodes(graph, from, to, options, what = 'linkNodes') {
  const { pairs, unpaired } = nodePairs(graph, from, to, what);
  try {
    return { ...(await linkPairs(graph, pairs, options, what)), unpaired };
  } catch (e) {
    if (e instanceof AggregateError) e.unpaired = unpaired;
    throw e;
  }
}

// linkPairs(graph, pairs, options, what) → { made, existing } of the
// [output, input] port pairs; see linkNodes.
async function linkPairs(graph, pairs, options, what) {
  const standing = new Map(graph.links().map((l) => [pairKey(l.srcPortId, l.sinkPortId), l]));
  const existing = [];
  const wanted = [];
  for (const pair of pairs) {
    const link = standing.get(pairKey(pair[0].id, pair[1].id));
    if (link) existing.push(link);
    else wanted.push(pair);
  }
  const outcomes = await Promise.allSettled(wanted.map(([o, i]) => graph.link(o.id, i.id, options)));
  const made = [];
  const refused = [];
  outcomes.forEach((r, k) => {
    const [o, i] = wanted[k];
    if (r.status === 'fulfilled') return made.push(r.value);
    // Linked meanwhile by someone else: there, as asked.
    const now = r.reason?.code === 'EEXIST' && graph.links().find((l) => l.srcPortId === o.id && l.sinkPortId === i.id);
    if (now) return existing.push(now);
    refused.push(Object.assign(r.reason, { pair: [o, i] }));
  });
  if (refused.length) {
    const reasons = [...new Set(refused.map((e) => e.message))].join('; ');
    const err = new AggregateError(refused, `${what ? `${what}: ` : ''}${refused.length} of ${pairs.length} links refused: ${reasons}`);
    Object.assign(err, { made, existing, links: made });
    throw err;
  }
  return { made, existing };
}

// unlinkNodes(graph, from, to, options, what) → { unlinked: [link ids] }:
// every link from an output of `from` to an input of `to`, whoever made it,
// removed (graph.unlink(), each pinned by its serial). An Error with code
// 'ENOENT' when none links them; an AggregateError of what could not be
// removed.
async function unlinkNodes(graph, from, to, options, what = 'unlinkNodes') {
  const nodes = graph.nodes();
  const defaults = () => graph.defaults;
  const source = resolveNode(nodes, from, what, { defaults });
  const sink = resolveNode(nodes, to, what, { defaults });
  const links = graph.links().filter((l) => l.srcNodeId === source.id && l.sinkNodeId === sink.id);
  const head = what ? `${what}: ` : '';
  if (links.length === 0) throw failure(`${head}no links from node ${label(source)} to node ${label(sink)}`, 'ENOENT');
  const outcomes = await Promise.allSettled(links.map((l) => graph.unlink(l, options)));
  const refused = outcomes.flatMap((r, k) => (r.status === 'rejected' ? [Object.assign(r.reason, { link: links[k] })] : []));
  if (refused.length) {
    const err = new AggregateError(refused, `${head}${refused.length} of ${links.length} links not removed: ${refused[0].message}`);
    err.unlinked = links.filter((_, k) => outcomes[k].status === 'fulfilled').map((l) => l.id);
    throw err;
  }
  return { unlinked: links.map((l) => l.id) };
}

module.exports = { linkPorts, nodePairs, linkNodes, unlinkNodes };
