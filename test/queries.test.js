'use strict';
// The mirror's queries: the direction-filtered lists, the wait for a named node, inspection of another
// client's links. The listings against pw-dump, keys in order: helpers/nineteen.js, shared-object.test.js.
const test = require('node:test');
const assert = require('node:assert/strict');
const { spawnSync } = require('node:child_process');
const { waitFor } = require('./helpers/fixture');
const { privateDaemon } = require('./helpers/setup');

const q = require('./helpers/addon');
const { fixture } = privateDaemon({ objects: [] }, { after: () => q.destroyPwThread() });

// The last result and the fastest of a few tries, in ms (descheduling only adds); a poll sleeps >= 100 ms.
const timed = (fn, tries = 1) => {
  const runs = Array.from({ length: tries }, () => [performance.now(), fn(), performance.now()]);
  return [runs.at(-1)[1], Math.min(...runs.map(([t0, , t1]) => t1 - t0))];
};
const notFound = (args, min, max) => {
  const [r, ms] = timed(() => q.waitForNewNode(...args), min === 0 ? 3 : 1);
  assert.ok(r.found === false && Object.keys(r).length === 1 && ms >= min && ms < max, `${JSON.stringify(args)}: ${JSON.stringify(r)} in ${ms} ms`);
};

const CLASSES = [
  // [name, class, listed as input, listed as output]; every class: the native Mirror.MediaClassTable
  ['q-sink', 'Audio/Sink', false, true], ['q-source', 'Audio/Source', true, false], ['q-stream-in', 'Stream/Input/Audio', true, false],
  ['q-duplex', 'Audio/Duplex', true, true], ['q-none', null, false, false],
  ['q-source', 'Audio/Source', true, false], // a second node of the same name
];
const nodes = [];

test('the mirror sorts nodes into inputs and outputs by class; listings run no script code', async () => {
  for (const [name, cls] of CLASSES) nodes.push(await fixture.add(name, cls, 1, 1));
  assert.equal(q.createPwThread(), true);
  const expectIds = (col) => nodes.filter((_, i) => CLASSES[i][col]).map((n) => n.id);
  // Extra arguments ignored; names correspond index by index with the objects, duplicates included.
  const ids = [q.getInputNodes('ignored', 1), q.getOutputNodes()].map((l) => l.map((n) => n.id));
  assert.deepEqual(ids, [expectIds(2), expectIds(3)]);
  assert.deepEqual([q.getInputNodesName(), q.getOutputNodesName()], [q.getInputNodes(), q.getOutputNodes()].map((l) => l.map((n) => n.name)));
  // A setter on Array.prototype could call back into the module while the graph lock is held.
  let calls = 0;
  Object.defineProperty(Array.prototype, '0', { set() { calls++; q.getNodes(); }, configurable: true });
  const lists = (() => { try { return [q.getNodes(), q.getPorts(), q.getLinks(), q.getInputNodes(), q.getOutputNodesName()]; } finally { delete Array.prototype[0]; } })();
  assert.deepEqual([lists.every((list) => Object.hasOwn(list, 0) || list.length === 0), calls], [true, 0]);
});

