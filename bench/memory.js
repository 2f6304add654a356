#!/usr/bin/env node
'use strict';
// Memory under churn: does anything grow per cycle? A private daemon holds the
// medium graph (200 nodes, 800 ports, 398 links); for each kind of churn a
// fresh Node.js process connects, listens to all four events and runs
// warm-up + measured cycles, sampling after two global.gc():
//   RssAnon    anonymous resident memory (/proc/self/status)
//   malloc     bytes in use in every malloc arena (mallinfo2 uordblks, through
//              build-native/malloc-stats.node); the native side
//   V8 heap    used heap (v8.getHeapStatistics)
// and reports, per kind, the slope per 1,000 cycles after the warm-up (see
// slope(): a leak grows linearly) beside the one-off
// high-water mark (growth during the warm-up). A kind passes when the
// RssAnon and V8 heap slopes are both under 64 KiB per 1,000 cycles.
//
//   node bench/memory.js                 every kind, 20,000 measured cycles
//   node bench/memory.js --quick         10,000 measured cycles (noisier slopes)
//   node bench/memory.js --kinds node --cycles 50000
// Two kinds run through connect(), a Graph hearing every change: key-sets
// (each cycle, another client makes 25 nodes, each with a property key never
// seen before, the Graph lists them, and they go) and props-storm (each
// cycle, another client rewrites a property 20,000 times while JavaScript is
// blocked 5 s); their slopes are given per 1,000 key sets or rewrites.
//
//   options: --kinds node,link-ports,unlink-ports,link-name,connect,key-sets,props-storm
//            --warmup N (default 1,000)   --arenas (per-arena malloc sizes)
//            --trim (malloc_trim(0) before every sample: separates freed but
//            kept arena pages from memory in use)
//            --connect-cycles N (measured connect cycles; default as --cycles
//            with connect(), 100 with createPwThread())
//            --v8-defaults (let V8 resize its young generation; see runChild)
//            --node-flags "FLAGS" (more Node.js/V8 flags for each child, e.g.
//            --single-threaded to tell V8's helper threads' memory apart)
//            --wrap "heaptrack -o FILE" (run each kind under a tool)
//   environment: QUORVANE_BENCH_SMAPS=PREFIX, QUORVANE_BENCH_HEAPSNAP=PREFIX
//            write /proc/self/smaps and V8 heap snapshots at the start, the
//            end of the warm-up and the end, to PREFIX-KIND-CYCLE files
const { spawn } = require('node:child_process');
const fs = require('node:fs');
const path = require('node:path');
const v8 = require('node:v8');
const { ROOT, fmt, rssKiB, growGraph, linkChain } = require('./common');

const LIMIT_KIB = 64; // per 1,000 cycles
const KINDS = {
  node: 'node create/remove (another client)',
  'link-ports': 'linkPorts, removed by name',
  'unlink-ports': 'linkNodesNameToId + unlinkPorts',
  'link-name': 'linkNodesNameToId + unlinkNodesNameToId',
  connect: 'connect + close',
  'key-sets': '25 nodes, each with a new property key, listed by graph.nodes(), removed',
  'props-storm': '20,000 rewrites of a property while JavaScript is blocked 5 s',
};
// Kinds measured through a Graph, and the changes each cycle makes.
const GRAPH_KINDS = { 'key-sets': { changes: 25 }, 'props-storm': { changes: 20000, warmup: 2, cycles: 10, step: 1 } };
const STORM_BLOCK_MS = 5000;
// createPwThread() pauses 500 ms, so without connect() the connect kind runs
// far fewer cycles.
const SLOW_CONNECT = { warmup: 20, cycles: 100, step: 1 };
// Functions that run once per cycle (a connect runs many) become hot, and
// V8 optimises them, only after hundreds or thousands of cycles. Each
// optimisation runs on a V8 helper thread whose malloc arena keeps the
// compiler's peak, so RssAnon climbs in steps until every such function is
// optimised: a transient, not a leak (without the optimising compilers,
// --node-flags "--no-opt --no-maglev", it is gone). The first EARLY_WINDOW
// cycles after the warm-up are sampled densely and their slope is shown
// beside the whole run's, which is the one held to the limit.
const EARLY_WINDOW = 2000;

