'use strict';
// The Graph's live info: properties, states, negotiated formats and
// failures, their events and what follows them. Cross-checked with pw-dump.
const test = require('node:test');
const assert = require('node:assert/strict');
const { spawnSync } = require('node:child_process');
const { waitUntilSync } = require('./helpers/daemon');
const { privateDaemon } = require('./helpers/setup');
const { waitFor, heardBy, pwDump } = require('./helpers/fixture');
const addon = require('./helpers/addon');

const { daemon, fixture } = privateDaemon();
const { connect } = require('..');

const dumpInfo = () => new Map(pwDump().map((o) => [o.id, o.info]));
// The format as pw-dump prints it ("format" for the sample format).
const asDumped = (f) => f && { mediaType: f.mediaType, mediaSubtype: f.mediaSubtype, ...(f.sampleFormat && { format: f.sampleFormat }) };

test('info: full properties from the start, kept live as pw-dump shows them', async (t) => {
  const app = await fixture.add('i-app', 'Stream/Output/Audio;media.name=first title', 0, 1);
  const graph = await connect();
  const events = [];
  for (const kind of ['node-changed', 'link-changed', 'port-changed']) graph.on(kind, (o, changed) => events.push({ kind, id: o.id, o, changed }));
  t.after(() => graph.close().then(() => fixture.remove(app.id)));
  // What the registry does not announce is there once connect() resolves.
  assert.deepEqual(graph.find({ 'media.name': 'first title' }).map((n) => n.id), [app.id]);

  // A wait for a title resolves when a node gets it, the change heard once; keys are data, all of them kept.
  const waiting = graph.waitForNode({ 'media.name': 'second title' }, { timeoutMs: 5000 });
  const many = Object.fromEntries(Array.from({ length: 800 }, (_, i) => [`x.${i}`, 'v']));
  await fixture.setProps(app.id, { 'media.name': 'second title', ['__proto__']: 'a"b\u2028c', ...many });
  const node = await waiting;
  for (const props of [node.props, graph.nodes().find((n) => n.id === app.id).props]) {
    assert.deepEqual([Object.hasOwn(props, '__proto__'), Object.getPrototypeOf(props), props['__proto__']], [true, Object.prototype, 'a"b\u2028c']);
  }
  assert.deepEqual([node.id, Object.keys(node.props).sort(), events.filter((e) => e.kind === 'node-changed' && e.id === app.id).map((e) => e.changed)],
    [app.id, Object.keys(dumpInfo().get(app.id).props).sort(), [{ props: true }]]);

  const link = await graph.link(app.outputs[0], graph.ports().find((p) => p.name === 'playback_FL').id, { until: 'ready' });
  assert.ok(['paused', 'active'].includes(link.state), link.state);
  // pw-dump is a client of its own: compare once both have seen the change.
  let after;
  const agree = () => (after = dumpInfo()) && [...graph.nodes(), ...graph.links()].every((o) => o.state === after.get(o.id).state);
  const heard = (kind, id, state) => events.some((e) => e.kind === kind && e.id === id && e.o.state === state);
  await waitFor(() => heard('node-changed', app.id, 'running') && heard('link-changed', link.id, 'active'), 5000, 'the node to run and the link to be active');
  await waitFor(agree, 5000, 'pw-dump and the Graph to agree');
  const listed = graph.links().find((l) => l.id === link.id);
  const port = graph.ports().find((p) => p.id === app.outputs[0]);
  assert.deepEqual([listed.error, listed.format.mediaType, asDumped(listed.format), asDumped(port.format)],
    [null, 'audio', after.get(link.id).format, after.get(port.id).params.Format[0]]);
  // Heard in order: the link's states climb, the node's state follows.
  const linkStates = events.filter((e) => e.kind === 'link-changed' && e.id === link.id && e.changed.state).map((e) => e.o.state);
  assert.ok(linkStates.at(-1) === 'active' && linkStates.indexOf('paused') < linkStates.indexOf('active'), linkStates.join());
  // The listing is the mirror as it is; its events may still be on their way.
  await waitFor(() => events.some((e) => e.kind === 'port-changed' && e.id === port.id && e.changed.format), 5000, 'the port\'s format heard');
});

