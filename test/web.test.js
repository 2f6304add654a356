'use strict';
// The web patchbay in a real browser (Debian's Chromium through
// playwright-core) against `quorvane web` on a private daemon: what the page
// draws, what dragging and the controls do to the daemon, who gets in.
const test = require('node:test');
const assert = require('node:assert/strict');
const { spawnSync } = require('node:child_process');
const WebSocket = require('ws');
const { waitFor, pwDump, linksFrom, pwMetadata } = require('./helpers/fixture');
const { privateDaemon } = require('./helpers/setup');
const { startWeb, launchBrowser, openPage, available } = require('./helpers/web');

const skip = !available() && 'no chromium';
let web, browser;
const { daemon, fixture } = privateDaemon({ setEnv: false }, { after: async () => (await browser?.close(), await web?.run.stop()) });

test.before(async () => {
  if (skip) return;
  web = await startWeb(daemon.env);
  browser = await launchBrowser();
});

const props = (id) => pwDump(daemon.env).find((o) => o.id === id)?.info?.params?.Props?.[0];
const messages = (page) => page.locator('.message').allTextContents();

// The middle of a link's curve, in the page's coordinates.
const linkPoint = (page, id) =>
  page.evaluate((id) => {
    const path = document.getElementById(`link-${id}`);
    const at = path.getPointAtLength(path.getTotalLength() / 2);
    const p = new DOMPoint(at.x, at.y).matrixTransform(path.getScreenCTM());
    return { x: p.x, y: p.y };
  }, id);

// The picture is drawn anew as the graph changes: both ends are found at once.
async function drag(page, from, to) {
  const [a, b] = await page.evaluate((sels) => sels.map((s) => {
    const r = document.querySelector(s).getBoundingClientRect();
    return { x: r.x + r.width / 2, y: r.y + r.height / 2 };
  }), [from, to]);
  await page.mouse.move(a.x, a.y);
  await page.mouse.down();
  await page.mouse.move(b.x, b.y, { steps: 5 });
  await page.mouse.up();
}

test('the page draws every node pw-dump shows and links made elsewhere within 1 s; dragging links port to port and node to node by channel, Delete and the button unlink, a refusal is shown', { skip }, async () => {
  const app = await fixture.add('web-app', 'Stream/Output/Audio', 0, 'FL,FR');
  // Channels in the other order: node to node must pair by channel, not by place.
  const sink = await fixture.add('web-sink', 'Audio/Sink', 'FR,FL', 0);
  const page = await openPage(browser, web.url);
  assert.equal(new URL(page.url()).search, '', 'the token left the address bar');
  await page.waitForSelector(`#node-${sink.id}`);
  for (const n of pwDump(daemon.env).filter((o) => o.type === 'PipeWire:Interface:Node')) {
    assert.match(await page.locator(`#node-${n.id} .name`).textContent(), new RegExp(`^${n.info.props['node.name'].slice(0, 20)}`), `node ${n.id}`);
  }

  // pw-link's link (lingering, from another client) shows within a second.
  assert.equal(spawnSync('pw-link', [String(app.outputs[0]), String(sink.inputs[1])], { env: daemon.env }).status, 0);
  const shown = Date.now();
  await page.waitForFunction(() => document.querySelectorAll('.link').length === 1, null, { timeout: 1000 });
  assert.ok(Date.now() - shown <= 1000);

  await drag(page, `#port-${app.outputs[1]}`, `#port-${sink.inputs[0]}`);
  await waitFor(() => linksFrom(app.outputs, daemon.env).length === 2, 5000, 'the dragged link');
  assert.deepEqual(linksFrom(app.outputs, daemon.env), [[app.outputs[0], sink.inputs[1]], [app.outputs[1], sink.inputs[0]]]);

  // Select the dragged link, Delete; the other one with the button.
  const linkId = (out) => pwDump(daemon.env).find((o) => o.type === 'PipeWire:Interface:Link' && o.info.props['link.output.port'] === out).id;
  for (const [out, how] of [[app.outputs[1], 'key'], [app.outputs[0], 'button']]) {
    const id = linkId(out);
    await page.waitForSelector(`#link-${id}`);
    const p = await linkPoint(page, id);
    await page.mouse.click(p.x, p.y);
    await page.waitForSelector(`#link-${id}.selected`);
    if (how === 'key') await page.keyboard.press('Delete');
    else await page.click('#unlink');
    await waitFor(() => !linksFrom(app.outputs, daemon.env).some(([o]) => o === out), 5000, `link ${id} removed by ${how}`);
  }

  // Node onto node: by channel, FL to FL and FR to FR.
  await drag(page, `#node-${app.id} .head`, `#node-${sink.id} .box`);
  await waitFor(() => linksFrom(app.outputs, daemon.env).length === 2, 5000, 'the node-to-node links');
  assert.deepEqual(linksFrom(app.outputs, daemon.env), [[app.outputs[0], sink.inputs[1]], [app.outputs[1], sink.inputs[0]]]);
  await page.waitForFunction(() => document.querySelectorAll('.link').length === 2);

  // The same pair again: the daemon's refusal reaches the user.
  await drag(page, `#port-${app.outputs[1]}`, `#port-${sink.inputs[0]}`);
  await waitFor(async () => (await messages(page)).some((m) => /exists/i.test(m)), 5000, 'the refusal shown');
  assert.equal(linksFrom(app.outputs, daemon.env).length, 2);
  await page.close();
  await fixture.remove(app.id, sink.id);
});

