'use strict';
// Level meters and the drivers' status on the web page; the server in this process, to count its meters.
const test = require('node:test');
const assert = require('node:assert/strict');
const { waitFor, heardBy, pwDump } = require('./helpers/fixture');
const { privateDaemon } = require('./helpers/setup');
const { playTone } = require('./helpers/tone');
const { launchBrowser, openPage, available, socket, wsUrl, mouseDrag } = require('./helpers/web');
const { startWebServer } = require('../lib/web/server');

const skip = !available() && 'no chromium';
let graph, server, browser;
const started = async (g) => {
  [graph, server] = [g, await startWebServer({ graph: g, port: 0 })];
  if (!skip) browser = await launchBrowser({ width: 1000, height: 700 });
};
const after = () => Promise.all([browser, server].map((o) => o?.close()));
const { daemon, fixture } = privateDaemon({ objects: [], profiler: true }, { graph: started, after });

// The daemon's meter streams, by the node each measures.
const meterStreams = () => pwDump(daemon.env).filter((o) => o.type === 'PipeWire:Interface:Node' && o.info.props['quorvane.meter'] !== undefined).map((o) => Number(o.info.props['quorvane.meter']));

test('a sink\'s meter follows the tone and the page\'s volume slider, falls silent, and is closed out of view; the status shows its driver', { skip }, async (t) => {
  // The monitor follows the channel volumes only with this property (0.3.65 measures before them).
  const sink = await graph.createNode({ name: 'meter-web-sink', props: { 'monitor.channel-volumes': 'true' } });
  const tone = await playTone(graph, daemon, 'meter-web-tone', sink);
  t.after(() => tone.child.kill('SIGKILL'));
  const page = await openPage(browser, server.url);
  assert.ok(await page.isChecked('#levels'), 'levels on at first');
  const peak = () => page.evaluate((id) => Number(document.querySelector(`#node-${id} .meter.on`)?.dataset.peak ?? NaN), sink.id);
  await waitFor(async () => Math.abs((await peak()) + 6) < 0.5, 5000, 'the tone at -6 dBFS drawn', 20);
  // The status: the sink's driver, quantum, rate and the profiler's xruns (red once there is one).
  const profiler = graph.profiler();
  t.after(() => profiler.close());
  let counted = null;
  profiler.on('profile', ({ drivers }) => (counted = drivers.find((d) => d.name === 'meter-web-sink')?.xruns ?? counted));
  let shown = null;
  await waitFor(async () => {
    shown = await page.locator('#signal').evaluate((e) => [e.textContent, e.classList.contains('xruns')]);
    const n = Number(/meter-web-sink: quantum \d+ at 48000 Hz, (\d+) xruns?/.exec(shown[0])?.[1]);
    return n === counted && shown[1] === n > 0;
  }, 10000, () => `the status to show the profiler's ${counted} xruns: ${shown}`);

  // A second page shares the meter; a raw one gets the latest levels in one frame, at the meters' rate.
  const second = await openPage(browser, server.url);
  await second.waitForSelector(`#node-${sink.id} .meter.on`);
  assert.deepEqual([server.stats().meters.meters, server.stats().meters.opened], [2, 2], 'the sink\'s and the tone\'s');
  await second.close();
  const raw = await socket(wsUrl(server), server.token);
  assert.deepEqual((await raw.call({ id: 1, op: 'meters', nodes: [sink.id, tone.node.id] })).result, { on: [sink.id, tone.node.id], off: [] });
  const frames = () => raw.got.filter((m) => m.type === 'levels');
  await waitFor(() => frames().length >= 30, 5000, '30 level frames');
  const sent = frames().slice(-20);
  // Coalesced: two meters at 15 Hz (not in phase) make at most 15 frames a second, not 30.
  const rate = (sent.length - 1) / ((sent.at(-1).receivedAt - sent[0].receivedAt) / 1000);
  assert.ok(rate < 17, `${rate.toFixed(1)} frames a second`);
  for (const node of [sink.id, tone.node.id]) assert.ok(sent.filter((f) => f.levels[node]).length >= 10, `node ${node} in most frames`);
  raw.ws.close();
  await waitFor(() => server.stats().meters.pages === 1, 5000, 'the raw page forgotten');

  // The slider lowered to 50% (0.125, -18 dB): the drawn level follows.
  await page.locator(`#row-${sink.id} input.volume`).fill('0.5');
  await waitFor(async () => Math.abs((await peak()) + 24) < 0.5, 3000, 'the level at -24 dBFS', 10);

  tone.child.kill('SIGKILL');
  await waitFor(async () => (await peak()) === -Infinity, 5000, 'silence drawn', 20);

  // Panned far away: no meter in view, none on the daemon; back in view, on again.
  const area = await page.locator('#graph').boundingBox();
  await mouseDrag(page, [[5, 5], [900, 600], [5000, 5000]].map(([x, y]) => ({ x: area.x + x, y: area.y + y })), 4);
  await waitFor(() => !meterStreams().includes(sink.id), 5000, 'the sink\'s meter stream gone');
  assert.equal(server.stats().meters.meters, 0);
  await page.click('#fit');
  await page.waitForSelector(`#node-${sink.id} .meter.on`, { timeout: 5000 });
  await page.close();
  await waitFor(() => server.stats().meters.meters === 0 && meterStreams().length === 0, 5000, 'no meter once the page went');
  await graph.destroyNode(sink.id);
});