function args(argv) {
  const get = (name, dflt) => {
    const i = argv.indexOf(name);
    return i >= 0 ? argv[i + 1] : dflt;
  };
  const quick = argv.includes('--quick');
  return {
    child: get('--child', null),
    kinds: get('--kinds', Object.keys(KINDS).join(',')).split(','),
    warmup: Number(get('--warmup', 1000)),
    cycles: Number(get('--cycles', quick ? 10000 : 20000)),
    step: Number(get('--step', 0)),
    arenas: argv.includes('--arenas'),
    trim: argv.includes('--trim'),
    wrap: get('--wrap', null),
    v8Defaults: argv.includes('--v8-defaults'),
    nodeFlags: get('--node-flags', ''),
    connectCycles: Number(get('--connect-cycles', 0)),
  };
}

// ---------------------------------------------------------------- child side

function mallocStats() {
  try {
    return require(path.join(ROOT, 'build-native', 'malloc-stats.node'));
  } catch {
    return null; // not built: RssAnon and the V8 heap only
  }
}

// Per-arena sizes from malloc_info: [{ total, free }] in KiB, main arena first.
function arenas(malloc) {
  const xml = malloc.info();
  return [...xml.matchAll(/<heap nr="\d+">([\s\S]*?)<\/heap>/g)].map(([, h]) => ({
    totalKiB: Math.round(Number(/<system type="current" size="(\d+)"/.exec(h)[1]) / 1024),
    freeKiB: Math.round(Number(/<total type="fast" count="\d+" size="(\d+)"/.exec(h)[1]) / 1024 +
      Number(/<total type="rest" count="\d+" size="(\d+)"/.exec(h)[1]) / 1024),
  }));
}

const COLUMNS = ['rssKiB', 'mallocKiB', 'arenaKiB', 'v8UsedKiB', 'v8TotalKiB', 'v8PhysicalKiB', 'newSpaceKiB'];

// Samples at the planned cycles into storage allocated up front: samples
// kept as objects would themselves grow the V8 heap being measured.
function sampler(malloc, opts, plan) {
  const data = new Float64Array(plan.length * COLUMNS.length);
  let taken = 0;
  return {
    async take() {
      global.gc();
      global.gc();
      // V8's background threads sweep and free for a moment after a
      // collection; read once they are done.
      await new Promise((r) => setTimeout(r, 20));
      if (opts.trim && malloc) malloc.trim();
      const h = v8.getHeapStatistics();
      const m = malloc ? malloc.mallinfo() : null;
      const newSpace = v8.getHeapSpaceStatistics().find((sp) => sp.space_name === 'new_space');
      const row = [rssKiB(), m ? m.uordblks / 1024 : NaN, m ? (m.arena + m.hblkhd) / 1024 : NaN,
        h.used_heap_size / 1024, h.total_heap_size / 1024, h.total_physical_size / 1024, newSpace.space_size / 1024];
      data.set(row, taken++ * COLUMNS.length);
    },
    rows: () => plan.slice(0, taken).map((cycle, i) => {
      const r = { cycle };
      COLUMNS.forEach((c, j) => (r[c] = Number.isNaN(data[i * COLUMNS.length + j]) ? null : data[i * COLUMNS.length + j]));
      return r;
    }),
  };
}

