'use strict';
// The web patchbay with many pages, slow pages, rules, a daemon that goes and comes back; server in-process.
const test = require('node:test');
const assert = require('node:assert/strict');
const fs = require('node:fs');
const path = require('node:path');
const { scratch, restartDaemon } = require('./helpers/cli');
const { startDaemon, waitUntilSync } = require('./helpers/daemon');
const { Fixture, waitFor, linksFrom } = require('./helpers/fixture');
const { startWeb, launchBrowser, openPage, available, socket, wsUrl, mouseDrag } = require('./helpers/web');
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

const drawnNodes = (page) => page.evaluate(() => [...document.querySelectorAll('.node')].map((e) => Number(e.id.slice(5))).sort());
const graphNodes = () => graph.nodes().map((n) => n.id).sort();

test('ten pages stay in step, each drawing a burst in a few frames; one that stops reading is left behind, then resynced', { skip }, async () => {
  const listeners = graph.listenerCount('node-created');
  const pages = await Promise.all(Array.from({ length: 10 }, () => openPage(browser, server.url)));
  const counts = () => pages[0].evaluate(() => [window.__quorvane.events, window.__quorvane.renders]);
  const before = await counts();
  const ids = await fixture.addMany(100, 'burst', 'Audio/Sink', 2, 0);
  await fixture.remove(...ids.slice(0, 10));
  for (const page of pages) await waitFor(async () => JSON.stringify(await drawnNodes(page)) === JSON.stringify(graphNodes()), 10000, 'a page in step', 20);
  assert.deepEqual([graphNodes().length, server.stats().clients], [90, 10]);
  // A frame draws every event that came before it: not one frame an event.
  const [events, frames] = (await counts()).map((n, i) => n - before[i]);
  assert.ok(events >= 200 && frames * 5 <= events, `${frames} frames for ${events} events`);
  await Promise.all(pages.map((p) => p.close()));
  await waitFor(() => server.stats().clients === 0, 5000, 'the pages forgotten');
  assert.equal(graph.listenerCount('node-created'), listeners);

  const slow = await socket(wsUrl(server), server.token);
  const seen = () => slow.got.map((m) => m.type);
  await waitFor(() => seen().includes('snapshot'), 5000, 'the first snapshot');
  slow.ws.pause();
  // Large changes until the server has more queued than it keeps for a page.
  const big = 'x'.repeat(30000);
  for (let i = 0; i < 3000 && server.stats().lagging === 0; i++) await fixture.setProps(ids[10 + (i % 20)], { 'web.big': `${i}${big}` });
  assert.equal(server.stats().lagging, 1, 'the slow page left behind');
  // Asking for one builds nothing while it is behind.
  const built = server.stats().snapshots;
  for (let i = 0; i < 5; i++) slow.ws.send(JSON.stringify({ id: i, op: 'resync' }));
  slow.ws.resume();
  await waitFor(() => seen().lastIndexOf('snapshot') > 0 && server.stats().lagging === 0, 10000, 'a new snapshot once it reads again');
  assert.equal(server.stats().snapshots, built + 1, 'one snapshot: the one it gets once caught up');
  slow.ws.close();
  await fixture.remove(...ids.slice(10));
});

