#!/usr/bin/env node
'use strict';
// Benchmark: the add-on against the tools a user would otherwise call
// (pw-dump) and against a plain native libpipewire client (bench/ref-client).
// Prints one line per figure, as a ratio measured side by side in this run,
// with the absolute medians for reference. Memory under churn is measured by
// bench/memory.js.
//   node bench/run.js            small, medium and large graphs
//   node bench/run.js --quick    small and medium only
//   node bench/run.js --handoffs the link round trip only, on the medium graph
const { spawn, spawnSync } = require('node:child_process');
const fs = require('node:fs');
const path = require('node:path');
const readline = require('node:readline');
const { startDaemon } = require('../test/helpers/daemon');
const { Fixture, waitFor } = require('../test/helpers/fixture');
const { ROOT, median, nowNs, ms, fmt, growGraph, linkChain, flushEvents } = require('./common');
const REF = path.join(ROOT, 'build-native', 'ref-client');
const QUICK = process.argv.includes('--quick');

const results = [];
function report(figure, text, row) {
  console.log(`${figure.padEnd(34)} ${text}`);
  results.push({ figure, ...row });
}

function timeListing(q, iterations) {
  const samples = [];
  for (let i = 0; i < iterations; i++) {
    const t = nowNs();
    q.getNodes();
    q.getPorts();
    q.getLinks();
    samples.push(ms(nowNs() - t));
  }
  return median(samples);
}

function timePwDump(iterations) {
  const samples = [];
  for (let i = 0; i < iterations; i++) {
    const t = nowNs();
    const r = spawnSync('pw-dump', [], { encoding: 'utf8', maxBuffer: 1 << 30 });
    JSON.parse(r.stdout);
    samples.push(ms(nowNs() - t));
  }
  return median(samples);
}

function timeGetLinks(q, iterations) {
  const samples = [];
  for (let i = 0; i < iterations; i++) {
    const t = nowNs();
    q.getLinks();
    samples.push(ms(nowNs() - t));
  }
  return median(samples);
}

function refClient(args) {
  const r = spawnSync(REF, args, { encoding: 'utf8', timeout: 120000 });
  if (r.status !== 0) throw new Error(`ref-client ${args.join(' ')} failed: ${r.stderr}`);
  return JSON.parse(r.stdout.trim().split('\n').pop());
}

async function listingFigures(q, label, graph, size) {
  const counts = `${q.getNodes().length} nodes, ${q.getPorts().length} ports, ${q.getLinks().length} links`;
  const ours = timeListing(q, size === 'large' ? 40 : 200);
  const dump = timePwDump(size === 'large' ? 3 : 5);
  report(`listing (${label})`, `${fmt(dump / ours)}x faster than pw-dump+JSON.parse  ` +
    `[add-on ${fmt(ours * 1000)} us, pw-dump ${fmt(dump)} ms; ${counts}]`,
  { ratio: dump / ours, addonMs: ours, pwDumpMs: dump, counts });
  return { ours, nodes: q.getNodes().length, links: q.getLinks().length };
}

