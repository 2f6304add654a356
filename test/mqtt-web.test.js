'use strict';
// One web page for the hosts on a broker: two private daemons, each with a
// bridge (`quorvane mqtt`), a private mosquitto, and `quorvane web --broker`
// with no PipeWire of its own, driven in Chromium.
const test = require('node:test');
const assert = require('node:assert/strict');
const { spawn, spawnSync } = require('node:child_process');
const { startDaemon } = require('./helpers/daemon');
const { pwDump, waitFor } = require('./helpers/fixture');
const { startBroker, listen, available: hasBroker } = require('./helpers/broker');
const { CLI } = require('./helpers/child');
const { startWeb, launchBrowser, openPage, available: hasChromium } = require('./helpers/web');

const skip = (!hasBroker() && 'no mosquitto') || (!hasChromium() && 'no chromium');
const daemons = skip ? [] : [startDaemon({ setEnv: false }), startDaemon({ setEnv: false })];
const bridges = [];
let broker, sub, web, browser;

const speakers = (env) => pwDump(env).find((o) => o.info?.props?.['node.name'] === 'demo-speakers');
const volumeOf = (env) => speakers(env).info.params.Props.find((p) => p.channelVolumes).channelVolumes[0];

test.before(async () => {
  if (skip) return;
  broker = await startBroker();
  sub = await listen(broker.url, ['quorvane/#']);
  for (const [i, d] of daemons.entries()) bridges.push(spawn(process.execPath, [CLI, 'mqtt', '--broker', broker.url, '--host-name', ['alpha', 'beta'][i]], { env: d.env, stdio: 'ignore' }));
  await sub.until(() => ['alpha', 'beta'].every((h) => sub.retained.get(`quorvane/${h}/status`) === 'online' && sub.retained.has(`quorvane/${h}/node/demo-speakers`)), 20000, 'both bridges');
  // No PipeWire for the web server: any connection to one would fail.
  const none = require('./helpers/cli').scratch('quorvane-nopw-');
  web = await startWeb({ ...process.env, XDG_RUNTIME_DIR: none, PIPEWIRE_RUNTIME_DIR: none, PIPEWIRE_REMOTE: 'none' }, ['--broker', broker.url]);
  browser = await launchBrowser();
});

test.after(async () => {
  await browser?.close();
  await web?.run.stop();
  for (const b of bridges) b.kill('SIGKILL');
  await sub?.client.endAsync(true);
  await broker?.close();
  for (const d of daemons) d.stop();
});

test('the page lists the hosts on the broker, draws the picked host\'s nodes, ports and links, and its volume goes to that host\'s daemon only', { skip }, async () => {
  const [alphaEnv, betaEnv] = daemons.map((d) => d.env);
  const page = await openPage(browser, web.url);
  await page.waitForFunction(() => [...document.querySelectorAll('#host option')].map((o) => o.value).join() === 'alpha,beta', null, { timeout: 10000 });
  await page.selectOption('#host', 'beta');
  const beta = speakers(betaEnv);
  const before = volumeOf(alphaEnv);
  // Beta's nodes by their ids there, each port drawn.
  await page.waitForFunction(() => document.querySelector('#host').value === 'beta', null, { timeout: 10000 });
  for (const n of pwDump(betaEnv).filter((o) => o.type === 'PipeWire:Interface:Node')) {
    await page.waitForSelector(`#node-${n.id}`, { timeout: 10000 });
    const label = n.info.props['node.description'] || n.info.props['node.name'];
    assert.ok((await page.locator(`#node-${n.id} .name`).textContent()).startsWith(label.slice(0, 20)), label);
  }
  // What the broker does not carry is not offered: no virtual devices, no levels.
  assert.deepEqual([await page.locator('#virtual-panel').isHidden(), await page.locator('#levels').isHidden()], [true, true]);
  const ports = pwDump(betaEnv).filter((o) => o.type === 'PipeWire:Interface:Port' && o.info.props['node.id'] === beta.id).length;
  assert.equal(await page.locator(`#node-${beta.id} .pin`).count(), ports, 'every port of the node drawn');

  // A link made on beta by another client is drawn, between the ports of its ends.
  const mic = pwDump(betaEnv).find((o) => o.info?.props?.['node.name'] === 'demo-microphone');
  assert.equal(spawnSync('pw-link', ['demo-microphone:capture_FL', 'demo-speakers:playback_FL'], { env: betaEnv }).status, 0);
  const link = await waitFor(() => pwDump(betaEnv).find((o) => o.type === 'PipeWire:Interface:Link' && o.info['output-node-id'] === mic.id), 5000, 'the link', 50);
  await page.waitForSelector(`#link-${link.id}`, { state: 'attached', timeout: 10000 });

  await page.locator(`#row-${beta.id} input.volume`).fill('0.5');
  await waitFor(() => Math.abs(volumeOf(betaEnv) - 0.125) <= 0.002, 10000, 'beta\'s volume at 0.5 (cubed)', 50);
  assert.equal(volumeOf(alphaEnv), before, 'alpha\'s node of the same name untouched');
  // The answer came back through the broker: no refusal shown, and the slider follows beta's new state.
  await page.waitForFunction((sel) => Math.abs(Number(document.querySelector(sel).value) - 0.5) < 0.006, `#row-${beta.id} input.volume`, { timeout: 5000 });
  assert.deepEqual(await page.locator('.message.error').allTextContents(), []);

  // Anyone may publish: a name is shown as text, a state that is not a bridge's is left out.
  const evil = { id: 7, name: '<img id="pwned" src=x>', description: null, class: 'Audio/Sink', state: 'idle', volume: 1, mute: false, ports: [[8, '<b>', 1]], links: [] };
  sub.client.publish('quorvane/evil/node/a', JSON.stringify(evil), { retain: true });
  sub.client.publish('quorvane/evil/node/b', JSON.stringify({ ...evil, id: '9', name: 'bad-id' }), { retain: true });
  sub.client.publish('quorvane/evil/node/c', '{"id":10,"__proto__":{"name":"x"}}', { retain: true });
  await page.waitForFunction(() => [...document.querySelectorAll('#host option')].some((o) => o.value === 'evil'), null, { timeout: 10000 });
  await page.selectOption('#host', 'evil');
  await page.waitForSelector('#node-7', { timeout: 10000 });
  assert.match(await page.locator('#node-7 .name').textContent(), /^<img id="pwned"/);
  assert.deepEqual([await page.locator('#pwned').count(), await page.locator('#node-9, #node-10').count(), await page.locator('#node-7 .pin').count()], [0, 0, 1]);
});
