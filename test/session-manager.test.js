'use strict';
// Beside a real session manager (Debian's WirePlumber on a private bus, one
// stack for the scenarios beside it): volume as wpctl prints it, defaults
// taken up, moved streams, what an exclusive route gives back, and audio
// through a created virtual microphone. With none, the hand-back through the CLI.
const test = require('node:test');
const assert = require('node:assert/strict');
const fs = require('node:fs');
const path = require('node:path');
const { spawn, spawnSync } = require('node:child_process');
const { startDaemon } = require('./helpers/daemon');
const { Fixture, waitFor, pwDump, linksFrom } = require('./helpers/fixture');
const { startSessionManager, playStream, poll, metadataReportsChanges } = require('./helpers/session-manager');

const CLI = path.join(__dirname, '..', 'bin', 'quorvane.js');
const stereoSink = (name) => ({ name, mediaClass: 'Audio/Sink', positions: ['FL', 'FR'] });

// The links from `nodeName`'s ports, as "node:port -> node:port" with the
// client that made each, from pw-dump.
function linksOfNode(nodeName) {
  const dump = pwDump();
  const byId = new Map(dump.map((o) => [o.id, o.info?.props ?? {}]));
  const name = (portId) => `${byId.get(byId.get(portId)?.['node.id'])?.['node.name']}:${byId.get(portId)?.['port.name']}`;
  return dump
    .filter((o) => o.type === 'PipeWire:Interface:Link')
    .map((o) => ({ pair: `${name(o.info.props['link.output.port'])} -> ${name(o.info.props['link.input.port'])}`, client: o.info.props['client.id'] }))
    .filter((l) => l.pair.startsWith(`${nodeName}:`))
    .sort((a, b) => (a.pair < b.pair ? -1 : 1));
}
const pairsOfNode = (nodeName) => linksOfNode(nodeName).map((l) => l.pair);

// The same from `pw-link -l`: each output port, then its "|->" peers.
function pwLinkPairs(nodeName, env) {
  const pairs = [];
  let out = null;
  for (const line of spawnSync('pw-link', ['-l'], { env, encoding: 'utf8', timeout: 5000 }).stdout.split('\n')) {
    const peer = /^\s+\|->\s+(.*)$/.exec(line);
    if (peer && out) pairs.push(`${out} -> ${peer[1]}`);
    else if (!/^\s/.test(line)) out = line.startsWith(`${nodeName}:`) ? line : null;
  }
  return pairs.sort();
}

test('no session manager, quorvane route --exclusive: Ctrl-C gives back the links it removed, as lingering links, and only those', async (t) => {
  const daemon = startDaemon({ objects: [] });
  const fixture = new Fixture();
  t.after(async () => {
    await fixture.close();
    daemon.stop();
  });
  const [sinkA, sinkB, gone] = [await fixture.add('nsm-a', 'Audio/Sink', 'FL,FR', '0'), await fixture.add('nsm-b', 'Audio/Sink', 'FL,FR', '0'), await fixture.add('nsm-gone', 'Audio/Sink', 'FL', '0')];
  const app = await fixture.add('nsm-app', 'Stream/Output/Audio', '0', 'FL,FR');
  const other = await fixture.add('nsm-other', 'Stream/Output/Audio', '0', 'FL');
  const onA = [[app.outputs[0], sinkA.inputs[0]], [app.outputs[1], sinkA.inputs[1]]];
  await fixture.link([...onA, [app.outputs[0], gone.inputs[0]], [other.outputs[0], sinkA.inputs[0]]]);
  const child = spawn(process.execPath, [CLI, 'route', '--from', 'nsm-app', '--to', 'nsm-b', '--exclusive'], { stdio: ['ignore', 'pipe', 'pipe'] });
  let out = '';
  child.stdout.on('data', (d) => (out += d));
  child.stderr.on('data', (d) => (out += d));
  const exited = new Promise((resolve) => child.on('exit', resolve));
  try {
    const onB = [[app.outputs[0], sinkB.inputs[0]], [app.outputs[1], sinkB.inputs[1]]];
    await waitFor(() => String(linksFrom(app.outputs)) === String(onB), 5000, 'the route to take nsm-app');
    await fixture.remove(gone.id);
  } finally {
    child.kill('SIGINT');
  }
  assert.equal(await exited, 0, out);
  assert.match(out, /^gave back nsm-app -> nsm-a \(lingering links\)$/m);
  assert.doesNotMatch(out, /nsm-gone/);
  // Back on nsm-a after the tool has gone, as lingering links (the
  // fixture's own were removed); the other stream's link was never touched.
  assert.deepEqual(linksFrom(app.outputs), onA);
  assert.deepEqual(linksFrom(other.outputs), [[other.outputs[0], sinkA.inputs[0]]]);
  const given = pwDump().filter((o) => o.type === 'PipeWire:Interface:Link' && app.outputs.includes(o.info.props['link.output.port']));
  assert.deepEqual(given.map((o) => o.info.props['object.linger']), [true, true]);
});

