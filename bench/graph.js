#!/usr/bin/env node
'use strict';
// Benchmark of the asynchronous API and the routes, side by side with the
// native reference client (bench/ref-client) and PipeWire's own tools, on the
// medium graph (200 nodes) and, unless --quick, the large one (1,000 nodes).
// Prints one line per figure, the ratio first, the absolute medians after.
//   node bench/graph.js [--quick] [--no-callgrind] [--handoffs]
// --handoffs: only graph.link() and the route's re-link against their anchors.
const { spawn, spawnSync } = require('node:child_process');
const readline = require('node:readline');
const fs = require('node:fs');
const path = require('node:path');
const { waitFor } = require('../test/helpers/fixture');
const { benchmark } = require('./common');

const ROOT = path.join(__dirname, '..');
const REF = path.join(ROOT, 'build-native', 'ref-client');
const QUICK = process.argv.includes('--quick');
const quorvane = require(ROOT);

const median = (xs) => [...xs].sort((a, b) => a - b)[Math.floor(xs.length / 2)];
const nowMs = () => Number(process.hrtime.bigint()) / 1e6;
const fmt = (x, digits = 3) => (x >= 100 ? x.toFixed(0) : x.toPrecision(digits));
function report(figure, text) {
  console.log(`${figure.padEnd(40)} ${text}`);
}

function refClient(args) {
  const r = spawnSync(REF, args, { encoding: 'utf8', timeout: 120000 });
  if (r.status !== 0) throw new Error(`ref-client ${args.join(' ')} failed: ${r.stderr}`);
  return JSON.parse(r.stdout.trim().split('\n').pop());
}

function wallMs(cmd, args, runs) {
  const samples = [];
  for (let i = 0; i < runs; i++) {
    const t = nowMs();
    const r = spawnSync(cmd, args, { encoding: 'utf8', maxBuffer: 1 << 28 });
    if (r.status !== 0) throw new Error(`${cmd} ${args.join(' ')}: ${r.stderr}`);
    samples.push(nowMs() - t);
  }
  return median(samples);
}

// Nodes of 2 inputs and 2 outputs, each node's outputs linked to the next
// node's inputs by the fixture (another client): ~4 ports and ~2 links a node.
async function growTo(fixture, graph, total) {
  while (graph.nodes.length < total) {
    const ids = await fixture.addMany(Math.min(100, total - graph.nodes.length), `bg-${graph.nodes.length}`, 'Audio/Sink', 2, 2);
    graph.nodes.push(...ids);
  }
  // The mirror may trail the fixture's own view by a moment.
  const have = new Set(graph.nodes);
  await waitFor(() => quorvane.getPorts().filter((p) => have.has(p.nodeId)).length >= graph.nodes.length * 4, 30000, 'the ports');
  const ports = quorvane.getPorts();
  const byNode = new Map();
  for (const p of ports) {
    if (!byNode.has(p.nodeId)) byNode.set(p.nodeId, { in: [], out: [] });
    byNode.get(p.nodeId)[p.direction ? 'in' : 'out'].push(p.id);
  }
  const pairs = [];
  for (let i = graph.linked; i + 1 < graph.nodes.length; i++) {
    const a = byNode.get(graph.nodes[i]);
    const b = byNode.get(graph.nodes[i + 1]);
    pairs.push([a.out[0], b.in[0]], [a.out[1], b.in[1]]);
  }
  for (let i = 0; i < pairs.length; i += 200) await fixture.link(pairs.slice(i, i + 200));
  graph.linked = graph.nodes.length - 1;
  await fixture.sync();
}

// connect() making a connection of its own, until it resolves with every
// object's info, against the reference client on a context it already has
// (as connect() reuses the add-on's): connect, registry and a round trip;
// and the same binding every node, port and link and waiting for their info.
// Both warm, taken in turns. The script's hold is let go for it and taken
// again after.
async function infoConnectFigure(label, rounds) {
  quorvane.destroyPwThread();
  const ours = [];
  const registry = [];
  const bindAll = [];
  let bound = 0;
  await (await quorvane.connect()).close(); // warm
  for (let i = 0; i < rounds; i++) {
    for (let k = 0; k < 3; k++) {
      const t = nowMs();
      const g = await quorvane.connect();
      ours.push(nowMs() - t);
      await g.close();
    }
    registry.push(refClient(['connect', '3']).median_ms);
    const ref = refClient(['info', '3']);
    bindAll.push(ref.median_ms);
    bound = ref.bound;
  }
  quorvane.createPwThread();
  const [a, r, b] = [median(ours), median(registry), median(bindAll)];
  report(`connect() with all info (${label})`, `${fmt(a / b)}x the native connect + bind all + info, ` +
    `${fmt(a / r)}x the native connect + registry + round trip  ` +
    `[connect() ${fmt(a)} ms, native bind all ${fmt(b)} ms, native registry ${fmt(r)} ms, ${bound} objects]`);
  return { ms: a, objects: bound };
}

