#!/usr/bin/env node
'use strict';
// Benchmark of equalisers: the CPU time of a Node.js process holding a
// 10-band stereo equaliser (graph.createFilter()) while a 48 kHz tone plays
// through it, against the same chain loaded by `pw-cli -m load-module`, in
// turns in one run. Prints the ratio first, the absolute figures after, then
// the ratio less what a connected Node.js process costs doing nothing (its
// event loop, timers and garbage collector, which pw-cli has none of).
//   node bench/effects.js [--quick]
const { spawn } = require('node:child_process');
const fs = require('node:fs');
const readline = require('node:readline');
const path = require('node:path');

const QUICK = process.argv.includes('--quick');
const SECONDS = QUICK ? 3 : 10;
const BANDS = Array.from({ length: 10 }, (_, i) => ({ type: 'peaking', freq: 31.25 * 2 ** i, q: 1.4, gain: i % 2 ? 3 : -3 }));
const TICKS = 100; // clock ticks a second, as /proc reports CPU time

// --child SINK SECONDS: the add-on's side, in a process of its own.
async function child([sink, seconds]) {
  const graph = await require('..').connect();
  const filter = await graph.createFilter({ name: 'bench-eq', filters: BANDS, target: Number(sink) });
  console.log(`ready ${filter.id}`);
  await graph.waitForNode(() => graph.links().filter((l) => l.sinkNodeId === filter.id).length >= 2, { timeoutMs: 10000 });
  await new Promise((r) => setTimeout(r, 1000)); // the links running
  const start = process.cpuUsage();
  await new Promise((r) => setTimeout(r, Number(seconds) * 1000));
  const used = process.cpuUsage(start);
  console.log(JSON.stringify({ cpu_ms: (used.user + used.system) / 1000 }));
  await filter.close();
  await graph.close();
}

// --idle SECONDS: a connected Graph doing nothing, for its own cost.
async function idle([seconds]) {
  const graph = await require('..').connect();
  await new Promise((r) => setTimeout(r, 1000));
  const start = process.cpuUsage();
  await new Promise((r) => setTimeout(r, Number(seconds) * 1000));
  const used = process.cpuUsage(start);
  console.log(JSON.stringify({ cpu_ms: (used.user + used.system) / 1000 }));
  await graph.close();
}

// CPU time of process `pid` so far, in ms.
function cpuMs(pid) {
  const fields = fs.readFileSync(`/proc/${pid}/stat`, 'utf8').split(') ')[1].split(' ');
  return ((Number(fields[11]) + Number(fields[12])) * 1000) / TICKS;
}

async function linkAll(graph, from, to) {
  const outs = graph.ports().filter((p) => p.nodeId === from && p.direction === 0);
  const ins = graph.ports().filter((p) => p.nodeId === to && p.direction === 1);
  for (const o of outs) await graph.link(o.id, ins.find((i) => i.props['audio.channel'] === o.props['audio.channel']).id);
}

async function main() {
  const { startDaemon } = require('../test/helpers/daemon');
  const { writeTone } = require('../test/helpers/tone');
  const { spaJson } = require('../lib/features/effects/module');
  const { filterGraph } = require('../lib/features/effects/filter');
  const daemon = startDaemon();
  const graph = await require('..').connect();
  const sink = await graph.createNode({ name: 'bench-eq-sink' });
  const file = path.join(daemon.dir, 'tone.wav');
  writeTone(file, 2 * SECONDS + 60, [0.5, 0.5]);
  const player = spawn('pw-cat', ['--playback', '--target', '0', '-P', '{ node.name = bench-tone adapter.auto-port-config = "{ mode = dsp monitor = false control = false position = preserve }" }', file], { env: daemon.env, stdio: 'ignore' });
  const tone = await graph.waitForNode('bench-tone');
  await graph.waitForPorts(tone.id, { direction: 'out', count: 2 });

  // The add-on's equaliser.
  const ours = await new Promise((resolve, reject) => {
    const p = spawn(process.execPath, [__filename, '--child', sink.id, SECONDS], { env: daemon.env, stdio: ['ignore', 'pipe', 'inherit'] });
    readline.createInterface({ input: p.stdout }).on('line', (line) => {
      if (line.startsWith('ready ')) linkAll(graph, tone.id, Number(line.slice(6))).catch(reject);
      else if (line.startsWith('{')) resolve(JSON.parse(line));
    });
    p.on('exit', (code) => code && reject(new Error(`the child ended with ${code}`)));
  });

  // The same chain in pw-cli.
  const port = '{ mode = dsp monitor = false control = false position = preserve }';
  const args = {
    'audio.channels': 2,
    'audio.position': ['FL', 'FR'],
    'audio.rate': 48000,
    'filter.graph': filterGraph(BANDS, 0),
    'capture.props': { 'node.name': 'ref-eq', 'media.class': 'Audio/Sink', 'adapter.auto-port-config': port },
    'playback.props': { 'node.name': 'ref-eq.output', 'node.passive': true, 'adapter.auto-port-config': port },
  };
  const cli = spawn('pw-cli', ['-m', 'load-module', 'libpipewire-module-filter-chain', spaJson(args)], { env: daemon.env, stdio: ['pipe', 'ignore', 'inherit'] });
  const [input, output] = [await graph.waitForNode('ref-eq'), await graph.waitForNode('ref-eq.output')];
  await graph.waitForPorts(input.id, { count: 2 });
  await graph.waitForPorts(output.id, { count: 2 });
  await linkAll(graph, output.id, sink.id);
  await linkAll(graph, tone.id, input.id);
  await new Promise((r) => setTimeout(r, 1000)); // the links running
  const before = cpuMs(cli.pid);
  await new Promise((r) => setTimeout(r, SECONDS * 1000));
  const ref = { cpu_ms: cpuMs(cli.pid) - before };
  cli.kill();

  console.log(`a 10-band stereo equaliser at 48 kHz, CPU over ${SECONDS} s (user + system), quorvane / pw-cli -m load-module`);
  console.log(`ratio ${(ours.cpu_ms / Math.max(ref.cpu_ms, 1)).toFixed(2)}  quorvane ${ours.cpu_ms.toFixed(0)} ms  pw-cli ${ref.cpu_ms.toFixed(0)} ms`);
  const base = await new Promise((resolve, reject) => {
    const p = spawn(process.execPath, [__filename, '--idle', SECONDS], { env: daemon.env, stdio: ['ignore', 'pipe', 'inherit'] });
    readline.createInterface({ input: p.stdout }).on('line', (line) => line.startsWith('{') && resolve(JSON.parse(line)));
    p.on('exit', (code) => code && reject(new Error(`the idle child ended with ${code}`)));
  });
  const above = Math.max(ours.cpu_ms - base.cpu_ms, 0);
  console.log(`less an idle connected process (${base.cpu_ms.toFixed(0)} ms): ratio ${(above / Math.max(ref.cpu_ms, 1)).toFixed(2)}  quorvane ${above.toFixed(0)} ms`);
  console.log(`load average: ${require('node:os').loadavg().map((x) => x.toFixed(2)).join(' ')}`);
  player.kill();
  await graph.close();
  daemon.stop();
}

if (process.argv[2] === '--child') child(process.argv.slice(3)).catch((e) => (console.error(e), process.exit(1)));
else if (process.argv[2] === '--idle') idle(process.argv.slice(3)).catch((e) => (console.error(e), process.exit(1)));
else main().catch((e) => (console.error(e), process.exit(1)));