// The stack the scenarios beside WirePlumber share, started by the first.
let stack;
async function beside() {
  if (stack) return stack;
  const daemon = startDaemon({ objects: ['ctl-a', 'ctl-b', 'sm-a', 'sm-b', 'sm-c'].map(stereoSink) });
  stack = { daemon, children: [] };
  stack.sm = await startSessionManager(daemon);
  stack.graph = await require('..').connect();
  return stack;
}
async function tearDown() {
  const s = stack;
  stack = undefined;
  if (!s) return;
  await s.graph?.close();
  for (const c of s.children) c.kill();
  await s.sm?.stop();
  s.daemon.stop();
}
test.after(tearDown);

// PipeWire 0.3.65 beside WirePlumber 0.4.13 now and then (about one start in
// eight) stops passing the changes of WirePlumber's "default" metadata on to
// every client, pw-metadata -m included, for that WirePlumber's life. A
// scenario that fails on such a stack runs once more on a new one.
async function besideWirePlumber(t, scenario) {
  try {
    return await scenario(await beside());
  } catch (e) {
    if (!stack || (await metadataReportsChanges(stack.sm.env))) throw e;
    t.diagnostic(`the "default" metadata reports no changes (${e.message}): once more on a new stack`);
    await tearDown();
    return scenario(await beside());
  }
}

test('beside WirePlumber: volume as wpctl prints it, a default taken up, a stream moved and back', (t) =>
  besideWirePlumber(t, async ({ sm, graph, children }) => {
    const wpctl = (...args) => spawnSync('wpctl', args.map(String), { env: sm.env, encoding: 'utf8', timeout: 5000 }).stdout.trim();
    const a = (await graph.waitForNode('ctl-a')).id;

    // Channels apart: wpctl shows the first one's cube root, and so does volume.
    const set = await graph.setVolume(a, [0.7, 0.2]);
    assert.equal(set.volume, 0.7);
    assert.equal(wpctl('get-volume', a), 'Volume: 0.70');
    await graph.setMute(a, true);
    assert.equal(wpctl('get-volume', a), 'Volume: 0.70 [MUTED]');
    const changed = new Promise((resolve) => graph.on('node-changed', (n, c) => c.volume && n.id === a && resolve(n)));
    wpctl('set-volume', a, 0.35);
    assert.equal((await changed).volume, 0.35);

    // The default: configured here, chosen by WirePlumber.
    const chosen = new Promise((resolve) => graph.on('defaults-changed', (d) => d.audioSink === 'ctl-b' && resolve(d)));
    await graph.setDefault('audioSink', 'ctl-b');
    assert.deepEqual((await chosen).configured.audioSink, 'ctl-b');
    await graph.setDefault('audioSink', 'ctl-a');

    // A stream on the default sink, moved to the other and back.
    children.push(playStream(sm, 'ctl-player'));
    const stream = await graph.waitForNode('ctl-player', { timeoutMs: 10000 });
    const sinksOf = () => [...new Set(pwLinkPairs('ctl-player', sm.env).map((p) => p.split(' -> ')[1].split(':')[0]))];
    const settled = (sinks, what) => poll(() => String(sinksOf()) === String(sinks), 5000, what, 20);
    await settled(['ctl-a'], 'WirePlumber to link the stream to ctl-a');
    // A stream's volume is its client's to apply: the request goes through it.
    await graph.waitForNode((n) => n.id === stream.id && n.volume !== undefined);
    assert.equal((await graph.setVolume(stream.id, 0.45)).volume, 0.45);
    assert.equal(wpctl('get-volume', stream.id), 'Volume: 0.45');
    await graph.move(stream.id, 'ctl-b');
    await settled(['ctl-b'], 'the stream to move to ctl-b');
    await graph.move(stream.id, null);
    await settled(['ctl-a'], 'the stream to follow the default again');
  }));

