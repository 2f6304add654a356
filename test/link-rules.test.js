'use strict';
// Routes against a private daemon: restarted nodes, others' links, overlapping,
// exclusive and contested routes (a daemon restart: cli.test.js).
const test = require('node:test');
const assert = require('node:assert/strict');
const { spawnSync } = require('node:child_process');
const { waitFor, heardBy, linksFrom, pwDump, sorted } = require('./helpers/fixture');
const { runChild } = require('./helpers/child');
const { privateDaemon } = require('./helpers/setup');
const { waitUntilSync } = require('./helpers/daemon');
const { pairPorts } = require('../lib/features/pairing');

let graph;
const { daemon, fixture } = privateDaemon({}, { graph: (g) => (graph = g) });
const channelPort = (nodeId, channel) => graph.ports().find((p) => p.nodeId === nodeId && p.props['audio.channel'] === channel).id;
// Fixture nodes: [name, media class, input channels, output channels] each.
const nodes = (...specs) => Promise.all(specs.map((spec) => fixture.add(...spec)));
// The two links of a stereo output's ports to each of `sinks`.
const stereo = (out, ...sinks) => sorted(sinks.flatMap((n) => [[out.outputs[0], n.inputs[0]], [out.outputs[1], n.inputs[1]]]));

test('pairing: by channel, mono to every channel, by port order where channels do not help', () => {
  const port = (id, ch) => ({ id, props: ch ? { 'audio.channel': ch } : {} });
  const ids = (pairs) => pairs.map(([o, i]) => [o.id, i.id]);
  const [stereoOut, stereoIn] = [[port(1, 'FR'), port(2, 'FL')], [port(11, 'FL'), port(12, 'FR')]];
  const surround = ['FL', 'FR', 'FC', 'LFE', 'RL', 'RR'].map((ch, i) => port(20 + i, ch));
  // By channel, positional, mono, 5.1 into stereo (the front pair), no channels, channels that do not overlap.
  assert.deepEqual([[stereoOut], [stereoOut, 'positional'], [[port(3, 'MONO')]], [surround], [[port(4), port(5), port(6)]], [[port(7, 'AUX0'), port(8, 'AUX1')]]]
    .map(([out, how]) => ids(pairPorts(out, stereoIn, how))), [[[1, 12], [2, 11]], [[1, 11], [2, 12]], [[3, 11], [3, 12]], [[20, 11], [21, 12]], [[4, 11], [5, 12]], [[7, 11], [8, 12]]]);
});

test('a restarted source is linked again each time; a link removed by others comes back', async () => {
  const [sink, other] = await nodes(['rt-sink', 'Audio/Sink', 'FL,FR', '0'], ['rt-other', 'Audio/Source', '0', 'MONO']);
  await fixture.link([[other.outputs[0], sink.inputs[0]]]);
  await heardBy(graph, sink);
  const route = graph.linkRule({ from: 'rt-player', to: { 'media.class': 'Audio/Sink', 'node.name': /^rt-sink$/ } }).on('error', (e) => assert.fail(e));
  const [fl, fr] = ['FL', 'FR'].map((ch) => channelPort(sink.id, ch));
  const have = () => sorted(route.links.map((l) => [l.srcPortId, l.sinkPortId]));
  let player;
  for (let i = 0; i < 30; i++) {
    if (player) await fixture.remove(player.id);
    await waitFor(() => route.links.length === 0, 5000, `round ${i}: the links to go`);
    player = await fixture.add('rt-player', 'Stream/Output/Audio', '0', i % 2 ? 'FR,FL' : 'FL,FR');
    const [o1, o2] = player.outputs;
    await waitFor(() => have().length === 2, 5000, `round ${i}: the links`);
    assert.deepEqual(have(), sorted(i % 2 ? [[o1, fr], [o2, fl]] : [[o1, fl], [o2, fr]]), `round ${i}`);
  }
  const [want, victim] = [have(), route.links[0]];
  assert.equal(spawnSync('pw-link', ['-d', String(victim.id)]).status, 0);
  await waitFor(() => route.links.length === 2 && !route.links.some((l) => l.id === victim.id), 5000, 'the link again');
  assert.deepEqual(linksFrom(player.outputs), want);
  await route.close();
  assert.deepEqual([...linksFrom(player.outputs), ...linksFrom(other.outputs)], [[other.outputs[0], sink.inputs[0]]]);
});

test('a route closed after another client took its link\'s id removes its own link only, never the newer one', async () => {
  const [src, , other, otherSink] = await nodes(['ir-src', 'Audio/Source', '0', 'MONO'], ['ir-sink', 'Audio/Sink', 'MONO', '0'],
    ['ir-other', 'Audio/Source', '0', 'MONO'], ['ir-other-sink', 'Audio/Sink', 'MONO', '0']);
  const route = graph.linkRule({ from: 'ir-src', to: 'ir-sink' });
  await waitFor(() => route.links.length === 1, 5000, 'the route\'s link');
  const [made] = route.links;
  // With this thread held, so that the route hears none of it: its link removed and, ids coming round
  // again at once, the id given to another client's link.
  const pwLink = (...args) => spawnSync('pw-link', args.map(String), { env: daemon.env }).status;
  assert.deepEqual([pwLink('-d', made.id), pwLink(other.outputs[0], otherSink.inputs[0])], [0, 0]);
  waitUntilSync(() => graph.links().some((l) => l.srcPortId === other.outputs[0]), 5000, 'the other link in the mirror');
  assert.equal(graph.links().find((l) => l.srcPortId === other.outputs[0]).id, made.id, 'the daemon gave the id again');
  await route.close();
  // A removal sent would be carried out before a node the daemon announces after it.
  await settle();
  assert.deepEqual(linksFrom([...src.outputs, ...other.outputs]), [[other.outputs[0], otherSink.inputs[0]]]);
});

