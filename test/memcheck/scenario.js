'use strict';
// The scenario run under valgrind memcheck: connect, list, link, unlink,
// events, meters, destroy. Exits 0 when it went as expected.
const assert = require('node:assert/strict');
const { startDaemon } = require('../helpers/daemon');
const { once } = require('node:events');
const { Fixture, waitFor } = require('../helpers/fixture');
const { playTone } = require('../helpers/tone');

async function main() {
  const daemon = startDaemon();
  const q = require('../helpers/addon');
  const fixture = new Fixture();
  const src = await fixture.add('mc-src', 'Audio/Source', 0, 2);
  const sink = await fixture.add('mc-sink', 'Audio/Sink', 2, 0);
  const events = [];
  for (const n of ['node-created', 'link-created', 'link-destroyed']) q.on(n, (x) => events.push(x));
  q.createPwThread();
  for (let round = 0; round < 3; round++) {
    assert.ok(q.getNodes().length >= 4);
    for (const list of [q.getPorts, q.getInputNodes, q.getOutputNodesName]) list();
    assert.equal(q.linkNodesNameToId('mc-src', sink.id), 2);
    await waitFor(() => q.getLinks().length === 2, 30000, 'links');
    for (const l of q.getLinks()) for (const inspect of [q.getLinkFormat, q.getLinkState, q.getLinkStats]) inspect(l.id);
    assert.equal(q.unlinkPorts(src.outputs[0], sink.inputs[0]), true);
    await waitFor(() => q.getLinks().length === 1, 30000, 'one unlink');
    assert.equal(q.unlinkNodesNameToId('mc-src', sink.id), 1);
    await waitFor(() => q.getLinks().length === 0, 30000, 'unlinks');
    assert.equal(q.waitForNewNode('mc-sink', 'Output', 0).found, true);
  }
  assert.ok(events.some((n) => n.name === 'mc-src'));
  // The Graph's live info: listings with states and formats, a change, a link until it is ready.
  const graph = await require('../..').connect();
  let changes = 0;
  graph.on('node-changed', (n, changed) => (changes += n.id === src.id && changed.props ? 1 : 0));
  const link = await graph.link(src.outputs[0], sink.inputs[0], { until: 'ready', timeoutMs: 30000 });
  assert.ok(['paused', 'active'].includes(link.state));
  await fixture.setProps(src.id, { 'media.name': 'mc title' });
  await waitFor(() => changes > 0, 30000, 'the change');
  assert.ok(graph.nodes().every((n) => n.state) && graph.links().length === 1 && graph.ports().some((p) => p.format));
  await graph.unlink(link.id, { timeoutMs: 30000 });
  // Meters: levels measured on the data thread and taken through their rings, a state, closes, an end.
  const metered = await graph.createNode({ name: 'mc-metered', timeoutMs: 30000 });
  const tone = await playTone(graph, daemon, 'mc-tone', metered);
  const meters = [graph.meter(metered.id, { rateHz: 60 }), graph.meter(tone.node.id)];
  const idle = graph.meter('demo-microphone');
  await Promise.all([...meters.map((m) => once(m, 'level')), once(idle, 'state')]);
  await Promise.all([meters[0].close(), idle.close()]);
  await Promise.all([once(meters[1], 'end'), tone.child.kill('SIGKILL')]);
  await graph.destroyNode(metered.id);
  await graph.close();
  for (const step of [q.destroyPwThread, q.createPwThread, q.destroyPwThread]) step(); // and once more
  for (const n of ['node-created', 'link-created', 'link-destroyed']) q.off(n);
  await fixture.close();
  daemon.stop();
}

main().catch((e) => (console.error(e), (process.exitCode = 1)));
