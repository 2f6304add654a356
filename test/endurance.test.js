'use strict';
// Long runs: start/stop cycles, node and link churn, a thousand-node burst.
// QUORVANE_LONG=1 multiplies the counts by five.
const test = require('node:test');
const assert = require('node:assert/strict');
const fs = require('node:fs');
const { startDaemon } = require('./helpers/daemon');
const { Fixture, waitFor, flushEvents } = require('./helpers/fixture');

const SCALE = process.env.QUORVANE_LONG === '1' ? 5 : 1;
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
const fixture = new Fixture();

const threads = () => fs.readdirSync('/proc/self/task').length;
const fds = () => fs.readdirSync('/proc/self/fd').length;

test.after(async () => {
  for (const n of ['node-created', 'node-destroyed', 'link-created', 'link-destroyed']) q.off(n);
  q.destroyPwThread();
  await fixture.close();
  daemon.stop();
});

test('create/destroy cycles leave threads and descriptors as after the first', () => {
  const cycles = 200 * SCALE;
  q.createPwThread();
  q.destroyPwThread();
  const [t0, f0] = [threads(), fds()];
  for (let i = 0; i < cycles; i++) {
    assert.equal(q.createPwThread(), true);
    assert.ok(q.getNodes().length > 0, `cycle ${i}: mirror filled`);
    assert.equal(q.destroyPwThread(), true);
  }
  assert.equal(threads(), t0);
  assert.equal(fds(), f0);
});

test('connect()/close() cycles leave threads and descriptors as after the first', async () => {
  const { connect } = require('..');
  const cycles = 500 * SCALE;
  await (await connect()).close();
  const [t0, f0] = [threads(), fds()];
  for (let i = 0; i < cycles; i++) {
    const graph = await connect();
    assert.ok(graph.nodes().some((n) => n.name === 'cycle-sink'), `cycle ${i}: mirror filled`);
    await graph.close();
  }
  assert.equal(threads(), t0);
  assert.equal(fds(), f0);
  assert.deepEqual(q.getNodes(), [], 'the mirror is emptied by the last close');
});

// Records node events for the ids in `ids` and checks each arrives once, in order.
function expectNodeEvents(seen, ids) {
  const created = seen.filter(([k]) => k === '+').map(([, id]) => id);
  const destroyed = seen.filter(([k]) => k === '-').map(([, id]) => id);
  assert.deepEqual(created, ids, 'one node-created per node, in creation order');
  assert.deepEqual([...destroyed].sort((a, b) => a - b), [...ids].sort((a, b) => a - b), 'one node-destroyed per node');
}

test('fixture nodes created and removed many times, with listeners', async () => {
  const rounds = 100 * SCALE; // 100 nodes a round
  q.createPwThread();
  const [t0, f0] = [threads(), fds()];
  for (let r = 0; r < rounds; r++) {
    await flushEvents(q, fixture);
    const seen = [];
    q.on('node-created', (n) => n.name.startsWith('churn-') && seen.push(['+', n.id]));
    q.on('node-destroyed', (id) => seen.push(['-', id]));
    const ids = await fixture.addMany(100, 'churn', 'Audio/Sink', 1, 1);
    await fixture.remove(...ids);
    await waitFor(() => seen.filter(([k]) => k === '-').length >= ids.length, 10000, `round ${r} events`);
    expectNodeEvents(seen.filter(([k, id]) => k === '+' || ids.includes(id)), ids);
  }
  assert.equal(threads(), t0);
  assert.ok(fds() <= f0 + 2, `descriptors ${f0} -> ${fds()}`);
});

// Resolves with the next call of the listener registered under `name`.
function eventStream(name) {
  const waiting = [];
  const arrived = [];
  q.on(name, (payload) => (waiting.length ? waiting.shift()(payload) : arrived.push(payload)));
  return (timeoutMs = 5000) =>
    arrived.length
      ? Promise.resolve(arrived.shift())
      : new Promise((resolve, reject) => {
          const timer = setTimeout(() => reject(new Error(`no ${name} within ${timeoutMs} ms`)), timeoutMs);
          waiting.push((p) => {
            clearTimeout(timer);
            resolve(p);
          });
        });
}

test('by-name link/unlink cycles', async () => {
  const cycles = 10000 * SCALE;
  q.createPwThread();
  const node = (name) => q.getNodes().find((n) => n.name === name);
  const src = { ...node('cycle-src'), outputs: q.getPorts().filter((p) => p.nodeId === node('cycle-src').id).map((p) => p.id) };
  const sink = node('cycle-sink'); // one input: one link a cycle
  const nextCreated = eventStream('link-created');
  const nextDestroyed = eventStream('link-destroyed');
  const [t0, f0] = [threads(), fds()];
  for (let i = 0; i < cycles; i++) {
    assert.equal(q.linkNodesNameToId('cycle-src', sink.id), 1);
    const link = await nextCreated();
    assert.equal(link.srcPortId, src.outputs[0]);
    assert.equal(q.getLinkFormat(link.id).format, 'dynamic');
    assert.equal(q.unlinkNodesNameToId('cycle-src', sink.id), 1);
    assert.equal(await nextDestroyed(), link.id);
  }
  assert.equal(q.getLinks().length, 0);
  assert.equal(threads(), t0);
  assert.ok(fds() <= f0 + 2, `descriptors ${f0} -> ${fds()}`);
  q.off('link-created');
  q.off('link-destroyed');
});

test('a thousand nodes as fast as the daemon takes them, and back', async () => {
  await flushEvents(q, fixture);
  const seen = [];
  q.on('node-created', (n) => n.name.startsWith('mass-') && seen.push(['+', n.id]));
  q.on('node-destroyed', (id) => seen.push(['-', id]));
  const ids = await fixture.addMany(1000, 'mass', 'Audio/Sink', 1, 1);
  await waitFor(() => q.getNodes().length >= 1000, 10000, 'the mirror');
  await fixture.remove(...ids);
  await waitFor(() => seen.filter(([k]) => k === '-').length >= ids.length, 20000, 'all events');
  expectNodeEvents(seen.filter(([k, id]) => k === '+' || ids.includes(id)), ids);
});
