'use strict';
// quorvane nodes / ports / links: the graph as tables or JSON.
const { UsageError, parse, noPositional } = require('./args');
const { say, printRows } = require('./output');
const { openView } = require('./session');
const resolve = require('./resolve');
const { formatText } = require('./changes');
const { nodeSides, portSides, legacySides } = require('../features/node-sides');
const { checkDirection } = require('../core/arguments');

const inOut = (port) => (port.direction === 1 ? 'in' : 'out');

// role(mediaClass) → what the media class says a node does, in words: a
// device (Sink, Source, Duplex) or an application's stream (Stream/Output,
// Stream/Input), playing or capturing; '-' for any other class (a MIDI
// bridge, a node without one).
function role(mediaClass = '') {
  const [first, second] = mediaClass.split('/');
  if (first === 'Stream') return second === 'Output' ? 'playback stream' : second === 'Input' ? 'capture stream' : '-';
  return { Sink: 'playback device', Source: 'capture device', Duplex: 'playback+capture device' }[second] ?? '-';
}

async function nodes(argv) {
  const o = parse(argv, { input: 'flag', output: 'flag', direction: 'value', type: 'value', props: 'flag', json: 'flag' });
  noPositional(o);
  if ([o.input, o.output, o.direction !== undefined].filter(Boolean).length > 1) throw new UsageError('--input, --output and --direction exclude each other');
  let direction;
  try {
    direction = checkDirection(o.direction, 'nodes');
  } catch {
    throw new UsageError('--direction must be in or out');
  }
  const graph = await openView({ info: ['node'] });
  // A node without a media class (a JACK client's on PipeWire 0.3) by its ports.
  const sides = o.input || o.output || direction ? portSides(graph.ports()) : null;
  const rows = graph
    .nodes()
    .filter((n) => (!o.input || legacySides(n, sides).isInput) && (!o.output || legacySides(n, sides).isOutput))
    .filter((n) => (!direction || nodeSides(n, sides)[direction]) && (o.type === undefined || n.type === o.type));
  if (o.json) {
    printRows(o.props ? rows : rows.map(({ props, ...n }) => n), [], true);
    return;
  }
  const table = rows.map((n) => ({
    ...n,
    role: role(n.type),
    description: n.props?.['node.description'],
    application: n.props?.['application.name'],
  }));
  if (!o.props) {
    printRows(table, ['id', 'name', 'type', 'role', 'state', 'description', 'application'], false);
    return;
  }
  if (rows.length === 0) say('(none)');
  for (const n of table) {
    say(`node ${n.id} ${n.name} (${n.type || 'no media class'}, ${n.role}, ${n.state ?? 'state unknown'})`);
    for (const [key, value] of Object.entries(n.props || {})) say(`  ${key} = ${JSON.stringify(value)}`);
  }
}

async function ports(argv) {
  const o = parse(argv, { node: 'value', json: 'flag' });
  noPositional(o);
  const graph = await openView();
  let rows = graph.ports();
  if (o.node !== undefined) {
    const ids = new Set(resolve.nodes(graph, o.node).map((n) => n.id));
    rows = rows.filter((p) => ids.has(p.nodeId));
  }
  if (o.json) {
    printRows(rows.map(({ props, ...p }) => ({ ...p, direction: inOut(p) })), [], true);
    return;
  }
  const table = rows.map((p) => ({ ...p, port: resolve.portName(graph, p), direction: inOut(p), type: p.type ?? '-' }));
  printRows(table, ['id', 'nodeId', 'port', 'direction', 'type'], false);
}

// A latency range as one cell: quanta, samples and nanoseconds, min-max
// (one number where they are equal), as pw-link -t gives them.
function latencyText(l) {
  if (!l) return '-';
  const span = (min, max) => (min === max ? `${min}` : `${min}-${max}`);
  return `quantum ${span(l.minQuantum, l.maxQuantum)} rate ${span(l.minRate, l.maxRate)} ns ${span(l.minNs, l.maxNs)}`;
}

async function links(argv) {
  const o = parse(argv, { json: 'flag', latency: 'flag' });
  noPositional(o);
  const graph = await openView({ settled: Boolean(o.latency) });
  const rows = graph.links();
  if (o.json) {
    printRows(rows.map(({ props, latency, ...l }) => (o.latency ? { ...l, latency } : l)), [], true);
    return;
  }
  const name = (id) => {
    const p = graph.ports().find((x) => x.id === id);
    return p ? resolve.portName(graph, p) : String(id);
  };
  const table = rows.map((l) => ({
    ...l,
    from: `${l.srcPortId} ${name(l.srcPortId)}`,
    to: `${l.sinkPortId} ${name(l.sinkPortId)}`,
    state: l.state === 'error' && l.error ? `error: ${l.error}` : l.state,
    format: formatText(l.format),
    latency: latencyText(l.latency),
  }));
  printRows(table, ['id', 'from', 'to', 'state', 'format', ...(o.latency ? ['latency'] : [])], false);
}

module.exports = { nodes, ports, links };