// Instructions the PipeWire thread spends per node, port and link while a
// connection takes the whole graph with every object's info (everything run
// inside the thread's main loop: the protocol, the mirror, the bindings, the
// events queued), against the reference client doing the same (connect,
// registry, bind all, info) on its loop. Counted by callgrind: no clock on a
// shared machine is that steady.
function perGlobalFigure(label) {
  const tmp = fs.mkdtempSync(path.join(require('node:os').tmpdir(), 'quorvane-cg-'));
  const count = (args, name) => {
    const out = path.join(tmp, `${name}.out`);
    const r = spawnSync('valgrind', ['--tool=callgrind', `--callgrind-out-file=${out}`, '--collect-atstart=no',
      '--toggle-collect=pw_main_loop_run', ...args], { encoding: 'utf8', timeout: 600000 });
    if (r.status !== 0) throw new Error(`callgrind failed: ${r.stderr.slice(-2000)}`);
    return Number(/^summary:\s+(\d+)/m.exec(fs.readFileSync(out, 'utf8'))[1]);
  };
  // The reference: one turn, so its loop runs for that connection only.
  const theirs = count([REF, 'info', '0'], 'ref');
  const script = `const q = require(${JSON.stringify(ROOT)});
    q.connect().then((g) => { console.log(g.nodes().length + g.ports().length + g.links().length); return g.close(); });`;
  const ours = count([process.execPath, '-e', script], 'ours');
  fs.rmSync(tmp, { recursive: true, force: true });
  const objects = quorvane.getNodes().length + quorvane.getPorts().length + quorvane.getLinks().length;
  report(`PipeWire thread per object (${label})`, `${fmt(ours / theirs)}x the native client's instructions  ` +
    `[${fmt(ours / objects)} against ${fmt(theirs / objects)} per node, port or link, ${objects} objects; callgrind]`);
}

// A node's properties changed by its owner (the fixture): from the request
// to "node-changed" in a listener, against the reference client seeing the
// same info event (both clocks CLOCK_MONOTONIC).
async function changeFigure(graph, fixture) {
  const node = await fixture.add('bg-title', 'Stream/Output/Audio', 0, 1);
  const ref = spawn(REF, ['watch', String(node.id)], { stdio: ['pipe', 'pipe', 'inherit'] });
  const refTimes = [];
  let ready = false;
  readline.createInterface({ input: ref.stdout }).on('line', (line) => {
    if (line === 'ready') ready = true;
    else refTimes.push(BigInt(JSON.parse(line).ns));
  });
  await waitFor(() => ready, 5000, 'the reference client');
  let seen = 0n;
  const onChange = (n, changed) => {
    if (n.id === node.id && changed.props) seen = process.hrtime.bigint();
  };
  graph.on('node-changed', onChange);
  const ours = [];
  const theirs = [];
  for (let i = 0; i < 110; i++) {
    const before = refTimes.length;
    seen = 0n;
    const t0 = process.hrtime.bigint();
    await fixture.setProps(node.id, { 'media.name': `title ${i}` });
    await waitFor(() => seen && refTimes.length > before, 5000, 'both to see the change');
    if (i >= 10) {
      ours.push(Number(seen - t0) / 1e3);
      theirs.push(Number(refTimes[refTimes.length - 1] - t0) / 1e3);
    }
  }
  graph.off('node-changed', onChange);
  ref.stdin.end();
  await fixture.remove(node.id);
  const [a, b] = [median(ours), median(theirs)];
  report('property change to node-changed (medium)', `${fmt(a / b)}x the reference client's info event  ` +
    `[request to listener ${fmt(a)} us, native ${fmt(b)} us]`);
}