test('volumes, mutes, defaults, moves and virtual devices: the page sets what pw-dump and pw-metadata show, and follows other clients', { skip }, async () => {
  const speakers = pwDump(daemon.env).find((o) => o.info?.props?.['node.name'] === 'demo-speakers').id;
  const stream = await fixture.add('web-stream', 'Stream/Output/Audio', 0, 'FL,FR');
  await fixture.addMetadata('default');
  const page = await openPage(browser, web.url);
  const row = `#row-${speakers}`;
  await page.waitForSelector(`${row} input.volume`);

  // A click a third of the way along the slider (0..150%): about 50%.
  const box = await page.locator(`${row} input.volume`).boundingBox();
  await page.mouse.click(box.x + box.width / 3, box.y + box.height / 2);
  const set = Number(await page.locator(`${row} input.volume`).inputValue());
  assert.ok(set > 0.4 && set < 0.6, `slider at ${set}`);
  await waitFor(() => Math.abs(Math.cbrt(props(speakers)?.channelVolumes?.[0] ?? -1) - set) < 1e-3, 5000, `Props at ${set}³`);

  // Another client: the slider and the mute follow.
  spawnSync('pw-cli', ['set-param', String(speakers), 'Props', '{ channelVolumes: [ 0.001, 0.001 ], mute: true }'], { env: daemon.env });
  await page.waitForFunction((sel) => Math.abs(Number(document.querySelector(`${sel} input.volume`).value) - 0.1) < 0.006 && document.querySelector(`${sel} input.mute`).checked, row, { timeout: 5000 });
  await page.click(`${row} input.mute`);
  await waitFor(() => props(speakers)?.mute === false, 5000, 'unmuted');

  await page.selectOption('#default-audioSink', String(speakers));
  await waitFor(() => pwMetadata([], { env: daemon.env }).includes("key:'default.configured.audio.sink' value:'{\"name\":\"demo-speakers\"}'"), 5000, 'the configured default');
  await page.selectOption(`#row-${stream.id} select.move`, String(speakers));
  await waitFor(() => pwMetadata([String(stream.id)], { env: daemon.env }).includes("key:'target.node'"), 5000, 'the stream moved');

  // A device of our own comes and goes; no other node gets a Remove button.
  await page.fill('#create-name', 'web-made-mic');
  await page.selectOption('#create-kind', 'mic');
  await page.click('#create button[type=submit]');
  const made = await waitFor(() => pwDump(daemon.env).find((o) => o.info?.props?.['node.name'] === 'web-made-mic'), 5000, 'the device');
  assert.equal(made.info.props['media.class'], 'Audio/Source/Virtual');
  await page.waitForSelector(`#devices button[data-node="${made.id}"]`); // the daemon may show it before the page hears it
  assert.deepEqual(await page.locator('#devices button.destroy').evaluateAll((b) => b.map((e) => Number(e.dataset.node))), [made.id]);
  await page.click(`#devices button[data-node="${made.id}"]`);
  await waitFor(() => !pwDump(daemon.env).some((o) => o.info?.props?.['node.name'] === 'web-made-mic'), 5000, 'the device removed');
  await page.close();
  await fixture.remove(stream.id);
});

