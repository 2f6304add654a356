'use strict';
// Link creation and removal, port to port and by node name, cross-checked
// with the daemon's own view (pw-dump, pw-link), also under a storm of signals.
// Argument checks and the errors of each state are fuzz.test.js's.
const test = require('node:test');
const assert = require('node:assert/strict');
const { spawnSync } = require('node:child_process');
const { waitFor, heard, pwDump, pwLinkList } = require('./helpers/fixture');
const { privateDaemon } = require('./helpers/setup');
const { runChild } = require('./helpers/child');

const q = require('./helpers/addon');
const ROOT = require.resolve('..');
const { fixture } = privateDaemon({}, { after: () => q.destroyPwThread() });

const [created, destroyed] = [heard(q, 'link-created'), heard(q, 'link-destroyed')];

const daemonLinks = () => pwDump().filter((o) => o.type === 'PipeWire:Interface:Link');
const linksBetween = (srcId, sinkId) => q.getLinks().filter((l) => l.srcNodeId === srcId && l.sinkNodeId === sinkId);
const throwsError = (fn, message) => assert.throws(fn, (e) => e.constructor === Error && e.message === message);

let src, sink2, sink6, mono; // 2 outputs, 2 inputs, 6 inputs, 1 output

test.before(async () => {
  [src, sink2, sink6, mono] = await Promise.all([['links-src', 'Stream/Output/Audio', 0, 2], ['links-sink2', 'Audio/Sink', 2, 0],
    ['links-sink6', 'Audio/Sink', 6, 0], ['links-mono', 'Audio/Source', 0, 1]].map((a) => fixture.add(...a)));
  assert.equal(q.createPwThread(), true);
});

test('linkPorts refuses ports it cannot pair without asking the daemon', async () => {
  const before = daemonLinks().length;
  // Directions swapped, the same port twice, no such port.
  for (const [o, i] of [[sink2.inputs[0], src.outputs[0]], [src.outputs[0], src.outputs[0]], [src.outputs[0], 999999]]) throwsError(() => q.linkPorts(o, i), 'Could not find matching ports or nodes');
  assert.equal(daemonLinks().length, before);

  // ToUint32: the fraction is dropped.
  assert.equal(q.linkPorts(src.outputs[0] + 0.9, sink2.inputs[0], 'ignored'), 0);
  const ev = await waitFor(() => created.find((l) => l.srcPortId === src.outputs[0]), 5000, 'link-created');
  assert.deepEqual([ev, q.getLinks().find((l) => l.id === ev.id).format],
    [{ id: ev.id, srcNodeId: src.id, srcPortId: src.outputs[0], sinkNodeId: sink2.id, sinkPortId: sink2.inputs[0] }, 'unknown']);
  assert.match(pwLinkList(), new RegExp(`^\\s*${ev.id}\\s+\\|->\\s+${sink2.inputs[0]} links-sink2:in_1$`, 'm'));

  // Not made by name, nor another client's (pw-link's): unlinkPorts leaves
  // them; so it does a pair not linked and swapped arguments.
  assert.equal(spawnSync('pw-link', [String(mono.outputs[0]), String(sink2.inputs[1])]).status, 0);
  const other = await waitFor(() => q.getLinks().find((l) => l.srcPortId === mono.outputs[0]), 5000, 'the other link');
  const pairs = [[src.outputs[0], sink2.inputs[0]], [mono.outputs[0], sink2.inputs[1]], [src.outputs[1], sink2.inputs[1]], [sink2.inputs[0], src.outputs[0]]];
  assert.deepEqual(pairs.map(([o, i]) => q.unlinkPorts(o, i)), [false, false, false, false]);
  await fixture.sync();
  assert.ok([ev.id, other.id].every((id) => q.getLinks().some((l) => l.id === id)));
  // Removing the whole node pair does remove them.
  assert.deepEqual(['links-src', 'links-mono'].map((name) => q.unlinkNodesNameToId(name, sink2.id)), [1, 1]);
  await waitFor(() => destroyed.includes(ev.id) && destroyed.includes(other.id), 5000, 'link-destroyed');
  assert.ok(!daemonLinks().some((o) => o.id === ev.id || o.id === other.id));
});

