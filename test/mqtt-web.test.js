'use strict';
// One web page for the hosts on a broker: two private daemons, each with a
// bridge (`quorvane mqtt`), a private mosquitto, and `quorvane web --broker`
// with no PipeWire of its own, driven in Chromium. The bridges share this
// machine's network: a stream between them goes over loopback.
const test = require('node:test');
const assert = require('node:assert/strict');
const { spawn, spawnSync } = require('node:child_process');
const { startDaemon } = require('./helpers/daemon');
const { pwDump, waitFor } = require('./helpers/fixture');
const { startBroker, listen, available: hasBroker } = require('./helpers/broker');
const { CLI } = require('./helpers/child');
const { startWeb, launchBrowser, openPage, socket, wsUrl, mouseDrag, available: hasChromium } =
  require('./helpers/web');
const { streamId } = require('../lib/protocol/stream-record');

const skip = (!hasBroker() && 'no mosquitto') || (!hasChromium() && 'no chromium');
const daemons = skip ? [] : [startDaemon({ setEnv: false }), startDaemon({ setEnv: false })];
const [alphaEnv, betaEnv] = daemons.map((d) => d.env);
const bridges = [];
let broker, sub, web, browser;

const nodeNamed = (env, name) => pwDump(env).find((o) => o.type === 'PipeWire:Interface:Node' && o.info.props['node.name'] === name);
const volumeOf = (env) => nodeNamed(env, 'demo-speakers').info.params.Props.find((p) => p.channelVolumes).channelVolumes[0];

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
  const page = await openPage(browser, web.url);
  await page.waitForFunction(() => [...document.querySelectorAll('#host option')].map((o) => o.value).join() === 'alpha,beta', null, { timeout: 10000 });
  await page.selectOption('#host', 'beta');
  const [beta, before] = [nodeNamed(betaEnv, 'demo-speakers'), volumeOf(alphaEnv)];
  // Beta's nodes by their ids there, each port drawn.
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
  const mic = nodeNamed(betaEnv, 'demo-microphone');
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
  await page.selectOption('#host', 'evil', { timeout: 10000 }); // once the option is there
  await page.waitForSelector('#node-7', { timeout: 10000 });
  assert.match(await page.locator('#node-7 .name').textContent(), /^<img id="pwned"/);
  assert.deepEqual([await page.locator('#pwned').count(), await page.locator('#node-9, #node-10').count(), await page.locator('#node-7 .pin').count()], [0, 0, 1]);
});

// Drags the box `from` (its head) onto the element `to`, in steps.
async function drag(page, from, to) {
  const [a, b] = [await page.locator(from).boundingBox(), await page.locator(to).boundingBox()];
  await mouseDrag(page, [{ x: a.x + 30, y: a.y + 8 }, { x: b.x + b.width / 2, y: b.y + b.height / 2 }], 8);
}

