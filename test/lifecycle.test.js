'use strict';
// Start, stop and restart of the connection, and what they leave behind, also
// over long runs of cycles (event order and once-only delivery under load: events.test.js).
const test = require('node:test');
const assert = require('node:assert/strict');
const fs = require('node:fs');
const { waitFor } = require('./helpers/fixture');
const { privateDaemon } = require('./helpers/setup');
const { runChild } = require('./helpers/child');
const { connect } = require('..');

const threads = () => fs.readdirSync('/proc/self/task').length;
const threadsBefore = threads();
const q = require('./helpers/addon');
const { fixture } = privateDaemon({}, { after: () => q.destroyPwThread() });

test('loading starts nothing; a second start makes no thread; destroy empties the mirror, a start fills it', async () => {
  assert.equal(threads(), threadsBefore, 'loading starts no thread');
  assert.deepEqual([q.getNodes(), q.getPorts(), q.getLinks()], [[], [], []]);
  assert.equal(q.destroyPwThread(), true);
  assert.equal(q.createPwThread(), true);
  const during = threads();
  assert.ok(during > threadsBefore, 'the PipeWire thread runs');
  assert.equal(q.createPwThread('yes'), true);
  assert.equal(threads(), during, 'a second start makes no thread');

  const node = await fixture.add('restart-node', 'Audio/Sink', 1, 0);
  await waitFor(() => q.getNodes().some((n) => n.id === node.id));
  assert.equal(q.destroyPwThread(), true);
  assert.deepEqual([q.getNodes(), q.getPorts()], [[], []]);
  assert.equal(q.destroyPwThread(), true);
  assert.equal(q.createPwThread(), true);
  // The new registry announces the whole graph before the start returns.
  assert.ok(q.getNodes().some((n) => n.id === node.id && n.name === 'restart-node'));
  assert.ok(q.getPorts().some((p) => p.id === node.inputs[0]));
});

test('scripts end by themselves however they stop; PipeWire logs errors only, at PIPEWIRE_DEBUG\'s level, or with createPwThread(true) alone debug', async () => {
  const cases = [
    // [script, standard output, standard error, environment]
    ['q.createPwThread(1); setTimeout(() => { console.log(q.getNodes().length > 0); q.destroyPwThread(); }, 300);', 'true', /^$/],
    ['q.createPwThread(true); q.destroyPwThread();', '', /\[D\]/],
    ['q.createPwThread(); q.destroyPwThread();', '', /^\[I\]/m, { PIPEWIRE_DEBUG: '3' }],
    [`q.on('node-created', () => {}); q.createPwThread(); process.exit(0);`, '', /^$/],
    // With events and a link request in flight.
    [`q.on('link-created', () => {});
      q.createPwThread();
      const sink = q.getNodes().find((n) => n.name === 'demo-speakers');
      console.log(q.linkNodesNameToId('demo-microphone', sink.id));
      q.unlinkNodesNameToId('demo-microphone', sink.id);
      process.exit(0);`, '2', /^$/],
  ];
  for (const [script, out, err, env] of cases) {
    const r = await runChild(script, { env: { ...process.env, ...env } });
    assert.deepEqual([r.code, r.signal, r.timedOut, r.stdout.trim()], [0, null, false, out], `${script}\n${r.stderr}`);
    assert.match(r.stderr, err, script);
  }
});

// Threads and descriptors: a leak of one per cycle shows after a few cycles.
// QUORVANE_LONG=1 multiplies the counts by ten.
const SCALE = process.env.QUORVANE_LONG === '1' ? 10 : 1;
const usage = () => [fs.readdirSync('/proc/self/task').length, fs.readdirSync('/proc/self/fd').length];

test('start/stop and connect()/close() cycles leave threads and descriptors as after the first', async () => {
  q.createPwThread();
  q.destroyPwThread();
  await (await connect()).close();
  const before = usage();
  for (let i = 0; i < 20 * SCALE; i++) {
    q.createPwThread();
    assert.ok(q.getNodes().length > 0, `cycle ${i}: mirror filled`);
    q.destroyPwThread();
  }
  for (let i = 0; i < 200 * SCALE; i++) {
    const graph = await connect();
    assert.ok(graph.nodes().some((n) => n.name === 'demo-speakers'), `cycle ${i}: mirror filled`);
    await graph.close();
  }
  assert.deepEqual(usage(), before, 'threads and descriptors');
  assert.deepEqual(q.getNodes(), [], 'the mirror is emptied by the last close');
});
