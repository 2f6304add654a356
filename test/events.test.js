'use strict';
// Listeners and dispatch: registration rules, ordering, and how a listener's own work interleaves with it
// (a throwing listener: lifecycle.test.js).
const test = require('node:test');
const assert = require('node:assert/strict');
const { waitFor, heard } = require('./helpers/fixture');
const { privateDaemon } = require('./helpers/setup');

const q = require('./helpers/addon');
// A second on() replaces the first: each test's listeners replace the last test's.
const offAll = () => ['node-created', 'node-destroyed', 'link-created', 'link-destroyed'].forEach((n) => q.off(n));
const { fixture } = privateDaemon({}, { after: () => (offAll(), q.destroyPwThread()) });

test.before(() => q.createPwThread());

test('a burst of changes arrives complete and in order', async () => {
  const seen = [];
  q.on('node-created', (n) => {
    if (!n.name.startsWith('burst-')) return;
    seen.push(['+', n.id, n.name]);
    process.nextTick(() => seen.push(['tick', n.id]));
    Promise.resolve().then(() => seen.push(['job', n.id]));
  });
  q.on('node-destroyed', (id) => seen.push(['-', id]));
  const ids = await fixture.addMany(100, 'burst', 'Audio/Sink', 1, 1);
  await fixture.remove(...ids);
  await waitFor(() => seen.filter((e) => e[0] === '-' && ids.includes(e[1])).length === ids.length, 10000, 'all events');
  // In order, each creation before its removal, each once.
  assert.deepEqual(seen.filter((e) => e[0] !== '-'), ids.flatMap((id, i) => [['+', id, `burst-${i}`], ['tick', id], ['job', id]]));
  assert.deepEqual(ids.map((id) => seen.filter((e) => e[1] === id).map((e) => e[0]).join()), ids.map(() => '+,tick,job,-'));
});

test('listeners may be replaced or removed mid-dispatch', async () => {
  const calls = [];
  q.on('node-created', () => calls.push('first'));
  q.on('node-created\0ignored', (n) => {
    calls.push(`second:${n.name}`);
    q.on('node-created', (m) => {
      calls.push(`third:${m.name}`);
      q.off('node-created'); // removes itself; the current call completes
      calls.push('third-after-off');
    });
  });
  const [gone, made] = [heard(q, 'node-destroyed'), []];
  for (const name of ['ev-a', 'ev-b', 'ev-c']) made.push(await fixture.add(name, 'Audio/Sink'));
  await fixture.remove(...made.map((n) => n.id));
  // Events come in order: once the removals are heard, all creations were dispatched.
  await waitFor(() => made.every((n) => gone.includes(n.id)), 5000, 'removals');
  assert.deepEqual(calls, ['second:ev-a', 'third:ev-b', 'third-after-off']);
  // ev-c's creation found no listener: not replayed to a later one.
  const late = [];
  q.on('node-created', (x) => late.push(x.id));
  const m = await fixture.add('ev-later', 'Audio/Sink');
  await waitFor(() => late.includes(m.id), 5000, 'the later event');
  assert.deepEqual(late, [m.id]);
});

test('a steady stream of events does not starve the event loop', async () => {
  // Each event takes the listener 3 ms, more than the next node's announcement: the queue fills as it drains.
  let [dispatched, ticks] = [0, []];
  q.on('node-created', (n) => {
    if (!n.name.startsWith('stream-')) return;
    dispatched++;
    for (const end = Date.now() + 3; Date.now() < end; );
  });
  const timer = setInterval(() => ticks.push(dispatched), 1);
  const ids = await fixture.addMany(150, 'stream', 'Audio/Sink', 0, 0);
  await waitFor(() => dispatched === ids.length, 10000, 'every event');
  clearInterval(timer), q.off('node-created');
  // Timers ran while the stream was being dispatched, not only before and after.
  assert.ok(ticks.some((n) => n > 0 && n < ids.length), `timer ticks at ${[...new Set(ticks)].join(',')}`);
});
