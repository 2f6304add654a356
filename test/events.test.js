'use strict';
// Listeners and dispatch: payloads, registration rules, ordering, and how a
// listener's own work interleaves with the dispatch.
const test = require('node:test');
const assert = require('node:assert/strict');
const { startDaemon } = require('./helpers/daemon');
const { Fixture, waitFor } = require('./helpers/fixture');
const { runChild } = require('./helpers/child');

const daemon = startDaemon();
const q = require('./helpers/addon');
const fixture = new Fixture();

test.after(async () => {
  for (const name of ['node-created', 'node-destroyed', 'link-created', 'link-destroyed']) q.off(name);
  q.destroyPwThread();
  await fixture.close();
  daemon.stop();
});

test('on and off reject bad arguments with their fixed TypeErrors', () => {
  const onMsg = 'on requires (eventName, callback)';
  const isType = (m) => (e) => e instanceof TypeError && e.message === m;
  assert.throws(() => q.on('node-created'), isType(onMsg));
  assert.throws(() => q.on(1, () => {}), isType(onMsg));
  assert.throws(() => q.on('node-created', {}), isType(onMsg));
  assert.throws(() => q.off(), isType('off requires (eventName)'));
  assert.throws(() => q.off(5), isType('off requires (eventName)'));
  assert.equal(q.off('never-registered'), undefined);
  assert.equal(q.on('anything-else', () => {}), undefined);
  assert.equal(q.off('anything-else'), undefined);
});

test('a listener registered before the start hears every existing node and link', async () => {
  const src = await fixture.add('ev-src', 'Audio/Source', 0, 1);
  const sink = await fixture.add('ev-sink', 'Audio/Sink', 1, 0);
  require('node:child_process').spawnSync('pw-link', [String(src.outputs[0]), String(sink.inputs[0])]);
  await fixture.sync();
  const nodes = [];
  const links = [];
  q.on('node-created', (n) => nodes.push(n));
  q.on('link-created', (l) => links.push(l));
  q.on('never-called', () => assert.fail('a listener under another name is never called'));
  q.createPwThread();
  const mirrorNodes = q.getNodes();
  await waitFor(() => nodes.length >= mirrorNodes.length, 5000, 'node events');
  assert.deepEqual(nodes, mirrorNodes.map(({ id, name, type }) => ({ id, name, type })));
  assert.deepEqual(Object.keys(nodes[0]), ['id', 'name', 'type']);
  await waitFor(() => links.length >= 1, 5000, 'link events');
  assert.deepEqual(Object.keys(links[0]), ['id', 'srcNodeId', 'srcPortId', 'sinkNodeId', 'sinkPortId']);
  assert.deepEqual(links, q.getLinks().map(({ id, srcNodeId, srcPortId, sinkNodeId, sinkPortId }) =>
    ({ id, srcNodeId, srcPortId, sinkNodeId, sinkPortId })));

  // Destroyed kinds carry the bare id.
  const gone = [];
  q.on('node-destroyed', (id) => gone.push(['node', id]));
  q.on('link-destroyed', (id) => gone.push(['link', id]));
  await fixture.remove(src.id);
  await waitFor(() => gone.some(([k, id]) => k === 'node' && id === src.id), 5000, 'node-destroyed');
  assert.ok(gone.some(([k, id]) => k === 'link' && id === links[0].id));
  for (const [, id] of gone) assert.equal(typeof id, 'number');
  q.off('never-called');
  await fixture.remove(sink.id);
  await waitFor(() => gone.some(([k, id]) => k === 'node' && id === sink.id), 5000, 'node-destroyed');
});

test('a burst of changes arrives complete and in order, one delivery each', async () => {
  const seen = [];
  q.on('node-created', (n) => n.name.startsWith('burst-') && seen.push(['+', n.id, n.name]));
  q.on('node-destroyed', (id) => seen.push(['-', id]));
  const ids = await fixture.addMany(100, 'burst', 'Audio/Sink', 1, 1);
  await fixture.remove(...ids);
  await waitFor(() => seen.length >= 200, 10000, 'all events');
  await fixture.sync();
  const created = seen.filter((e) => e[0] === '+');
  assert.deepEqual(created.map((e) => e[1]), ids);
  assert.deepEqual(created.map((e) => e[2]), ids.map((_, i) => `burst-${i}`));
  const destroyed = seen.filter((e) => e[0] === '-' && ids.includes(e[1]));
  assert.deepEqual([...destroyed.map((e) => e[1])].sort((a, b) => a - b), [...ids].sort((a, b) => a - b));
  // Every creation of an id comes before its removal.
  for (const id of ids) {
    assert.ok(seen.findIndex((e) => e[0] === '+' && e[1] === id) < seen.findIndex((e) => e[0] === '-' && e[1] === id));
  }
});