// Listeners on all four events; `next(name, match)` resolves with the next
// payload of that event that `match` accepts (earlier ones are dropped).
// With `keep` false the listeners only count: nothing an event brings stays.
function eventLog(q, keep = true) {
  const queues = {};
  const waiters = {};
  const counts = {};
  for (const name of ['node-created', 'node-destroyed', 'link-created', 'link-destroyed']) {
    queues[name] = [];
    counts[name] = 0;
    q.on(name, (payload) => {
      counts[name]++;
      const w = waiters[name];
      if (w && w.match(payload)) {
        waiters[name] = null;
        w.resolve(payload);
      } else if (keep && !w) {
        queues[name].push(payload);
        if (queues[name].length > 1000) queues[name].shift(); // no waiter will want these
      }
    });
  }
  return {
    counts,
    next(name, match = () => true, timeoutMs = 10000) {
      const queue = queues[name];
      while (queue.length) {
        const p = queue.shift();
        if (match(p)) return Promise.resolve(p);
      }
      return new Promise((resolve, reject) => {
        const timer = setTimeout(() => reject(new Error(`no ${name} within ${timeoutMs} ms`)), timeoutMs);
        waiters[name] = {
          match,
          resolve: (p) => {
            clearTimeout(timer);
            resolve(p);
          },
        };
      });
    },
    clear() {
      for (const name of Object.keys(queues)) queues[name].length = 0;
    },
  };
}

const check = (ok, what) => {
  if (!ok) throw new Error(`unexpected: ${what}`);
};

// Sets up one kind of churn; resolves to { run() } doing one cycle, plus a note.
async function setUpKind(kind, q, fixture, log) {
  if (kind === 'key-sets') {
    const graph = q;
    const { waitFor } = require('../test/helpers/fixture');
    const count = GRAPH_KINDS[kind].changes;
    let cycle = 0;
    return {
      note: `through connect(); ${count} key sets a cycle`,
      async run() {
        const key = `ks.${++cycle}`;
        const ids = new Set(await fixture.addMany(count, key, `Audio/Sink;${key}.{i}=1`, 0, 0));
        await waitFor(() => graph.nodes().filter((n) => ids.has(n.id) && Object.keys(n.props).some((k) => k.startsWith(key))).length === count,
          10000, 'the new keys listed', 0);
        await fixture.remove(...ids);
        await waitFor(() => !graph.nodes().some((n) => ids.has(n.id)), 10000, 'the nodes gone', 0);
      },
    };
  }
  if (kind === 'props-storm') {
    const graph = q;
    const node = await fixture.add('mem-storm', 'Audio/Sink', 0, 0);
    let made = 0;
    let heard = -1;
    graph.on('node-changed', (n) => {
      if (n.id === node.id && Number(n.props['storm.value']) === made - 1) heard = made - 1;
    });
    const { waitFor } = require('../test/helpers/fixture');
    const { sleepSync } = require('../test/helpers/daemon');
    const count = GRAPH_KINDS[kind].changes;
    return {
      note: `through connect(); ${count.toLocaleString('en')} rewrites a cycle`,
      async run() {
        const done = fixture.propsStorm(node.id, count);
        made += count;
        sleepSync(STORM_BLOCK_MS);
        await done;
        await waitFor(() => heard === made - 1, 10000, 'the last rewrite', 0);
      },
    };
  }
  if (kind === 'node') {
    return {
      async run() {
        const n = await fixture.add('churn-node', 'Audio/Sink', 2, 2);
        await log.next('node-created', (p) => p.id === n.id);
        await fixture.remove(n.id);
        await log.next('node-destroyed', (id) => id === n.id);
      },
    };
  }
  if (kind === 'link-ports' || kind === 'unlink-ports' || kind === 'link-name') {
    const src = await fixture.add('mem-src', 'Audio/Source', 0, 1);
    const sink = await fixture.add('mem-sink', 'Audio/Sink', 1, 0);
    const [out, inp] = [src.outputs[0], sink.inputs[0]];
    await log.next('node-created', (p) => p.id === sink.id);
    const { waitFor } = require('../test/helpers/fixture');
    await waitFor(() => q.getPorts().some((p) => p.id === inp), 5000, 'the ports in the mirror');
    return {
      async run() {
        const created = log.next('link-created', (l) => l.srcPortId === out && l.sinkPortId === inp);
        if (kind === 'link-ports') q.linkPorts(out, inp);
        else check(q.linkNodesNameToId('mem-src', sink.id) === 1, 'one link request');
        const link = await created;
        const destroyed = log.next('link-destroyed', (id) => id === link.id);
        if (kind === 'link-ports') {
          // unlinkPorts removes only links made by name: the way to remove
          // this one through the module is by the node's name.
          check(q.unlinkPorts(out, inp) === false, 'unlinkPorts false for a linkPorts link');
          check(q.unlinkNodesNameToId('mem-src', sink.id) === 1, 'one link removed by name');
        } else if (kind === 'unlink-ports') {
          check(q.unlinkPorts(out, inp) === true, 'unlinkPorts true for a link made by name');
        } else {
          check(q.unlinkNodesNameToId('mem-src', sink.id) === 1, 'one link removed by name');
        }
        await destroyed;
      },
    };
  }
  throw new Error(`unknown kind ${kind}`);
}