// A raw WebSocket to the server; resolves once open (or with the refusal's
// status). `got`: every message from the first (which may come with the
// upgrade's answer, before a listener added later would hear it).
function socket(url, headers = {}) {
  return new Promise((resolve) => {
    const ws = new WebSocket(url, { headers });
    const got = [];
    ws.on('message', (d) => got.push(JSON.parse(d)));
    ws.on('open', () => resolve({ ws, got }));
    ws.on('unexpected-response', (req, res) => resolve({ status: res.statusCode }));
    ws.on('error', (e) => resolve({ error: e }));
  });
}

const http = require('node:http');
function get(url, headers = {}, method = 'GET') {
  return new Promise((resolve, reject) => {
    http.request(url, { method, headers }, (res) => {
      res.resume();
      res.on('end', () => resolve(res));
    }).on('error', reject).end();
  });
}

test('access: the token on every request and upgrade (then a cookie), Host and Origin checked', { skip }, async () => {
  const { url, origin } = web;
  const token = new URL(url).searchParams.get('token');
  const wsBase = `${origin.replace('http', 'ws')}/ws`;
  assert.equal((await fetch(`${origin}/`)).status, 401);
  assert.equal((await fetch(`${origin}/page.js?token=x${token}`)).status, 403);
  const first = await fetch(url, { redirect: 'manual' });
  assert.equal(first.status, 303);
  assert.equal(first.headers.get('location'), '/');
  const cookie = first.headers.get('set-cookie');
  assert.match(cookie, /HttpOnly/);
  assert.match(cookie, /SameSite=Strict/);
  const jar = { cookie: cookie.split(';')[0] };
  const page = await fetch(`${origin}/`, { headers: jar });
  assert.equal(page.status, 200);
  assert.match(page.headers.get('content-security-policy'), /script-src 'self'/);
  assert.equal((await get(`${origin}/`, { ...jar, host: `evil.example:${new URL(url).port}` })).statusCode, 403, 'DNS rebinding');
  assert.equal((await fetch(`${origin}/`, { headers: { ...jar, origin: 'http://evil.example' } })).status, 403);
  assert.equal((await fetch(`${origin}/`, { method: 'POST', headers: jar })).status, 405);

  assert.equal((await socket(wsBase)).status, 401, 'upgrade without a token');
  assert.equal((await socket(`${wsBase}?token=nope`)).status, 403);
  assert.equal((await socket(wsBase, { ...jar, origin: 'http://evil.example' })).status, 403, 'cross-site WebSocket');
  const { ws, got } = await socket(wsBase, { ...jar, origin });
  assert.equal((await waitFor(() => got[0], 5000, 'the snapshot')).type, 'snapshot');
  ws.close();

  // Another address than loopback is said to be one; a bad one is refused.
  const bad = spawnSync(process.execPath, [require('./helpers/child').CLI, 'web', '--listen', 'nowhere'], { env: daemon.env, encoding: 'utf8' });
  assert.equal(bad.status, 2, bad.stderr);
  const wide = await startWeb(daemon.env, ['--listen', '0.0.0.0:0']).catch((e) => e);
  assert.match(wide.run.err, /warning: listening on 0\.0\.0\.0:0, reachable from other machines/);
  await wide.run.stop();
});

