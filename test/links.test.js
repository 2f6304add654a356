'use strict';
// Link creation and removal, port to port and by node name, cross-checked
// with the daemon's own view (pw-dump, pw-link).
const test = require('node:test');
const assert = require('node:assert/strict');
const { spawnSync } = require('node:child_process');
const { startDaemon } = require('./helpers/daemon');
const { Fixture, waitFor, pwDump, pwLinkList } = require('./helpers/fixture');

const daemon = startDaemon();
const q = require('./helpers/addon');
const fixture = new Fixture();

const created = [];
const destroyed = [];
q.on('link-created', (l) => created.push(l));
q.on('link-destroyed', (id) => destroyed.push(id));

const daemonLinks = () => pwDump().filter((o) => o.type === 'PipeWire:Interface:Link');
const linksBetween = (srcId, sinkId) => q.getLinks().filter((l) => l.srcNodeId === srcId && l.sinkNodeId === sinkId);
const throwsError = (fn, message) => assert.throws(fn, (e) => e.constructor === Error && e.message === message);
const throwsType = (fn, message) => assert.throws(fn, (e) => e instanceof TypeError && e.message === message);

let src; // 2 outputs
let sink2; // 2 inputs
let sink6; // 6 inputs
let mono; // 1 output

test.before(async () => {
  src = await fixture.add('links-src', 'Stream/Output/Audio', 0, 2);
  sink2 = await fixture.add('links-sink2', 'Audio/Sink', 2, 0);
  sink6 = await fixture.add('links-sink6', 'Audio/Sink', 6, 0);
  mono = await fixture.add('links-mono', 'Audio/Source', 0, 1);
});

test.after(async () => {
  q.destroyPwThread();
  await fixture.close();
  daemon.stop();
});

test('before connecting, every link operation reports that PipeWire is not connected', () => {
  throwsError(() => q.linkPorts(src.outputs[0], sink2.inputs[0]), 'PipeWire not connected');
  throwsError(() => q.unlinkPorts(1, 2), 'PipeWire not connected');
  throwsError(() => q.linkNodesNameToId('links-src', sink2.id), 'PipeWire not connected');
  throwsError(() => q.unlinkNodesNameToId('links-src', sink2.id), 'PipeWire not connected');
  // The argument check comes first, in every state.
  throwsType(() => q.unlinkPorts(1), 'unlinkPorts requires two port IDs (outputPortId, inputPortId)');
  assert.equal(q.createPwThread(), true);
});

test('argument checks throw the fixed TypeErrors', () => {
  const ports = 'linkPorts requires two port IDs (outputPortId, inputPortId)';
  throwsType(() => q.linkPorts(5), ports);
  throwsType(() => q.linkPorts('5', 6), ports);
  throwsType(() => q.linkPorts(5, null), ports);
  throwsType(() => q.unlinkPorts(5, '6'), 'unlinkPorts requires two port IDs (outputPortId, inputPortId)');
  throwsType(() => q.linkNodesNameToId(45, 46), 'linkNodesNameToId requires (srcNodeName, dstNodeId)');
  throwsType(() => q.linkNodesNameToId('mic'), 'linkNodesNameToId requires (srcNodeName, dstNodeId)');
  throwsType(() => q.unlinkNodesNameToId(45, 46), 'unlinkNodesNameToId requires (srcNodeName, dstNodeId)');
  throwsType(() => q.unlinkNodesNameToId('mic'), 'unlinkNodesNameToId requires (srcNodeName, dstNodeId)');
});

test('linkPorts rejects ports it cannot pair, without touching the daemon', () => {
  const before = daemonLinks().length;
  const notFound = 'Could not find matching ports or nodes';
  throwsError(() => q.linkPorts(sink2.inputs[0], src.outputs[0]), notFound); // directions swapped
  throwsError(() => q.linkPorts(src.outputs[0], src.outputs[0]), notFound); // same port twice
  throwsError(() => q.linkPorts(src.outputs[0], 999999), notFound);
  throwsError(() => q.linkPorts(999998, sink2.inputs[0]), notFound);
  assert.equal(daemonLinks().length, before);
});

test('linkPorts returns 0, then the link is announced with its ids', async () => {
  created.length = 0;
  // ToUint32: the fraction is dropped.
  assert.equal(q.linkPorts(src.outputs[0] + 0.9, sink2.inputs[0], 'ignored'), 0);
  const ev = await waitFor(() => created.find((l) => l.srcPortId === src.outputs[0]), 5000, 'link-created');
  assert.deepEqual(ev, {
    id: ev.id, srcNodeId: src.id, srcPortId: src.outputs[0], sinkNodeId: sink2.id, sinkPortId: sink2.inputs[0],
  });
  assert.ok(daemonLinks().some((o) => o.id === ev.id));
  assert.match(pwLinkList(), new RegExp(`^\\s*${ev.id}\\s+\\|->\\s+${sink2.inputs[0]} links-sink2:in_1$`, 'm'));
  const listed = q.getLinks().find((l) => l.id === ev.id);
  assert.equal(listed.format, 'unknown');
  assert.equal(listed.srcNodeName, 'links-src');

  // Not made by name: unlinkPorts does not remove it.
  assert.equal(q.unlinkPorts(src.outputs[0], sink2.inputs[0]), false);
  // Neither does it for a pair that is not linked, nor for swapped arguments.
  assert.equal(q.unlinkPorts(src.outputs[1], sink2.inputs[1]), false);
  assert.equal(q.unlinkPorts(sink2.inputs[0], src.outputs[0]), false);
  await fixture.sync();
  assert.ok(q.getLinks().some((l) => l.id === ev.id));

  // Removing the whole node pair does.
  destroyed.length = 0;
  assert.equal(q.unlinkNodesNameToId('links-src', sink2.id), 1);
  await waitFor(() => destroyed.includes(ev.id), 5000, 'link-destroyed');
  assert.ok(!daemonLinks().some((o) => o.id === ev.id));
});