test('a route hears the graph whatever the listeners of the Graph and the route do', async () => {
  const [src, sink] = await nodes(['ic-src', 'Audio/Source', '0', 'MONO'], ['ic-sink', 'Audio/Sink', 'MONO', '0']);
  // In a process of its own: the test runner takes uncaught exceptions for failures.
  const r = await runChild(
    `const { spawnSync } = require('node:child_process');
    const { waitFor } = require(${JSON.stringify(require.resolve('./helpers/fixture'))});
    const [thrown, heard] = [[], []];
    process.on('uncaughtException', (e) => thrown.push(e.message));
    (async () => {
      const graph = await require(${JSON.stringify(require.resolve('..'))}).connect();
      // Before the route: the first to hear each removal.
      graph.on('link-destroyed', () => { throw new Error('a listener threw'); });
      graph.on('link-destroyed', (id) => heard.push(id));
      const route = graph.linkRule({ from: 'ic-src', to: 'ic-sink' });
      route.on('unlinked', () => { throw new Error('a route listener threw'); });
      const relinked = async (what) => {
        await waitFor(() => route.links.length === 1, 5000, what + ': the link');
        const { id } = route.links[0];
        spawnSync('pw-link', ['-d', String(id)]);
        await waitFor(() => route.links.length === 1 && route.links[0].id !== id, 5000, what + ': the link again');
        return id;
      };
      const removed = await relinked('beside a listener that throws');
      graph.removeAllListeners();
      await relinked('with no listeners left');
      console.log(JSON.stringify({ thrown, heard: heard.includes(removed) }));
      await graph.close();
    })().catch((e) => { console.error(e); process.exit(1); });`, { preload: false });
  assert.equal(r.code, 0, r.stderr);
  // The route hears first: its own listener throws before the Graph's does.
  assert.deepEqual(JSON.parse(r.stdout), { thrown: ['a route listener threw', 'a listener threw', 'a route listener threw'], heard: true });
});

test('exclusive: links from the source elsewhere are removed as they appear', async () => {
  const [vmic, speakers, other, app] = await nodes(['ex-vmic', 'Audio/Sink', 'FL,FR', '0'], ['ex-speakers', 'Audio/Sink', 'FL,FR', '0'],
    ['ex-other', 'Stream/Output/Audio', '0', 'FL,FR'], ['ex-app', 'Stream/Output/Audio', '0', 'FL,FR']);
  const [otherLink] = await fixture.link([[other.outputs[0], speakers.inputs[0]]]);
  await fixture.link(stereo(app, speakers));
  const route = graph.linkRule({ from: 'ex-app', to: 'ex-vmic', exclusive: true }).on('error', (e) => assert.fail(e));
  const [fromApp, want] = [() => linksFrom(app.outputs), stereo(app, vmic)];
  await waitFor(() => String(fromApp()) === String(want), 5000, 'only the route\'s links from the app');
  await fixture.link([[app.outputs[1], speakers.inputs[0]]]);
  await waitFor(() => String(fromApp()) === String(want), 5000, 'the new link to be removed');
  assert.ok(graph.links().some((l) => l.id === otherLink), 'a link from another node stays');
  await route.close();
  // What it took is given back, as lingering links (beside a session manager: session-manager.test.js).
  assert.deepEqual(fromApp(), sorted([...stereo(app, speakers), [app.outputs[1], speakers.inputs[0]]]));
  const given = pwDump().filter((o) => o.type === 'PipeWire:Interface:Link' && app.outputs.includes(o.info.props['link.output.port']));
  assert.deepEqual(given.map((o) => o.info.props['object.linger']), [true, true, true]);
});

