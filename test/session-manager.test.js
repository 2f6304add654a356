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

test('beside WirePlumber: the stream goes back to the sink it had, with its links, and a later move leaves it on one sink', async (t) => {
  const daemon = startDaemon({ objects: ['sm-a', 'sm-b', 'sm-c'].map(stereoSink) });
  const sm = await startSessionManager(daemon);
  let stream;
  let graph;
  t.after(async () => {
    await graph?.close();
    stream?.kill();
    await sm.stop();
    daemon.stop();
  });
  sm.setMetadata(0, 'default.configured.audio.sink', JSON.stringify({ name: 'sm-a' }), 'Spa:String:JSON');
  await poll(() => sm.metadata()?.some((e) => e.key === 'default.audio.sink' && e.value?.name === 'sm-a'), 5000, 'sm-a as the default sink');
  stream = playStream(sm, 'sm-stream');
  const onA = ['sm-stream:output_FL -> sm-a:playback_FL', 'sm-stream:output_FR -> sm-a:playback_FR'];
  await poll(() => String(pairsOfNode('sm-stream')) === String(onA), 5000, 'WirePlumber to link the stream to sm-a', 20);
  const wpClient = linksOfNode('sm-stream')[0].client;

  const { connect } = require('..');
  graph = await connect();
  const node = (name) => graph.nodes().find((n) => n.name === name);
  const route = graph.route({ from: 'sm-stream', to: 'sm-b', exclusive: true });
  await poll(() => String(pairsOfNode('sm-stream')) === String(onA.map((p) => p.replace(/sm-a/g, 'sm-b'))), 5000, 'the route to take the stream', 20);

  assert.deepEqual(await route.close(), [{ from: node('sm-stream').id, to: node('sm-a').id, by: 'session-manager' }]);
  // Given back when close() resolves, by the session manager itself (its
  // links, not lingering ones of ours), and its metadata as it was.
  assert.deepEqual(linksOfNode('sm-stream'), onA.map((pair) => ({ pair, client: wpClient })));
  assert.deepEqual(pwLinkPairs('sm-stream', sm.env), onA);
  assert.equal(sm.metadata().filter((e) => e.subject === node('sm-stream').id).length, 0, JSON.stringify(sm.metadata()));

  // The session manager moves it later: nothing stays behind on sm-a.
  sm.setMetadata(node('sm-stream').id, 'target.object', node('sm-c').props['object.serial']);
  const onC = onA.map((p) => p.replace(/sm-a/g, 'sm-c'));
  await poll(() => String(pairsOfNode('sm-stream')) === String(onC), 5000, 'the stream on sm-c only', 20).catch((e) => {
    throw new Error(`${e.message}; links: ${pairsOfNode('sm-stream').join(', ')}`);
  });
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
