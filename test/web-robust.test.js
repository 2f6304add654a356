'use strict';
// The web patchbay with many pages, slow pages, a rules file, and a daemon that
// goes away and comes back; the server runs in this process, to look at what it keeps.
const test = require('node:test');
const assert = require('node:assert/strict');
const fs = require('node:fs');
const path = require('node:path');
const { scratch, restartDaemon } = require('./helpers/cli');
const WebSocket = require('ws');
const { startDaemon } = require('./helpers/daemon');
const { Fixture, waitFor, linksFrom } = require('./helpers/fixture');
const { startWeb, launchBrowser, openPage, available, protocols } = require('./helpers/web');
const { startWebServer } = require('../lib/web/server');

const skip = !available() && 'no chromium';
const daemon = startDaemon({ objects: [] });
let fixture, graph, server, browser;

test.before(async () => {
  if (skip) return;
  fixture = new Fixture(daemon.env);
  graph = await require('..').connect({ reconnect: true });
  server = await startWebServer({ graph, port: 0, highWater: 64 * 1024 });
  browser = await launchBrowser({ width: 1000, height: 700 });
});
test.after(async () => {
  for (const o of [browser, server, graph, fixture]) await o?.close();
  daemon.stop();
});

const byId = (a, b) => a - b;
const drawnNodes = (page, sel = '.node') => page.evaluate((sel) => [...document.querySelectorAll(sel)].map((e) => Number(e.id.slice(5))), sel).then((ids) => ids.sort(byId));
const graphNodes = () => graph.nodes().map((n) => n.id).sort(byId);

test('ten pages stay in step; one that stops reading is left behind, then resynced', { skip }, async () => {
  const listeners = graph.listenerCount('node-created');
  const pages = await Promise.all(Array.from({ length: 10 }, () => openPage(browser, server.url)));
  const ids = await fixture.addMany(100, 'burst', 'Audio/Sink', 2, 0);
  await fixture.remove(...ids.slice(0, 10));
  for (const page of pages) await waitFor(async () => JSON.stringify(await drawnNodes(page)) === JSON.stringify(graphNodes()), 10000, 'a page in step', 20);
  assert.deepEqual([graphNodes().length, server.stats().clients], [90, 10]);
  await Promise.all(pages.map((p) => p.close()));
  await waitFor(() => server.stats().clients === 0, 5000, 'the pages forgotten');
  assert.equal(graph.listenerCount('node-created'), listeners);

  const [slow, seen] = [new WebSocket(`ws://127.0.0.1:${server.port}/ws`, protocols(server.token)), []];
  slow.on('message', (d) => seen.push(JSON.parse(d).type));
  await waitFor(() => seen.includes('snapshot'), 5000, 'the first snapshot');
  slow.pause();
  // Large changes until the server has more queued than it keeps for a page.
  const big = 'x'.repeat(30000);
  for (let i = 0; i < 3000 && server.stats().lagging === 0; i++) await fixture.setProps(ids[10 + (i % 20)], { 'web.big': `${i}${big}` });
  assert.equal(server.stats().lagging, 1, 'the slow page left behind');
  // Asking for one builds nothing while it is behind.
  const built = server.stats().snapshots;
  for (let i = 0; i < 5; i++) slow.send(JSON.stringify({ id: i, op: 'resync' }));
  slow.resume();
  await waitFor(() => seen.lastIndexOf('snapshot') > 0 && server.stats().lagging === 0, 10000, 'a new snapshot once it reads again');
  assert.equal(server.stats().snapshots, built + 1, 'one snapshot: the one it gets once caught up');
  slow.close();
  await fixture.remove(...ids.slice(10));
});