test('1,000 malformed and hostile messages leave the server up and the graph unchanged; the rate is bounded; a good request works after', { skip }, async () => {
  const view = () => pwDump(daemon.env).filter((o) => /Node|Port|Link/.test(o.type)).map((o) => [o.id, o.type, JSON.stringify(o.info?.params?.Props ?? null)]);
  const before = JSON.stringify(view());
  const speakers = pwDump(daemon.env).find((o) => o.info?.props?.['node.name'] === 'demo-speakers').id;
  const headers = { cookie: `quorvane-web-${new URL(web.url).port}=${new URL(web.url).searchParams.get('token')}` };
  const wsUrl = `${web.origin.replace('http', 'ws')}/ws`;
  const { ws, got } = await socket(wsUrl, headers);
  const replies = () => got.filter((m) => m.type === 'reply');
  const hostile = [
    '{', 'null', '[]', '"x"', '{"id":1}', '{"id":-1,"op":"unlink","link":1}', '{"id":1e300,"op":"volume","node":1,"volume":1}',
    `{"id":2,"op":"unlink","link":${2 ** 53}}`, '{"id":3,"op":"volume","node":"13","volume":0.5}', `{"id":4,"op":"volume","node":${speakers},"volume":1e9}`,
    `{"id":5,"op":"volume","node":${speakers},"volume":-0.1}`, `{"id":6,"op":"mute","node":${speakers},"mute":"yes"}`,
    `{"id":7,"op":"destroy","node":${speakers}}`, '{"id":8,"op":"link","out":1,"in":2,"__proto__":{"admin":true}}',
    '{"id":9,"op":"eval","code":"process.exit()"}', '{"id":10,"op":"create","name":"","kind":"sink"}', '{"id":11,"op":"create","name":"x","kind":"sink","channels":["FL","FL"]}',
    '{"id":12,"op":"move","stream":1,"target":"all"}', '{"id":13,"op":"unlink","link":999999}', '{"id":14,"op":"default","kind":"__proto__","node":1}',
  ];
  // Paced within the rate bound: each gets its refusal.
  for (const m of hostile) ws.send(m);
  ws.send(Buffer.from([0xff, 0x00]), { binary: true });
  await waitFor(() => replies().length === hostile.length + 1, 5000, 'every refusal');
  assert.ok(replies().every((r) => r.ok === false && typeof r.error === 'string' && r.error.length > 0), JSON.stringify(replies()));
  assert.match(replies().find((r) => r.id === 7).error, /not created by quorvane/);
  assert.match(replies().find((r) => r.id === 4).error, /volume must be a number from 0/);
  // A flood: the rest of the 1,000, far beyond the bound, refused without answering each.
  for (let i = replies().length; i < 1000; i++) ws.send(hostile[i % hostile.length].replace('"id":1', `"id":${i}`));
  await waitFor(() => replies().some((r) => /too many requests/.test(r.error)), 5000, 'the rate bound');
  // A frame over 64 KiB closes that connection, and only that one.
  const big = await socket(wsUrl, headers);
  const closed = new Promise((r) => big.ws.on('close', (code) => r(code)));
  big.ws.send('x'.repeat(1 << 20));
  assert.equal(await closed, 1009);
  assert.equal(JSON.stringify(view()), before, 'the graph unchanged');

  // Another page's requests are still carried out.
  const good = await socket(wsUrl, headers);
  const answer = new Promise((resolve) => good.ws.on('message', (d) => {
    const m = JSON.parse(d);
    if (m.type === 'reply' && m.id === 77) resolve(m);
  }));
  good.ws.send(JSON.stringify({ id: 77, op: 'volume', node: speakers, volume: 0.3 }));
  assert.deepEqual(await answer, { type: 'reply', id: 77, ok: true, result: { volume: 0.3 } });
  ws.close();
  good.ws.close();
});