// The connect kind: connect() → Graph, graph.close() when the module has
// them, else createPwThread()/destroyPwThread(). Each connection hears the
// whole medium graph; a cycle ends when its node-created events have all
// been dispatched.
function connectKind(mod, log) {
  const nodesSeen = () => log.counts['node-created'];
  const settle = async (before, nodes) => {
    const end = Date.now() + 10000;
    while (nodesSeen() - before < nodes) {
      if (Date.now() > end) throw new Error('the connection\'s node-created events did not all arrive');
      await new Promise((r) => setImmediate(r));
    }
    log.clear();
  };
  if (typeof mod.connect === 'function') {
    return {
      note: 'connect() / graph.close()',
      async run() {
        const before = nodesSeen();
        const graph = await mod.connect();
        const nodes = typeof graph.getNodes === 'function' ? graph.getNodes().length : mod.getNodes().length;
        check(nodes >= 200, `the mirror holds the graph (${nodes} nodes)`);
        await graph.close();
        await settle(before, nodes);
      },
    };
  }
  return {
    note: 'createPwThread() / destroyPwThread(): no connect() in index.js; 500 ms a start, ' +
      `so ${SLOW_CONNECT.warmup} warm-up cycles only`,
    slow: true,
    async run() {
      const before = nodesSeen();
      mod.createPwThread();
      // Slowed down (under a tool), the start may return before the mirror is full.
      const { waitFor } = require('../test/helpers/fixture');
      const nodes = await waitFor(() => mod.getNodes().length >= 200 && mod.getNodes().length, 10000, 'the graph in the mirror');
      mod.destroyPwThread();
      await settle(before, nodes);
    },
  };
}