test('a page gets a burst of nodes with their info mostly merged into their first events, each with its latest state, and an id removed and made again as both', { skip }, async () => {
  const { ws, got } = await socket(wsUrl(server), server.token);
  const events = () => got.filter((m) => m.type === 'events').flatMap((m) => m.events);
  // The nodes' info comes a moment after them: in the same frame, as one event. This thread is held until
  // the connection has both, so that they reach the server within one frame however loaded the machine is.
  const made = fixture.addMany(50, 'merged', 'Audio/Sink', 2, 0);
  waitUntilSync(() => graph.nodes().filter((n) => n.name.startsWith('merged-') && n.state).length === 50, 5000, 'the nodes with their info');
  const ids = await made;
  const last = (id) => events().filter((e) => e.d?.id === id && /^node-(created|changed)$/.test(e.k)).at(-1)?.d;
  await waitFor(() => ids.every((id) => last(id)?.state && last(id).props['node.name'] === last(id).name), 5000, 'every node with its info');
  const changed = events().filter((e) => e.k === 'node-changed' && ids.includes(e.d.id)).length;
  // Unmerged, each node comes twice (50 or more "node-changed"); merged, most come once, however late some info is.
  assert.ok(changed < 40, `${changed} "node-changed" for 50 new nodes, beside their "node-created"`);
  // Ids come round again at once: the removal and the new node both come, in order.
  const [a] = ids;
  await fixture.remove(a);
  const b = await fixture.add('made-again', 'Audio/Sink', 2, 0);
  await waitFor(() => last(b.id)?.name === 'made-again', 5000, 'the new node');
  const kinds = events().filter((e) => e.d === a || e.d?.id === a || e.d?.id === b.id).map((e) => `${e.k} ${e.d?.id ?? e.d}`);
  assert.ok(kinds.indexOf(`node-destroyed ${a}`) >= 0 && kinds.indexOf(`node-destroyed ${a}`) < kinds.lastIndexOf(`node-created ${b.id}`), kinds.join(', '));
  ws.close();
  await fixture.remove(b.id, ...ids.slice(1));
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

// The boxes drawn (not hidden), the pairs of them that overlap, the links not drawn left to right.
const picture = (page) => page.evaluate(() => {
  const boxes = [...document.querySelectorAll('.node:not(.hidden)')].map((g) => {
    const [x, y] = /translate\(([-\d.]+),([-\d.]+)\)/.exec(g.getAttribute('transform')).slice(1).map(Number);
    return { id: Number(g.id.slice(5)), x, y, w: Number(g.querySelector('.box').getAttribute('width')), h: Number(g.querySelector('.box').getAttribute('height')) };
  }).sort((a, b) => a.x - b.x);
  const overlaps = boxes.flatMap((a, i) => boxes.slice(i + 1)
    .filter((b) => b.x < a.x + a.w && a.y < b.y + b.h && b.y < a.y + a.h).map((b) => [a.id, b.id]));
  const xs = (p) => p.getAttribute('d').match(/-?[\d.]+/g).map(Number);
  const backwards = [...document.querySelectorAll('.link')].filter((p) => !(xs(p)[0] < xs(p).at(-2))).map((p) => p.id);
  return { count: boxes.length, overlaps, backwards, at: Object.fromEntries(boxes.map((b) => [b.id, [b.x, b.y]])) };
});

test('at 200 nodes of each kind (sinks with monitors, duplex, virtual sources), no two boxes overlap, links read left to right, every node searched for is on top and in view, and a moved node keeps its place', { skip }, async () => {
  const kinds = [[200, 'sink', 'Audio/Sink', 2], [200, 'duplex', 'Audio/Duplex', 2],
    [200, 'vsource', 'Audio/Source/Virtual', 2], [20, 'player', 'Stream/Output/Audio', 0]];
  const ids = [];
  for (const [n, k, cls, ins] of kinds) ids.push(...(await fixture.addMany(n, `crowd-${k}`, cls, ins, 2)));
  const crowd = new Set(ids);
  await waitFor(() => graph.ports().filter((p) => crowd.has(p.nodeId)).length === 2440, 10000, 'the crowd\'s ports');
  const [nodes, all] = [new Map(graph.nodes().map((n) => [n.name, n])), graph.ports()];
  const node = (name) => nodes.get(name);
  const ports = (name, dir) => all.filter((p) => p.nodeId === node(name).id && p.direction === dir).map((p) => p.id);
  // Players through a duplex node into a sink, and into a virtual source a sink's monitor feeds too.
  const chain = (...names) => names.slice(1).flatMap((to, i) => ports(names[i], 0).map((out, c) => [out, ports(to, 1)[c]]));
  const pairs = [];
  for (let i = 0; i < 10; i++) pairs.push(...chain(`crowd-player-${i}`, `crowd-duplex-${i}`, `crowd-sink-${i}`));
  for (let i = 10; i < 20; i++) pairs.push(...chain(`crowd-player-${i}`, `crowd-vsource-${i}`), ...chain(`crowd-sink-${i}`, `crowd-vsource-${i}`));
  await fixture.link(pairs);
  await waitFor(() => graph.links().length >= pairs.length, 5000, 'the crowd\'s links');
  const page = await openPage(browser, server.url);
  await page.waitForFunction((n) => document.querySelectorAll('.node').length >= n && document.querySelectorAll('.link').length >= 60, 620, { timeout: 20000 });
  const drawn = await picture(page);
  assert.deepEqual([drawn.count >= 620, drawn.overlaps, drawn.backwards], [true, [], []], 'overlapping boxes, links reading right to left');
  const x = (name) => drawn.at[node(name).id][0];
  assert.ok(x('crowd-player-3') < x('crowd-duplex-3') && x('crowd-duplex-3') < x('crowd-sink-3'), 'a duplex node between what it links');

  // Each node searched for: the current one, in view at 100% or more, the box under its middle.
  const seen = (id) => page.evaluate((id) => {
    const g = document.getElementById(`node-${id}`);
    const [r, a] = [g.getBoundingClientRect(), document.getElementById('graph').getBoundingClientRect()];
    const under = document.elementFromPoint(r.x + r.width / 2, r.y + r.height / 2)?.closest('.node');
    return { inView: r.left >= a.left && r.right <= a.right && r.top >= a.top && r.bottom <= a.bottom && r.width >= 200, onTop: under === g };
  }, id);
  assert.equal((await seen(node('crowd-sink-137').id)).inView, false, 'the whole graph shown at first, small');
  for (const name of ['crowd-sink-137', 'crowd-duplex-150', 'crowd-vsource-199', 'crowd-player-13', 'crowd-sink-1']) {
    await page.fill('#search', name);
    await page.waitForFunction((id) => document.getElementById(`node-${id}`).classList.contains('current'), node(name).id);
    assert.deepEqual(await seen(node(name).id), { inView: true, onTop: true }, name);
  }
  assert.equal(await page.locator('#found').textContent(), '1 of 111', 'crowd-sink-1, -10 … -19, -100 … -199: the first');

  // Dragged by its title over the next column: kept there, those boxes make room, and after a reload.
  const target = node('crowd-sink-137');
  await page.fill('#search', target.name);
  const head = await page.locator(`#node-${target.id} .head`).boundingBox();
  const k = head.width / 240;
  await mouseDrag(page, [{ x: head.x + 40 * k, y: head.y + 10 * k }, { x: head.x + 310 * k, y: head.y + 10 * k }]);
  await page.fill('#search', '');
  let moved;
  // The boxes under it make room in the frames after the drop: both awaited.
  await waitFor(async () => {
    moved = await picture(page);
    return Math.abs(moved.at[target.id][0] - drawn.at[target.id][0] - 270) < 2 && moved.overlaps.length === 0;
  }, 5000, () => `the node 270 right of ${drawn.at[target.id]}: at ${moved.at[target.id]}; the boxes under the dropped one made room (overlaps: ${JSON.stringify(moved.overlaps)})`);
  await page.reload();
  await page.waitForFunction((n) => document.querySelectorAll('.node').length >= n, 620);
  const again = await picture(page);
  assert.deepEqual([again.at[target.id], again.overlaps], [moved.at[target.id], []], 'the place kept, clear of the others');

  // Hide unlinked: only the linked nodes, still apart.
  await page.check('#hide-unlinked');
  const linked = new Set(graph.links().flatMap((l) => [l.srcNodeId, l.sinkNodeId]));
  await page.waitForFunction((n) => document.querySelectorAll('.node:not(.hidden)').length === n, linked.size);
  const shown = await picture(page);
  assert.deepEqual([Object.keys(shown.at).map(Number).sort(), shown.overlaps], [[...linked].sort(), []]);
  await page.close();
  await fixture.remove(...ids);
});

test('the daemon going away is shown on the page, which carries on with the daemon that comes back', { skip }, async (t) => {
  const page = await openPage(browser, server.url);
  await fixture.close();
  daemon.kill();
  await page.waitForSelector('#banner:not([hidden]):has-text("PipeWire went away")', { timeout: 10000 });
  const second = await restartDaemon(daemon);
  t.after(() => second.kill('SIGKILL'));
  fixture = new Fixture(daemon.env);
  const back = await fixture.add('after-restart', 'Audio/Sink', 2, 0);
  await page.waitForSelector('#banner[hidden]', { state: 'attached', timeout: 10000 });
  await page.waitForSelector(`#node-${back.id}`, { timeout: 10000 });
  assert.deepEqual([await page.locator(`#node-${back.id} .name`).textContent(), await page.locator('#status').textContent()], ['after-restart', 'live']);
});