test('a pair the daemon fails is not asked for again until a node changes', async (t) => {
  const [midi, audio] = [await fixture.add('rf-midi', 'Midi/Source', 0, 1, '8 bit raw midi'), await fixture.add('rf-audio-in', 'Stream/Input/Audio', 1, 0)];
  const graph = await connect();
  // 0.3.65 keeps a link in error until someone removes it; 1.3.81 on destroy it, only its maker hearing why.
  const [major, minor, micro] = /libpipewire (\d+)\.(\d+)\.(\d+)/.exec(spawnSync('pipewire', ['--version'], { encoding: 'utf8' }).stdout).slice(1).map(Number);
  const kept = major * 1e6 + minor * 1e3 + micro < 1003081;
  const errored = [];
  // Each failed link once: its maker's error and the daemon's info may both tell it.
  graph.on('link-changed', (l) => l.srcPortId === midi.outputs[0] && l.state === 'error' && !errored.some((e) => e.id === l.id) && errored.push(l));
  const none = () => !graph.links().some((l) => l.srcPortId === midi.outputs[0]);
  // The failed link gone: removed here where the daemon keeps it, by the daemon where it does not.
  const removed = async (n) => {
    if (kept) {
      const link = await waitFor(() => errored[n], 5000, 'the failed link');
      spawnSync('pw-link', ['-d', String(link.id)], { env: daemon.env });
    }
    await waitFor(none, 5000, 'the removal');
  };
  t.after(() => graph.close().then(() => fixture.remove(midi.id, audio.id)));
  const failed = await graph.link(midi.outputs[0], audio.inputs[0], { until: 'ready' }).then(() => assert.fail('resolved'), (e) => e);
  assert.match(failed.message, /\S/);
  // Its maker removes the rejected request's link, the daemon's view may be gone: the Graph's is compared.
  if (kept) assert.deepEqual(await waitFor(() => errored[0], 5000, 'the failed link').then((l) => [l.state, l.error, l.format]), ['error', failed.message, null]);
  await removed(0);

  let [errors, made] = [[], 0];
  graph.on('link-created', (l) => l.srcPortId === midi.outputs[0] && made++);
  // Named: by types alone the rule would pair nothing.
  graph.linkRule({ from: 'rf-midi', to: 'rf-audio-in', ports: [['out_1', 'in_1']] }).on('error', (e) => errors.push(e.message));
  await waitFor(() => errors.length === 1, 5000, 'the failure to be reported');
  assert.ok(errors[0].endsWith(`: ${failed.message}`), errors[0]);
  // Removed by someone: not asked for again (the route answers all before it hears a later node) ...
  await removed(1);
  await heardBy(graph, await fixture.add('rf-barrier', 'Audio/Sink', 1, 0));
  assert.equal(made, 1);
  // ... until one of its nodes changes.
  await fixture.setProps(midi.id, { 'node.description': 'retuned' });
  await waitFor(() => errors.length === 2 && made === 2, 5000, 'one more try');
  await removed(2);
  // A port that goes takes its refusals along: a new port given the same id (at once, as it is) is asked for.
  await fixture.remove(audio.id);
  const midiIn = await heardBy(graph, await fixture.add('rf-audio-in', 'Midi/Sink', 1, 0, '8 bit raw midi'));
  await waitFor(() => graph.links().some((l) => l.srcPortId === midi.outputs[0] && l.sinkPortId === midiIn.inputs[0]), 5000, `the new port ${midiIn.inputs[0]} (the failed one was ${audio.inputs[0]}) linked`);
});

