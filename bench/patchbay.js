#!/usr/bin/env node
'use strict';
// Benchmark of the patchbay on the medium graph (200 nodes, 800 ports, 398
// links), beside the native reference client (bench/ref-client):
//   - a matching node's last port announced to the patchbay's last link for
//     it announced, against the native link round trip (target: 2x);
//   - update() of a 100-rule file: one rule changed, and every rule changed
//     (target: 10 ms), call to resolved.
//   node bench/patchbay.js
const path = require('node:path');
const { spawnSync } = require('node:child_process');
const { waitFor } = require('../test/helpers/fixture');
const { ROOT, median, fmt, growGraph, linkChain, benchmark } = require('./common');

const REF = path.join(ROOT, 'build-native', 'ref-client');
const quorvane = require(ROOT);
const nowMs = () => Number(process.hrtime.bigint()) / 1e6;
const report = (figure, text) => console.log(`${figure.padEnd(44)} ${text}`);

function refRoundTrip(src, sink) {
  const args = ['roundtrip', String(src.id), String(src.outputs[0]), String(sink.id), String(sink.inputs[0]), '20'];
  const r = spawnSync(REF, args, { encoding: 'utf8', timeout: 120000 });
  if (r.status !== 0) throw new Error(`ref-client failed: ${r.stderr}`);
  return JSON.parse(r.stdout.trim().split('\n').pop()).median_us;
}

async function appearanceFigure(graph, fixture) {
  const sink = await fixture.add('pbb-player-sink', 'Audio/Sink', 'FL,FR', '0');
  const ref = await fixture.add('pbb-ref', 'Audio/Source', '0', 'FL,FR');
  await graph.waitForPorts((await graph.waitForNode('pbb-player-sink')).id, { count: 2 });
  let watching = null;
  let lastPort = 0;
  let lastLink = 0;
  graph.on('port-created', (p) => p.nodeId === watching && (lastPort = nowMs()));
  graph.on('link-created', (l) => l.srcNodeId === watching && (lastLink = nowMs()));
  const theirs = [];
  // The same capture rule as a patchbay, then as a bare route.
  const measure = async (links) => {
    const samples = [];
    for (let i = 0; i < 12; i++) {
      const pending = fixture.add('pbb-player', 'Stream/Output/Audio', '0', 'FL,FR');
      const node = await graph.waitForNode('pbb-player');
      watching = node.id;
      await waitFor(() => links().filter((l) => l.srcNodeId === node.id).length === 2, 5000, 'the links');
      await waitFor(() => lastLink > 0, 5000, 'the link events');
      samples.push(lastLink - lastPort);
      await pending;
      await fixture.remove(node.id);
      await waitFor(() => links().length === 0, 5000, 'the links to go');
      lastLink = 0;
      if (i % 4 === 3) theirs.push(refRoundTrip(ref, sink)); // taken in turns with ours
    }
    return median(samples.slice(2)) * 1000;
  };
  // Taken in turns, a round of each, so that warming up and the machine's
  // load fall on both alike.
  const viaPatchbay = [];
  const viaRoute = [];
  for (let round = 0; round < 4; round++) {
    const bay = graph.patchbay({ routes: [{ from: '/^(pbb-player)$/', to: '${1}-sink' }] });
    viaPatchbay.push(await measure(() => bay.list()[0].links));
    await bay.close();
    const route = graph.linkRule({ from: { 'node.name': /^(pbb-player)$/ }, to: { 'node.name': '${1}-sink' } });
    viaRoute.push(await measure(() => route.links));
    await route.close();
  }
  const refUs = median(theirs);
  for (const [kind, us] of [['patchbay', median(viaPatchbay)], ['route', median(viaRoute)]]) {
    report(`${kind}: node appears to its last link`, `${fmt(us / refUs)}x the native link round trip (target 2x)  [${fmt(us)} us against ${fmt(refUs)} us]`);
  }
  await fixture.remove(sink.id, ref.id);
}

async function updateFigure(graph, chain) {
  // 100 routes along the chain the fixture linked already (node to next
  // node): they ask for nothing, so the figure is the patchbay's own work.
  const byId = new Map(graph.nodes().map((n) => [n.id, n.name]));
  const names = chain.map((id) => byId.get(id));
  const rules = (tag) => ({
    routes: names.slice(0, 100).map((name, i) => ({ from: name, to: { 'node.name': names[i + 1], 'media.class': 'Audio/Sink' }, channels: tag(i) })),
  });
  const base = rules(() => 'positional');
  const one = rules((i) => (i === 50 ? 'auto' : 'positional'));
  const all = rules(() => 'auto');
  // Wall time, call to resolved, and the process's CPU time in it (all its
  // threads): on a shared machine the wall time also holds the waits for a core.
  const cpuMs = () => {
    const u = process.cpuUsage();
    return (u.user + u.system) / 1000;
  };
  let t = nowMs();
  let c = cpuMs();
  const bay = graph.patchbay(base);
  const first = [nowMs() - t, cpuMs() - c];
  const timings = { one: [[], []], all: [[], []] };
  for (let i = 0; i < 20; i++) {
    for (const [kind, next] of [['one', one], ['all', all]]) {
      t = nowMs();
      c = cpuMs();
      await bay.update(next);
      timings[kind][0].push(nowMs() - t);
      timings[kind][1].push(cpuMs() - c);
      await bay.update(base);
    }
  }
  await bay.close();
  const say = ([wall, cpu]) => `${fmt(median(wall))} ms (${median(wall) <= 10 ? 'within' : 'OVER'} 10 ms), CPU ${fmt(median(cpu))} ms`;
  report('patchbay: update() of 100 rules, 1 changed', say(timings.one));
  report('patchbay: update() of 100 rules, all changed', `${say(timings.all)}; the first apply of the file ${fmt(first[0])} ms, CPU ${fmt(first[1])} ms`);
}

benchmark('Quorvane patchbay benchmark', async (fixture, state, held) => {
  await growGraph(fixture, state, 200);
  await linkChain(fixture, quorvane, state);
  const graph = (held.graph = await quorvane.connect());
  await appearanceFigure(graph, fixture);
  await updateFigure(graph, state.nodes);
});
