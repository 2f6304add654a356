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
const { startWeb, launchBrowser, openPage, available, protocols } = require('./helpers/web');

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

test('the page draws the graph; dragging links and Delete unlinks as the daemon shows', { skip }, async () => {
  const app = await fixture.add('web-app', 'Stream/Output/Audio', 0, 'FL,FR');
  // Channels in the other order: node to node must pair by channel, not by place.
  const sink = await fixture.add('web-sink', 'Audio/Sink', 'FR,FL', 0);
  const page = await openPage(browser, web.url);
  assert.doesNotMatch(page.url(), /token/, 'the token left the address bar');
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
  await waitFor(async () => (await messages(page)).some((m) => /exists/i.test(m)), 5000, 'the refusal shown', 20);
  assert.equal(linksFrom(app.outputs, daemon.env).length, 2);
  await page.close();
  await fixture.remove(app.id, sink.id);
});

test('volumes, mutes, defaults, moves and devices set from the page are what pw-dump shows', { skip }, async () => {
  const speakers = pwDump(daemon.env).find((o) => o.info?.props?.['node.name'] === 'demo-speakers').id;
  const stream = await fixture.add('web-stream', 'Stream/Output/Audio', 0, 'FL,FR');
  await fixture.addMetadata('default');
  const page = await openPage(browser, web.url);
  const row = `#row-${speakers}`;
  const slider = page.locator(`${row} input.volume`);
  await page.waitForSelector(`${row} input.volume`);
  const atVolume = (v) => waitFor(() => Math.abs(Math.cbrt(props(speakers)?.channelVolumes?.[0] ?? -1) - v) < 1e-3, 5000, `Props at ${v}³`);

  // Dragged with the mouse from 20% to 60% (of 0..150%, past a 16 px thumb),
  // while the daemon's answers come back: the slider follows to the end.
  const box = await slider.boundingBox();
  const xAt = (v) => box.x + 8 + ((box.width - 16) * v) / 1.5;
  await page.mouse.move(xAt(0.2), box.y + box.height / 2);
  await page.mouse.down();
  for (let v = 0.2; v <= 0.6001; v += 0.02) await page.mouse.move(xAt(v), box.y + box.height / 2);
  await page.mouse.up();
  const set = Number(await slider.inputValue());
  assert.ok(Math.abs(set - 0.6) <= 0.02, `slider at ${set} after the drag`);
  await atVolume(set);

  // 120 input events a second for 6 s: the page paces its requests to the
  // server's rate (nothing refused), the last value wins, the slider still works.
  const sent = await page.evaluate((sel) => new Promise((resolve) => {
    const input = document.querySelector(sel);
    let n = 0;
    const timer = setInterval(() => {
      input.value = String((n++ % 100) / 100);
      input.dispatchEvent(new Event('input', { bubbles: true }));
      if (n < 720) return;
      clearInterval(timer);
      input.value = '0.42';
      input.dispatchEvent(new Event('input', { bubbles: true }));
      resolve(n);
    }, 1000 / 120);
  }), `${row} input.volume`);
  assert.ok(sent >= 720);
  await atVolume(0.42);
  await page.mouse.click(xAt(0.9), box.y + box.height / 2);
  const after = Number(await slider.inputValue());
  assert.ok(Math.abs(after - 0.9) <= 0.02, `slider at ${after}`);
  await atVolume(after);
  assert.deepEqual((await messages(page)).filter((m) => /too many|no answer/.test(m)), []);

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
  // Its name reads like another node's: made, with a warning.
  await page.fill('#create-name', 'Demo-Speakers');
  await page.selectOption('#create-kind', 'mic');
  await page.click('#create button[type=submit]');
  const made = await waitFor(() => pwDump(daemon.env).find((o) => o.info?.props?.['node.name'] === 'Demo-Speakers'), 5000, 'the device');
  assert.equal(made.info.props['media.class'], 'Audio/Source/Virtual');
  await waitFor(async () => (await messages(page)).some((m) => /warning: "Demo-Speakers" differs from the existing node "demo-speakers" .* only by case/.test(m)), 5000, 'the warning', 20);
  await page.waitForSelector(`#devices button[data-node="${made.id}"]`); // the daemon may show it before the page hears it
  assert.deepEqual(await page.locator('#devices button.destroy').evaluateAll((b) => b.map((e) => Number(e.dataset.node))), [made.id]);
  await page.click(`#devices button[data-node="${made.id}"]`);
  await waitFor(() => !pwDump(daemon.env).some((o) => o.info?.props?.['node.name'] === 'Demo-Speakers'), 5000, 'the device removed');
  await page.close();
  await fixture.remove(stream.id);
});

