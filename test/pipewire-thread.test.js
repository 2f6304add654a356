'use strict';
// The work handed to the PipeWire thread: a burst far beyond what a fixed
// ring holds, requests given up by their time-out whose answer comes late,
// and the PipeWire log level the user asks for.
const test = require('node:test');
const assert = require('node:assert/strict');
const { startDaemon } = require('./helpers/daemon');
const { Fixture, waitFor, pwDump } = require('./helpers/fixture');
const { runChild } = require('./helpers/child');
const { connect } = require('..');

const daemon = startDaemon();
const fixture = new Fixture();
let graph;

test.before(async () => {
  graph = await connect();
});

test.after(async () => {
  await graph?.close();
  await fixture.close();
  daemon.stop();
});

const grid = (src, sink) => src.outputs.flatMap((o) => sink.inputs.map((i) => [o, i]));

test('a burst of 10,000 mixed requests: every Promise settles, none is refused, no removal is lost', async () => {
  const [a, b, c, d] = await Promise.all([
    fixture.add('burst-src-a', 'Audio/Source', 0, 20),
    fixture.add('burst-sink-a', 'Audio/Sink', 20, 0),
    fixture.add('burst-src-b', 'Audio/Source', 0, 20),
    fixture.add('burst-sink-b', 'Audio/Sink', 20, 0),
  ]);
  const theirs = await fixture.link(grid(a, b)); // 400 links of another client, to remove
  const volumes = await Promise.all([0, 1].map((i) => graph.createNode({ name: `burst-volume-${i}` })));
  await waitFor(() => theirs.every((id) => graph.links().some((l) => l.id === id))
    && volumes.every((v) => graph.nodes().find((n) => n.id === v.id)?.channelVolumes), 30000, 'the links and the volumes');
  const calls = [];
  const within = { timeoutMs: 120000 };
  grid(c, d).forEach(([o, n], i) => {
    calls.push(graph.unlink(theirs[i], within), graph.link(o, n, within));
    if (i < 200) calls.push(graph.createNode({ name: `burst-node-${i}`, channels: ['MONO'], ...within }));
  });
  // The rest, far more than the loop's own queue ever held: volumes.
  while (calls.length < 10000) calls.push(graph.setVolume(volumes[calls.length % 2].id, 0.5, within));
  const outcomes = await Promise.allSettled(calls);
  const refused = outcomes.filter((o) => o.status === 'rejected').map((o) => o.reason.message);
  assert.deepEqual([...new Set(refused)], [], `${refused.length} refused`);
  await fixture.sync();
  // Ids are handed out again at once: the links are told by their ends.
  const left = pwDump().filter((o) => o.type === 'PipeWire:Interface:Link' && o.info['output-node-id'] === a.id);
  assert.equal(left.length, 0, 'every removal reached the daemon');
  assert.equal(graph.links().filter((l) => l.srcNodeId === c.id && l.sinkNodeId === d.id).length, 400);
  assert.equal(graph.nodes().filter((n) => n.name.startsWith('burst-node-')).length, 200);
  await Promise.all(graph.nodes().filter((n) => n.props['quorvane.created-by']).map((n) => graph.destroyNode(n.id)));
  await fixture.remove(a.id, b.id, c.id, d.id);
});

test('requests given up by their time-out: the node or link that comes late is removed, lingering or not', async () => {
  const src = await fixture.add('late-src', 'Audio/Source', 0, 4);
  const sink = await fixture.add('late-sink', 'Audio/Sink', 4, 0);
  await waitFor(() => graph.ports().filter((p) => p.nodeId === sink.id).length === 4, 5000, 'the ports');
  const tries = [];
  for (let i = 0; i < 8; i++) tries.push(graph.createNode({ name: `late-node-${i}`, linger: i % 2 === 1, timeoutMs: 1 }));
  for (const [o, n] of grid(src, sink).slice(0, 8)) tries.push(graph.link(o, n, { timeoutMs: 1 }));
  const outcomes = await Promise.allSettled(tries);
  // Each one given up is given up by its time-out (how many depends on when
  // the timers fire against the daemon's answers; most do).
  const refused = outcomes.filter((o) => o.status === 'rejected');
  assert.ok(refused.length > 0, 'nothing timed out');
  for (const r of refused) assert.match(r.reason.message, /within \d+ ms/);
  // What was made is gone again: the daemon answered after the time-out.
  const made = outcomes.filter((o) => o.status === 'fulfilled').map((o) => o.value.id);
  const ours = () => pwDump().filter((o) => (o.info?.props?.['node.name'] ?? '').startsWith('late-node-')
    || (o.type === 'PipeWire:Interface:Link' && o.info?.['output-node-id'] === src.id && !made.includes(o.id)));
  await waitFor(() => ours().length === 0, 10000, 'the late node and links to go', 200);

  await fixture.remove(src.id, sink.id);
});

test('PIPEWIRE_DEBUG is the user\'s: PipeWire logs at that level; without it, errors only', async () => {
  const script = 'q.createPwThread(); q.destroyPwThread();';
  const withDebug = await runChild(script, { env: { ...process.env, PIPEWIRE_DEBUG: '3' } });
  assert.equal(withDebug.code, 0, withDebug.stderr);
  assert.match(withDebug.stderr, /^\[I\]/m);
  const quiet = await runChild(script);
  assert.equal(quiet.code, 0);
  assert.equal(quiet.stderr, '');
});