test('unlinkPorts is false for a link made by another client', async () => {
  const r = spawnSync('pw-link', [String(mono.outputs[0]), String(sink2.inputs[1])], { encoding: 'utf8' });
  assert.equal(r.status, 0, r.stderr);
  const link = await waitFor(() => q.getLinks().find((l) => l.srcPortId === mono.outputs[0]), 5000, 'the link');
  assert.equal(q.unlinkPorts(mono.outputs[0], sink2.inputs[1]), false);
  assert.equal(q.unlinkNodesNameToId('links-mono', sink2.id), 1);
  await waitFor(() => !q.getLinks().some((l) => l.id === link.id), 5000, 'removal');
});

test('by-name linking pairs output and input ports by their places', async () => {
  const cases = [
    ['links-src', sink2, [[0, 0], [1, 1]]],
    ['links-src', sink6, [[0, 0], [1, 1]]],
    ['links-mono', sink2, [[0, 0]]],
  ];
  for (const [name, sink, pairs] of cases) {
    const source = name === 'links-src' ? src : mono;
    assert.equal(q.linkNodesNameToId(name, sink.id), pairs.length, `${name} -> ${sink.id}`);
    await waitFor(() => linksBetween(source.id, sink.id).length === pairs.length, 5000, 'the links');
    const got = linksBetween(source.id, sink.id).map((l) => [l.srcPortId, l.sinkPortId]).sort();
    const want = pairs.map(([o, i]) => [source.outputs[o], sink.inputs[i]]).sort();
    assert.deepEqual(got, want);
    for (const l of linksBetween(source.id, sink.id)) assert.equal(l.format, 'dynamic');
    assert.equal(daemonLinks().filter((o) => o.info.props['link.output.node'] === source.id
      && o.info.props['link.input.node'] === sink.id).length, pairs.length);
  }
});

test('a link made by name is removed by unlinkPorts, once', async () => {
  const [link] = linksBetween(src.id, sink2.id).filter((l) => l.srcPortId === src.outputs[0]);
  destroyed.length = 0;
  assert.equal(q.unlinkPorts(src.outputs[0], sink2.inputs[0]), true);
  // A second request before the removal arrives finds no proxy entry.
  assert.equal(q.unlinkPorts(src.outputs[0], sink2.inputs[0]), false);
  await waitFor(() => destroyed.includes(link.id), 5000, 'link-destroyed');
  assert.ok(!q.getLinks().some((l) => l.id === link.id));
  assert.ok(!daemonLinks().some((o) => o.id === link.id));
  assert.equal(destroyed.filter((id) => id === link.id).length, 1);
});

test('unlinkNodesNameToId counts what it queues and the links vanish from the daemon', async () => {
  assert.equal(q.unlinkNodesNameToId('links-src', sink6.id), 2);
  // Asked again before the removals arrive: nothing is queued (or sent) twice.
  assert.equal(q.unlinkNodesNameToId('links-src', sink6.id), 0, 'not queued again before the removals arrive');
  assert.equal(q.unlinkNodesNameToId('links-src', sink2.id), 1);
  assert.equal(q.unlinkNodesNameToId('links-mono', sink2.id), 1);
  await waitFor(() => q.getLinks().length === 0, 5000, 'all links gone');
  assert.equal(daemonLinks().length, 0);
  assert.equal(q.unlinkNodesNameToId('links-src', sink2.id), 0);
  assert.equal(q.unlinkNodesNameToId('no such node', sink2.id), 0);
});

test('by-name linking rejects a sink without inputs and an unknown source', () => {
  throwsError(() => q.linkNodesNameToId('links-src', mono.id), 'Could not find matching ports');
  throwsError(() => q.linkNodesNameToId('links-sr', sink2.id), 'Could not find matching ports');
  throwsError(() => q.linkNodesNameToId('Links-src', sink2.id), 'Could not find matching ports');
  throwsError(() => q.linkNodesNameToId('links-src ', sink2.id), 'Could not find matching ports');
});

test('a by-name link that the daemon removes leaves nothing behind for a reused id', async () => {
  const sink = await fixture.add('links-temp', 'Audio/Sink', 1, 0);
  await waitFor(() => q.getPorts().some((p) => p.id === sink.inputs[0]));
  assert.equal(q.linkNodesNameToId('links-mono', sink.id), 1);
  const [link] = await waitFor(() => linksBetween(mono.id, sink.id).length && linksBetween(mono.id, sink.id));
  assert.equal(link.format, 'dynamic');
  await fixture.remove(sink.id); // the daemon drops the link with its port
  await waitFor(() => !q.getLinks().some((l) => l.id === link.id), 5000, 'link removal');
  // The proxy was released and its map entries went with it.
  await waitFor(() => q.getLinkFormat(link.id).format === 'unknown', 5000, 'the format entry to go');
  // Links made by others from now on, whatever ids the daemon hands out, are not "dynamic".
  for (let i = 0; i < 3; i++) {
    const r = spawnSync('pw-link', [String(mono.outputs[0]), String(sink2.inputs[i % 2])], { encoding: 'utf8' });
    assert.equal(r.status, 0, r.stderr);
    const l = await waitFor(() => q.getLinks().find((x) => x.srcNodeId === mono.id), 5000, 'the link');
    assert.equal(l.format, 'unknown', `link ${l.id} (by-name link was ${link.id})`);
    spawnSync('pw-link', ['-d', String(l.id)]);
    await waitFor(() => !q.getLinks().some((x) => x.id === l.id), 5000, 'removal');
  }
});
