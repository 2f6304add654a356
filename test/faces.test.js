'use strict';
// One request, one result, whichever face carries it: the Graph, the command line, the web page's protocol
// and MQTT link and unlink two nodes, refuse a name two nodes share, and set a volume, each on the same
// graph, and what pw-dump shows afterwards is the same.
const test = require('node:test');
const assert = require('node:assert/strict');
const { startDaemon } = require('./helpers/daemon');
const { Fixture, pwDump, waitFor, linksFrom } = require('./helpers/fixture');
const { startBroker, listen, available } = require('./helpers/broker');
const { socket, wsUrl } = require('./helpers/web');
const { cli } = require('./helpers/child');
const { startWebServer } = require('../lib/web/server');

const skip = !available() && 'no mosquitto';
const daemon = startDaemon({ objects: [] });
let fixture, graph, web, page, broker, bridge, sub;

test.before(async () => {
  if (skip) return;
  fixture = new Fixture(daemon.env);
  graph = await require('..').connect();
  web = await startWebServer({ graph, port: 0 });
  page = await socket(wsUrl(web), web.token);
  broker = await startBroker();
  sub = await listen(broker.url, ['test/#']);
  bridge = await graph.mqtt({ broker: broker.url, hostName: 'faces' });
});
test.after(async () => {
  page?.ws?.close();
  await sub?.client.endAsync(true);
  for (const o of [bridge, web, graph, fixture, broker]) await o?.close?.();
  daemon.stop();
});

// Each face, as a user reaches it; every one resolves to { ok, error }.
let asked = 0;
const result = (ok, error) => (ok ? { ok: true } : { ok: false, error });
const faces = {
  graph: (op) => op.graph().then(() => result(true), (e) => result(false, e.message)),
  cli: async (op) => {
    const r = cli(...op.cli);
    return result(r.status === 0, r.stderr.trim().replace(/^quorvane: /, ''));
  },
  web: (op) => page.call({ id: ++asked, ...op.web }).then((m) => result(m.ok, m.error)),
  mqtt: (op) => sub.ask('quorvane/faces/set', JSON.stringify(op.mqtt)).then((m) => result(m.ok, m.error)),
};

const channelVolumes = (id) => pwDump(daemon.env).find((o) => o.id === id).info.params.Props.find((p) => p.channelVolumes).channelVolumes;

test('link, unlink, an ambiguous name and a volume: the same result from every face', { skip }, async () => {
  // A player whose only output is its FR channel, a stereo sink, and two sinks of one name.
  const app = await fixture.add('fx-app', 'Stream/Output/Audio', 0, 'FR');
  const sink = await graph.createNode({ name: 'fx-sink' });
  const dups = [await graph.createNode({ name: 'fx-dup' }), await graph.createNode({ name: 'fx-dup', props: { 'node.name': 'fx-dup' } })];
  await graph.waitForPorts(app.id, { count: 1 });
  const playbackFR = graph.ports().find((p) => p.nodeId === sink.id && p.name === 'playback_FR').id;

  // One request as each face words it (the page names nodes by id; the tool's link must outlive it).
  const pair = (verb, to) => ({ graph: () => graph[`${verb}Nodes`]('fx-app', to),
    cli: [verb, '--from', 'fx-app', '--to', to, ...(verb === 'link' ? ['--linger'] : [])],
    web: { op: `${verb}Nodes`, from: app.id, to: sink.id }, mqtt: { op: verb, from: 'fx-app', to } });
  const volume = (node, v) => ({ graph: () => graph.setVolume(node, v), cli: ['volume', node, String(v)],
    web: { op: 'volume', node: sink.id, volume: v }, mqtt: { op: 'volume', node, volume: v } });
  for (const [name, face] of Object.entries(faces)) {
    // FR to FR, by channel, whichever face; and gone again.
    assert.deepEqual(await face(pair('link', 'fx-sink')), { ok: true }, name);
    const pairs = await waitFor(() => (linksFrom(app.outputs, daemon.env).length ? linksFrom(app.outputs, daemon.env) : null), 5000, `${name}: the link`);
    assert.deepEqual(pairs, [[app.outputs[0], playbackFR]], name);
    assert.deepEqual(await face(pair('unlink', 'fx-sink')), { ok: true }, name);
    await waitFor(() => linksFrom(app.outputs, daemon.env).length === 0, 5000, `${name}: the link gone`);
  }

  // A name two nodes share: refused by every face that takes names, in the same words, nothing done.
  const ambiguous = new RegExp(`2 nodes are named "fx-dup" \\(ids ${dups[0].id}, ${dups[1].id}\\): give an id, or one of "fx-dup-${dups[0].id}", "fx-dup-${dups[1].id}"$`);
  for (const op of [pair('link', 'fx-dup'), volume('fx-dup', 0.5)]) {
    for (const name of ['graph', 'cli', 'mqtt']) {
      const r = await faces[name](op);
      assert.ok(!r.ok && ambiguous.test(r.error), `${name} ${op.cli[0]}: ${r.error}`);
    }
  }
  assert.deepEqual([linksFrom(app.outputs, daemon.env), dups.map((d) => channelVolumes(d.id))], [[], [[1, 1], [1, 1]]]);

  // A volume, set by each face in turn, is what the daemon and the Graph then show.
  for (const [name, v] of Object.entries({ graph: 0.2, cli: 0.3, web: 0.4, mqtt: 0.5 })) {
    assert.deepEqual(await faces[name](volume('fx-sink', v)), { ok: true }, name);
    assert.deepEqual(channelVolumes(sink.id).map((x) => x.toFixed(4)), [v ** 3, v ** 3].map((x) => x.toFixed(4)), name);
    await waitFor(() => graph.nodes().find((n) => n.id === sink.id).volume.toFixed(4) === v.toFixed(4), 5000, `${name}: the Graph's view`);
  }
});
