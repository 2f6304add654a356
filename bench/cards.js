#!/usr/bin/env node
'use strict';
// Benchmark of profile selection: graph.setProfile() from the call until the
// device's "Profile" param shows the profile, against the process a script
// would otherwise spawn, `wpctl set-profile` (which ends once its request is
// sent, without waiting for the device), on the fixture's card, in turns in
// one run. Prints one line per figure, the ratio first.
//   node bench/cards.js [--quick]
const { spawn } = require('node:child_process');
const { startDaemon } = require('../test/helpers/daemon');
const { DeviceFixture } = require('../test/helpers/device-fixture');

const RUNS = process.argv.includes('--quick') ? 20 : 100;
const WARM = 5;
const median = (xs) => [...xs].sort((a, b) => a - b)[Math.floor(xs.length / 2)];
const ms = (t0) => Number(process.hrtime.bigint() - t0) / 1e6;

function wpctl(args, env) {
  return new Promise((resolve, reject) => {
    const child = spawn('wpctl', args, { env, stdio: 'ignore' });
    child.on('error', reject);
    child.on('exit', (code) => (code === 0 ? resolve() : reject(new Error(`wpctl ${args.join(' ')}: exit ${code}`))));
  });
}

async function main() {
  const daemon = startDaemon({ objects: [] });
  const card = new DeviceFixture(daemon.env);
  const id = await card.add('alsa_card.bench');
  const graph = await require('..').connect();
  const ours = [];
  const theirs = [];
  try {
    for (let i = 0; i < WARM + RUNS; i++) {
      // The stereo output, then off by wpctl: each request changes the device.
      let t0 = process.hrtime.bigint();
      await graph.setProfile(id, 1);
      if (i >= WARM) ours.push(ms(t0));
      t0 = process.hrtime.bigint();
      await wpctl(['set-profile', String(id), '0'], daemon.env);
      if (i >= WARM) theirs.push(ms(t0));
    }
  } finally {
    await graph.close();
    await card.close();
    daemon.stop();
  }
  const [a, b] = [median(ours), median(theirs)];
  console.log(`${'setProfile vs wpctl set-profile'.padEnd(40)} ${(b / a).toFixed(1)}x faster (median ${a.toFixed(2)} ms to the device showing it, against ${b.toFixed(2)} ms for the process; ${RUNS} each)`);
}

main().catch((e) => {
  console.error(e);
  process.exit(1);
});