async function child(opts) {
  check(typeof global.gc === 'function', 'run with node --expose-gc');
  const { Fixture, waitFor } = require('../test/helpers/fixture');
  const mod = require(path.join(ROOT, 'index'));
  const malloc = mallocStats();
  const log = eventLog(mod, opts.child !== 'connect');
  const fixture = new Fixture();
  let kind;
  let graph;
  try {
    if (opts.child === 'connect') {
      kind = connectKind(mod, log);
      // Each connection loads the whole graph: keep the run within minutes.
      if (kind.slow) Object.assign(opts, SLOW_CONNECT, opts.connectCycles ? { cycles: opts.connectCycles } : {});
      else if (opts.connectCycles) opts.cycles = opts.connectCycles;
    } else if (GRAPH_KINDS[opts.child]) {
      graph = await mod.connect();
      await waitFor(() => graph.nodes().length >= 200, 10000, 'the medium graph in the mirror');
      kind = await setUpKind(opts.child, graph, fixture, log);
    } else {
      mod.createPwThread();
      await waitFor(() => mod.getNodes().length >= 200, 10000, 'the medium graph in the mirror');
      kind = await setUpKind(opts.child, mod, fixture, log);
      log.clear();
    }
    const total = opts.warmup + opts.cycles;
    const step = opts.step || Math.max(10, Math.round(opts.cycles / 40));
    const marks = new Set([0, 100, 1000, 2000, 5000, 10000, 20000, opts.warmup, total]);
    for (const c of [1000, 5000, 20000]) marks.add(opts.warmup + c);
    const plan = [];
    for (let i = 0; i <= total; i++) {
      const after = i - opts.warmup;
      const early = after > 0 && after <= EARLY_WINDOW && after % Math.min(step, 50) === 0;
      if (marks.has(i) || early || (after >= 0 ? after % step === 0 : i % step === 0)) plan.push(i);
    }
    const samples = sampler(malloc, opts, plan);
    const arenaSnapshots = [];
    const t0 = Date.now();
    let p = 0;
    for (let i = 0; i <= total; i++) {
      if (plan[p] === i) {
        p++;
        // Diagnostics first, so what they keep is in the sample's baseline.
        if (opts.arenas && malloc && (i === opts.warmup || i === total)) arenaSnapshots.push({ cycle: i, arenas: arenas(malloc) });
        if (process.env.QUORVANE_BENCH_SMAPS && (i === 0 || i === opts.warmup || i === total))
          fs.writeFileSync(`${process.env.QUORVANE_BENCH_SMAPS}-${opts.child}-${i}`, fs.readFileSync('/proc/self/smaps'));
        if (process.env.QUORVANE_BENCH_HEAPSNAP && (i === opts.warmup || i === total))
          v8.writeHeapSnapshot(`${process.env.QUORVANE_BENCH_HEAPSNAP}-${opts.child}-${i}.heapsnapshot`);
        await samples.take();
      }
      if (i < total) await kind.run();
    }
    const seconds = (Date.now() - t0) / 1000;
    process.stdout.write(JSON.stringify({ kind: opts.child, note: kind.note, slow: !!kind.slow, warmup: opts.warmup, cycles: opts.cycles, step,
      seconds, malloc: !!malloc, samples: samples.rows(), arenaSnapshots, changes: GRAPH_KINDS[opts.child]?.changes }) + '\n');
  } finally {
    if (graph) await graph.close();
    else if (opts.child !== 'connect') mod.destroyPwThread();
    await fixture.close();
  }
}

// --------------------------------------------------------------- parent side

// Slope of `key` over the samples from `fromCycle` on, per 1,000 cycles: the
// median of the slopes between every two samples (Theil-Sen). A leak grows
// linearly and moves every pair; a lone spike or dip (a collection in a
// worker thread, an arena trimmed) moves few of them.
function slope(samples, key, fromCycle, toCycle = Infinity) {
  const pts = samples.filter((s) => s.cycle >= fromCycle && s.cycle <= toCycle && s[key] !== null);
  const slopes = [];
  for (let i = 0; i < pts.length; i++) {
    for (let j = i + 1; j < pts.length; j++) slopes.push((pts[j][key] - pts[i][key]) / (pts[j].cycle - pts[i].cycle));
  }
  if (!slopes.length) return NaN;
  slopes.sort((x, y) => x - y);
  const m = slopes.length >> 1;
  return (slopes.length % 2 ? slopes[m] : (slopes[m - 1] + slopes[m]) / 2) * 1000;
}