async function roundTrip(q, fixture) {
  const src = await fixture.add('rt-src', 'Audio/Source', 0, 1);
  const sink = await fixture.add('rt-sink', 'Audio/Sink', 1, 0);
  await waitFor(() => q.getPorts().some((p) => p.id === sink.inputs[0]));
  let resolve;
  q.on('link-created', () => resolve(nowNs()));
  q.on('link-destroyed', () => resolve(nowNs()));
  const next = () => new Promise((r) => (resolve = r));
  // In turns of 20 with the reference client (which leaves out its own first
  // few), so that a busy moment of the machine falls on both alike.
  const samples = [];
  const theirs = [];
  const threaded = [];
  const args = [String(src.id), String(src.outputs[0]), String(sink.id), String(sink.inputs[0]), '20'];
  for (let i = 0; i < 220; i++) {
    const created = next();
    const t = nowNs();
    q.linkPorts(src.outputs[0], sink.inputs[0]);
    const t1 = await created;
    if (i >= 20) samples.push(ms(t1 - t)); // the first links on a port pair are slower
    const destroyed = next();
    q.unlinkNodesNameToId('rt-src', sink.id);
    await destroyed;
    if (i >= 20 && i % 20 === 19) {
      // The reference client's links on the same ports are heard here too:
      // let them pass before the next sample.
      resolve = () => {};
      theirs.push(refClient(['roundtrip', ...args]).median_us);
      threaded.push(refClient(['threaded-roundtrip', ...args]).median_us);
      await flushEvents(q, fixture);
    }
  }
  q.off('link-created');
  q.off('link-destroyed');
  const ref = { median_us: median(theirs) };
  const threadedUs = median(threaded);
  const ours = median(samples);
  report('link round trip', `${fmt(ours * 1000 / ref.median_us)}x the reference client, ` +
    `${fmt(ours * 1000 / threadedUs)}x its two-thread form  [linkPorts -> "link-created" ${fmt(ours * 1000)} us, ` +
    `native create -> global ${fmt(ref.median_us)} us, with a thread loop ${fmt(threadedUs)} us; medians of 200, in turns]`,
  { ratio: ours * 1000 / ref.median_us, threadedRatio: (ours * 1000) / threadedUs, addonUs: ours * 1000, refUs: ref.median_us, threadedUs });
  await fixture.remove(src.id, sink.id);
}

async function burst(q, fixture) {
  await flushEvents(q, fixture);
  const ref = spawn(REF, ['burst', 'burst-', '100'], { stdio: ['ignore', 'pipe', 'inherit'] });
  const lines = readline.createInterface({ input: ref.stdout });
  const refLines = [];
  lines.on('line', (l) => refLines.push(l));
  await waitFor(() => refLines.includes('ready'), 10000, 'the reference client');
  const seen = [];
  let last = 0n;
  q.on('node-created', (n) => {
    if (!n.name.startsWith('burst-')) return;
    seen.push(n.id);
    last = nowNs();
  });
  const t0 = nowNs();
  const ids = await fixture.addMany(100, 'burst', 'Audio/Sink', 1, 1);
  await waitFor(() => seen.length >= 100 && refLines.length >= 2, 20000, 'the burst');
  q.off('node-created');
  const refLast = BigInt(JSON.parse(refLines[1]).last_ns);
  const ours = ms(last - t0);
  const theirs = ms(refLast - t0);
  const inOrder = JSON.stringify(seen) === JSON.stringify(ids);
  report('burst of 100 nodes', `${fmt(ours / theirs)}x the reference client  [add-on ${fmt(ours)} ms, ` +
    `native ${fmt(theirs)} ms; ${seen.length} events, once each, ${inOrder ? 'in order' : 'OUT OF ORDER'}]`,
  { ratio: ours / theirs, addonMs: ours, refMs: theirs, inOrder });
  await fixture.remove(...ids);
}

function callgrindListing() {
  const script = `const q = require(${JSON.stringify(path.join(ROOT, 'lib', 'connection', 'addon.js'))});
    q.createPwThread(); q.getNodes(); q.getPorts(); q.getLinks(); q.destroyPwThread();`;
  const out = path.join(fs.mkdtempSync(path.join(require('node:os').tmpdir(), 'quorvane-cg-')), 'callgrind.out');
  const r = spawnSync('valgrind', ['--tool=callgrind', `--callgrind-out-file=${out}`, '--collect-atstart=no',
    '--toggle-collect=getNodes(*', '--toggle-collect=getPorts(*', '--toggle-collect=getLinks(*',
    process.execPath, '-e', script], { encoding: 'utf8', timeout: 300000 });
  if (r.status !== 0) throw new Error(`callgrind failed: ${r.stderr.slice(-2000)}`);
  const summary = /^summary:\s+(\d+)/m.exec(fs.readFileSync(out, 'utf8'));
  fs.rmSync(path.dirname(out), { recursive: true, force: true });
  const ir = Number(summary[1]);
  report('callgrind, one listing (medium)', `${ir.toLocaleString('en')} instructions for getNodes()+getPorts()+getLinks()`,
    { instructions: ir });
}

