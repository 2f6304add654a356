'use strict';
// Start, stop and restart of the connection, and what they leave behind.
const test = require('node:test');
const assert = require('node:assert/strict');
const fs = require('node:fs');
const { startDaemon } = require('./helpers/daemon');
const { Fixture, waitFor } = require('./helpers/fixture');
const { runChild } = require('./helpers/child');

const daemon = startDaemon();
const q = require('./helpers/addon');

const threads = () => fs.readdirSync('/proc/self/task').length;

test.after(() => {
  q.destroyPwThread();
  daemon.stop();
});

test('before any start the mirror is empty and destroy changes nothing', () => {
  assert.deepEqual(q.getNodes(), []);
  assert.deepEqual(q.getPorts(), []);
  assert.deepEqual(q.getLinks(), []);
  const before = threads();
  assert.equal(q.destroyPwThread(), true);
  assert.equal(threads(), before);
});

test('a second createPwThread returns at once and starts nothing', () => {
  const before = threads();
  let t = Date.now();
  assert.equal(q.createPwThread(), true);
  assert.ok(Date.now() - t >= 450, 'the start pauses about 500 ms');
  const during = threads();
  assert.ok(during > before, 'the PipeWire thread runs');
  t = Date.now();
  assert.equal(q.createPwThread('yes'), true);
  assert.ok(Date.now() - t < 300, 'the second call returns at once, without the start-up pause');
  assert.equal(threads(), during);
  assert.ok(q.getNodes().length > 0);
});

test('destroy empties the mirror; a new start mirrors the graph again', async () => {
  const fixture = new Fixture();
  const node = await fixture.add('restart-node', 'Audio/Sink', 1, 0);
  await waitFor(() => q.getNodes().some((n) => n.id === node.id));
  assert.equal(q.destroyPwThread(), true);
  assert.deepEqual(q.getNodes(), []);
  assert.deepEqual(q.getPorts(), []);
  assert.equal(q.destroyPwThread(), true);
  assert.equal(q.createPwThread(), true);
  // The new registry announces the whole graph before the start returns.
  assert.ok(q.getNodes().some((n) => n.id === node.id && n.name === 'restart-node'));
  assert.ok(q.getPorts().some((p) => p.id === node.inputs[0]));
  await fixture.close();
  await waitFor(() => !q.getNodes().some((n) => n.id === node.id));
});

test('a script that creates, lists and destroys exits by itself', async () => {
  const r = await runChild('q.createPwThread(); console.log(q.getNodes().length); q.destroyPwThread();');
  assert.equal(r.timedOut, false, 'the process must exit by itself');
  assert.equal(r.code, 0, r.stderr);
  assert.ok(Number(r.stdout) > 0);
});

test('a script that stays connected keeps running until it stops, then exits', async () => {
  const r = await runChild(
    'q.createPwThread(); setTimeout(() => { console.log("still here"); q.destroyPwThread(); }, 300);',
  );
  assert.equal(r.timedOut, false);
  assert.equal(r.code, 0, r.stderr);
  assert.equal(r.stdout.trim(), 'still here');
});

test('process.exit while connected ends cleanly', async () => {
  const r = await runChild('q.createPwThread(); setTimeout(() => process.exit(0), 50);');
  assert.equal(r.timedOut, false);
  assert.deepEqual([r.code, r.signal], [0, null], r.stderr);
});

test('createPwThread(true) turns on PipeWire debug logging; other arguments do not', async () => {
  const quiet = await runChild('q.createPwThread(1); q.destroyPwThread();');
  assert.equal(quiet.code, 0);
  assert.equal(quiet.stderr, '');
  const verbose = await runChild('q.createPwThread(true); q.destroyPwThread();');
  assert.equal(verbose.code, 0);
  assert.match(verbose.stderr, /\[D\]/);
});

test('process.exit with events still queued, and with a link request in flight, ends cleanly', async () => {
  const queued = await runChild(`q.on('node-created', () => {}); q.createPwThread(); process.exit(0);`);
  assert.deepEqual([queued.code, queued.signal, queued.timedOut], [0, null, false], queued.stderr);
  const inFlight = await runChild(`
    q.on('link-created', () => {});
    q.createPwThread();
    const sink = q.getNodes().find((n) => n.name === 'demo-speakers');
    console.log(q.linkNodesNameToId('demo-microphone', sink.id));
    q.unlinkNodesNameToId('demo-microphone', sink.id);
    process.exit(0);`);
  assert.deepEqual([inFlight.code, inFlight.signal, inFlight.timedOut], [0, null, false], inFlight.stderr);
  assert.equal(inFlight.stdout.trim(), '2');
});
