'use strict';
// The web patchbay in Chromium against `quorvane web`: what it draws and does to the daemon, who gets in.
const test = require('node:test');
const assert = require('node:assert/strict');
const { spawnSync } = require('node:child_process');
const { waitFor, pwDump, linksFrom, withoutMeters, pwMetadata } = require('./helpers/fixture');
const { privateDaemon } = require('./helpers/setup');
const { startWeb, launchBrowser, openPage, available, socket, wsUrl, mouseDrag } = require('./helpers/web');

const skip = !available() && 'no chromium';
let web, browser, speakers;
const { daemon, fixture } = privateDaemon({ setEnv: false }, { after: async () => (await browser?.close(), await web?.run.stop()) });

test.before(async () => {
  if (skip) return;
  [web, browser] = [await startWeb(daemon.env), await launchBrowser()];
  speakers = (await waitFor(() => pwDump(daemon.env).find((o) => o.info?.props?.['node.name'] === 'demo-speakers'), 5000, 'demo-speakers')).id;
});

const props = (id) => pwDump(daemon.env).find((o) => o.id === id)?.info?.params?.Props?.[0];
const messages = (page) => page.locator('.message').allTextContents();

// The middle of a link's curve, in the page's coordinates.
const linkPoint = (page, id) => page.evaluate((id) => {
  const path = document.getElementById(`link-${id}`);
  const at = path.getPointAtLength(path.getTotalLength() / 2);
  return new DOMPoint(at.x, at.y).matrixTransform(path.getScreenCTM()).toJSON();
}, id);

// The picture is drawn anew as the graph changes: both ends are found at once.
const drag = async (page, from, to) => mouseDrag(page, await page.evaluate((sels) => sels.map((s) => {
  const r = document.querySelector(s).getBoundingClientRect();
  return { x: r.x + r.width / 2, y: r.y + r.height / 2 };
}), [from, to]));