test('a node dragged onto another host\'s sink streams to it through the broker; the page shows the stream and removes both its ends', { skip, timeout: 60000 }, async () => {
  const page = await openPage(browser, web.url);
  await page.selectOption('#host', 'alpha', { timeout: 10000 }); // once the option is there
  const [speakers, mic] = ['demo-speakers', 'demo-microphone'].map((name) => nodeNamed(alphaEnv, name));
  await page.waitForSelector(`#node-${speakers.id} .head`, { timeout: 10000 });
  // The other host's sinks are the targets; none of the host shown, nor its microphone.
  const target = '.fleet-target[title="beta:demo-speakers"]';
  await page.waitForSelector(target, { timeout: 10000 });
  assert.deepEqual([await page.locator('.fleet-target[title^="alpha:"]').count(), await page.locator('.fleet-target[title="beta:demo-microphone"]').count()], [0, 0]);

  // A capture device is not sent: alpha's rule says why, as the page's error.
  await drag(page, `#node-${mic.id} .head`, target);
  await page.waitForFunction(() => /may not be sent/.test(document.querySelector('.message.error')?.textContent ?? ''), null, { timeout: 15000 });
  assert.match(await page.locator('.message.error').first().textContent(), /"demo-microphone" \(Audio\/Source\) may not be sent/);
  assert.equal(await page.locator('#fleet-streams .row').count(), 0);

  // A sink is: the receiver's node on beta, the sender's on alpha, the stream's row with both ends' states.
  const id = streamId('alpha:demo-speakers', 'beta:demo-speakers');
  const place = await page.locator(`#node-${speakers.id}`).getAttribute('transform');
  await drag(page, `#node-${speakers.id} .head`, target);
  await page.waitForFunction(() => [...document.querySelectorAll('.message')].some((m) => /streaming: alpha:demo-speakers → beta:demo-speakers by (RTP|ROC)/.test(m.textContent)), null, { timeout: 20000 });
  await waitFor(() => nodeNamed(betaEnv, `quorvane-stream-${id}.receive`) && nodeNamed(alphaEnv, `quorvane-stream-${id}.send`), 10000, 'the receiver on beta and the sender on alpha', 50);
  await page.waitForFunction((sel) => /alpha: streaming(, \d+ underruns)? · beta: listening/.test(document.querySelector(sel)?.textContent ?? ''), `#stream-${id}`, { timeout: 10000 });
  assert.equal(await page.locator(`#stream-${id} .name`).textContent(), 'alpha:demo-speakers → beta:demo-speakers');
  assert.equal(await page.locator(`#node-${speakers.id}`).getAttribute('transform'), place, 'the node back in its place');

  // A record anyone published is shown as text (its health's underruns beside its state); one for an end that is
  // not its host's is left out.
  const from = 'evil:<img id="pwned2" src=x>';
  const forged = { role: 'send', run: 'r', from, to: 'beta:demo-speakers', enabled: true, state: 'connecting', error: '<b id="pwned3">', health: { underruns: 3, packetsLost: null } };
  const elsewhere = { ...forged, from: 'alpha:demo-microphone' };
  sub.client.publish(`quorvane/evil/stream/${streamId(elsewhere.from, elsewhere.to)}`, JSON.stringify(elsewhere), { retain: true });
  sub.client.publish(`quorvane/evil/stream/${streamId(from, forged.to)}`, JSON.stringify(forged), { retain: true });
  await page.waitForFunction(() => /evil: offline, 3 underruns \(<b id="pwned3">\)/.test(document.querySelector('#fleet-streams').textContent), null, { timeout: 10000 });
  assert.deepEqual([await page.locator('#pwned2, #pwned3').count(), await page.locator('#fleet-streams .row').count()], [0, 2]);
  for (const r of [forged, elsewhere]) sub.client.publish(`quorvane/evil/stream/${streamId(r.from, r.to)}`, '', { retain: true });

  // The ends a page asks for are checked first: a host holding a topic level, no node, a control character.
  const { ws, call } = await socket(`${wsUrl(web)}?host=alpha`, web.token);
  const refusals = [[{ from: 'alpha:demo-speakers', to: 'beta/set:demo-speakers' }, /no "\/"/], [{ from: 'alpha', to: 'beta:demo-speakers' }, /from must be "HOST:NODE"/], [{ from: 'alpha:demo-speakers', to: 'beta:demo\u0007' }, /printable/]];
  for (const [i, [fields, why]] of refusals.entries()) {
    assert.match((await call({ id: 100 + i, op: 'stream', ...fields })).error, why, JSON.stringify(fields));
  }
  ws.close();

  // Removed from the page: both ends' modules unloaded, the records emptied, the row gone.
  await page.locator(`#stream-${id} button.unstream`).click();
  await waitFor(() => !nodeNamed(betaEnv, `quorvane-stream-${id}.receive`) && !nodeNamed(alphaEnv, `quorvane-stream-${id}.send`), 10000, 'both ends of the stream gone', 50);
  await sub.until(() => ['alpha', 'beta'].every((h) => !sub.retained.get(`quorvane/${h}/stream/${id}`)), 10000, 'both records emptied');
  await page.waitForSelector(`#stream-${id}`, { state: 'detached', timeout: 10000 });
});

test('a request to a host whose bridge dies before it answers is answered as soon as its will says so, not at the end of its wait', { skip, timeout: 30000 }, async () => {
  const { ws, call } = await socket(`${wsUrl(web)}?host=beta`, web.token);
  const bridge = bridges[1];
  const speakers = nodeNamed(betaEnv, 'demo-speakers');
  // Held still, beta's bridge keeps its connection but answers nothing: the request reaches it and waits.
  bridge.kill('SIGSTOP');
  const heard = sub.heard.length;
  const t0 = Date.now();
  const answer = call({ id: 200, op: 'volume', node: speakers.id, volume: 0.25 });
  await sub.until(() => sub.heard.slice(heard).some((m) => m.topic === 'quorvane/beta/set'), 5000, 'the request on the broker');
  bridge.kill('SIGKILL'); // its will: "offline"
  await sub.until(() => sub.retained.get('quorvane/beta/status') === 'offline', 5000, 'beta\'s will');
  const reply = await answer;
  ws.close();
  assert.match(reply.error, /^beta went offline before it answered/);
  assert.ok(Date.now() - t0 < 8000, `answered after ${Date.now() - t0} ms`);
});
