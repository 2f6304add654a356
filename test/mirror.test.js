'use strict';
// The mirror against the daemon's own view: ids, properties, property orders,
// and live changes. Classification: queries.test.js.
const test = require('node:test');
const assert = require('node:assert/strict');
const { spawnSync } = require('node:child_process');
const { startDaemon } = require('./helpers/daemon');
const { Fixture, waitFor, pwDump } = require('./helpers/fixture');

const daemon = startDaemon();
const q = require('./helpers/addon');
const fixture = new Fixture();

test.after(async () => {
  q.destroyPwThread();
  await fixture.close();
  daemon.stop();
});

test('nodes and ports carry the ids, properties and key order pw-dump and the fixture agree on', async () => {
  const created = [];
  for (const [i, cls] of ['Audio/Sink', 'Stream/Output/Audio', null].entries()) created.push(await fixture.add(`mirror-${i}`, cls, 2, 1));
  assert.equal(q.createPwThread(), true);
  const dump = pwDump();
  const props = (o) => o.info?.props ?? {};
  const of = (type) => dump.filter((o) => o.type === `PipeWire:Interface:${type}`).sort((a, b) => a.id - b.id);
  const byId = (list) => [...list].sort((a, b) => a.id - b.id);
  // Every field checked against the daemon's; the fixed ones fixed.
  assert.deepEqual(byId(q.getNodes()), of('Node').map((o) => ({ ...byId(q.getNodes()).find((n) => n.id === o.id),
    id: o.id, name: props(o)['node.name'] ?? '', type: props(o)['media.class'] ?? '', version: 3, inputPorts: 0, outputPorts: 0 })));
  assert.deepEqual(Object.keys(q.getNodes()[0]), ['id', 'name', 'type', 'version', 'inputPorts', 'outputPorts', 'isInput', 'isOutput']);
  assert.deepEqual(byId(q.getPorts()), of('Port').map((o) => ({ id: o.id, nodeId: props(o)['node.id'], name: props(o)['port.name'],
    direction: props(o)['port.direction'] === 'in' ? 1 : 0, portType: 0 })));
  for (const c of created) {
    const own = (dir) => q.getPorts().filter((p) => p.nodeId === c.id && p.direction === dir).map((p) => p.id).sort();
    assert.deepEqual([own(1), own(0)], [[...c.inputs].sort(), [...c.outputs].sort()]);
  }
  assert.deepEqual(q.getNodes(1, 'x', {}), q.getNodes(), 'arguments are ignored');
});

test('a node pair and another client\'s link between them come and go', async () => {
  const src = await fixture.add('live-src', 'Audio/Source', 0, 1);
  const sink = await fixture.add('live-sink', 'Audio/Sink', 1, 0);
  await waitFor(() => q.getPorts().some((p) => p.id === sink.inputs[0]), 5000, 'ports in the mirror');
  const r = spawnSync('pw-link', [String(src.outputs[0]), String(sink.inputs[0])], { encoding: 'utf8' });
  assert.equal(r.status, 0, r.stderr);
  const link = await waitFor(() => q.getLinks().find((l) => l.srcPortId === src.outputs[0]), 5000, 'the link');
  assert.ok(pwDump().some((o) => o.id === link.id && o.type === 'PipeWire:Interface:Link'));
  // deepEqual on a spread ignores key order: checked apart.
  assert.deepEqual(Object.keys(link), ['id', 'srcNodeId', 'srcPortId', 'sinkNodeId', 'sinkPortId', 'srcNodeName', 'sinkNodeName', 'format']);
  assert.deepEqual({ ...link, id: 0 }, { id: 0, srcNodeId: src.id, srcPortId: src.outputs[0], sinkNodeId: sink.id,
    sinkPortId: sink.inputs[0], srcNodeName: 'live-src', sinkNodeName: 'live-sink', format: 'unknown' });
  // The source goes: its node, ports and (through the daemon) the link leave the mirror.
  await fixture.remove(src.id);
  await waitFor(() => !q.getNodes().some((n) => n.id === src.id) && !q.getLinks().some((l) => l.id === link.id), 5000, 'removal');
  assert.ok(!q.getPorts().some((p) => p.nodeId === src.id));
  await fixture.remove(sink.id);
});

test('listings never run script code: setters on Array.prototype are not called', () => {
  // Such a setter could call back into the module while the graph lock is held.
  let calls = 0;
  for (const index of ['0', '1']) {
    Object.defineProperty(Array.prototype, index, { set() { calls++; q.getNodes(); }, configurable: true });
  }
  try {
    const lists = [q.getNodes(), q.getPorts(), q.getLinks(), q.getInputNodes(), q.getOutputNodesName()];
    for (const list of lists) assert.ok(Object.hasOwn(list, 0) || list.length === 0);
  } finally {
    delete Array.prototype[0];
    delete Array.prototype[1];
  }
  assert.equal(calls, 0);
});
