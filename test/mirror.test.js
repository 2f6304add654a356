'use strict';
// The mirror against the daemon's own view: ids, properties, property orders,
// and live changes. Classification: queries.test.js.
const test = require('node:test');
const assert = require('node:assert/strict');
const { startDaemon } = require('./helpers/daemon');
const { Fixture, waitFor, pwDump } = require('./helpers/fixture');

const daemon = startDaemon();
const q = require('./helpers/addon');
const fixture = new Fixture();

let created;

test.before(async () => {
  created = [];
  for (const [i, cls] of ['Audio/Sink', 'Stream/Output/Audio', null].entries()) created.push(await fixture.add(`mirror-${i}`, cls, 2, 1));
  assert.equal(q.createPwThread(), true);
});

test.after(async () => {
  q.destroyPwThread();
  await fixture.close();
  daemon.stop();
});

test('nodes, ports and links carry the ids and properties pw-dump reports', () => {
  const dump = pwDump();
  const props = (o) => o.info?.props ?? {};
  const dumpNodes = dump.filter((o) => o.type === 'PipeWire:Interface:Node');
  const dumpPorts = dump.filter((o) => o.type === 'PipeWire:Interface:Port');
  const nodes = q.getNodes();
  const ports = q.getPorts();

  assert.deepEqual(nodes.map((n) => n.id).sort((a, b) => a - b), dumpNodes.map((o) => o.id).sort((a, b) => a - b));
  for (const o of dumpNodes) {
    const n = nodes.find((x) => x.id === o.id);
    assert.equal(n.name, props(o)['node.name'] ?? '');
    assert.equal(n.type, props(o)['media.class'] ?? '');
    assert.equal(n.version, 3);
  }
  assert.deepEqual(ports.map((p) => p.id).sort((a, b) => a - b), dumpPorts.map((o) => o.id).sort((a, b) => a - b));
  for (const o of dumpPorts) {
    const p = ports.find((x) => x.id === o.id);
    assert.equal(p.nodeId, props(o)['node.id']);
    assert.equal(p.name, props(o)['port.name']);
    assert.equal(p.direction, props(o)['port.direction'] === 'in' ? 1 : 0);
  }
  for (const c of created) {
    const own = ports.filter((p) => p.nodeId === c.id);
    assert.deepEqual(own.filter((p) => p.direction === 1).map((p) => p.id).sort(), [...c.inputs].sort());
    assert.deepEqual(own.filter((p) => p.direction === 0).map((p) => p.id).sort(), [...c.outputs].sort());
  }
});

test('objects list their properties in the fixed order with fixed values', () => {
  const [n] = q.getNodes();
  assert.deepEqual(Object.keys(n), ['id', 'name', 'type', 'version', 'inputPorts', 'outputPorts', 'isInput', 'isOutput']);
  for (const node of q.getNodes()) assert.deepEqual([node.inputPorts, node.outputPorts], [0, 0]);
  const [p] = q.getPorts();
  assert.deepEqual(Object.keys(p), ['id', 'nodeId', 'name', 'direction', 'portType']);
  for (const port of q.getPorts()) assert.equal(port.portType, 0);
  // Arguments are ignored.
  assert.deepEqual(q.getNodes(1, 'x', {}), q.getNodes());
});

test('a fixture added and removed shows up and goes again, links included', async () => {
  const src = await fixture.add('live-src', 'Audio/Source', 0, 1);
  const sink = await fixture.add('live-sink', 'Audio/Sink', 1, 0);
  await waitFor(() => q.getPorts().some((p) => p.id === sink.inputs[0]), 5000, 'ports in the mirror');
  assert.ok(q.getNodes().some((n) => n.id === src.id && n.name === 'live-src'));

  // A link made by another client (PipeWire's own tool).
  const { spawnSync } = require('node:child_process');
  const r = spawnSync('pw-link', [String(src.outputs[0]), String(sink.inputs[0])], { encoding: 'utf8' });
  assert.equal(r.status, 0, r.stderr);
  const link = await waitFor(() => q.getLinks().find((l) => l.srcPortId === src.outputs[0]), 5000, 'the link');
  assert.deepEqual(Object.keys(link), ['id', 'srcNodeId', 'srcPortId', 'sinkNodeId', 'sinkPortId', 'srcNodeName', 'sinkNodeName', 'format']);
  assert.deepEqual(
    { ...link, id: 0 },
    { id: 0, srcNodeId: src.id, srcPortId: src.outputs[0], sinkNodeId: sink.id, sinkPortId: sink.inputs[0],
      srcNodeName: 'live-src', sinkNodeName: 'live-sink', format: 'unknown' },
  );
  assert.ok(pwDump().some((o) => o.id === link.id && o.type === 'PipeWire:Interface:Link'));

  // The source goes: its node, ports and (through the daemon) the link leave the mirror.
  await fixture.remove(src.id);
  await waitFor(() => !q.getNodes().some((n) => n.id === src.id), 5000, 'node removal');
  await waitFor(() => !q.getLinks().some((l) => l.id === link.id), 5000, 'link removal');
  assert.ok(!q.getPorts().some((p) => p.nodeId === src.id));
  await fixture.remove(sink.id);
  await waitFor(() => !q.getNodes().some((n) => n.id === sink.id), 5000, 'sink removal');
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