function runChild(kind, opts) {
  // V8 sizes its young generation by what survived so far: under any steady
  // allocation it doubles the semi-spaces now and then, up to their maximum, a
  // bounded step that would read as a slope in whatever window it falls. Held
  // at one size, the slope is the module's; --v8-defaults lets V8 choose.
  const young = opts.v8Defaults ? [] : ['--min-semi-space-size=1', '--max-semi-space-size=1'];
  const extra = opts.nodeFlags ? opts.nodeFlags.split(' ') : [];
  const own = GRAPH_KINDS[kind]?.cycles ? GRAPH_KINDS[kind] : {};
  const argv = [...young, ...extra, '--expose-gc', __filename, '--child', kind, '--warmup', String(own.warmup ?? opts.warmup),
    '--cycles', String(own.cycles ?? opts.cycles)];
  if (own.step || opts.step) argv.push('--step', String(own.step || opts.step));
  if (opts.arenas) argv.push('--arenas');
  if (opts.trim) argv.push('--trim');
  if (opts.connectCycles) argv.push('--connect-cycles', String(opts.connectCycles));
  // --wrap "heaptrack -o FILE" (or valgrind ...) runs the child under a tool.
  const wrap = opts.wrap ? opts.wrap.split(' ') : [];
  return new Promise((resolve, reject) => {
    const proc = spawn(wrap[0] || process.execPath, [...wrap.slice(1), ...(wrap.length ? [process.execPath] : []), ...argv],
      { stdio: ['ignore', 'pipe', 'inherit'] });
    let out = '';
    proc.stdout.on('data', (d) => (out += d));
    proc.on('exit', (code) => {
      if (code !== 0) return reject(new Error(`the ${kind} run failed (exit ${code})`));
      resolve(JSON.parse(out.trim().split('\n').filter((l) => l.startsWith('{')).pop()));
    });
  });
}

const verdict = (flat) => (flat === null ? 'too few cycles to tell' : flat ? 'flat' : 'GROWS');

function kib(x) {
  return x === null || x === undefined ? '-' : `${Math.round(x).toLocaleString('en')}`;
}

function printKind(r) {
  const first = r.samples[0];
  const atWarm = r.samples.find((s) => s.cycle === r.warmup);
  const rows = r.samples.filter((s, i) => [0, 100, 1000, 2000, 5000, 10000, 20000].includes(s.cycle) ||
    s.cycle === r.warmup || i === r.samples.length - 1 || [1000, 5000, 20000].includes(s.cycle - r.warmup));
  console.log(`\n${r.kind}: ${KINDS[r.kind]}${r.note ? ` [${r.note}]` : ''}; ${r.warmup.toLocaleString('en')} warm-up + ` +
    `${r.cycles.toLocaleString('en')} measured cycles in ${fmt(r.seconds)} s; graph ${r.counts}`);
  console.log('   cycles    RssAnon KiB   malloc in use KiB   malloc arenas KiB   V8 used KiB   V8 total KiB');
  const seen = new Set();
  for (const s of rows) {
    if (seen.has(s.cycle)) continue;
    seen.add(s.cycle);
    console.log(`  ${String(s.cycle.toLocaleString('en')).padStart(7)}  ${kib(s.rssKiB).padStart(12)}  ${kib(s.mallocKiB).padStart(18)}` +
      `  ${kib(s.arenaKiB).padStart(18)}  ${kib(s.v8UsedKiB).padStart(12)}  ${kib(s.v8TotalKiB).padStart(13)}`);
  }
  // The whole run on its regular grid only, so the densely sampled early
  // window does not outweigh the rest.
  const last = r.warmup + r.cycles;
  const grid = r.samples.filter((s) => !r.step || (s.cycle - r.warmup) % r.step === 0 || s.cycle === last);
  // Per 1,000 changes for the kinds that make many a cycle.
  const per = r.changes || 1;
  const rss = slope(grid, 'rssKiB', r.warmup) / per;
  const heap = slope(grid, 'v8UsedKiB', r.warmup) / per;
  const native = r.malloc ? slope(grid, 'mallocKiB', r.warmup) / per : null;
  const early = r.cycles > EARLY_WINDOW ? slope(r.samples, 'rssKiB', r.warmup, r.warmup + EARLY_WINDOW) : null;
  const highWater = atWarm.rssKiB - first.rssKiB;
  // RssAnon sways by a freed arena (about 1 MiB) from sample to sample; a
  // hundred cycles cannot show 64 KiB per 1,000 under that.
  const ok = r.slow && r.cycles < 1000 ? null : rss < LIMIT_KIB && heap < LIMIT_KIB;
  console.log(`  slope per 1,000 ${r.changes ? 'changes' : 'cycles'} after the warm-up: RssAnon ${fmt(rss)} KiB, V8 heap ${fmt(heap)} KiB` +
    `${native === null ? '' : `, malloc in use ${fmt(native)} KiB`}  -> ${verdict(ok)} (limit ${LIMIT_KIB} KiB)`);
  if (early !== null) {
    console.log(`  RssAnon slope over the first ${EARLY_WINDOW.toLocaleString('en')} cycles after the warm-up only: ${fmt(early)} KiB per 1,000` +
      ' (V8 still optimising late: see EARLY_WINDOW)');
  }
  console.log(`  one-off high-water mark (RssAnon growth during the warm-up): ${kib(highWater)} KiB`);
  for (const snap of r.arenaSnapshots || []) {
    console.log(`  arenas at cycle ${snap.cycle}: ` + snap.arenas.map((a, i) => `#${i} ${kib(a.totalKiB)} KiB (${kib(a.freeKiB)} free)`).join(', '));
  }
  return { kind: r.kind, note: r.note, per: r.changes ? 'changes' : 'cycles', warmup: r.warmup, cycles: r.cycles, rssSlopeKiB: rss, earlyRssSlopeKiB: early, v8SlopeKiB: heap,
    mallocSlopeKiB: native, highWaterKiB: highWater, flat: ok, samples: r.samples };
}