// Memory the info costs: malloc in use by a process holding the connection
// to the large graph, with the info and without it (the knob is for this
// baseline only), medians of three processes each.
function infoMemoryFigure() {
  const malloc = path.join(ROOT, 'build-native', 'malloc-stats.node');
  if (!fs.existsSync(malloc)) return;
  const script = `const m = require(${JSON.stringify(malloc)}); const q = require(${JSON.stringify(ROOT)});
    const before = m.mallinfo().uordblks; q.createPwThread();
    setTimeout(() => { console.log(JSON.stringify({ bytes: m.mallinfo().uordblks - before, nodes: q.getNodes().length }));
      q.destroyPwThread(); }, 1500);`;
  const held = (env) => {
    const r = spawnSync(process.execPath, ['-e', script], { encoding: 'utf8', env: { ...process.env, ...env }, timeout: 30000 });
    if (r.status !== 0) throw new Error(`memory child: ${r.stderr}`);
    return JSON.parse(r.stdout).bytes;
  };
  const withInfo = median([0, 1, 2].map(() => held({})));
  const without = median([0, 1, 2].map(() => held({ QUORVANE_BENCH_NO_INFO: '1' })));
  const mib = (withInfo - without) / 1048576;
  report('info memory (large)', `${mib < 3 ? 'under' : 'OVER'} 3 MiB: ${fmt(mib)} MiB beyond the mirror without info  ` +
    `[malloc in use ${fmt(withInfo / 1048576)} MiB with, ${fmt(without / 1048576)} MiB without]`);
}

// One-shot process against process: node's own start plus one pw-link -l
// is the budget; taken in turns.
function cliFigure() {
  const bin = path.join(ROOT, 'bin', 'quorvane.js');
  const samples = [[], [], []];
  for (let i = 0; i < 9; i++) {
    samples[0].push(wallMs(process.execPath, [bin, 'nodes', '--json'], 1));
    samples[1].push(wallMs(process.execPath, ['-e', '0'], 1));
    samples[2].push(wallMs('pw-link', ['-l'], 1));
  }
  const [ours, bare, pwLink] = samples.map(median);
  const budget = bare + pwLink;
  report('quorvane nodes --json (medium)', `${fmt(ours / budget)}x node -e 0 + pw-link -l  ` +
    `[${fmt(ours)} ms; node -e 0 ${fmt(bare)} ms, pw-link -l ${fmt(pwLink)} ms]`);
}

async function linkFigure(graph, fixture) {
  const src = await fixture.add('bg-rt-src', 'Audio/Source', 0, 1);
  const sink = await fixture.add('bg-rt-sink', 'Audio/Sink', 1, 0);
  await graph.waitForNode((n) => n.id === sink.id); // the mirror may trail the fixture by a moment
  await graph.waitForPorts(sink.id, { count: 1 });
  // In turns of 20, so that a busy moment of the machine falls on both alike.
  // The anchors: a native client that binds nothing, and one that keeps
  // every object's info as the Graph does (so the daemon tells it of each
  // new link's and its ports' changes too).
  const samples = [];
  const theirs = [];
  const theirsBound = [];
  const theirsThreaded = [];
  const args = [String(src.id), String(src.outputs[0]), String(sink.id), String(sink.inputs[0]), '20'];
  for (let i = 0; i < 5; i++) await graph.unlink((await graph.link(src.outputs[0], sink.inputs[0])).id); // warm
  for (let round = 0; round < 10; round++) {
    for (let i = 0; i < 20; i++) {
      const t = nowMs();
      const link = await graph.link(src.outputs[0], sink.inputs[0]);
      samples.push(nowMs() - t);
      await graph.unlink(link.id);
    }
    theirs.push(refClient(['roundtrip', ...args]).median_us);
    theirsBound.push(refClient(['roundtrip', ...args, 'bind-all']).median_us);
    theirsThreaded.push(refClient(['threaded-roundtrip', ...args, 'bind-all']).median_us);
  }
  const ours = median(samples);
  const refUs = median(theirs);
  const boundUs = median(theirsBound);
  const threadedUs = median(theirsThreaded);
  report('graph.link() round trip (medium)', `${fmt((ours * 1000) / refUs)}x the native round trip, ` +
    `${fmt((ours * 1000) / boundUs)}x a native client holding every object's info, ` +
    `${fmt((ours * 1000) / threadedUs)}x the same with the add-on's two threads  [call to resolved ${fmt(ours * 1000)} us, ` +
    `native create to announced ${fmt(refUs)} us, holding the info ${fmt(boundUs)} us, on a thread loop ${fmt(threadedUs)} us]`);
  await fixture.remove(src.id, sink.id);
  return { refUs, threadedUs };
}

