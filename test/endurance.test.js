'use strict';
// Long runs of start/stop cycles (event order and once-only delivery under
// load: events.test.js). QUORVANE_LONG=1 multiplies the counts by ten.
const test = require('node:test');
const assert = require('node:assert/strict');
const fs = require('node:fs');
const { startDaemon } = require('./helpers/daemon');

const SCALE = process.env.QUORVANE_LONG === '1' ? 10 : 1;
const daemon = startDaemon({ objects: [{ name: 'cycle-sink', mediaClass: 'Audio/Sink', positions: ['MONO'] }] });
const q = require('./helpers/addon');
const { connect } = require('..');

// Threads and descriptors: a leak of one per cycle shows after a few cycles.
const usage = () => [fs.readdirSync('/proc/self/task').length, fs.readdirSync('/proc/self/fd').length];

test.after(() => {
  q.destroyPwThread();
  daemon.stop();
});

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
    assert.ok(graph.nodes().some((n) => n.name === 'cycle-sink'), `cycle ${i}: mirror filled`);
    await graph.close();
  }
  assert.deepEqual(usage(), before, 'threads and descriptors');
  assert.deepEqual(q.getNodes(), [], 'the mirror is emptied by the last close');
});