test('the page draws the graph, one name a node, with no error on load; dragging links and Delete unlinks as the daemon shows; below 900 px wide the panel folds away', { skip }, async () => {
  const app = await fixture.add('web-app', 'Stream/Output/Audio', 0, 'FL,FR');
  // Channels in the other order: node to node must pair by channel, not by place.
  const sink = await fixture.add('web-sink', 'Audio/Sink', 'FR,FL', 0);
  await fixture.setProps(sink.id, { 'node.description': 'Web sink, described' });
  const errors = [];
  const page = await openPage(browser, web.url, (p) => p.on('console', (m) => m.type() === 'error' && errors.push(m.text()))
    .on('pageerror', (e) => errors.push(e.message)));
  assert.doesNotMatch(page.url(), /token/, 'the token left the address bar');
  // The description where there is one (as the panel names it), the name first in the tooltip.
  const nodes = withoutMeters(pwDump(daemon.env)).filter((o) => o.type === 'PipeWire:Interface:Node');
  assert.ok(nodes.some((n) => n.info.props['node.description'] && n.info.props['node.description'] !== n.info.props['node.name']), 'a node with a description of its own');
  for (const n of nodes) {
    const { 'node.name': name, 'node.description': description } = n.info.props;
    await page.hover(`#node-${n.id} .box`);
    const [label, tip] = await page.locator(`#node-${n.id}`).evaluate((g) => [g.querySelector('.name').textContent, g.querySelector(':scope > title').textContent]);
    assert.deepEqual([label.startsWith((description || name).slice(0, 20)), tip.split('\n')[0]], [true, name], `node ${n.id}`);
    const row = page.locator(`#row-${n.id} .name`);
    if (await row.count()) assert.equal(await row.textContent(), description || name, `node ${n.id}'s row`);
  }
  assert.deepEqual(errors, [], 'errors on the console');
  // This daemon has no profiler: the page is told so, and the status bar shows nothing.
  await page.waitForFunction(() => window.__quorvane.signal === null);
  assert.equal(await page.locator('#signal').isHidden(), true);

  // pw-link's link (lingering, from another client) shows within a second.
  assert.equal(spawnSync('pw-link', [String(app.outputs[0]), String(sink.inputs[1])], { env: daemon.env }).status, 0);
  await page.waitForFunction(() => document.querySelectorAll('.link').length === 1, null, { timeout: 1000 });
  const both = JSON.stringify([[app.outputs[0], sink.inputs[1]], [app.outputs[1], sink.inputs[0]]]);
  const linked = (want, what) => waitFor(() => JSON.stringify(linksFrom(app.outputs, daemon.env)) === want, 5000, what);
  await drag(page, `#port-${app.outputs[1]}`, `#port-${sink.inputs[0]}`);
  await linked(both, 'the dragged link');

  // Select the dragged link, Delete; the other one with the button.
  const linkId = (out) => withoutMeters(pwDump(daemon.env)).find((o) => o.type === 'PipeWire:Interface:Link' && o.info.props['link.output.port'] === out).id;
  for (const [out, how] of [[app.outputs[1], 'key'], [app.outputs[0], 'button']]) {
    const id = linkId(out);
    await page.waitForSelector(`#link-${id}`);
    // Clicked again where it is drawn now, should a late event have moved the layout under the first.
    for (let i = 0; i < 5 && !(await page.$(`#link-${id}.selected`)); i++) {
      const p = await linkPoint(page, id);
      await page.mouse.click(p.x, p.y);
      await page.waitForSelector(`#link-${id}.selected`, { timeout: 2000 }).catch(() => {});
    }
    await page.waitForSelector(`#link-${id}.selected`, { timeout: 1000 });
    await (how === 'key' ? page.keyboard.press('Delete') : page.click('#unlink'));
    await linked(how === 'key' ? JSON.stringify([[app.outputs[0], sink.inputs[1]]]) : '[]', `link ${id} removed by ${how}`);
  }

  // Node onto node: by channel, FL to FL and FR to FR.
  await drag(page, `#node-${app.id} .head`, `#node-${sink.id} .box`);
  await linked(both, 'the node-to-node links');
  await page.waitForFunction(() => document.querySelectorAll('.link').length === 2);

  // A pair linked already: nothing asked of the daemon, and the page says so.
  await drag(page, `#port-${app.outputs[1]}`, `#port-${sink.inputs[0]}`);
  await waitFor(async () => (await messages(page)).some((m) => /is linked already/.test(m)), 5000, 'the page to say it is linked already', 20);
  assert.equal(linksFrom(app.outputs, daemon.env).length, 2);

  // Below 900 px wide the panel folds behind a button, the graph takes the width; wider, side by side.
  const rect = (sel) => page.locator(sel).evaluate((e) => (e.hidden || getComputedStyle(e).display === 'none' ? null : e.getBoundingClientRect().toJSON()));
  await page.setViewportSize({ width: 1280, height: 800 });
  const [graph, panel] = [await rect('#graph'), await rect('#panel')];
  assert.deepEqual([await rect('#panel-toggle'), graph.left, Math.round(graph.right), Math.round(panel.left), panel.right], [null, 0, Math.round(panel.left), Math.round(graph.right), 1280], 'the panel beside the graph, no button');
  await page.setViewportSize({ width: 400, height: 800 });
  await page.click('#fit');
  const [narrow, n] = [await rect('#graph'), await rect(`#node-${sink.id}`)];
  const inView = n.width > 0 && n.left >= narrow.left && n.right <= narrow.right && n.top >= narrow.top && n.bottom <= narrow.bottom;
  assert.deepEqual([await rect('#panel'), narrow.width, narrow.height > 600, inView], [null, 400, true, true], 'the graph on the whole width, the panel folded');
  // The panel's news counted on its button: an input dragged onto an input (the sink found: at 100%).
  await page.fill('#search', 'web-sink');
  await page.waitForSelector(`#node-${sink.id}.current`);
  await drag(page, `#port-${sink.inputs[0]}`, `#port-${sink.inputs[1]}`);
  await page.waitForSelector('#panel-toggle.alert:text-is("Panel (1)")'); // an error: the button says so
  await page.click('#panel-toggle');
  const opened = await rect('#panel');
  assert.ok(opened && opened.left >= 0 && opened.right <= 400 && opened.height > 600, JSON.stringify(opened));
  assert.match((await messages(page))[0], /both inputs/);
  assert.deepEqual([await page.locator('#panel-toggle').textContent(), await page.locator('#panel-toggle').getAttribute('aria-expanded')], ['Panel', 'true']);
  await page.click('#panel-toggle');
  assert.equal(await rect('#panel'), null, 'folded again');
  await page.close();
});