// A private daemon holding the medium graph, for one kind: long node churn
// leaves a daemon in a state where new clients may be refused, and no kind
// should inherit another's daemon.
async function withGraph(q, fn) {
  const { startDaemon } = require('../test/helpers/daemon');
  const { Fixture } = require('../test/helpers/fixture');
  const daemon = startDaemon({ objects: [] });
  const fixture = new Fixture();
  try {
    const graph = { nodes: [], linked: 0 };
    await growGraph(fixture, graph, 200);
    q.createPwThread();
    await linkChain(fixture, q, graph);
    const counts = `${q.getNodes().length} nodes, ${q.getPorts().length} ports, ${q.getLinks().length} links`;
    q.destroyPwThread();
    return await fn(counts);
  } finally {
    await fixture.close();
    daemon.stop();
  }
}

async function parent(opts) {
  const q = require(path.join(ROOT, 'lib', 'connection', 'addon.js'));
  const results = [];
  console.log(`Quorvane memory benchmark, Node.js ${process.version}, ${new Date().toISOString()}`);
  console.log('each kind: a fresh daemon with the medium graph, and a fresh process listening to all four events' +
    `${opts.v8Defaults ? '' : ' (V8 young generation held at 1 MiB semi-spaces)'}`);
  for (const kind of opts.kinds) {
    if (!KINDS[kind]) throw new Error(`unknown kind ${kind} (${Object.keys(KINDS).join(', ')})`);
    const r = await withGraph(q, async (counts) => ({ ...(await runChild(kind, opts)), counts }));
    results.push(printKind(r));
  }
  console.log('\nsummary (KiB per 1,000 cycles, or changes for the Graph kinds, after the warm-up; high-water = growth during the warm-up)');
  for (const r of results) {
    console.log(`  ${r.kind.padEnd(13)} RssAnon ${fmt(r.rssSlopeKiB).padStart(6)}` +
      `${r.earlyRssSlopeKiB === null ? '' : ` (first ${EARLY_WINDOW}: ${fmt(r.earlyRssSlopeKiB)})`}  V8 heap ${fmt(r.v8SlopeKiB).padStart(6)}` +
      `  high-water ${kib(r.highWaterKiB).padStart(6)} KiB  ${verdict(r.flat)}`);
  }
  fs.mkdirSync(path.join(ROOT, 'build-native'), { recursive: true });
  fs.writeFileSync(path.join(ROOT, 'build-native', 'memory-results.json'), JSON.stringify(results, null, 2));
  if (results.some((r) => r.flat === false)) process.exitCode = 1;
}

const opts = args(process.argv.slice(2));
(opts.child ? child(opts) : parent(opts)).catch((e) => {
  console.error(e);
  process.exitCode = 1;
});