test('--rules: the page shows the rules in force and what the patchbay does, live', { skip }, async (t) => {
  const file = path.join(scratch('quorvane-rules-'), 'rules.json');
  fs.writeFileSync(file, JSON.stringify({ routes: [{ from: 'rule-app', to: 'rule-sink' }] }));
  const web = await startWeb(daemon.env, ['--rules', file]);
  t.after(() => web.run.stop());
  const page = await openPage(browser, web.url);
  assert.match(await page.locator('#rules').textContent(), /"from": "rule-app"/);
  const app = await fixture.add('rule-app', 'Stream/Output/Audio', 0, 'FL,FR');
  await fixture.add('rule-sink', 'Audio/Sink', 'FL,FR', 0);
  await waitFor(() => linksFrom(app.outputs, daemon.env).length === 2, 5000, 'the rule applied');
  await page.waitForFunction(() => [...document.querySelectorAll('#actions li')].filter((li) => /linked .*routes\[0\]/.test(li.textContent)).length === 2, null, { timeout: 5000 });
});

test('at 200 nodes: search, filters and kept places work', { skip }, async () => {
  const ids = await fixture.addMany(200, 'crowd', 'Audio/Sink', 2, 0);
  const app = await fixture.add('crowd-player', 'Stream/Output/Audio', 0, 'FL,FR');
  const target = graph.nodes().find((n) => n.name === 'crowd-137'); // the 138th
  const page = await openPage(browser, server.url);
  await page.waitForFunction((n) => document.querySelectorAll('.node').length >= n, 201, { timeout: 10000 });
  const inView = (id) => page.evaluate((id) => {
    const r = document.getElementById(`node-${id}`).getBoundingClientRect();
    const a = document.getElementById('graph').getBoundingClientRect();
    return r.width > 0 && r.left >= a.left && r.right <= a.right && r.top >= a.top && r.bottom <= a.bottom && r.width >= 200; // at zoom >= 1 (240 wide)
  }, id);
  const picture = (id) => page.evaluate((id) => document.getElementById(`node-${id}`).getAttribute('transform'), id);
  assert.equal(await inView(target.id), false, 'not in view at first: the whole graph fits, small');

  await page.fill('#search', 'crowd-137');
  await page.waitForFunction((id) => document.getElementById(`node-${id}`).classList.contains('current'), target.id);
  assert.deepEqual([await page.locator('#found').textContent(), await inView(target.id)], ['1 of 1', true], 'the node found, in view');

  // Dragged by its title bar to an empty place, then the page reloaded.
  const [head, before] = [await page.locator(`#node-${target.id} .head`).boundingBox(), await picture(target.id)];
  await page.mouse.move(head.x + 40, head.y + 10).then(() => page.mouse.down());
  await page.mouse.move(head.x + 290, head.y + 10, { steps: 5 }); // into the gap beside its column
  await page.mouse.up();
  const moved = await picture(target.id);
  assert.notEqual(moved, before);
  await page.reload();
  await page.waitForSelector(`body[data-ready="true"] #node-${target.id}`);
  assert.equal(await picture(target.id), moved, 'the place kept');

  // Hide unlinked: only the two linked nodes stay.
  await fixture.link([[app.outputs[0], graph.ports().find((p) => p.nodeId === target.id && p.direction === 1).id]]);
  await page.check('#hide-unlinked');
  await page.waitForFunction(() => document.querySelectorAll('.node:not(.hidden)').length === 2);
  assert.deepEqual(await drawnNodes(page, '.node:not(.hidden)'), [target.id, app.id].sort(byId));
  await page.close();
  await fixture.remove(app.id, ...ids);
});

test('the daemon going away is shown on the page, which carries on with the daemon that comes back', { skip }, async (t) => {
  const page = await openPage(browser, server.url);
  await fixture.close();
  daemon.kill();
  await page.waitForSelector('#banner:not([hidden])', { timeout: 10000 });
  assert.match(await page.locator('#banner').textContent(), /PipeWire went away/);
  const second = await restartDaemon(daemon);
  t.after(() => second.kill('SIGKILL'));
  fixture = new Fixture(daemon.env);
  const back = await fixture.add('after-restart', 'Audio/Sink', 2, 0);
  await page.waitForSelector('#banner[hidden]', { state: 'attached', timeout: 10000 });
  await page.waitForSelector(`#node-${back.id}`, { timeout: 10000 });
  assert.deepEqual([await page.locator(`#node-${back.id} .name`).textContent(), await page.locator('#status').textContent()], ['after-restart', 'live']);
});