test('volumes, mutes, defaults, moves and devices set from the page are what pw-dump shows', { skip }, async () => {
  const stream = await fixture.add('web-stream', 'Stream/Output/Audio', 0, 'FL,FR');
  await fixture.addMetadata('default');
  const page = await openPage(browser, web.url);
  const row = `#row-${speakers}`;
  const slider = page.locator(`${row} input.volume`);
  const atVolume = (v) => waitFor(() => Math.abs(Math.cbrt(props(speakers)?.channelVolumes?.[0] ?? -1) - v) < 1e-3, 5000, `Props at ${v}³`);

  // Dragged from 20% to 60% (of 0..150%, a 16 px thumb) as answers come back: the slider follows.
  const box = await slider.boundingBox();
  const [xAt, y] = [(v) => box.x + 8 + ((box.width - 16) * v) / 1.5, box.y + box.height / 2];
  const sliderAt = async (v, what) => {
    const set = Number(await slider.inputValue());
    assert.ok(Math.abs(set - v) <= 0.02, `slider at ${set} ${what}`);
    await atVolume(set);
  };
  await mouseDrag(page, Array.from({ length: 21 }, (_, i) => ({ x: xAt(0.2 + i * 0.02), y })), 1);
  await sliderAt(0.6, 'after the drag');

  // 120 inputs a second for 6 s: paced to the server's rate (none refused), the last wins, still works.
  await page.evaluate((sel) => new Promise((resolve) => {
    const input = document.querySelector(sel);
    let n = 0;
    const timer = setInterval(() => {
      input.value = n < 720 ? String((n % 100) / 100) : '0.42';
      input.dispatchEvent(new Event('input', { bubbles: true }));
      if (n++ === 720) resolve(clearInterval(timer));
    }, 1000 / 120);
  }), `${row} input.volume`);
  await atVolume(0.42);
  await page.mouse.click(xAt(0.9), y);
  await sliderAt(0.9, 'after a click');
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

  // A device of ours, named like another node (made with a warning), comes and goes; only it has Remove.
  await page.fill('#create-name', 'Demo-Speakers');
  await page.selectOption('#create-kind', 'mic');
  await page.click('#create button[type=submit]');
  const made = await waitFor(() => pwDump(daemon.env).find((o) => o.info?.props?.['node.name'] === 'Demo-Speakers' && o.info.props['media.class'] === 'Audio/Source/Virtual'), 5000, 'the device');
  await waitFor(async () => (await messages(page)).some((m) => /warning: "Demo-Speakers" differs from the existing node "demo-speakers" .* only by case/.test(m)), 5000, 'the warning', 20);
  await page.waitForSelector(`#devices button[data-node="${made.id}"]`); // the daemon may show it before the page hears it
  assert.deepEqual(await page.locator('#devices button.destroy').evaluateAll((b) => b.map((e) => Number(e.dataset.node))), [made.id]);
  await page.click(`#devices button[data-node="${made.id}"]`);
  await waitFor(() => !pwDump(daemon.env).some((o) => o.info?.props?.['node.name'] === 'Demo-Speakers'), 5000, 'the device removed');
  await page.close();
});

// The status of a request written by hand: any Host (two of them), a target as sent.
const ask = (port, request, ...headers) => new Promise((resolve, reject) => {
  let got = '';
  const c = require('node:net').connect(port, '127.0.0.1', () => c.end(`${request} HTTP/1.1\r\n${headers.join('\r\n')}\r\nConnection: close\r\n\r\n`));
  c.on('data', (d) => (got += d)).on('end', () => resolve(Number(/^HTTP\/1\.1 (\d+)/.exec(got)?.[1]))).on('error', reject);
});