test('waitForNewNode finds the first fitting node, at once or when it comes', async () => {
  const [numbered, undef] = [await fixture.add('42', 'Audio/Sink'), await fixture.add('undefined', 'Audio/Sink')];
  await waitFor(() => q.getNodes().some((n) => n.id === undef.id));
  const cases = [
    // [arguments, id found or undefined]; a second node of the same name comes later in the list.
    [['q-source'], nodes[1].id], [['q-sourc', undefined, 0]], [['Q-SOURCE', undefined, 0]],
    [[42, undefined, 0], numbered.id], [[], undef.id], [['q-sink\0ignored', undefined, 0], nodes[0].id],
    // q-sink is output-side only, q-stream-in input-side only; only the exact strings filter.
    [['q-sink', 'Input', 0]], [['q-sink', 'Output', 0], nodes[0].id], [['q-stream-in', 'Input', 0], nodes[2].id],
    [['q-sink', 'input', 0], nodes[0].id], [['q-sink', new String('Input'), 0], nodes[0].id],
  ];
  assert.deepEqual(cases.map(([args]) => q.waitForNewNode(...args)),
    cases.map(([args, id]) => (id === undefined ? { found: false } : { found: true, id, name: q.getNodes().find((n) => n.id === id).name })));
  assert.throws(() => q.waitForNewNode({ toString() { throw new Error('from toString'); } }), /from toString/);
  assert.throws(() => q.waitForNewNode(Symbol('s')), TypeError);
  // Found, or a time-out below 1, returns without sleeping; 2.9 becomes 2: one poll interval, one more scan.
  assert.ok(timed(() => q.waitForNewNode('q-source'), 3)[1] < 100);
  for (const t of [0, -1, -5000, NaN, 0.9, 2 ** 32]) notFound(['q-missing', undefined, t], 0, 100);
  notFound(['q-missing', 'Input', 2.9], 95, 1000);

  // A node that appears while it waits, unless it is on the wrong side.
  const pending = fixture.add('q-late', 'Audio/Source', 0, 1); // sent before the wait blocks
  // A string of digits is not a Number: the time-out stays 5000 ms.
  const [r, ms] = timed(() => q.waitForNewNode('q-late', 'Input', '0'));
  const late = await pending;
  assert.deepEqual([r, ms < 2000], [{ found: true, id: late.id, name: 'q-late' }, true], `${ms} ms`);
  notFound(['q-late', 'Output', 300], 300, 1500);
});

test('another client\'s links are inspected; a removed node takes its ports and links', async () => {
  const [sink, source, , self] = nodes; // self: q-duplex, one input, one output
  for (const [o, i] of [[source.outputs[0], sink.inputs[0]], [self.outputs[0], self.inputs[0]]]) assert.equal(spawnSync('pw-link', [String(o), String(i)]).status, 0);
  const links = await waitFor(() => q.getLinks().length === 2 && q.getLinks());
  const [toSink, toSelf] = [sink, self].map((n) => links.find((l) => l.sinkNodeId === n.id));
  assert.deepEqual(Object.entries(toSink), Object.entries({ id: toSink.id, srcNodeId: source.id, srcPortId: source.outputs[0],
    sinkNodeId: sink.id, sinkPortId: sink.inputs[0], srcNodeName: 'q-source', sinkNodeName: 'q-sink', format: 'unknown' }));
  assert.deepEqual([Object.entries(q.getLinkState(toSink.id)), q.getLinkState(toSelf.id), q.getLinkFormat(toSink.id)],
    [[['linkId', toSink.id], ['state', 'active'], ['srcNode', 'q-source'], ['sinkNode', 'q-sink']],
      { linkId: toSelf.id, state: 'active', srcNode: 'q-duplex', sinkNode: 'q-duplex' }, { linkId: toSink.id, format: 'unknown' }]);
  spawnSync('pw-link', ['-d', String(toSelf.id)]);
  await fixture.remove(source.id);
  await waitFor(() => q.getLinks().length === 0 && !q.getNodes().some((n) => n.id === source.id), 5000, 'the removals');
  assert.deepEqual([q.getPorts().filter((p) => p.nodeId === source.id), q.getLinkState(toSink.id), q.getLinkState(toSelf.id)], [[], undefined, undefined]);
  q.destroyPwThread();
  // Stopped: inspection still answers (link ids converted as unsigned), the wait waits out its time-out.
  assert.deepEqual([q.getInputNodes(), q.getOutputNodesName(), q.getLinkState(5), q.getLinkFormat(-1), q.getLinkStats(12.8)],
    [[], [], undefined, { linkId: 2 ** 32 - 1, format: 'unknown' }, { linkId: 12, bytes: 0, drops: 0, rate: 0 }]);
  notFound(['anything', undefined, 150], 150, 1000);
});