// The reference client re-linking as a route does, on a thread loop
// (`ref-client threaded-relink`): next(name) resolves with its time in us
// for the next node of that name.
async function relinkReference(name, sinkPorts) {
  const ref = spawn(REF, ['threaded-relink', name, ...sinkPorts.map(String)], { stdio: ['pipe', 'pipe', 'inherit'] });
  let ready = false;
  const times = [];
  readline.createInterface({ input: ref.stdout }).on('line', (line) => {
    if (line === 'ready') ready = true;
    else times.push(JSON.parse(line).us);
  });
  await waitFor(() => ready, 5000, 'the reference client');
  return { times, end: () => ref.stdin.end() };
}

// From the source's last port announced to the route's last link announced,
// against the reference client doing the same for another source in turns.
async function relinkFigure(graph, fixture, { refUs, threadedUs }) {
  const sink = await fixture.add('bg-route-sink', 'Audio/Sink', 'FL,FR', '0');
  await graph.waitForNode((n) => n.id === sink.id);
  await graph.waitForPorts(sink.id, { count: 2 });
  const ref = await relinkReference('bg-ref-player', sink.inputs);
  const route = graph.linkRule({ from: 'bg-route-player', to: 'bg-route-sink' });
  let lastPort = 0;
  let lastLink = 0;
  let watching = null;
  const onPort = (p) => {
    if (p.nodeId === watching) lastPort = nowMs();
  };
  const onLink = (l) => {
    if (l.srcNodeId === watching) lastLink = nowMs();
  };
  graph.on('port-created', onPort);
  graph.on('link-created', onLink);
  const samples = [];
  for (let i = 0; i < 40; i++) {
    const pending = fixture.add('bg-route-player', 'Stream/Output/Audio', '0', 'FL,FR');
    // The node's id is known from its own event, before its ports.
    const node = await graph.waitForNode('bg-route-player');
    watching = node.id;
    await waitFor(() => route.links.filter((l) => l.srcNodeId === node.id).length === 2, 5000, 'the route links');
    await waitFor(() => lastLink > 0, 5000, 'the link events');
    samples.push(lastLink - lastPort);
    await pending;
    await fixture.remove(node.id);
    await waitFor(() => route.links.length === 0, 5000, 'the links to go');
    lastLink = 0;
    const had = ref.times.length;
    const other = await fixture.add('bg-ref-player', 'Stream/Output/Audio', '0', 'FL,FR');
    await waitFor(() => ref.times.length > had, 5000, 'the reference client to link');
    await fixture.remove(other.id);
  }
  graph.off('port-created', onPort);
  graph.off('link-created', onLink);
  ref.end();
  await route.close();
  const ours = median(samples.slice(5));
  const relinkUs = median(ref.times.slice(5));
  report('route re-link latency (medium)', `${fmt((ours * 1000) / relinkUs)}x the reference client's re-link on a ` +
    `thread loop, ${fmt((ours * 1000) / refUs)}x its single-threaded link round trip, ` +
    `${fmt((ours * 1000) / threadedUs)}x its two-thread round trip  [last port announced to last link announced ` +
    `${fmt(ours * 1000)} us, native re-link on a thread loop ${fmt(relinkUs)} us, round trip ${fmt(refUs)} us, ` +
    `on a thread loop ${fmt(threadedUs)} us]`);
  await fixture.remove(sink.id);
}

// The route's own work per graph change that does not concern it: the time
// its listeners take for one node created and removed, small against large.
async function bookkeeping(graph, fixture) {
  // The route's own listeners, timed: they reach the Graph through the hook
  // its constructor is given.
  let spent = 0;
  const calls = [];
  const timed = (fn) => (...args) => {
    const t = nowMs();
    fn(...args);
    const took = nowMs() - t;
    spent += took;
    calls.push(took);
  };
  const rules = require('../lib/features/link-rules/link-rule');
  const { LinkRule } = rules;
  rules.LinkRule = class extends LinkRule {
    constructor(g, options, hooks) {
      super(g, options, { ...hooks, listen: (name, fn) => hooks.listen(name, timed(fn)) });
    }
  };
  let route;
  try {
    route = graph.linkRule({ from: { 'media.class': 'Stream/Output/Audio', 'node.name': /^never-/ }, to: 'never-sink' });
  } finally {
    rules.LinkRule = LinkRule;
  }
  const rounds = 30;
  for (let i = 0; i < rounds; i++) {
    const node = await fixture.add(`bg-churn-${i}`, 'Audio/Sink', 2, 2);
    await fixture.remove(node.id);
  }
  await fixture.sync();
  await route.close();
  // The median call, and the mean: a call the scheduler interrupts (three
  // busy threads, the daemon's included, on this machine's two cores) counts
  // in the mean with all it waited; in the median hardly.
  return { perCall: median(calls) * 1000, meanPerCall: (spent * 1000) / calls.length, calls: calls.length / rounds };
}

