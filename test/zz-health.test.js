'use strict';
const test = require('node:test');
const path = require('node:path');
const { spawnSync, spawn } = require('node:child_process');
const { startFleet } = require('./helpers/fleet');
const { listen } = require('./helpers/broker');
const { waitFor } = require('./helpers/fixture');
const { writeTone } = require('./helpers/tone');
test('diag', { timeout: 120000 }, async (t) => {
  const fleet = await startFleet(['alpha', 'beta']);
  t.after(() => fleet.stop());
  const { alpha, beta } = fleet.hosts;
  await Promise.all([alpha.startBridge(), beta.startBridge()]);
  const broker = await listen(`mqtt+unix://${fleet.socket}`, ['quorvane/#', 'test/#']);
  t.after(() => broker.client.endAsync());
  const tone = writeTone(path.join(fleet.dir, 't.wav'), 60, [0.5, 0.5]);
  alpha.play('tone-a', tone);
  await waitFor(() => alpha.dump().some((o) => o.info?.props?.['node.name'] === 'tone-a'), 10000);
  await broker.until(() => broker.retained.get('quorvane/beta/fleet'), 10000);
  const a = await broker.ask('quorvane/alpha/set', JSON.stringify({ op: 'stream', from: 'alpha:tone-a', to: 'beta:beta-speakers' }), { timeoutMs: 20000 });
  console.log(JSON.stringify(a).slice(0, 200));
  const top = spawn('pw-top', ['-b', '-n', '40'], { env: beta.daemon.env });
  let out = ''; top.stdout.on('data', (d) => (out += d));
  for (let i = 0; i < 3; i++) {
    await new Promise((r) => setTimeout(r, 500));
    beta.bridge.child.kill('SIGSTOP');
    await new Promise((r) => setTimeout(r, 300));
    beta.bridge.child.kill('SIGCONT');
  }
  await new Promise((r) => top.on('exit', r));
  console.log(out.split('\n').filter((l) => /quorvane|speakers|ERR/.test(l)).slice(-30).join('\n'));
  console.log(spawnSync('pw-dump', [], { env: beta.daemon.env, encoding: 'utf8' }).stdout.split('\n').filter((l) => /node.async|node.driver|node.name"|node.group|priority.driver/.test(l)).join('\n'));
});