test('access: only the holder of the URL\'s token gets in', { skip }, async (t) => {
  const { url, origin, token } = web;
  const [port, wsBase] = [Number(new URL(url).port), wsUrl(web)];
  assert.match(url, /^http:\/\/127\.0\.0\.1:\d+\/#token=[\w-]{32}$/);
  for (const path of ['/', '/page.js', '/layout.js', '/favicon.ico', `/?token=${token}`]) {
    const res = await fetch(`${origin}${path}`, { redirect: 'manual' });
    assert.deepEqual([res.status, res.headers.get('set-cookie'), (await res.text()).includes(token)], [200, null, false], path);
  }
  const icon = await fetch(`${origin}/favicon.ico`);
  assert.deepEqual([icon.headers.get('content-type'), [...new Uint8Array(await icon.arrayBuffer()).slice(0, 6)]], ['image/x-icon', [0, 0, 1, 0, 1, 0]], 'an ICO file of one image');
  assert.match((await fetch(`${origin}/`)).headers.get('content-security-policy'), /script-src 'self'/);
  const [host, ssh] = [`Host: 127.0.0.1:${port}`, ['Host: localhost:9000', 'Origin: http://localhost:9000']]; // ssh -L 9000:127.0.0.1:PORT
  for (const [request, headers, status] of [
    [`GET //evil.example/?token=${token}`, [host], 404], [`GET /.//evil.example/?token=${token}`, [host], 404], // no redirect anywhere
    ['GET /', [`Host: evil.example:${port}`], 403], ['GET /', [host, 'Origin: http://evil.example'], 403], // DNS rebinding, another site
    ['POST /', [host], 405], ['GET /', ssh, 200], ['GET /', [host, 'Host: evil.example'], 400]]) assert.equal(await ask(port, request, ...headers), status, `${request} ${headers}`);
  const cookie = { cookie: `quorvane-web-${port}=${token}; token=${token}` };
  for (const [u, tok, headers, status] of [[wsBase, undefined, {}, 401], [`${wsBase}?token=${token}`, undefined, {}, 401],
    [wsBase, undefined, cookie, 401], [wsBase, `x${token}`, {}, 403], [wsBase, token, { origin: 'http://evil.example' }, 403]]) {
    assert.equal((await socket(u, tok, headers)).status, status, `${u} ${tok} ${JSON.stringify(headers)}`);
  }
  for (const headers of [{ origin }, { host: 'localhost:9000', origin: 'http://localhost:9000' }]) {
    const { ws, got } = await socket(wsBase, token, headers);
    assert.deepEqual([(await waitFor(() => got[0], 5000, 'the snapshot')).type, ws.protocol], ['snapshot', 'quorvane'], 'the token not echoed');
    ws.close();
  }

  // Once the page is open, another server on 127.0.0.1 and its page get nothing of the token.
  const page = await openPage(browser, url);
  assert.deepEqual(await page.context().cookies(), []);
  const heard = [];
  const other = require('node:http').createServer((req, res) => heard.push(JSON.stringify(req.headers)) && res.writeHead(200, { 'content-type': 'text/html' }).end('<!doctype html><title>other</title>'));
  await new Promise((r) => other.listen(0, '127.0.0.1', r));
  t.after(async () => (other.close(), await page.close()));
  await page.goto(`http://127.0.0.1:${other.address().port}/`);
  const seen = await page.evaluate(() => JSON.stringify([document.cookie, { ...sessionStorage }, { ...localStorage }]));
  assert.ok(heard.length > 0 && ![seen, ...heard].some((h) => h.includes(token)), [seen, ...heard].join('\n'));

  // Another address than loopback is warned of; a bad one is refused; a named TLS proxy's origin let in.
  for (const args of [['--listen', 'nowhere'], ['--allow-origin', 'https://x.example/path']]) {
    assert.equal(spawnSync(process.execPath, [require('./helpers/child').CLI, 'web', ...args], { env: daemon.env }).status, 2, args.join(' '));
  }
  const wide = await startWeb(daemon.env, ['--listen', '0.0.0.0:0', '--allow-origin', 'https://pi.example:8443']);
  t.after(() => wide.run.stop());
  assert.match(wide.run.err, /warning: listening on 0\.0\.0\.0:0, reachable from other machines/);
  const widePort = Number(new URL(wide.origin).port);
  // The proxy's origin, another one, any port only when listening on loopback.
  assert.deepEqual([await ask(widePort, 'GET /', 'Host: pi.example:8443', 'Origin: https://pi.example:8443'),
    await ask(widePort, 'GET /', 'Host: pi.example:8443', 'Origin: https://other.example:8443'), await ask(widePort, 'GET /', 'Host: localhost:9000')], [200, 403, 403]);
});

// With an xdg-open of its own that runs until the server ends, while every command line is read.
test('--open hands the browser a file only this user can read', { skip }, async (t) => {
  const [fs, path] = [require('node:fs'), require('node:path')];
  const bin = require('./helpers/cli').scratch('quorvane-open-');
  fs.writeFileSync(path.join(bin, 'xdg-open'), `#!/bin/sh\necho "$@" > ${bin}/args\nexec tail --pid=$PPID -f /dev/null\n`, { mode: 0o755 });
  const opened = await startWeb({ ...daemon.env, PATH: `${bin}:${process.env.PATH}` }, ['--open']);
  t.after(() => opened.run.stop());
  const read = (f) => { try { return fs.readFileSync(f, 'utf8'); } catch { return ''; } }; // not yet, or gone
  const file = (await waitFor(() => read(`${bin}/args`).trim(), 5000, 'xdg-open run')).split(' ')[0];
  const cmdlines = () => fs.readdirSync('/proc').filter((p) => /^\d+$/.test(p)).map((p) => read(`/proc/${p}/cmdline`));
  await waitFor(() => cmdlines().some((l) => l.startsWith('tail\0--pid=')), 5000, 'xdg-open running');
  const lines = cmdlines();
  assert.ok(lines.length > 5 && !lines.some((l) => l.includes(opened.token)), 'a command line with the token');
  assert.deepEqual([fs.statSync(file).mode & 0o777, fs.statSync(path.dirname(file)).mode & 0o077], [0o600, 0]);
  const page = await openPage(browser, `file://${file}`);
  assert.equal(new URL(page.url()).origin, opened.origin);
  await page.close();
});

test('hostile messages leave the server up and the graph unchanged', { skip }, async () => {
  const view = () => withoutMeters(pwDump(daemon.env)).filter((o) => /Node|Port|Link/.test(o.type)).map((o) => [o.id, o.type, JSON.stringify(o.info?.params?.Props ?? null)]);
  const before = JSON.stringify(view());
  const { ws, got } = await socket(wsUrl(web), web.token);
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
  const notId = /must be a whole number from 0 to 4294967295/;
  const why = { 4: /volume must be a number from 0/, 7: /not created by quorvane/, 15: notId, 16: notId, 17: notId, 29: /U\+D800/ };
  for (let id = 20; id < 29; id++) why[id] = id < 26 ? /printable characters only: U\+/ : /must not begin or end with a space/;
  assert.deepEqual(Object.keys(why).filter((id) => !why[id].test(replies().find((r) => r.id === Number(id))?.error)), [], JSON.stringify(replies()));
  // An id past its bound is refused by name, not taken for a missing one.
  assert.ok(replies().some((r) => r.id === null && /"id" must be a whole number from 0 to 2147483647, not 1e\+300/.test(r.error)), JSON.stringify(replies()));

  // A flood far beyond the bound: every request answered by its id, most with "too many requests".
  const flood = Array.from({ length: 1000 }, (_, i) => 1000 + i);
  for (const id of flood) ws.send(JSON.stringify({ id, op: 'unlink', link: 999999 }));
  await waitFor(() => flood.every((id) => got.some((m) => m.id === id)), 10000, 'every request of the flood answered');
  assert.ok(flood.filter((id) => /too many requests/.test(got.find((m) => m.id === id).error)).length > 500);
  // A frame over 64 KiB closes that connection, and only that one.
  const big = await socket(wsUrl(web), web.token);
  big.ws.send('x'.repeat(1 << 20));
  assert.deepEqual([await new Promise((r) => big.ws.on('close', r)), JSON.stringify(view())], [1009, before], 'the graph unchanged');

  // Another page's requests still carried out; a snapshot at most once a second; 256 ports, 32 devices.
  const good = await socket(wsUrl(web), web.token);
  assert.deepEqual(await good.call({ id: 77, op: 'volume', node: speakers, volume: 0.3 }), { type: 'reply', id: 77, ok: true, result: { volume: 0.3 } });
  assert.equal((await good.call({ id: 78, op: 'resync' })).result.type, 'snapshot');
  assert.match((await good.call({ id: 79, op: 'resync' })).error, /at most once/);
  let id = 100;
  const ok = async (r) => (assert.ok((r = await r).ok, r.error), r.result?.node);
  const create = (name, n) => good.call({ id: id++, op: 'create', name, kind: 'sink', channels: Array.from({ length: n }, (_, i) => `AUX${i}`) });
  const destroy = (node) => ok(good.call({ id: id++, op: 'destroy', node }));
  const made = [await ok(create('big-a', 64))];
  const b = await ok(create('big-b', 63));
  assert.match((await create('one-more', 2)).error, /too many ports: .* at most 256/);
  await destroy(b);
  for (let i = 0; i < 31; i++) made.push(await ok(create(`small-${i}`, 1)));
  assert.match((await create('small-32', 1)).error, /too many devices: at most 32/);
  for (const node of made) await destroy(node);
  await destroy(await ok(create('after-the-others', 2)));
  for (const s of [ws, good.ws]) s.close();
});
