#!/usr/bin/env node
'use strict';
// One-shot commands of the quorvane tool, each a process of its own, beside
// what they are measured against: `node -e 0` (Node.js's own start) and
// `pw-link -l` (PipeWire's tool listing the same graph), on the medium graph
// (200 nodes of 2 inputs and 2 outputs, chained by links) of a private
// daemon. The floor is `node -e 0` + 2 x `pw-link -l`; each command is shown
// against it. Runs are taken in turns, so that a change of load hits all
// commands alike; the figure is the median wall time.
//   node bench/cli.js [--runs N] [--compare OTHER/bin/quorvane.js]
// --compare: nodes --json and volume of another tree's tool too, in the same turns.
const { spawnSync } = require('node:child_process');
const path = require('node:path');
const os = require('node:os');
const { startDaemon } = require('../test/helpers/daemon');
const { Fixture, pwMetadata } = require('../test/helpers/fixture');
const { ROOT, median, nowNs, ms, fmt, growGraph, linkChain } = require('./common');

const option = (name) => (process.argv.includes(name) ? process.argv[process.argv.indexOf(name) + 1] : undefined);
const RUNS = Number(option('--runs')) || 21;
const OTHER = option('--compare');
const CLI = path.join(ROOT, 'bin', 'quorvane.js');
const NODES = 200;

// run(cmd, args) → wall milliseconds of one run; throws when it fails.
function run(cmd, args) {
  const t = nowNs();
  const r = spawnSync(cmd, args, { encoding: 'utf8', maxBuffer: 1 << 28, timeout: 30000 });
  const took = ms(nowNs() - t);
  if (r.status !== 0) throw new Error(`${cmd} ${args.join(' ')} exited ${r.status}: ${r.stderr}`);
  return took;
}

const quorvane = (...args) => [process.execPath, [CLI, ...args]];

// Each figure: a label and the runs of one turn (a pair that leaves the
// graph as it found it is timed as its two halves).
function figures(ports) {
  const [out, inp] = ports;
  let up = true;
  return [
    { label: 'node -e 0', turn: () => [run(process.execPath, ['-e', '0'])] },
    { label: 'pw-link -l', turn: () => [run('pw-link', ['-l'])] },
    { label: 'quorvane nodes --json', turn: () => [run(...quorvane('nodes', '--json'))] },
    { label: 'quorvane nodes', turn: () => [run(...quorvane('nodes'))] },
    { label: 'quorvane ports --json', turn: () => [run(...quorvane('ports', '--json'))] },
    { label: 'quorvane links --json', turn: () => [run(...quorvane('links', '--json'))] },
    {
      label: 'quorvane volume @DEFAULT_AUDIO_SINK@ 5%+',
      // Up and down in turns, so that the volume stays in range.
      turn: () => [run(...quorvane('volume', '@DEFAULT_AUDIO_SINK@', (up = !up) ? '5%-' : '5%+'))],
    },
    { label: 'quorvane volume demo-speakers (get)', turn: () => [run(...quorvane('volume', 'demo-speakers'))] },
    { label: 'quorvane mute demo-speakers', turn: () => [run(...quorvane('mute', 'demo-speakers'))] },
    { label: 'quorvane default', turn: () => [run(...quorvane('default'))] },
    { label: 'quorvane move STREAM TARGET', turn: () => [run(...quorvane('move', 'demo-microphone', 'demo-speakers'))] },
    {
      label: 'quorvane link --linger / unlink',
      turn: () => [run(...quorvane('link', '--linger', String(out), String(inp))), run(...quorvane('unlink', String(out), String(inp)))],
    },
    {
      label: 'quorvane create --linger / destroy',
      turn: () => [run(...quorvane('create', 'sink', 'bench-cli-sink', '--linger')), run(...quorvane('destroy', 'bench-cli-sink'))],
    },
    ...(OTHER
      ? [
          { label: 'compared: nodes --json', turn: () => [run(process.execPath, [OTHER, 'nodes', '--json'])] },
          { label: 'compared: volume @DEFAULT_AUDIO_SINK@ 5%+', turn: () => [run(process.execPath, [OTHER, 'volume', '@DEFAULT_AUDIO_SINK@', up ? '5%+' : '5%-'])] },
        ]
      : []),
  ];
}

async function main() {
  const daemon = startDaemon(); // demo-speakers (a sink with a volume) and demo-microphone
  const fixture = new Fixture();
  const quorvaneApi = require(ROOT);
  try {
    console.log(`quorvane one-shot commands, Node.js ${process.version}, ${new Date().toISOString()}, ${RUNS} runs each`);
    await fixture.addMetadata('default');
    pwMetadata([0, 'default.audio.sink', '{"name":"demo-speakers"}', 'Spa:String:JSON']);
    quorvaneApi.createPwThread();
    const state = await growGraph(fixture, { nodes: [], linked: 0 }, NODES);
    await linkChain(fixture, quorvaneApi, state);
    // A free pair for link / unlink: the last node's outputs go nowhere, the first's inputs come from nowhere.
    const ports = quorvaneApi.getPorts();
    const last = state.nodes[state.nodes.length - 1];
    const pair = [ports.find((p) => p.nodeId === last && p.direction === 0).id, ports.find((p) => p.nodeId === state.nodes[0] && p.direction === 1).id];
    const graph = `${quorvaneApi.getNodes().length} nodes, ${ports.length} ports, ${quorvaneApi.getLinks().length} links`;
    quorvaneApi.destroyPwThread(); // the benchmark's own client is not part of what is measured
    console.log(`graph: ${graph}`);

    const all = figures(pair);
    for (const f of all) f.turn(); // warm-up: the page cache and Node.js's compile cache
    const samples = all.map(() => []);
    for (let i = 0; i < RUNS; i++) {
      all.forEach((f, k) => {
        const times = f.turn();
        samples[k].push(times);
      });
    }
    const medians = samples.map((s) => s[0].map((_, part) => median(s.map((t) => t[part]))));
    const floor = medians[0][0] + 2 * medians[1][0];
    console.log(`floor (node -e 0 + 2 x pw-link -l): ${fmt(floor)} ms`);
    all.forEach((f, k) => {
      const parts = medians[k];
      const text = parts.map((m) => `${fmt(m)} ms`).join(' / ');
      const ratios = parts.map((m) => `${(m / floor).toFixed(2)}x`).join(' / ');
      console.log(`${f.label.padEnd(44)} ${text.padEnd(20)} ${k < 2 ? '' : `${ratios} of the floor`}`);
    });
    console.log(`load average: ${os.loadavg().map((l) => l.toFixed(2)).join(' ')} (${os.cpus().length} cores)`);
  } finally {
    await fixture.close();
    daemon.stop();
  }
}

main().catch((e) => {
  console.error(e);
  process.exitCode = 1;
});