test('by-name links pair ports by place; a removal is never queued twice, nor reaches a reused id', async () => {
  for (const [source, sink, count] of [[src, sink2, 2], [src, sink6, 2], [mono, sink2, 1]]) {
    assert.equal(q.linkNodesNameToId(source.name, sink.id), count);
    const got = await waitFor(() => linksBetween(source.id, sink.id).length === count && linksBetween(source.id, sink.id), 5000, 'the links');
    assert.deepEqual([got.map((l) => [l.srcPortId, l.sinkPortId, l.format]).sort(), daemonLinks().filter((o) =>
      o.info.props['link.output.node'] === source.id && o.info.props['link.input.node'] === sink.id).length],
    [source.outputs.slice(0, count).map((o, i) => [o, sink.inputs[i], 'dynamic']).sort(), count]);
  }
  for (const [name, sink] of [['links-sr', sink2], ['Links-src', sink2], ['links-src', mono]]) throwsError(() => q.linkNodesNameToId(name, sink.id), 'Could not find matching ports');

  const [link] = linksBetween(src.id, sink2.id).filter((l) => l.srcPortId === src.outputs[0]);
  destroyed.length = 0;
  // Asked again before the removals arrive: nothing is queued (or sent) twice.
  assert.deepEqual([q.unlinkPorts(src.outputs[0], sink2.inputs[0]), q.unlinkPorts(src.outputs[0], sink2.inputs[0]),
    q.unlinkNodesNameToId('links-src', sink6.id), q.unlinkNodesNameToId('links-src', sink6.id),
    q.unlinkNodesNameToId('links-src', sink2.id), q.unlinkNodesNameToId('links-mono', sink2.id)], [true, false, 2, 0, 1, 1]);
  await waitFor(() => q.getLinks().length === 0, 5000, 'all links gone');
  assert.deepEqual([destroyed.filter((id) => id === link.id).length, daemonLinks().length,
    ['links-src', 'no such node'].map((name) => q.unlinkNodesNameToId(name, sink2.id))], [1, 0, [0, 0]]);

  // A by-name link the daemon removes (with its sink) leaves nothing behind for the id handed out again.
  const temp = await fixture.add('links-temp', 'Audio/Sink', 1, 0);
  await waitFor(() => q.getPorts().some((p) => p.id === temp.inputs[0]));
  assert.equal(q.linkNodesNameToId('links-mono', temp.id), 1);
  const [gone] = await waitFor(() => linksBetween(mono.id, temp.id).length && linksBetween(mono.id, temp.id));
  await fixture.remove(temp.id);
  await waitFor(() => !q.getLinks().some((l) => l.id === gone.id), 5000, 'link removal');
  await waitFor(() => q.getLinkFormat(gone.id).format === 'unknown', 5000, 'the proxy\'s format entry to go');
  // The next link, another client's, is not "dynamic".
  assert.equal(spawnSync('pw-link', [String(mono.outputs[0]), String(sink2.inputs[0])]).status, 0);
  const l = await waitFor(() => q.getLinks().find((x) => x.srcNodeId === mono.id), 5000, 'the link');
  assert.equal(l.format, 'unknown', `link ${l.id} (by-name link was ${gone.id})`);
});

test('graphLink with linger: the link outlives its maker until removed', async () => {
  assert.throws(() => q.graphLink(src.outputs[0], sink6.inputs[0], 1, 'yes'), TypeError);
  const pairs = [[src.outputs[0], sink6.inputs[0], true], [src.outputs[1], sink6.inputs[1], false], [mono.outputs[0], sink6.inputs[2], true]];
  // The child removes the third, lingering, link itself, then exits with the others in place.
  const child = await runChild(`require(${JSON.stringify(ROOT)}).connect().then(async (g) => {
    const links = [];
    for (const [o, i, linger] of ${JSON.stringify(pairs)}) links.push(await g.link(o, i, { linger }));
    await g.unlink(links[2]);
    console.log(JSON.stringify(links.map((l) => l.id)));
    process.exit(0);
  });`, { preload: false });
  assert.equal(child.code, 0, child.stderr);
  const [kept, own, removed] = JSON.parse(child.stdout);
  await waitFor(() => !q.getLinks().some((l) => l.id === own), 5000, 'the link that does not linger to go');
  // The lingering link stays; the one removed is gone.
  assert.deepEqual([q.getLinks().filter((l) => l.id === kept || l.id === removed).map((l) => [l.id, l.srcPortId, l.sinkPortId]),
    daemonLinks().some((o) => o.id === removed)], [[[kept, pairs[0][0], pairs[0][1]]], false]);
  // The removal's answer: the serial of the link being removed, which its "link-destroyed" carries.
  assert.equal(q.graphUnlink(kept), daemonLinks().find((o) => o.id === kept).info.props['object.serial']);
  await waitFor(() => !q.getLinks().some((l) => l.id === kept), 5000, 'the lingering link to go');
});

