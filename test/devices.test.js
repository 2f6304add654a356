'use strict';
// Virtual devices made by graph.createNode and `quorvane create`, checked against pw-dump: what they are, when they go, what may be removed.
const test = require('node:test');
const assert = require('node:assert/strict');
const { waitFor, heardBy, pwDump } = require('./helpers/fixture');
const { CLI, cli, runChild, startScript } = require('./helpers/child');
const ROOT = require('node:path').join(__dirname, '..');
const { privateDaemon } = require('./helpers/setup');
const quorvane = require('..');

const { fixture } = privateDaemon();

const dumpNode = (name) => pwDump().find((o) => o.type === 'PipeWire:Interface:Node' && o.info.props['node.name'] === name);
// By id and name: ids are handed out again at once (pw-dump's own client may get one).
const hasNode = (dump, id, name) => dump.some((o) => o.id === id && o.info?.props?.['node.name'] === name);
const dumpPorts = (nodeId) => pwDump().filter((o) => o.type === 'PipeWire:Interface:Port' && o.info.props['node.id'] === nodeId);

test('created devices are what pw-dump shows, removed by close()', async (t) => {
  const graph = await quorvane.connect();
  assert.equal(quorvane.createPwThread(), true); // joins: the connection outlives the Graph
  // A failed check must not leave the script's connection holding the test process.
  t.after(() => quorvane.destroyPwThread());
  const specs = [
    { name: 'qv-speaker', channels: ['FL', 'FR', 'LFE'], description: 'Quorvane speaker' },
    // Untrusted property names are data: "__proto__" is a property like any other.
    { name: 'qv-mic', mediaClass: 'Audio/Source/Virtual', channels: ['MONO'], props: JSON.parse('{"__proto__": "x", "node.nick": "mic"}') },
    { name: 'qv-duplex', mediaClass: 'Audio/Duplex' },
    // The most channels: PipeWire 1.4 reports no Props for it (no volume, no mute).
    { name: 'qv-wide', channels: Array.from({ length: 64 }, (_, i) => `AUX${i}`) },
  ];
  const made = [];
  for (const spec of specs) {
    const node = await graph.createNode(spec);
    made.push(node);
    const channels = spec.channels ?? ['FL', 'FR'];
    // Resolved with the node as graph.nodes() lists it, its ports already there.
    assert.deepEqual([node.name, graph.nodes().find((n) => n.id === node.id)?.name], [spec.name, spec.name]);
    const ports = graph.ports().filter((p) => p.nodeId === node.id).map((p) => `${p.direction ? 'input' : 'output'}:${p.props['audio.channel']}`);
    assert.deepEqual(ports.sort(), [...channels.map((c) => `input:${c}`), ...channels.map((c) => `output:${c}`)].sort());
    const { id, info: { props } } = dumpNode(spec.name);
    assert.deepEqual([id, props['media.class'], props['audio.channels'], props['node.description'], props['object.linger']],
      [node.id, spec.mediaClass ?? 'Audio/Sink', channels.length, spec.description ?? spec.name, false]);
    assert.deepEqual(dumpPorts(node.id).map((p) => `${p.info.direction}:${p.info.props['audio.channel']}`).sort(), ports);
    // A volume and a mute where the daemon reports them, none where it does not.
    const reported = dumpNode(spec.name).info.params.Props?.find((p) => p.channelVolumes);
    assert.deepEqual([node.volume, node.mute], reported ? [Math.cbrt(reported.channelVolumes[0]), reported.mute] : [undefined, undefined], spec.name);
  }
  // Not whole in time: refused, naming the node and the time-out given; nothing left. The event loop is held
  // past the millisecond, so that its timer comes before the daemon's answer, however fast that is.
  const hurried = graph.createNode({ name: 'qv-hurried', timeoutMs: 1 });
  for (const end = Date.now() + 20; Date.now() < end;);
  await assert.rejects(hurried, /node "qv-hurried".* 1 ms/);
  await waitFor(() => !dumpNode('qv-hurried'), 5000, 'the hurried node removed');
  assert.deepEqual([dumpNode('qv-mic').info.props.__proto__, Object.prototype.x], ['x', undefined]);

  // Bad options: a TypeError each; a name in use: an Error. Nothing made.
  const before = pwDump().length;
  const many = Object.fromEntries(Array.from({ length: 300 }, (_, i) => [`k${i}`, 'v']));
  for (const options of [undefined, { name: '' }, { name: 'x', channels: ['FL', 'FL'] }, { name: 'x', props: { 'node.name': 'y' } }, { name: 'x', props: many }, { name: 'x', props: { k: 'a\0b' } }])
    await assert.rejects(graph.createNode(options), TypeError, JSON.stringify(options));
  await assert.rejects(graph.createNode({ name: 'qv-speaker' }), /a node named "qv-speaker" exists already/);
  const fixtureNode = await heardBy(graph, await fixture.add('qv-other', 'Audio/Sink', 'FL', 0));
  await assert.rejects(graph.createNode({ name: 'qv-other' }), /exists already/);
  assert.equal(pwDump().length, before + 2, 'only the fixture node (and its port) came');
  // Unless the caller says so, explicitly.
  const twin = await graph.createNode({ name: 'qv-other', props: { 'node.name': 'qv-other' } });
  assert.notEqual(twin.id, fixtureNode.id);

  // Another client's node is refused and stays.
  await assert.rejects(graph.destroyNode(fixtureNode.id), /was not created by quorvane: refusing/);
  assert.ok(hasNode(pwDump(), fixtureNode.id, 'qv-other'));

  await graph.close();
  await waitFor(() => ![...made, twin].some((n) => hasNode(pwDump(), n.id, n.name)), 5000, 'the nodes to go with close()');
  // The script's connection is still up: its mirror hears the removals.
  await waitFor(() => !quorvane.getNodes().some((n) => n.name === 'qv-speaker'), 5000, 'the mirror to follow');
  assert.ok(quorvane.getNodes().some((n) => n.id === fixtureNode.id));
});

