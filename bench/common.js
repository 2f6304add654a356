'use strict';
// Helpers shared by the benchmarks.
const fs = require('node:fs');
const path = require('node:path');
const { startDaemon } = require('../test/helpers/daemon');
const { Fixture, waitFor } = require('../test/helpers/fixture');

const ROOT = path.join(__dirname, '..');
const median = (xs) => [...xs].sort((a, b) => a - b)[Math.floor(xs.length / 2)];
const nowNs = () => process.hrtime.bigint();
const ms = (ns) => Number(ns) / 1e6;
const fmt = (x, digits = 3) => (Math.abs(x) >= 100 ? x.toFixed(0) : x.toPrecision(digits));

// Anonymous resident memory (heap, stacks, arenas): the process's own
// allocations, without the pages of the node binary's code that get paged in
// as new code paths run.
const rssKiB = () => Number(/RssAnon:\s+(\d+)/.exec(fs.readFileSync('/proc/self/status', 'utf8'))[1]);
const rssMiB = () => rssKiB() / 1024;

// Grows the graph to `total` nodes of 2 inputs and 2 outputs each, every node's
// outputs linked to the next node's inputs (about 4 ports and 2 links a node).
async function growGraph(fixture, graph, total) {
  const added = [];
  while (graph.nodes.length + added.length < total) {
    const n = Math.min(100, total - graph.nodes.length - added.length);
    for (const id of await fixture.addMany(n, `bench-${graph.nodes.length + added.length}`, 'Audio/Sink', 2, 2)) {
      added.push(id);
    }
  }
  graph.nodes.push(...added);
  return graph;
}

// Links the graph's nodes into a chain (held by the fixture client); `q`'s
// mirror is used to find the ports and to wait for the links.
async function linkChain(fixture, q, graph) {
  await waitFor(() => q.getNodes().length >= graph.nodes.length, 30000, 'the nodes in the mirror');
  const ports = q.getPorts();
  const byNode = new Map();
  for (const p of ports) {
    if (!byNode.has(p.nodeId)) byNode.set(p.nodeId, { in: [], out: [] });
    byNode.get(p.nodeId)[p.direction === 1 ? 'in' : 'out'].push(p.id);
  }
  const pairs = [];
  for (let i = graph.linked; i < graph.nodes.length - 1; i++) {
    const a = byNode.get(graph.nodes[i]);
    const b = byNode.get(graph.nodes[i + 1]);
    pairs.push([a.out[0], b.in[0]], [a.out[1], b.in[1]]);
  }
  if (pairs.length) await fixture.link(pairs);
  graph.linked = graph.nodes.length - 1;
  await waitFor(() => q.getLinks().length >= graph.linked * 2, 30000, 'the links in the mirror');
}

/** Waits until the events queued so far are dispatched (a marker's removal comes after them); drops "node-destroyed" listeners. */
async function flushEvents(q, fixture) {
  let seen = false;
  const marker = await fixture.add('flush-marker', 'Audio/Sink');
  q.on('node-destroyed', (id) => (seen ||= id === marker.id));
  await fixture.remove(marker.id);
  await waitFor(() => seen, 5000, 'the event queue to drain');
  q.off('node-destroyed');
}

// Runs `figures(fixture, state, held)` against a private daemon with the add-on's
// own connection up (`state`: growGraph's); held.graph, if set, is closed after
// them, as is everything else, and a failure sets the exit code.
function benchmark(title, figures) {
  const quorvane = require(ROOT);
  const run = async () => {
    const daemon = startDaemon({ objects: [] });
    const fixture = new Fixture();
    const held = {};
    console.log(`${title}, Node.js ${process.version}, ${new Date().toISOString()}`);
    quorvane.createPwThread();
    try {
      await figures(fixture, { nodes: [], linked: 0 }, held);
    } finally {
      await held.graph?.close();
      quorvane.destroyPwThread();
      await fixture.close();
      daemon.stop();
    }
  };
  run().catch((e) => {
    console.error(e);
    process.exitCode = 1;
  });
}

module.exports = { ROOT, median, nowNs, ms, fmt, rssKiB, rssMiB, growGraph, linkChain, flushEvents, benchmark };
