'use strict';
// An exclusive route gives back what it took: beside a real session manager
// (Debian's WirePlumber on a private bus), and with none, through the CLI.
const test = require('node:test');
const assert = require('node:assert/strict');
const path = require('node:path');
const { spawn, spawnSync } = require('node:child_process');
const { startDaemon } = require('./helpers/daemon');
const { Fixture, waitFor, pwDump, linksFrom } = require('./helpers/fixture');
const { startSessionManager, playStream, poll } = require('./helpers/session-manager');

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

test('beside WirePlumber: streams go back to the sink they had, with its links and their metadata, and a later move leaves them on one sink', async (t) => {
  const daemon = startDaemon({ objects: ['sm-a', 'sm-b', 'sm-c'].map(stereoSink) });
  const sm = await startSessionManager(daemon);
  const streams = [];
  let graph;
  t.after(async () => {
    await graph?.close();
    for (const s of streams) s.kill();
    await sm.stop();
    daemon.stop();
  });
  const { connect } = require('..');
  graph = await connect();
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
});

test('no session manager, quorvane route --exclusive: Ctrl-C gives back the links it removed, as lingering links, and only those', async (t) => {
  const daemon = startDaemon({ objects: [] });
  const fixture = new Fixture();
  t.after(async () => {
    await fixture.close();
    daemon.stop();
  });
  const sinkA = await fixture.add('nsm-a', 'Audio/Sink', 'FL,FR', '0');
  const sinkB = await fixture.add('nsm-b', 'Audio/Sink', 'FL,FR', '0');
  const gone = await fixture.add('nsm-gone', 'Audio/Sink', 'FL', '0');
  const app = await fixture.add('nsm-app', 'Stream/Output/Audio', '0', 'FL,FR');
  const other = await fixture.add('nsm-other', 'Stream/Output/Audio', '0', 'FL');
  const onA = [[app.outputs[0], sinkA.inputs[0]], [app.outputs[1], sinkA.inputs[1]]];
  await fixture.link([...onA, [app.outputs[0], gone.inputs[0]]]);
  const [theirs] = await fixture.link([[other.outputs[0], sinkA.inputs[0]]]);
  const fixtureClient = pwDump().find((o) => o.id === theirs).info.props['client.id'];

  const run = { out: '', err: '' };
  run.child = spawn(process.execPath, [CLI, 'route', '--from', 'nsm-app', '--to', 'nsm-b', '--exclusive'], { stdio: ['ignore', 'pipe', 'pipe'] });
  run.child.stdout.on('data', (d) => (run.out += d));
  run.child.stderr.on('data', (d) => (run.err += d));
  const exited = new Promise((resolve) => run.child.on('exit', resolve));
  try {
    const onB = [[app.outputs[0], sinkB.inputs[0]], [app.outputs[1], sinkB.inputs[1]]];
    await waitFor(() => String(linksFrom(app.outputs)) === String(onB), 5000, 'the route to take nsm-app');
    await fixture.remove(gone.id);
  } finally {
    run.child.kill('SIGINT');
  }
  assert.equal(await exited, 0, run.err);
  assert.match(run.out, /^gave back nsm-app -> nsm-a \(lingering links\)$/m);
  assert.doesNotMatch(run.out + run.err, /nsm-gone/);
  // Back on nsm-a after the tool has gone: lingering links of another
  // client than the fixture (whose own were removed); the other stream's
  // link was never touched.
  assert.deepEqual(linksFrom(app.outputs), onA);
  const links = pwDump().filter((o) => o.type === 'PipeWire:Interface:Link');
  assert.ok(links.every((o) => o.id === theirs || o.info.props['client.id'] !== fixtureClient));
  assert.deepEqual(linksFrom(other.outputs), [[other.outputs[0], sinkA.inputs[0]]]);
  assert.ok(links.some((o) => o.id === theirs));
});
