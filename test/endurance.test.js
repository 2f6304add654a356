'use strict';
// Long runs: start/stop cycles, node and link churn with a thousand-node
// burst. QUORVANE_LONG=1 multiplies the counts by ten.
const test = require('node:test');
const assert = require('node:assert/strict');
const fs = require('node:fs');
const { startDaemon } = require('./helpers/daemon');
const { Fixture, waitFor, flushEvents } = require('./helpers/fixture');

const SCALE = process.env.QUORVANE_LONG === '1' ? 10 : 1;
// The link cycles run between nodes of the daemon itself: a client's nodes
// would get the buffers of every new link over their socket, and under load
// PipeWire's client library gives up on a socket that delivers too many file
// descriptors at once ("Protocol error"), which would end the fixture.
const daemon = startDaemon({
  objects: [
    { name: 'cycle-src', mediaClass: 'Audio/Source', positions: ['MONO'], factory: 'audiotestsrc' },
    { name: 'cycle-sink', mediaClass: 'Audio/Sink', positions: ['MONO'] },
  ],
});
const q = require('./helpers/addon');
const { connect } = require('..');
const fixture = new Fixture();

// Threads and descriptors: a leak of one per cycle shows after a few cycles.
const usage = () => [fs.readdirSync('/proc/self/task').length, fs.readdirSync('/proc/self/fd').length];
const noLeak = (before, slack = 0) => {
  const [t, f] = usage();
  assert.equal(t, before[0], 'threads');
  assert.ok(f <= before[1] + slack, `descriptors ${before[1]} -> ${f}`);
};

test.after(async () => {
  for (const n of ['node-created', 'node-destroyed', 'link-created', 'link-destroyed']) q.off(n);
  q.destroyPwThread();
  await fixture.close();
  daemon.stop();
});

test('start/stop and connect()/close() cycles leave threads and descriptors as after the first', async () => {
  q.createPwThread();
  q.destroyPwThread();
  await (await connect()).close();
  const before = usage();
  for (let i = 0; i < 20 * SCALE; i++) {
    assert.equal(q.createPwThread(), true);
    assert.ok(q.getNodes().length > 0, `cycle ${i}: mirror filled`);
    assert.equal(q.destroyPwThread(), true);
  }
  for (let i = 0; i < 200 * SCALE; i++) {
    const graph = await connect();
    assert.ok(graph.nodes().some((n) => n.name === 'cycle-sink'), `cycle ${i}: mirror filled`);
    await graph.close();
  }
  noLeak(before);
  assert.deepEqual(q.getNodes(), [], 'the mirror is emptied by the last close');
});

test('a thousand nodes at once, then rounds of a hundred: every event once, in order, nothing leaks', async () => {
  q.createPwThread();
  const before = usage();
  for (const [r, count] of [1000, ...Array(20 * SCALE).fill(100)].entries()) {
    await flushEvents(q, fixture);
    const seen = [];
    q.on('node-created', (n) => n.name.startsWith('churn-') && seen.push(['+', n.id]));
    q.on('node-destroyed', (id) => seen.push(['-', id]));
    const ids = await fixture.addMany(count, 'churn', 'Audio/Sink', 1, 1);
    await fixture.remove(...ids);
    await waitFor(() => seen.filter(([k, id]) => k === '-' && ids.includes(id)).length === count, 20000, `round ${r} events`);
    // One node-created per node, in creation order; one node-destroyed per node, after it.
    assert.deepEqual(seen.filter(([k]) => k === '+').map(([, id]) => id), ids);
    for (const id of ids) assert.deepEqual(seen.filter((e) => e[1] === id).map(([k]) => k), ['+', '-'], `node ${id}`);
  }
  noLeak(before, 2);
});

// Resolves with the next call of the listener registered under `name`.
function eventStream(name) {
  const waiting = [];
  const arrived = [];
  q.on(name, (payload) => (waiting.length ? waiting.shift()(payload) : arrived.push(payload)));
  return () =>
    arrived.length
      ? Promise.resolve(arrived.shift())
      : new Promise((resolve, reject) => {
          const timer = setTimeout(() => reject(new Error(`no ${name} within 5 s`)), 5000);
          waiting.push((p) => resolve(p, clearTimeout(timer)));
        });
}

test('by-name link/unlink cycles', async () => {
  q.createPwThread();
  const node = (name) => q.getNodes().find((n) => n.name === name);
  const output = q.getPorts().find((p) => p.nodeId === node('cycle-src').id).id;
  const sink = node('cycle-sink'); // one input: one link a cycle
  const nextCreated = eventStream('link-created');
  const nextDestroyed = eventStream('link-destroyed');
  const before = usage();
  for (let i = 0; i < 5000 * SCALE; i++) {
    assert.equal(q.linkNodesNameToId('cycle-src', sink.id), 1);
    const link = await nextCreated();
    assert.deepEqual([link.srcPortId, q.getLinkFormat(link.id).format], [output, 'dynamic']);
    assert.equal(q.unlinkNodesNameToId('cycle-src', sink.id), 1);
    assert.equal(await nextDestroyed(), link.id);
  }
  assert.equal(q.getLinks().length, 0);
  noLeak(before, 2);
});