// Signals Node.js processes get all the time (SIGUSR1 from debuggers, SIGCHLD, SIGWINCH) land while the
// JavaScript thread waits on the PipeWire thread: every request must still run exactly once and say so.
// Links and unlinks for 2.5 s, yielding to the event loop between rounds (the removals are handed over too).
const CHILD = (sinkId, otherSinkId, outPort, inPort) => `
  let chld = 0, winch = 0;
  process.on('SIGCHLD', () => chld++).on('SIGWINCH', () => winch++);
  // SIGUSR1 keeps Node's own handler (it starts the inspector, on a free port).
  q.createPwThread();
  const made = { ports: 0, byName: 0 }, failed = [], end = Date.now() + 2500;
  const round = () => {
    for (let i = 0; i < 20; i++) {
      try {
        if (q.linkPorts(${outPort}, ${inPort}) === 0) made.ports++;
        const n = q.linkNodesNameToId('sig-src', ${sinkId});
        if (n === 2) made.byName++; else failed.push('linkNodesNameToId made ' + n);
        q.unlinkNodesNameToId('sig-src', ${sinkId});
        q.unlinkNodesNameToId('sig-src', ${otherSinkId});
      } catch (e) { failed.push(e.message); }
    }
    if (Date.now() < end) return setImmediate(round);
    // Stop, start and a timed-out wait, under the same signals: no sleep of theirs may be cut short.
    q.destroyPwThread();
    const t0 = Date.now(), t1 = (q.createPwThread(), Date.now());
    const missing = q.waitForNewNode('never-there', undefined, 300), [startMs, waitMs] = [t1 - t0, Date.now() - t1];
    // Node's own SIGUSR1 handler races with its teardown at exit: ours takes the signal over.
    process.on('SIGUSR1', () => {});
    console.log(JSON.stringify({ made, failed: failed.slice(0, 5), failures: failed.length, chld, winch, startMs, waitMs, missing }));
    q.destroyPwThread();
  };
  console.log('ready');
  round();`;

test('link requests survive a storm of signals', async () => {
  const [src, sink, other] = await Promise.all([['sig-src', 'Audio/Source', 0, 2], ['sig-sink', 'Audio/Sink', 2, 0],
    ['sig-other', 'Audio/Sink', 1, 0]].map((a) => fixture.add(...a)));
  const signals = ['SIGUSR1', 'SIGCHLD', 'SIGWINCH'];
  for (let round = 0; round < 3; round++) {
    let [timer, sent] = [null, 0];
    const r = await runChild(CHILD(sink.id, other.id, src.outputs[1], other.inputs[0]), { args: ['--inspect-port=0'], timeoutMs: 30000,
      onStdout: (out, child) => {
        if (out.includes('"made"')) clearInterval(timer);
        if (timer || !out.includes('ready')) return;
        timer = setInterval(() => {
          try { process.kill(child.pid, signals[sent++ % signals.length]); } catch {}
        }, 2);
      },
    });
    clearInterval(timer);
    assert.deepEqual([r.timedOut, r.code, r.signal], [false, 0, null], `round ${round}: ${r.stderr.slice(-2000)}`);
    const summary = JSON.parse(r.stdout.trim().split('\n').pop()), { made, failures, chld, winch, startMs, waitMs, missing } = summary;
    // Each request ran once (as many by name as by port) and said so; no sleep was cut short.
    assert.deepEqual([failures, made.byName, missing], [0, made.ports, { found: false }], `round ${round}: ${JSON.stringify(summary)}`);
    assert.ok(made.ports > 100 && sent > 300 && chld > 0 && winch > 0 && startMs >= 495 && waitMs >= 295,
      `round ${round}: ${sent} signals sent, ${JSON.stringify(summary)}`);
  }
});
