#!/usr/bin/env node
'use strict';
// Benchmark of level meters: the CPU time of a Node.js process running 1, 10
// and 100 meters at 20 Hz on a sink's monitor ports (graph.meter()), against
// the native reference client (bench/ref-meter) running as many
// peak-detecting capture streams on the same ports, in turns in one run,
// while a tone plays into the sink. Prints the ratio first, the absolute
// figures after (with how long a level takes from the end of its interval
// to its listener, p50 and p99 by the wall clock), and the load average.
//   node bench/meter.js [--quick]
const { spawn } = require('node:child_process');
const readline = require('node:readline');
const path = require('node:path');

const ROOT = path.join(__dirname, '..');
const REF = path.join(ROOT, 'build-native', 'ref-meter');
const QUICK = process.argv.includes('--quick');
const SECONDS = QUICK ? 3 : 10;
const WARM_UP_S = QUICK ? 1 : 3;
const COUNTS = [1, 10, 100];
const RATE_HZ = 20;

// --child SINK N RATE SECONDS: the add-on's side, in a process of its own.
async function child([sink, n, rate, seconds]) {
  const graph = await require('..').connect();
  const meters = Array.from({ length: Number(n) }, () => graph.meter(Number(sink), { rateHz: Number(rate) }));
  const measured = new Set();
  let levels = 0;
  let measuring = false;
  const delays = []; // ms from a level's interval end (its t) to its listener
  for (const m of meters) m.on('level', (l) => (measured.add(m), measuring && (levels++, delays.push(Date.now() - l.t))));
  for (const end = Date.now() + 20000; measured.size < meters.length; await new Promise((r) => setTimeout(r, 100))) {
    if (Date.now() > end) throw new Error(`only ${measured.size} of ${meters.length} meters measured within 20 s`);
  }
  // Warmed up first: the level path's JavaScript compiled to its later tiers,
  // as it is in a meter that runs for minutes (the native side has no such
  // start), so that the turn measures what a running meter costs.
  await new Promise((r) => setTimeout(r, WARM_UP_S * 1000));
  console.log('ready');
  measuring = true;
  const start = process.cpuUsage();
  await new Promise((r) => setTimeout(r, Number(seconds) * 1000));
  const used = process.cpuUsage(start);
  delays.sort((a, b) => a - b);
  const at = (q) => delays[Math.min(delays.length - 1, Math.floor(q * delays.length))] ?? null;
  console.log(JSON.stringify({ cpu_ms: (used.user + used.system) / 1000, levels, p50: at(0.5), p99: at(0.99) }));
  await Promise.all(meters.map((m) => m.close()));
  await graph.close();
}

// Runs `command` until it prints its figures; resolves with them.
function run(command, args, env) {
  return new Promise((resolve, reject) => {
    const p = spawn(command, args, { env, stdio: ['ignore', 'pipe', 'inherit'] });
    const timer = setTimeout(() => (p.kill('SIGKILL'), reject(new Error(`${path.basename(args[0] ?? command)} did not finish`))), (SECONDS + 60) * 1000);
    readline.createInterface({ input: p.stdout }).on('line', (line) => {
      if (line.startsWith('{')) resolve(JSON.parse(line));
    });
    p.on('exit', () => clearTimeout(timer));
  });
}

async function main() {
  const { startDaemon } = require('../test/helpers/daemon');
  const { waitFor } = require('../test/helpers/fixture');
  const { writeTone } = require('../test/helpers/tone');
  const daemon = startDaemon();
  const graph = await require('..').connect();
  const sink = await graph.createNode({ name: 'bench-meter-sink', linger: false });
  // A tone into the sink, so that it runs: a stream whose ports its adapter sets up itself.
  const file = path.join(daemon.dir, 'tone.wav');
  writeTone(file, SECONDS * COUNTS.length * 2 + 60, [0.5, 0.5]);
  const player = spawn('pw-cat', ['--playback', '--target', '0', '-P', '{ node.name = bench-tone adapter.auto-port-config = "{ mode = dsp monitor = false control = false position = preserve }" }', file], { env: daemon.env, stdio: 'ignore' });
  const tone = await graph.waitForNode('bench-tone');
  const outs = await graph.waitForPorts(tone.id, { direction: 'out', count: 2 });
  const ins = graph.ports().filter((p) => p.nodeId === sink.id && p.direction === 1);
  for (let i = 0; i < 2; i++) await graph.link(outs[i].id, ins[i].id);
  const monitors = graph.ports().filter((p) => p.nodeId === sink.id && p.direction === 0).map((p) => p.id);
  await waitFor(() => graph.links().length >= 2, 5000, 'the tone linked');
  console.log(`meters at ${RATE_HZ} Hz on a stereo monitor, CPU over ${SECONDS} s (user + system), quorvane / native`);
  // Each side connected with no meter first: what a process of its kind
  // costs by itself (Node.js's own timers and collector, the connection), so
  // that the meters' own cost can be told apart from it.
  const idle = { ours: await run(process.execPath, [__filename, '--child', sink.id, 0, RATE_HZ, SECONDS], daemon.env), ref: await run(REF, [sink.id, 0, RATE_HZ, SECONDS, ...monitors].map(String), daemon.env) };
  console.log(`  0 meters: quorvane ${idle.ours.cpu_ms.toFixed(0)} ms, native ${idle.ref.cpu_ms.toFixed(0)} ms (each process connected, measuring nothing)`);
  for (const n of COUNTS) {
    const ours = await run(process.execPath, [__filename, '--child', sink.id, n, RATE_HZ, SECONDS], daemon.env);
    const ref = await run(REF, [sink.id, n, RATE_HZ, SECONDS, ...monitors].map(String), daemon.env);
    const ratio = ours.cpu_ms / Math.max(ref.cpu_ms, 1);
    const own = Math.max(ours.cpu_ms - idle.ours.cpu_ms, 0) / Math.max(ref.cpu_ms - idle.ref.cpu_ms, 1);
    console.log(
      `${String(n).padStart(3)} meters: ratio ${ratio.toFixed(2)} (the meters' own, each side's idle process less: ${own.toFixed(2)})  quorvane ${ours.cpu_ms.toFixed(0)} ms (${ours.levels} levels, interval end to listener p50 ${ours.p50} ms p99 ${ours.p99} ms)  native ${ref.cpu_ms.toFixed(0)} ms (${ref.levels} levels)`,
    );
  }
  console.log(`load average: ${require('node:os').loadavg().map((x) => x.toFixed(2)).join(' ')}`);
  player.kill();
  await graph.close();
  daemon.stop();
}


if (process.argv[2] === '--child') child(process.argv.slice(3)).catch((e) => (console.error(e), process.exit(1)));
else main().catch((e) => (console.error(e), process.exit(1)));