test('a page\'s meter requests are checked and bounded, per page and in all', async (t) => {
  const limited = await startWebServer({ graph, port: 0, meterLimits: { perPage: 4, total: 5 } });
  t.after(() => limited.close());
  const ids = await fixture.addMany(10, 'metered', 'Audio/Source', 0, 2);
  // The Graph is a client of its own: it may hear of a node after the fixture made it.
  const deaf = await heardBy(graph, await fixture.add('unmetered', 'Audio/Sink', 2, 0));
  await waitFor(() => graph.ports().filter((p) => ids.includes(p.nodeId)).length === 20, 5000, 'the sources\' ports');
  const port = graph.ports().find((p) => p.nodeId === ids[0]).id;
  const a = await socket(wsUrl(limited), limited.token);
  let id = 1;
  const ask = (s, nodes, extra = {}) => s.call({ id: id++, op: 'meters', nodes, ...extra });
  const refused = [
    [Array.from({ length: 10000 }, (_, i) => i), /at most 1024 node ids/], [[2 ** 32 + 19], /whole number from 0 to 4294967295/],
    [[ids[0], ids[0]], /distinct/], ['all', /a list/], [[ids[0]], /unknown field/, { rate: 60 }]];
  for (const [nodes, why, extra] of refused) assert.match((await ask(a, nodes, extra)).error, why);
  assert.deepEqual(limited.stats().meters.meters, 0);

  const first = await waitFor(async () => {
    const r = await ask(a, [port, deaf.id, ...ids]);
    return r.ok && r; // refused as too soon after the last: asked again
  }, 5000, 'the first meters');
  assert.deepEqual(first.result.on, ids.slice(0, 4));
  const why = new Map(first.result.off.map((o) => [o.node, o.reason]));
  assert.match(why.get(port), /no node/);
  assert.match(why.get(deaf.id), /no audio output/);
  assert.deepEqual(ids.slice(4).map((n) => why.get(n)), Array(6).fill('at most 4 meters a page'));
  assert.equal((await ask(a, ids.slice(0, 1))).code, 'EBUSY', 'at once again: too soon');

  // Another page shares two and gets one more: five in all, the rest off.
  const b = await socket(wsUrl(limited), limited.token);
  const second = await ask(b, ids.slice(2));
  assert.deepEqual([second.result.on, second.result.off.map((o) => o.reason)], [ids.slice(2, 5), Array(5).fill('at most 5 meters at once')]);
  // (A test before this one may have left meters of its own.)
  const ours = () => meterStreams().filter((n) => ids.includes(n));
  await waitFor(() => ours().length === 5, 5000, 'five meter streams');

  // A flood of changes: each answered, most refused, never past the bound.
  const flood = Array.from({ length: 200 }, (_, i) => ({ id: 1000 + i, op: 'meters', nodes: i % 2 ? ids.slice(6) : ids.slice(0, 4) }));
  for (const m of flood) a.ws.send(JSON.stringify(m));
  await waitFor(() => flood.every((m) => a.got.some((r) => r.id === m.id)), 10000, 'the flood answered');
  assert.ok(a.got.filter((r) => r.id >= 1000 && r.code === 'EBUSY').length > 150);
  assert.ok(limited.stats().meters.meters <= 5 && ours().length <= 5);

  // Pages gone: their meters with them, a shared one when both have gone.
  a.ws.close();
  await waitFor(() => JSON.stringify(ours().sort()) === JSON.stringify(ids.slice(2, 5).sort()), 5000, 'the second page\'s meters only');
  b.ws.close();
  await waitFor(() => ours().length === 0 && limited.stats().meters.meters === 0, 5000, 'no meters');
  await fixture.remove(deaf.id, ...ids);
});