test('a device outlives the tool only with --linger', async () => {
  // Held by the tool: gone on Ctrl-C, and gone when the tool is killed; the tool ends when someone else removes it.
  for (const signal of ['SIGINT', 'SIGKILL', 'destroy']) {
    const run = startScript(CLI, ['create', 'mic', 'qv-held', '--channels', 'FL,FR']);
    const id = Number(await waitFor(() => /^(\d+)\n/.exec(run.out)?.[1], 10000, 'the id'));
    assert.equal(dumpNode('qv-held').id, id);
    if (signal === 'destroy') assert.equal(cli('destroy', 'qv-held').status, 0);
    else run.child.kill(signal);
    assert.equal((await run.exited).code, signal === 'SIGKILL' ? null : 0);
    await waitFor(() => !dumpNode('qv-held'), 5000, `the device to go after ${signal}`);
  }

  assert.equal(cli('create', 'sink', 'qv-kept-a', '--linger').status, 0);
  let r = cli('create', 'duplex', 'qv-kept-b', '--linger', '--channels', 'MONO', '--description', 'kept');
  const keptB = Number(r.stdout.trim());
  assert.ok(r.status === 0 && keptB > 0, r.stderr);
  assert.ok(dumpNode('qv-kept-a') && dumpNode('qv-kept-b').info.props['object.linger'], 'both outlive the tool');

  // Never what quorvane did not make: the daemon's own node, another client's.
  const other = await fixture.add('qv-foreign', 'Audio/Sink', 'FL', 0);
  for (const target of ['demo-speakers', String(other.id)]) {
    r = cli('destroy', target);
    assert.deepEqual([r.status, /not created by quorvane/.test(r.stderr)], [1, true], r.stderr);
  }
  assert.ok(dumpNode('demo-speakers') && dumpNode('qv-foreign'));
  assert.deepEqual([cli('destroy', 'qv-kept-a').status, dumpNode('qv-kept-a')], [0, undefined]);

  // A later run's Graph: a node object whose serial is not the one there now is another object, left alone; by id it goes.
  const graph = await quorvane.connect();
  const node = graph.nodes().find((n) => n.id === keptB);
  await assert.rejects(graph.destroyNode({ ...node, props: { ...node.props, 'object.serial': '999999' } }), /no node/);
  assert.ok(dumpNode('qv-kept-b'));
  // Refused by the daemon (a client without the permission): rejected with its code and text, nothing printed, the node kept.
  const refused = await runChild(`(async () => {
      const graph = await require(${JSON.stringify(ROOT)}).connect();
      const me = require(${JSON.stringify(require.resolve('./helpers/fixture'))}).pwDump()
        .find((o) => o.type === 'PipeWire:Interface:Client' && o.info.props['application.process.id'] === process.pid);
      require('node:child_process').spawnSync('pw-cli', ['permissions', String(me.id), '${keptB}', '0600']);
      await graph.destroyNode(${keptB}, { timeoutMs: 2000 }).catch((e) => console.log(e.code, e.message));
      await graph.close();
    })();`, { preload: false });
  assert.deepEqual([refused.stdout, refused.stderr, !!dumpNode('qv-kept-b')], [`EPERM no permission to destroy ${keptB}\n`, '', true]);
  await graph.destroyNode(keptB);
  assert.ok(!graph.nodes().some((n) => n.id === keptB) && !dumpNode('qv-kept-b'));
  await assert.rejects(graph.destroyNode(keptB), /no node/);
  await assert.rejects(graph.destroyNode({}), TypeError);
  await graph.close();
});