function propsFigures(graph) {
  // Warmed up, then taken in turns, so that a collection or a busy moment
  // of the machine falls on both alike.
  const fns = [() => quorvane.getNodes(), () => graph.nodes()];
  const samples = [[], []];
  for (let i = 0; i < 20; i++) fns.forEach((fn) => fn());
  for (let i = 0; i < 200; i++) {
    fns.forEach((fn, k) => {
      const t = nowMs();
      fn();
      samples[k].push(nowMs() - t);
    });
  }
  const [plain, withProps] = samples.map(median);
  report('graph.nodes() with props (large)', `${fmt(withProps / plain)}x getNodes()  [${fmt(withProps * 1000)} us, ` +
    `getNodes() ${fmt(plain * 1000)} us]`);
  // What the mirror holds for the properties: one packed text per record
  // (key, NUL, value, NUL ...) plus a string header of 32 bytes.
  let bytes = 0;
  for (const list of [graph.nodes(), graph.ports(), graph.links()]) {
    for (const o of list) {
      bytes += 32;
      for (const [k, v] of Object.entries(o.props)) bytes += Buffer.byteLength(k) + Buffer.byteLength(v) + 2;
    }
  }
  const mib = bytes / 1048576;
  report('properties held by the mirror (large)', `${mib <= 2 ? 'under' : 'OVER'} 2 MiB: ${fmt(mib)} MiB for ` +
    `${graph.nodes().length} nodes, ${graph.ports().length} ports, ${graph.links().length} links`);
}

// The add-on's own connection: the listing above needs the mirror while the graph grows.
const loadAverage = () => require('node:os').loadavg().map((x) => x.toFixed(2)).join(' ');

benchmark('Quorvane benchmark of the asynchronous API', async (fixture, state, held) => {
  await growTo(fixture, state, 200);
  if (process.argv.includes('--handoffs')) {
    // The hand-off figures only, with the machine's load before and after.
    const graph = (held.graph = await quorvane.connect());
    console.log(`load average ${loadAverage()}`);
    await relinkFigure(graph, fixture, await linkFigure(graph, fixture));
    console.log(`load average ${loadAverage()}`);
    return;
  }
  // A connect() beside createPwThread joins its connection and costs
  // nothing; the figure is of connect() making a connection of its own.
  const mediumConnect = await infoConnectFigure('medium', 7);
  if (!process.argv.includes('--no-callgrind')) perGlobalFigure('medium');
  cliFigure();
  const graph = (held.graph = await quorvane.connect());
  await changeFigure(graph, fixture);
  await relinkFigure(graph, fixture, await linkFigure(graph, fixture));
  const small = await bookkeeping(graph, fixture);
  if (!QUICK) {
    await growTo(fixture, state, 1000);
    await new Promise((r) => setTimeout(r, 2000)); // the daemon settles after a big build
    const large = await bookkeeping(graph, fixture);
    const growth = large.perCall / small.perCall;
    report('route bookkeeping per change', `${fmt(growth)}x the time per call on the large graph as on the medium one ` +
      `(${growth <= 1.3 ? 'independent of the graph size' : 'GROWS WITH THE GRAPH'})  ` +
      `[median call: medium ${fmt(small.perCall)} us, large ${fmt(large.perCall)} us; mean: ${fmt(small.meanPerCall)} us, ` +
      `${fmt(large.meanPerCall)} us; ${fmt(small.calls)} and ${fmt(large.calls)} calls per node created and removed]`);
    propsFigures(graph);
    await graph.close();
    const largeConnect = await infoConnectFigure('large', 3);
    infoMemoryFigure();
    report('connect() per object', `${fmt(((largeConnect.ms - mediumConnect.ms) * 1000) / (largeConnect.objects - mediumConnect.objects))} us per ` +
      `node, port or link with its info (connect() on the large graph against the medium one)`);
    held.graph = null;
  } else {
    report('route bookkeeping per change (medium)', `median call ${fmt(small.perCall)} us, mean ${fmt(small.meanPerCall)} us ` +
      `(${fmt(small.calls)} calls per node created and removed)`);
  }
});