// A raw WebSocket to the server; resolves once open (or with the refusal's
// status). `got`: every message from the first (which may come with the
// upgrade's answer, before a listener added later would hear it).
function socket(url, { headers = {}, token } = {}) {
  return new Promise((resolve) => {
    const ws = new WebSocket(url, token === undefined ? [] : protocols(token), { headers });
    const got = [];
    ws.on('message', (d) => got.push(JSON.parse(d)));
    ws.on('open', () => resolve({ ws, got }));
    ws.on('unexpected-response', (req, res) => resolve({ status: res.statusCode }));
    ws.on('error', (e) => resolve({ error: e }));
  });
}

// A request's reply on a raw socket.
async function call(s, msg) {
  s.ws.send(JSON.stringify(msg));
  return waitFor(() => s.got.find((m) => m.type === 'reply' && m.id === msg.id), 10000, `the reply to ${msg.op} ${msg.id}`);
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

// An HTTP request written by hand (two Host headers, a target fetch() would tidy).
function raw(port, text) {
  return new Promise((resolve, reject) => {
    const c = require('node:net').connect(port, '127.0.0.1', () => c.end(text));
    let got = '';
    c.on('data', (d) => (got += d));
    c.on('end', () => resolve(got));
    c.on('error', reject);
  });
}

test('access: only the holder of the URL\'s token gets in', { skip }, async () => {
  const { url, origin, token } = web;
  const port = Number(new URL(url).port);
  const wsBase = `${origin.replace('http', 'ws')}/ws`;
  assert.match(url, /^http:\/\/127\.0\.0\.1:\d+\/#token=[\w-]{32}$/);
  for (const path of ['/', '/page.js', `/?token=${token}`]) {
    const res = await fetch(`${origin}${path}`, { redirect: 'manual' });
    assert.equal(res.status, 200, path);
    assert.equal(res.headers.get('set-cookie'), null);
    assert.ok(!(await res.text()).includes(token), `${path} carries no token`);
  }
  assert.match((await fetch(`${origin}/`)).headers.get('content-security-policy'), /script-src 'self'/);
  const evil = await fetch(`${origin}/.//evil.example/?token=${token}`, { redirect: 'manual' });
  assert.equal(evil.status, 404, 'no redirect anywhere');
  assert.equal((await get(`${origin}/`, { host: `evil.example:${port}` })).statusCode, 403, 'DNS rebinding');
  assert.equal((await fetch(`${origin}/`, { headers: { origin: 'http://evil.example' } })).status, 403);
  assert.equal((await fetch(`${origin}/`, { method: 'POST' })).status, 405);
  // ssh -L 9000:127.0.0.1:PORT: another loopback port in Host.
  assert.equal((await get(`${origin}/`, { host: 'localhost:9000', origin: 'http://localhost:9000' })).statusCode, 200);
  assert.match(await raw(port, `GET / HTTP/1.1\r\nHost: 127.0.0.1:${port}\r\nHost: evil.example\r\nConnection: close\r\n\r\n`), /^HTTP\/1\.1 400/);

  assert.equal((await socket(wsBase)).status, 401, 'upgrade without a token');
  assert.equal((await socket(`${wsBase}?token=${token}`)).status, 401, 'the token in the URL opens nothing');
  assert.equal((await socket(wsBase, { headers: { cookie: `quorvane-web-${port}=${token}; token=${token}` } })).status, 401, 'nor in a cookie');
  assert.equal((await socket(wsBase, { token: `x${token}` })).status, 403);
  assert.equal((await socket(wsBase, { token, headers: { origin: 'http://evil.example' } })).status, 403, 'cross-site WebSocket');
  for (const headers of [{ origin }, { host: 'localhost:9000', origin: 'http://localhost:9000' }]) {
    const { ws, got } = await socket(wsBase, { token, headers });
    assert.equal((await waitFor(() => got[0], 5000, 'the snapshot')).type, 'snapshot');
    assert.equal(ws.protocol, 'quorvane', 'the token is not echoed');
    ws.close();
  }

  // The browser: after the page is open, another server on 127.0.0.1 gets
  // nothing of it, and a page of that server finds nothing stored.
  const page = await openPage(browser, url);
  assert.deepEqual(await page.context().cookies(), []);
  const heard = [];
  const other = http.createServer((req, res) => {
    heard.push(JSON.stringify(req.headers));
    res.writeHead(200, { 'content-type': 'text/html' }).end('<!doctype html><title>other</title>');
  });
  await new Promise((r) => other.listen(0, '127.0.0.1', r));
  try {
    await page.goto(`http://127.0.0.1:${other.address().port}/`);
    const seen = await page.evaluate(() => JSON.stringify([document.cookie, { ...sessionStorage }, { ...localStorage }]));
    assert.ok(!seen.includes(token), seen);
    assert.ok(heard.length > 0 && heard.every((h) => !h.includes(token)), heard.join('\n'));
  } finally {
    other.close();
    await page.close();
  }

  // Another address than loopback is said to be one; a bad one is refused; a
  // TLS proxy's origin is let in when named.
  for (const args of [['--listen', 'nowhere'], ['--allow-origin', 'https://x.example/path']]) {
    const bad = spawnSync(process.execPath, [require('./helpers/child').CLI, 'web', ...args], { env: daemon.env, encoding: 'utf8' });
    assert.equal(bad.status, 2, bad.stderr);
  }
  const wide = await startWeb(daemon.env, ['--listen', '0.0.0.0:0', '--allow-origin', 'https://pi.example:8443']).catch((e) => e);
  try {
    assert.match(wide.run.err, /warning: listening on 0\.0\.0\.0:0, reachable from other machines/);
    const proxied = { host: 'pi.example:8443', origin: 'https://pi.example:8443' };
    assert.equal((await get(`${wide.origin}/`, proxied)).statusCode, 200);
    assert.equal((await get(`${wide.origin}/`, { ...proxied, origin: 'https://other.example:8443' })).statusCode, 403);
    assert.equal((await get(`${wide.origin}/`, { host: 'localhost:9000' })).statusCode, 403, 'any port only when listening on loopback');
  } finally {
    await wide.run.stop();
  }
});

// `quorvane web --open` with an xdg-open of its own that keeps running while
// every command line on the machine is read.
test('--open hands the browser a file only this user can read', { skip }, async () => {
  const fs = require('node:fs');
  const os = require('node:os');
  const path = require('node:path');
  const bin = fs.mkdtempSync(path.join(os.tmpdir(), 'quorvane-open-'));
  fs.writeFileSync(path.join(bin, 'xdg-open'), `#!/bin/sh\necho $$ > ${bin}/pid\necho "$@" > ${bin}/args\nexec sleep 30\n`, { mode: 0o755 });
  const opened = await startWeb({ ...daemon.env, PATH: `${bin}:${process.env.PATH}` }, ['--open']);
  try {
    const file = (await waitFor(() => fs.existsSync(`${bin}/args`) && fs.readFileSync(`${bin}/args`, 'utf8').trim(), 5000, 'xdg-open run')).split(' ')[0];
    const cmdlines = () => fs.readdirSync('/proc').filter((p) => /^\d+$/.test(p)).map((p) => {
      try {
        return fs.readFileSync(`/proc/${p}/cmdline`).toString();
      } catch {
        return ''; // ended meanwhile
      }
    });
    await waitFor(() => cmdlines().some((l) => l.includes('sleep')), 5000, 'xdg-open running');
    const lines = cmdlines();
    assert.ok(lines.length > 5 && !lines.some((l) => l.includes(opened.token)), 'a command line with the token');
    assert.equal(fs.statSync(file).mode & 0o777, 0o600);
    assert.equal(fs.statSync(path.dirname(file)).mode & 0o077, 0);
    const page = await openPage(browser, `file://${file}`);
    assert.equal(new URL(page.url()).origin, opened.origin);
    await page.close();
  } finally {
    await opened.run.stop();
    try {
      process.kill(Number(fs.readFileSync(`${bin}/pid`, 'utf8')), 'SIGKILL');
    } catch {} // never started, or gone
    fs.rmSync(bin, { recursive: true, force: true });
  }
});

test('hostile messages leave the server up and the graph unchanged', { skip }, async () => {
  const view = () => pwDump(daemon.env).filter((o) => /Node|Port|Link/.test(o.type)).map((o) => [o.id, o.type, JSON.stringify(o.info?.params?.Props ?? null)]);
  const before = JSON.stringify(view());
  const speakers = pwDump(daemon.env).find((o) => o.info?.props?.['node.name'] === 'demo-speakers').id;
  const wsUrl = `${web.origin.replace('http', 'ws')}/ws`;
  const s = await socket(wsUrl, { token: web.token });
  const { ws, got } = s;
  const replies = () => got.filter((m) => m.type === 'reply');
  const hostile = [
    '{', 'null', '[]', '"x"', '{"id":1}', '{"id":-1,"op":"unlink","link":1}', '{"id":1e300,"op":"volume","node":1,"volume":1}',
    `{"id":2,"op":"unlink","link":${2 ** 53}}`, '{"id":3,"op":"volume","node":"13","volume":0.5}', `{"id":4,"op":"volume","node":${speakers},"volume":1e9}`,
    `{"id":5,"op":"volume","node":${speakers},"volume":-0.1}`, `{"id":6,"op":"mute","node":${speakers},"mute":"yes"}`,
    `{"id":7,"op":"destroy","node":${speakers}}`, '{"id":8,"op":"link","out":1,"in":2,"__proto__":{"admin":true}}',
    '{"id":9,"op":"eval","code":"process.exit()"}', '{"id":10,"op":"create","name":"","kind":"sink"}', '{"id":11,"op":"create","name":"x","kind":"sink","channels":["FL","FL"]}',
    '{"id":12,"op":"move","stream":1,"target":"all"}', '{"id":13,"op":"unlink","link":999999}', '{"id":14,"op":"default","kind":"__proto__","node":1}',
    // Ids that would wrap to another object's.
    `{"id":15,"op":"unlink","link":${2 ** 32 + 19}}`, '{"id":16,"op":"volume","node":19.75,"volume":0.5}', '{"id":17,"op":"destroy","node":-1}',
    // Names that do not read as what they are.
    ...['demo-speakers\u200b', 'x\u202Eevil', '\ufeffx', 'a\u2028b', 'a\u2029b', 'bell\u0007', ' ', ' x', 'x ', 'a\ud800b'].map((name, i) => JSON.stringify({ id: 20 + i, op: 'create', name, kind: 'sink' })),
  ];
  for (const m of hostile) ws.send(m);
  ws.send(Buffer.from([0xff, 0x00]), { binary: true });
  await waitFor(() => replies().length === hostile.length + 1, 5000, 'every refusal');
  assert.ok(replies().every((r) => r.ok === false && typeof r.error === 'string' && r.error.length > 0), JSON.stringify(replies()));
  const error = (id) => replies().find((r) => r.id === id).error;
  assert.match(error(7), /not created by quorvane/);
  assert.match(error(4), /volume must be a number from 0/);
  for (const id of [15, 16, 17]) assert.match(error(id), /must be a whole number from 0 to 4294967295/);
  for (let id = 20; id < 26; id++) assert.match(error(id), /printable characters only: U\+/);
  for (let id = 26; id < 29; id++) assert.match(error(id), /must not begin or end with a space/);
  assert.match(error(29), /U\+D800/);

  // A flood far beyond the bound: every request answered by its id, those
  // dropped with "too many requests"; a snapshot at most once a second.
  const flood = Array.from({ length: 1000 }, (_, i) => 1000 + i);
  for (const id of flood) ws.send(JSON.stringify({ id, op: 'unlink', link: 999999 }));
  await waitFor(() => flood.every((id) => got.some((m) => m.id === id)), 10000, 'every request of the flood answered');
  assert.ok(flood.filter((id) => /too many requests/.test(got.find((m) => m.id === id).error)).length > 500);
  // A frame over 64 KiB closes that connection, and only that one.
  const big = await socket(wsUrl, { token: web.token });
  const closed = new Promise((r) => big.ws.on('close', (code) => r(code)));
  big.ws.send('x'.repeat(1 << 20));
  assert.equal(await closed, 1009);
  assert.equal(JSON.stringify(view()), before, 'the graph unchanged');

  // Another page's requests are still carried out, within the server's
  // budget for devices: 256 ports, 32 devices.
  const good = await socket(wsUrl, { token: web.token });
  assert.deepEqual(await call(good, { id: 77, op: 'volume', node: speakers, volume: 0.3 }), { type: 'reply', id: 77, ok: true, result: { volume: 0.3 } });
  const [r1, r2] = [await call(good, { id: 78, op: 'resync' }), await call(good, { id: 79, op: 'resync' })];
  assert.equal(r1.result.type, 'snapshot');
  assert.match(r2.error, /at most once/);
  const channels = (n) => Array.from({ length: n }, (_, i) => `AUX${i}`);
  let id = 100;
  const made = [];
  const create = async (name, n) => {
    const r = await call(good, { id: id++, op: 'create', name, kind: 'sink', channels: channels(n) });
    if (r.ok) made.push(r.result.node);
    return r;
  };
  assert.ok((await create('big-a', 64)).ok);
  const b = await create('big-b', 63);
  assert.ok(b.ok, b.error);
  assert.match((await create('one-more', 2)).error, /too many ports: .* at most 256/);
  assert.ok((await call(good, { id: id++, op: 'destroy', node: b.result.node })).ok);
  made.splice(made.indexOf(b.result.node), 1);
  for (let i = 0; i < 31; i++) assert.ok((await create(`small-${i}`, 1)).ok);
  assert.match((await create('small-32', 1)).error, /too many devices: at most 32/);
  for (const node of made) assert.ok((await call(good, { id: id++, op: 'destroy', node })).ok);
  assert.ok((await create('after-the-others', 2)).ok);
  assert.ok((await call(good, { id: id++, op: 'destroy', node: made.pop() })).ok);
  ws.close();
  good.ws.close();
});