test('replacing a listener, and a listener that removes or replaces itself mid-dispatch', async () => {
  const calls = [];
  q.on('node-created', () => calls.push('first'));
  q.on('node-created', (n) => {
    calls.push(`second:${n.name}`);
    q.on('node-created', (m) => {
      calls.push(`third:${m.name}`);
      q.off('node-created'); // removes itself; the current call completes
      calls.push('third-after-off');
    });
  });
  const gone = [];
  q.on('node-destroyed', (id) => gone.push(id));
  const a = await fixture.add('ev-a', 'Audio/Sink');
  const b = await fixture.add('ev-b', 'Audio/Sink');
  const c = await fixture.add('ev-c', 'Audio/Sink');
  await fixture.remove(a.id, b.id, c.id);
  // Events come in order: once the removals are heard, all creations were dispatched.
  await waitFor(() => [a.id, b.id, c.id].every((id) => gone.includes(id)), 5000, 'removals');
  assert.deepEqual(calls, ['second:ev-a', 'third:ev-b', 'third-after-off']);
  q.off('node-destroyed');
});

test('ticks and promise jobs queued by a listener run before the next listener call', async () => {
  const order = [];
  q.on('node-created', (n) => {
    if (!n.name.startsWith('tick-')) return;
    order.push(`L${n.name}`);
    process.nextTick(() => order.push(`T${n.name}`));
    Promise.resolve().then(() => order.push(`P${n.name}`));
  });
  const ids = await fixture.addMany(3, 'tick', 'Audio/Sink');
  await waitFor(() => order.length === 9, 5000, 'all calls');
  assert.deepEqual(order, ['tick-0', 'tick-1', 'tick-2'].flatMap((n) => [`L${n}`, `T${n}`, `P${n}`]));
  q.off('node-created');
  await fixture.remove(...ids);
});

test('an event with no listener is dropped, not replayed later', async () => {
  q.off('node-created');
  const gone = [];
  q.on('node-destroyed', (id) => gone.push(id));
  const n = await fixture.add('ev-dropped', 'Audio/Sink');
  const marker = await fixture.add('ev-marker', 'Audio/Sink');
  await fixture.remove(marker.id);
  // Events come in order: the marker's removal follows n's creation.
  await waitFor(() => gone.includes(marker.id), 5000, 'the marker removal');
  const late = [];
  q.on('node-created', (x) => late.push(x.id));
  const m = await fixture.add('ev-later', 'Audio/Sink');
  await waitFor(() => late.includes(m.id), 5000, 'the later event');
  assert.deepEqual(late, [m.id]);
  q.off('node-created');
  q.off('node-destroyed');
  await fixture.remove(n.id, m.id);
});

test('a name with an embedded NUL registers under the part before it', async () => {
  const got = [];
  q.on('node-created\0ignored', (x) => got.push(x.name));
  const n = await fixture.add('ev-nul', 'Audio/Sink');
  await waitFor(() => got.includes('ev-nul'), 5000, 'the event');
  q.off('node-created');
  await fixture.remove(n.id);
});

test('a throwing listener reaches uncaughtException and dispatch goes on', async () => {
  const r = await runChild(`
    let calls = 0;
    process.on('uncaughtException', (e) => console.log('caught ' + e.message));
    q.on('node-created', (n) => { calls++; throw new Error('boom ' + n.name); });
    q.createPwThread();
    setTimeout(() => { console.log('calls ' + calls + ' of ' + q.getNodes().length); q.destroyPwThread(); }, 200);
  `);
  assert.equal(r.code, 0, r.stderr);
  const lines = r.stdout.trim().split('\n');
  const nodes = q.getNodes().filter((n) => n.name.startsWith('demo-'));
  assert.deepEqual(lines.slice(0, -1), nodes.map((n) => `caught boom ${n.name}`));
  assert.equal(lines.at(-1), `calls ${nodes.length} of ${nodes.length}`);
});

