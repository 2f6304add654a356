#!/usr/bin/env node
'use strict';
// Benchmark of volume control: graph.setVolume() until resolved, against the
// native reference client (bench/ref-control) setting the same node's Props
// param and waiting for its param event, single-threaded and in the add-on's
// two-thread shape (`threaded`), warm, samples taken in turns in one run; and the processes a script would otherwise spawn, `wpctl set-volume`
// (beside WirePlumber, started as the tests start it) and `pw-cli set-param`.
// Prints one line per figure, the ratio first, the absolute figures after.
//   node bench/control.js [--quick]
const { spawn, spawnSync } = require('node:child_process');
const readline = require('node:readline');
const path = require('node:path');
const { startDaemon } = require('../test/helpers/daemon');
const { waitFor } = require('../test/helpers/fixture');
const { startSessionManager } = require('../test/helpers/session-manager');

const ROOT = path.join(__dirname, '..');
const REF = path.join(ROOT, 'build-native', 'ref-control');
const QUICK = process.argv.includes('--quick');
const SAMPLES = QUICK ? 60 : 300;
const WARM = 30;
// Each turn sets the volume this many times in a row: the first of a turn
// starts from idle, the others warm.
const BURST = 5;
const PROCESS_RUNS = QUICK ? 10 : 30;

const quantile = (xs, q) => [...xs].sort((a, b) => a - b)[Math.min(xs.length - 1, Math.floor(xs.length * q))];
const median = (xs) => quantile(xs, 0.5);
const fmt = (x, digits = 3) => (x >= 100 ? x.toFixed(0) : x.toPrecision(digits));
const nowNs = () => process.hrtime.bigint();
function report(figure, text) {
  console.log(`${figure.padEnd(40)} ${text}`);
}

// The reference client on node `id`: set(values) sets them in turn and
// resolves with the time of each in us.
async function startReference(id, env, threaded = false) {
  const ref = spawn(REF, [String(id), ...(threaded ? ['threaded'] : [])], { env, stdio: ['pipe', 'pipe', 'inherit'] });
  let answer = null;
  let ready = false;
  readline.createInterface({ input: ref.stdout }).on('line', (line) => {
    if (line === 'ready') ready = true;
    else answer?.(JSON.parse(line).ns.map((ns) => ns / 1e3));
  });
  await waitFor(() => ready, 5000, 'the reference client');
  return {
    set(values) {
      return new Promise((resolve, reject) => {
        const timer = setTimeout(() => reject(new Error('the reference client did not answer')), 5000);
        answer = (times) => (clearTimeout(timer), (answer = null), resolve(times));
        ref.stdin.write(`${values.join(' ')}\n`);
      });
    },
    end: () => ref.stdin.end(),
  };
}

// Linear values, each different from the one set before it, so every
// request changes the node. In turns: a burst of ours, one of each reference.
async function setVolumeFigure(graph, id, [ref, threadedRef], samples, label) {
  const ours = { warm: [], idle: [] };
  const theirs = { warm: [], idle: [] };
  const threaded = { warm: [], idle: [] };
  const keep = (into, times) => {
    into.idle.push(times[0]);
    into.warm.push(...times.slice(1));
  };
  for (let turn = 0; turn < Math.ceil((WARM + samples) / (BURST - 1)); turn++) {
    const values = Array.from({ length: BURST }, (_, k) => 0.2 + ((turn * BURST + k) % 100) / 1000);
    const times = [];
    for (const v of values) {
      const t0 = nowNs();
      await graph.setVolume(id, v, { scale: 'linear' });
      times.push(Number(nowNs() - t0) / 1e3);
    }
    const native = await ref.set(values.map((v) => v + 0.3));
    const twoThreads = await threadedRef.set(values.map((v) => v + 0.4));
    if (turn * (BURST - 1) >= WARM) keep(ours, times), keep(theirs, native), keep(threaded, twoThreads);
  }
  const [a, b, t] = [median(ours.warm), median(theirs.warm), median(threaded.warm)];
  const spread = (xs) => `p10-p90 ${fmt(quantile(xs, 0.1))}-${fmt(quantile(xs, 0.9))}`;
  report(
    `setVolume() until resolved${label}`,
    `${fmt(a / b)}x the reference client's set-param to param event, ${fmt(a / t)}x its two-thread form  ` +
      `[setVolume ${fmt(a)} us (${spread(ours.warm)}), native ${fmt(b)} us (${spread(theirs.warm)}), ` +
      `on a thread loop ${fmt(t)} us (${spread(threaded.warm)}), ${ours.warm.length} warm samples each]`,
  );
  const [c, d, e] = [median(ours.idle), median(theirs.idle), median(threaded.idle)];
  report(
    `  the first of a turn, from idle${label}`,
    `${fmt(c / d)}x, ${fmt(c / e)}x the two-thread form  [setVolume ${fmt(c)} us, native ${fmt(d)} us, ` +
      `on a thread loop ${fmt(e)} us, ${ours.idle.length} samples each]`,
  );
  return a;
}

async function main() {
  const daemon = startDaemon({ objects: [{ name: 'bc-sink', mediaClass: 'Audio/Sink', positions: ['FL', 'FR'] }] });
  const quorvane = require(ROOT);
  let graph, sm;
  let refs = [];
  try {
    graph = await quorvane.connect();
    const id = (await graph.waitForNode('bc-sink')).id;
    refs = [await startReference(id, daemon.env), await startReference(id, daemon.env, true)];
    console.log(`load average ${require('node:os').loadavg().map((x) => x.toFixed(2)).join(' ')}`);
    const a = await setVolumeFigure(graph, id, refs, SAMPLES, '');

    // Beside WirePlumber, which hears every change too (its mixer), and
    // which wpctl needs.
    sm = await startSessionManager(daemon);
    await setVolumeFigure(graph, id, refs, Math.round(SAMPLES / 3), ', beside WirePlumber');

    // What a script would otherwise spawn, a process per change; each run
    // waits for the process to exit.
    const processMs = (cmd, args) => {
      const samples = [];
      for (let i = 0; i < PROCESS_RUNS; i++) {
        const t0 = nowNs();
        const r = spawnSync(cmd, args(i), { env: sm.env, encoding: 'utf8', timeout: 10000 });
        if (r.status !== 0) throw new Error(`${cmd} failed: ${r.stderr}`);
        samples.push(Number(nowNs() - t0) / 1e6);
      }
      return median(samples);
    };
    const wpctl = processMs('wpctl', (i) => ['set-volume', String(id), String(0.3 + (i % 10) / 100)]);
    const pwcli = processMs('pw-cli', (i) => ['set-param', String(id), 'Props', `{ channelVolumes: [ ${0.3 + (i % 10) / 100}, 0.3 ] }`]);
    const ms = a / 1000;
    report('wpctl set-volume, as a process', `${fmt(wpctl / ms)}x setVolume()  [${fmt(wpctl)} ms a process, median of ${PROCESS_RUNS}]`);
    report('pw-cli set-param, as a process', `${fmt(pwcli / ms)}x setVolume()  [${fmt(pwcli)} ms a process, median of ${PROCESS_RUNS}]`);
    console.log(`load average ${require('node:os').loadavg().map((x) => x.toFixed(2)).join(' ')}`);
  } finally {
    for (const ref of refs) ref.end();
    await graph?.close();
    await sm?.stop();
    daemon.stop();
  }
}

main().catch((e) => {
  console.error(e);
  process.exitCode = 1;
});