async function main() {
  const daemon = startDaemon({ objects: [] });
  const fixture = new Fixture();
  const q = require(path.join(ROOT, 'lib', 'connection', 'addon.js'));
  const graph = { nodes: [], linked: 0 };
  console.log(`Quorvane benchmark, Node.js ${process.version}, ${new Date().toISOString()}`);
  try {
    await growGraph(fixture, graph, 20);
    q.createPwThread();
    await linkChain(fixture, q, graph);
    await listingFigures(q, 'small', graph, 'small');

    await growGraph(fixture, graph, 200);
    await linkChain(fixture, q, graph);
    if (process.argv.includes('--handoffs')) {
      const load = () => require('node:os').loadavg().map((x) => x.toFixed(2)).join(' ');
      console.log(`load average ${load()}`);
      await roundTrip(q, fixture);
      console.log(`load average ${load()}`);
      return;
    }
    const medium = await listingFigures(q, 'medium', graph, 'medium');
    const mediumLinks = timeGetLinks(q, 200);
    callgrindListing();
    await roundTrip(q, fixture);
    await burst(q, fixture);

    if (!QUICK) {
      await growGraph(fixture, graph, 1000);
      await linkChain(fixture, q, graph);
      // Building the large graph keeps the daemon busy for a while after the
      // last answer; measured before it is idle, every figure is inflated.
      await fixture.sync();
      await new Promise((r) => setTimeout(r, 3000));
      const large = await listingFigures(q, 'large', graph, 'large');
      const largeLinks = timeGetLinks(q, 200);
      const growth = largeLinks / mediumLinks;
      const sizeGrowth = (large.nodes + large.links) / (medium.nodes + medium.links);
      report('getLinks scaling', `${fmt(growth)}x the cost for ${fmt(sizeGrowth)}x the nodes+links ` +
        `(${growth <= sizeGrowth * 1.5 ? 'linear' : 'SUPERLINEAR'})  [medium ${fmt(mediumLinks * 1000)} us, large ${fmt(largeLinks * 1000)} us]`,
      { ratio: growth, sizeRatio: sizeGrowth });

      q.destroyPwThread();
      const t = nowNs();
      q.createPwThread();
      const startMs = ms(nowNs() - t);
      const dump = JSON.parse(spawnSync('pw-dump', [], { encoding: 'utf8', maxBuffer: 1 << 30 }).stdout);
      const ids = (xs) => JSON.stringify(xs.map((o) => o.id).sort((a, b) => a - b));
      const kinds = ['Node', 'Port', 'Link'].map((k) => dump.filter((o) => o.type === `PipeWire:Interface:${k}`));
      const same = ids(q.getNodes()) === ids(kinds[0]) && ids(q.getPorts()) === ids(kinds[1]) && ids(q.getLinks()) === ids(kinds[2]);
      // The native anchors: a fresh process (loop, context with its
      // configuration and plugins, connect, registry), and a connect +
      // registry on a context that exists, as createPwThread's is kept.
      const ref = refClient(['registry']);
      const warm = refClient(['connect', '3']);
      report('start-up (large)', `mirror ${same ? 'holds' : 'DOES NOT hold'} the whole graph when createPwThread returns  ` +
        `[createPwThread ${fmt(startMs)} ms, of which at least 500 ms a fixed pause; native: a fresh process has the ` +
        `registry in ${fmt(ref.ms)} ms, a connection on an existing context in ${fmt(warm.median_ms)} ms]`,
      { complete: same, createMs: startMs, refMs: ref.ms, refWarmMs: warm.median_ms });
    }
  } finally {
    q.destroyPwThread();
    await fixture.close();
    daemon.stop();
  }
  fs.writeFileSync(path.join(ROOT, 'build-native', 'bench-results.json'), JSON.stringify(results, null, 2));
}

main().catch((e) => {
  console.error(e);
  process.exitCode = 1;
});