// PipeWire 1.6 refuses a second link of a port that is exclusive (its own
// "port.exclusive" or its node's "node.exclusive") with EBUSY; older lines link it.
test('a route meeting an exclusive node reports it once per pair and asks no more', async () => {
  const [major, minor] = /libpipewire (\d+)\.(\d+)/.exec(spawnSync('pipewire', ['--version'], { encoding: 'utf8' }).stdout).slice(1).map(Number);
  const refuses = major > 1 || (major === 1 && minor >= 6);
  const mic = await graph.createNode({ name: 'xb-mic', mediaClass: 'Audio/Source/Virtual', props: { 'node.exclusive': 'true' } });
  const [a, b] = [await graph.createNode({ name: 'xb-a' }), await graph.createNode({ name: 'xb-b' })];
  const port = (node, name) => graph.ports().find((p) => p.nodeId === node.id && p.name === name).id;
  await graph.link(port(mic, 'capture_FL'), port(a, 'playback_FL'));
  const errors = [];
  const route = graph.linkRule({ from: 'xb-mic', to: 'xb-b' }).on('error', (e) => errors.push(e));
  await waitFor(() => route.links.length + (errors.length > 0) === 2, 5000, 'the route to settle');
  // Requests after the route's are answered after them.
  await graph.setVolume(b.id, 0.5);
  await new Promise((resolve) => setImmediate(resolve));
  if (refuses) {
    // Once, and its other port is linked.
    assert.deepEqual([errors.map((e) => [e.code, /"xb-mic" -> "xb-b": a port is exclusive and linked elsewhere already/.test(e.message)]),
      route.links.map((l) => l.srcPortId)], [[['EBUSY', true]], [port(mic, 'capture_FR')]]);
  } else assert.deepEqual(errors, []);
  await route.close();
});

// Once the fixture's own node has come and gone, every route has heard and answered what happened before it.
let barriers = 0;
async function settle() {
  const probe = await heardBy(graph, await fixture.add(`barrier-${barriers++}`, 'Audio/Sink', 1, 0));
  await fixture.remove(probe.id);
  await graph.waitForPorts(probe.id, { count: 1, timeoutMs: 0 }).catch(() => {});
}

test('routes of one process never fight', async () => {
  const [app, mic, speakers, headset] = await nodes(['nf-app', 'Stream/Output/Audio', '0', 'FL,FR'],
    ...['nf-mic', 'nf-speakers', 'nf-headset'].map((name) => [name, 'Audio/Sink', 'FL,FR', '0']));
  let created = 0;
  graph.on('link-created', (l) => app.outputs.includes(l.srcPortId) && created++);
  const [fromApp, errors] = [() => linksFrom(app.outputs), []];
  const a = graph.linkRule({ from: 'nf-app', to: 'nf-mic', exclusive: true });
  const b = graph.linkRule({ from: 'nf-app', to: 'nf-speakers' });
  // Overlaps b: the pair is shared, and outlives whichever closes first.
  const d = graph.linkRule({ from: /^nf-app$/, to: { 'node.name': 'nf-speakers' } });
  for (const [who, r] of Object.entries({ a, b, d })) r.on('error', (e) => errors.push([who, e.message]));
  await waitFor(() => String(fromApp()) === String(stereo(app, mic, speakers)), 5000, 'both routes\' links');
  await settle();
  assert.deepEqual([fromApp(), created], [stereo(app, mic, speakers), 4], 'still both after the routes heard everything, each made once');

  // Two exclusive routes of one source to different sinks cannot both hold:
  // the later one says so once and leaves the source alone.
  const c = graph.linkRule({ from: 'nf-app', to: 'nf-headset', exclusive: true }).on('error', (e) => errors.push(['c', e.message]));
  await waitFor(() => errors.length > 0, 5000, 'the later exclusive route to report');
  await settle();
  assert.deepEqual(errors.map(([who, m]) => [who, /nf-app.*held by another exclusive link rule from "nf-app" to "nf-mic"/.test(m)]), [['c', true]], String(errors));
  assert.deepEqual([fromApp(), created], [stereo(app, mic, speakers), 4]);

  await a.close();
  await waitFor(() => String(fromApp()) === String(stereo(app, speakers, headset)), 5000, 'the second exclusive route to take over');
  assert.deepEqual(errors.slice(1), []);
  await b.close();
  await waitFor(() => d.links.length === 2, 5000, 'the overlapping route to take the pair over');
  assert.deepEqual(fromApp(), stereo(app, speakers, headset));
  // A route closed while its link requests are on their way takes those links too.
  await graph.linkRule({ from: 'nf-app', to: 'nf-mic' }).close();
  assert.deepEqual(fromApp(), stereo(app, speakers, headset));
  await Promise.all([c.close(), d.close()]);
  assert.deepEqual(fromApp(), []);
});

test('a link another client keeps removing is asked for again with a growing pause, and reported as contested', async () => {
  const [src, sink] = await nodes(['ct-src', 'Audio/Source', '0', 'MONO'], ['ct-sink', 'Audio/Sink', 'MONO', '0']);
  const [times, errors] = [[], []];
  const route = graph.linkRule({ from: 'ct-src', to: 'ct-sink' }).on('error', (e) => errors.push(e.message)).on('linked', (l) => times.push(Date.now()) && spawnSync('pw-link', ['-d', String(l.id)], { env: daemon.env }));
  await waitFor(() => errors.length > 0, 10000, 'the route to report the contest');
  assert.match(errors[0], /port \d+ to port \d+ is contested: another client removed it 3 times/);
  await waitFor(() => times.length >= 6, 10000, 'more requests');
  await route.close();
  // Without a pause the route asks again within milliseconds; with it, the pauses double.
  const gaps = times.slice(1).map((t, i) => t - times[i]);
  assert.deepEqual([gaps[3] >= 150 && gaps[4] >= 300, errors.length], [true, 1], `gaps ${gaps}; ${errors}`);
});