test('beside WirePlumber: streams go back to the sink they had, with its links and their metadata, and a later move leaves them on one sink', (t) =>
  besideWirePlumber(t, async ({ sm, graph, children: streams }) => {
    const node = (name) => graph.nodes().find((n) => n.name === name);
    const on = (stream, sink) => [`${stream}:output_FL -> ${sink}:playback_FL`, `${stream}:output_FR -> ${sink}:playback_FR`];
    const settled = (stream, sink, what) => poll(() => String(pairsOfNode(stream)) === String(on(stream, sink)), 5000, what, 20).catch((e) => {
      throw new Error(`${e.message}; links: ${pairsOfNode(stream).join(', ')}`);
    });

    // sm-one on the default sink; sm-two where the user put it (its own
    // "target.object"), the same sink.
    sm.setMetadata(0, 'default.configured.audio.sink', JSON.stringify({ name: 'sm-a' }), 'Spa:String:JSON');
    await poll(() => sm.metadata()?.some((e) => e.key === 'default.audio.sink' && e.value?.name === 'sm-a'), 5000, 'sm-a as the default sink');
    streams.push(playStream(sm, 'sm-one'), playStream(sm, 'sm-two'));
    await settled('sm-one', 'sm-a', 'WirePlumber to link sm-one to sm-a');
    await settled('sm-two', 'sm-a', 'WirePlumber to link sm-two to sm-a');
    const two = (await graph.waitForNode('sm-two')).id;
    const aSerial = Number(node('sm-a').props['object.serial']);
    sm.setMetadata(two, 'target.object', aSerial);
    const wpClient = linksOfNode('sm-one')[0].client;

    const route = graph.route({ from: /^sm-(one|two)$/, to: 'sm-b', exclusive: true });
    await settled('sm-one', 'sm-b', 'the route to take sm-one');
    await settled('sm-two', 'sm-b', 'the route to take sm-two');
    const given = await route.close();
    assert.deepEqual(
      given.sort((x, y) => x.from - y.from),
      [node('sm-one').id, two].sort((x, y) => x - y).map((from) => ({ from, to: node('sm-a').id, by: 'session-manager' })),
    );
    // Given back when close() resolves, by the session manager itself (its
    // links, not lingering ones of ours), their metadata as it was.
    for (const name of ['sm-one', 'sm-two']) {
      assert.deepEqual(linksOfNode(name), on(name, 'sm-a').map((pair) => ({ pair, client: wpClient })));
      assert.deepEqual(pwLinkPairs(name, sm.env), on(name, 'sm-a'));
    }
    const entries = (id) => sm.metadata().filter((e) => e.subject === id).map((e) => `${e.key}=${e.value}`);
    assert.deepEqual(entries(node('sm-one').id), []);
    assert.deepEqual(entries(two), [`target.object=${aSerial}`]);

    // The session manager moves them later: nothing stays behind on sm-a.
    for (const name of ['sm-one', 'sm-two']) sm.setMetadata(node(name).id, 'target.object', node('sm-c').props['object.serial']);
    await settled('sm-one', 'sm-c', 'sm-one on sm-c only');
    await settled('sm-two', 'sm-c', 'sm-two on sm-c only');
  }));

// The peak of a growing 16-bit WAV recording so far.
function peak(file) {
  const bytes = fs.existsSync(file) ? fs.readFileSync(file) : Buffer.alloc(0);
  let max = 0;
  for (let i = 44; i + 1 < bytes.length; i += 2) max = Math.max(max, Math.abs(bytes.readInt16LE(i)));
  return max;
}

test('beside WirePlumber: a player routed into a created virtual microphone is heard by an application recording from it, and goes nowhere else', async () => {
  const { sm, graph, children } = await beside();
  await graph.createNode({ name: 'qv-call-mic', mediaClass: 'Audio/Source/Virtual', description: 'Call microphone' });
  // The call application picks the microphone; the session manager links it.
  const recording = path.join(sm.dir, 'heard.wav');
  const record = ['--target', 'qv-call-mic', '--rate', '48000', '--channels', '2', '--format', 's16', recording];
  children.push(spawn('setpriv', ['--pdeathsig', 'KILL', 'pw-record', ...record], { env: sm.env, stdio: 'ignore' }));
  await graph.waitForNode({ 'application.name': 'pw-record' }, { timeoutMs: 5000 });
  const route = graph.route({ from: 'qv-player', to: 'qv-call-mic', exclusive: true });
  children.push(playStream(sm, 'qv-player', { seconds: 10, level: 0.5 }));
  // WirePlumber gives pw-play's streams the volume an earlier one had.
  const played = await graph.waitForNode((n) => n.name === 'qv-player' && n.volume !== undefined, { timeoutMs: 5000 });
  await graph.setVolume(played.id, 1);
  await waitFor(() => route.links.length === 2, 10000, 'the player routed into the microphone');
  await waitFor(() => peak(recording) > 8000, 10000, 'the tone in the recording');
  // The session manager's link to the default sink is removed as it
  // appears: wait for it.
  const [player] = graph.find('qv-player');
  const [mic] = graph.find('qv-call-mic');
  const targets = () => [...new Set(graph.links().filter((l) => l.srcNodeId === player.id).map((l) => l.sinkNodeId))];
  await waitFor(() => String(targets()) === String([mic.id]), 5000, 'the player linked to the microphone only');
  await route.close();
});