test('thousands of changes while JavaScript is blocked: metadata told once each, a node rewriting its properties ends as the listing', async (t) => {
  await fixture.addMetadata('i-burst');
  const storm = await fixture.add('i-storm', 'Audio/Sink', 0, 0);
  const graph = await connect();
  const [told, view, heard] = [new Map(), new Map(graph.nodes().map((n) => [n.id, n.props])), []];
  graph.on('metadata-changed', (c) => c.name === 'i-burst' && told.set(c.key, (told.get(c.key) ?? []).concat(c.value)));
  graph.on('node-created', (n) => view.set(n.id, n.props)).on('node-destroyed', (id) => view.delete(id));
  graph.on('node-changed', (n, changed) => {
    assert.ok(view.has(n.id), `node ${n.id} changed before it was created`);
    view.set(n.id, n.props);
    if (n.id === storm.id) heard.push(changed);
  });
  t.after(() => graph.close().then(() => fixture.remove(storm.id)));
  await waitFor(() => addon.graphMetadata().changes.some((c) => c.kind === 'added' && c.name === 'i-burst'), 5000, 'the metadata bound');
  // More than the add-on queues of them, JavaScript blocked until its thread has them all (a pw-dump of a
  // changing metadata makes the daemon of 0.3.65 drop changes): it reads the metadata anew.
  const from = addon.graphMetadata().generation;
  for (let i = 0; i < 3000; i++) addon.graphSetMetadata('i-burst', 0, `k${i}`, 'Spa:String', `v${i}`, 0);
  waitUntilSync(() => addon.graphMetadata().generation >= from + 3000, 30000, 'the changes to reach the add-on');
  await waitFor(() => told.size === 3000, 5000, 'every key told');
  // Each once, as the daemon has it.
  const dumped = pwDump().find((o) => o.props?.['metadata.name'] === 'i-burst').metadata;
  assert.deepEqual([...told].map(([k, v]) => `${k}=${v.join('|')}`).sort(), dumped.map((e) => `${e.key}=${e.value}`).sort());

  const done = fixture.propsStorm(storm.id, 20000);
  // Blocked until the daemon has them all (pw-dump prints numbers as numbers): nothing is taken meanwhile.
  waitUntilSync(() => pwDump().find((o) => o.id === storm.id)?.info?.props?.['storm.value'] === 19999, 60000, 'the rewrites');
  await done;
  await waitFor(() => view.get(storm.id)?.['storm.value'] === '19999', 5000, 'the last rewrite');
  // A few events at most (some taken while the storm began), each saying the properties changed.
  assert.ok(heard.length > 0 && heard.length < 20 && heard.every((c) => c.props), JSON.stringify(heard));
  assert.deepEqual(new Map(graph.nodes().map((n) => [n.id, n.props])), view);
  assert.deepEqual(Object.keys(view.get(storm.id)).sort(), Object.keys(pwDump().find((o) => o.id === storm.id).info.props).sort());
});

test('a client filling the "default" metadata leaves room for the package\'s own keys', async (t) => {
  await fixture.addMetadata('default');
  const graph = await connect();
  const flood = Array.from({ length: 17 }, (_, i) => `i.flood.${String(i).padStart(2, '0')}`);
  const unset = () => flood.forEach((key) => addon.graphSetMetadata('default', 0, key, null, null, 0));
  t.after(() => (unset(), graph.close()));
  await waitFor(() => graph.metadata('default') !== null, 5000, 'the "default" metadata bound');
  // 64 KiB of properties, to the last few bytes: the daemon's own keys come after.
  const props = Object.fromEntries(Array.from({ length: 216 }, (_, i) => [`i.big.${i}`, i < 16 ? 'v'.repeat(4000) : '']));
  const sink = await graph.createNode({ name: 'i-big', props });
  assert.equal(sink.props['object.serial'], String(pwDump().find((o) => o.id === sink.id).info.props['object.serial']));
  // 17 keys of ~64 KiB: the 16 kept leave 30 bytes of the room for others' entries, the last left out.
  flood.forEach((key, i) => addon.graphSetMetadata('default', 0, key, 'Spa:String', 'x'.repeat(i < 15 ? 65536 : i === 15 ? 65186 : 65000), 0));
  const view = graph.metadata('default');
  await waitFor(() => view.entries(0).length + view.dropped === 17, 5000, 'the keys kept or counted');
  assert.deepEqual([(await graph.setDefault('audioSink', sink.id, { timeoutMs: 2000 })).configured.audioSink, view.dropped], ['i-big', 1]);
});