test('events queued before a stop are delivered at the next wake-up if the process runs on', async () => {
  const r = await runChild(`
    const got = [];
    q.on('node-created', (n) => got.push(n.name));
    q.createPwThread();
    q.destroyPwThread();
    setTimeout(() => console.log(JSON.stringify(got)), 100);
  `);
  assert.equal(r.code, 0, r.stderr);
  assert.deepEqual(JSON.parse(r.stdout), ['demo-speakers', 'demo-microphone']);
});

test('a steady stream of events does not starve the event loop: timers run between dispatch runs', async () => {
  // Each event takes the listener 3 ms, longer than the daemon takes to
  // announce the next node: the queue keeps filling while it is drained.
  const spin = (ms) => {
    const end = Date.now() + ms;
    while (Date.now() < end);
  };
  let dispatched = 0;
  const ticks = [];
  q.createPwThread();
  q.on('node-created', (n) => {
    if (!n.name.startsWith('stream-')) return;
    dispatched++;
    spin(3);
  });
  const timer = setInterval(() => ticks.push(dispatched), 1);
  const ids = await fixture.addMany(150, 'stream', 'Audio/Sink', 0, 0);
  await waitFor(() => dispatched === ids.length, 10000, 'every event');
  clearInterval(timer);
  q.off('node-created');
  // Timers ran while the stream was being dispatched, not only before and after.
  const during = ticks.filter((n) => n > 0 && n < ids.length);
  assert.ok(during.length > 0, `timer ticks at ${[...new Set(ticks)].join(',')}`);
  await fixture.remove(...ids);
});

test('listeners stay optimised across collections once no payload of their kind is left', async () => {
  // V8 forgets the hidden class of objects built property by property once
  // none is alive, and throws away the optimised code that relied on it: a
  // listener would be compiled again after every few collections.
  const src = await fixture.add('shape-src', 'Audio/Source', 0, 2);
  const sink = await fixture.add('shape-sink', 'Audio/Sink', 2, 0);
  require('node:child_process').spawnSync('pw-link', [String(src.outputs[0]), String(sink.inputs[0])]);
  await fixture.sync();
  const r = await runChild(`
    const { connect } = require(${JSON.stringify(require('node:path').join(__dirname, '..'))});
    const heard = { nodes: [], links: [] };
    q.on('node-created', (n) => heard.nodes.push(n));
    q.on('link-created', (l) => heard.links.push(l));
    q.createPwThread();
    (async () => {
      const graph = await connect();
      const made = await graph.link(${src.outputs[1]}, ${sink.inputs[1]});
      while (heard.links.length < 2) await new Promise((r) => setTimeout(r, 5));
      const readers = [
        ['Graph link', (l) => l.id + l.srcNodeId + l.sinkPortId, [made]],
        ['node-created', (n) => n.id + n.name.length + n.type.length, heard.nodes],
        ['link-created', (l) => l.id + l.srcNodeId + l.sinkPortId, heard.links],
      ];
      for (const [, read, payloads] of readers) {
        %PrepareFunctionForOptimization(read);
        for (const p of payloads) read(p);
        %OptimizeFunctionOnNextCall(read);
        read(payloads[0]);
      }
      const optimised = () => readers.map(([name, read]) => name + ' ' + ((%GetOptimizationStatus(read) & 16) !== 0));
      const before = optimised();
      await graph.unlink(made.id);
      await graph.close();
      q.destroyPwThread();
      for (const [, , payloads] of readers) payloads.length = 0;
      // From a later tick, so no frame holds a payload; V8 keeps a class
      // that optimised code uses for a couple of collections more.
      setTimeout(() => {
        for (let i = 0; i < 6; i++) gc();
        console.log(JSON.stringify({ before, after: optimised() }));
      }, 10);
    })();
  `, { args: ['--allow-natives-syntax', '--expose-gc'] });
  assert.equal(r.code, 0, r.stderr);
  const { before, after } = JSON.parse(r.stdout);
  const all = ['Graph link true', 'node-created true', 'link-created true'];
  assert.deepEqual(before, all);
  assert.deepEqual(after, all);
  await fixture.remove(src.id, sink.id);
});
