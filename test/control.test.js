'use strict';
// Volume, mute, defaults, moves and routes to the default, through the Graph and the tool; the fixture makes
// the "default" metadata after the checks without it.
const test = require('node:test');
const assert = require('node:assert/strict');
const { spawnSync } = require('node:child_process');
const { startScript, cli, CLI } = require('./helpers/child');
const { DEFAULT_OBJECTS } = require('./helpers/daemon');
const { privateDaemon } = require('./helpers/setup');
const { Fixture, waitFor, heard, heardBy, pwDump, pwMetadata, pwLinkPairs } = require('./helpers/fixture');
const addon = require('./helpers/addon');

const sink = (name) => ({ name, mediaClass: 'Audio/Sink', positions: ['FL', 'FR'] });
const { fixture } = privateDaemon({
  objects: [...DEFAULT_OBJECTS, sink('cc-a'), sink('cc-b'), { name: 'cc-mic', mediaClass: 'Audio/Source', positions: ['FL', 'FR'], factory: 'audiotestsrc' }],
});
const q = require('..');

const node = (name) => pwDump().find((o) => o.type === 'PipeWire:Interface:Node' && o.info.props['node.name'] === name);
// A node's volume and mute as pw-dump shows its "Props" (the converter's).
function shown(name) {
  const p = node(name).info.params.Props.find((x) => x.channelVolumes);
  return { channelVolumes: p.channelVolumes.map((v) => Number(v.toFixed(6))), mute: p.mute };
}
// The "default" metadata's entries of `subject`, as pw-metadata prints them.
const entries = (subject) =>
  [...pwMetadata([subject]).matchAll(/^update: id:\d+ key:'([^']*)' value:'([^']*)' type:'([^']*)'/gm)].map((m) => `${m[1]}=${m[2]} (${m[3]})`).sort();
// The tool's run: its status, and its output as `out` and `err` (a RegExp, else the text).
function expectRun(args, status, out, err = '') {
  const r = cli(...args);
  const is = (want, got) => (want instanceof RegExp ? want.test(got) : want === got);
  assert.deepEqual([r.status, is(out, r.stdout), is(err, r.stderr)], [status, true, true], `${args.join(' ')}: ${r.stdout}${r.stderr}`);
  return r;
}

test('volume and mute: set here as pw-dump shows them, bad input refused', async (t) => {
  const plain = await fixture.add('c-plain', 'Audio/Sink', 1, 0);
  const graph = await q.connect();
  const changes = [];
  // Each event's record is its own: what one listener writes into it is in no later one.
  graph.on('node-changed', (n, changed) => {
    changes.push({ id: n.id, changed, volume: n.volume, mute: n.mute, props: n.props, written: Object.hasOwn(n.props, 'x.written') });
    n.props['x.written'] = 'yes';
  });
  t.after(async () => (await graph.close(), await fixture.remove(plain.id)));
  const find = (name) => graph.nodes().find((n) => n.name === name);
  const speakers = find('demo-speakers');
  assert.deepEqual([speakers.volume, speakers.channelVolumes, speakers.mute, find('c-plain').volume], [1, [1, 1], false, undefined]);

  // Cubic by default, as wpctl: 0.5 is a linear 0.125 on every channel.
  const set = await graph.setVolume('demo-speakers', 0.5);
  assert.deepEqual([set.id, set.volume, set.channelVolumes, shown('demo-speakers')], [speakers.id, 0.5, [0.125, 0.125], { channelVolumes: [0.125, 0.125], mute: false }]);
  await graph.setVolume({ 'media.class': 'Audio/Sink', 'node.name': /speakers/ }, [0.2, 0.4], { scale: 'linear' });
  const muted = await graph.setMute(speakers.id, true);
  assert.deepEqual([muted.channelVolumes.map((v) => Number(v.toFixed(6))), muted.mute, shown('demo-speakers')], [[0.2, 0.4], true, { channelVolumes: [0.2, 0.4], mute: true }]);
  assert.equal((await graph.setMute(speakers, true)).mute, true, 'a value it has already resolves too');
  // An event's record is made whole by the add-on: a setter a script put on Object.prototype never runs.
  let setters = 0;
  for (const key of ['volume', 'channelVolumes', 'mute']) Object.defineProperty(Object.prototype, key, { set: () => setters++, configurable: true });
  const unaffected = await graph.setVolume(speakers.id, 0.6).finally(() => ['volume', 'channelVolumes', 'mute'].forEach((k) => delete Object.prototype[k]));
  assert.deepEqual([setters, Object.hasOwn(unaffected, 'volume'), unaffected.volume, unaffected.mute], [0, true, 0.6, true]);
  // Requests at once: each resolves when its own value is reported.
  const [unmuted, louder] = await Promise.all([graph.setMute(speakers.id, false), graph.setVolume(speakers.id, 0.9)]);
  assert.deepEqual([unmuted.mute, louder.volume, louder.mute], [false, 0.9, false]);

  // A device made here and never run (createNode resolves once its volume is known): its first requests settle too.
  const device = await graph.createNode({ name: 'cc-device' });
  assert.deepEqual([(await graph.setVolume(device.id, 0.5)).volume, (await graph.setMute(device.id, true)).mute, shown('cc-device')], [0.5, true, { channelVolumes: [0.125, 0.125], mute: true }]);
  // Two at once on a node that has run (1.6 does not report the first, which must then not be sent again over
  // the second): the later value stays.
  const first = graph.setVolume('cc-b', 0.3, { timeoutMs: 1000 }).catch(() => null);
  assert.equal((await graph.setVolume('cc-b', 0.9)).volume, 0.9);
  assert.deepEqual(await first.then(() => shown('cc-b')), { channelVolumes: [0.729, 0.729], mute: false });

  const seen = changes.length;
  spawnSync('pw-cli', ['set-param', String(speakers.id), 'Props', '{ channelVolumes: [ 0.512, 0.512 ], mute: false }']);
  await waitFor(() => find('demo-speakers').mute === false && find('demo-speakers').volume === 0.8, 5000, 'the change by pw-cli');
  await waitFor(() => changes.slice(seen).some((c) => c.volume === 0.8 && c.mute === false), 5000, '"node-changed"');
  assert.ok(changes.slice(seen).every((c) => c.id === speakers.id && (c.changed.volume || c.changed.mute)));
  const ofSpeakers = changes.filter((c) => c.id === speakers.id);
  assert.deepEqual([ofSpeakers.length >= 5, ofSpeakers.some((c) => c.written), new Set(ofSpeakers.map((c) => c.props)).size],
    [true, false, ofSpeakers.length]);
  assert.deepEqual({ ...ofSpeakers.at(-1).props, 'x.written': undefined }, { ...find('demo-speakers').props, 'x.written': undefined });

  const refusals = [
    [() => graph.setVolume(speakers.id, -0.1), RangeError, /finite number >= 0/],
    [() => graph.setVolume(speakers.id, 3), RangeError, /above the most/],
    [() => graph.setVolume(speakers.id, [0.5]), RangeError, /has 2 channels; 1 volumes given/],
    [() => graph.setVolume(speakers.id, '50%'), TypeError, /number or an array/],
    [() => graph.setVolume(/^demo-/, 0.5), Error, /matches 2 nodes \(\d+ "demo-speakers", \d+ "demo-microphone"\)/],
    [() => graph.setVolume(plain.id, 0.5), Error, /"c-plain"\) has no volume/],
    [() => graph.setMute(speakers.id, 'on'), TypeError, /true or false/],
  ];
  for (const [call, type, message] of refusals) await assert.rejects(call(), (e) => e.constructor === type && message.test(e.message), String(call));
  assert.deepEqual(shown('demo-speakers'), { channelVolumes: [0.512, 0.512], mute: false });
});

test('quorvane volume and mute print and set as wpctl does', async () => {
  // An exact tie prints as C's printf (and so wpctl) rounds it.
  const tie = spawnSync('printf', ['%.2f', '0.125'], { encoding: 'utf8' }).stdout;
  // [arguments, what it prints, the linear channel volume and mute pw-dump shows then]
  for (const [args, out, shows] of [
    [['volume', 'cc-a'], '1.00'], [['volume', 'cc-a', '0.125'], tie], [['volume', 'cc-a', '50%'], '0.50', [0.125, false]],
    [['mute', 'cc-a'], '0.50 [MUTED]', [0.125, true]], [['mute', 'cc-a'], '0.50', [0.125, false]],
    [['volume', String(node('cc-a').id), '+10%'], '0.60', [0.216, false]],
  ]) {
    expectRun(args, 0, `Volume: ${out}\n`);
    if (shows) assert.deepEqual(shown('cc-a'), { channelVolumes: [shows[0], shows[0]], mute: shows[1] });
  }

  const app = await fixture.add('cc-app', 'Stream/Output/Audio', 0, 2);
  const usage = /\(run "quorvane --help" for usage\)/;
  for (const [args, status, err] of [
    [['volume', 'cc-a', 'abc'], 2, /VALUE is like 0\.5, 50%, \+5%, -5%, 5%\+ or 5%-, not "abc"/],
    [['mute', 'cc-a', 'maybe'], 2, /mute takes on, off or toggle, not "maybe"/],
    [['volume', 'no-such', '0.5'], 1, /no node named "no-such"/],
    [['mute', String(app.id)], 1, /node "cc-app" \(\d+\) has no volume/],
    [['volume', '@default-audio-sink', '1'], 1, /there is no default audio sink/],
  ])
    assert.equal(usage.test(expectRun(args, status, '', err).stderr), status === 2, args.join(' '));
  assert.deepEqual(shown('cc-a'), { channelVolumes: [0.216, 0.216], mute: false });
});

test('defaults and moves: written as pw-metadata shows them, refused without the metadata', async (t) => {
  q.createPwThread(); // the connection connect() joins
  const graph = await q.connect();
  const player = await fixture.add('c-player', 'Stream/Output/Audio', 0, 2);
  // A sink whose id was another node's: its serial is not its id.
  await fixture.remove((await fixture.add('c-gone', 'Audio/Sink', 0, 0)).id);
  const headset = await heardBy(graph, await fixture.add('c-headset', 'Audio/Sink', 1, 0));
  t.after(async () => (await graph.close(), q.destroyPwThread(), await fixture.remove(player.id, headset.id)));
  const sinkId = graph.nodes().find((n) => n.name === 'demo-speakers').id;
  const none = { audioSink: null, audioSource: null, videoSource: null };
  assert.deepEqual(graph.defaults, { ...none, configured: none });
  // No "default" metadata, no session manager: refused, nothing written.
  for (const call of [() => graph.setDefault('audioSink', 'demo-speakers'), () => graph.move(player.id, sinkId)]) await assert.rejects(call(), /no "default" metadata .* session manager/);
  expectRun(['default', 'audio-sink', 'cc-a'], 1, '', /no "default" metadata/);
  expectRun(['default', 'speakers'], 2, '', /default takes audio-sink, audio-source or video-source, not "speakers"/);

  // Made (as a session manager does) and written by another client.
  const told = heard(graph, 'defaults-changed');
  await fixture.addMetadata('default');
  pwMetadata([0, 'default.audio.sink', '{ "name": "demo-speakers" }', 'Spa:String:JSON']);
  pwMetadata([0, 'default.configured.audio.source', 'not json', 'Spa:String:JSON']);
  await waitFor(() => told.at(-1)?.audioSink === 'demo-speakers', 5000, '"defaults-changed"');
  assert.deepEqual(graph.defaults, { ...none, audioSink: 'demo-speakers', configured: none });

  // setDefault writes the configured key, which the session manager reads.
  const changed = heard(graph, 'metadata-changed');
  assert.deepEqual((await graph.setDefault('audioSource', 'demo-microphone')).configured, { ...none, audioSource: 'demo-microphone' });
  const written = ['default.audio.sink={ "name": "demo-speakers" } (Spa:String:JSON)', 'default.configured.audio.source={"name":"demo-microphone"} (Spa:String:JSON)'];
  assert.deepEqual(entries(0), written);
  await assert.rejects(graph.setDefault('audioSink', 'demo-microphone'), /"Audio\/Source", not a default for audioSink/);
  await assert.rejects(graph.setDefault('speakers', sinkId), TypeError);
  assert.deepEqual(entries(0), written);

  // move: the stream's target, by serial and id; null clears both.
  const serial = graph.nodes().find((n) => n.id === headset.id).props['object.serial'];
  assert.notEqual(serial, String(headset.id));
  assert.deepEqual(await graph.move({ 'node.name': 'c-player' }, 'c-headset'), { stream: player.id, target: headset.id });
  assert.deepEqual(entries(player.id), [`target.node=${headset.id} (Spa:Id)`, `target.object=${serial} (Spa:Id)`]);
  assert.ok(changed.some((c) => c.subject === player.id && c.key === 'target.object' && c.value === serial));
  assert.equal((await graph.move(player.id, '@default-audio-sink')).target, sinkId);
  assert.deepEqual(await graph.move(player.id, null).then(() => entries(player.id)), []);
  await assert.rejects(graph.move(player.id, player.id), /cannot be moved to itself/);

  // Keys and values are any client's data.
  pwMetadata([5, '__proto__', 'a"b\u2028c']);
  const odd = await waitFor(() => changed.find((c) => c.subject === 5), 5000, 'the odd entry');
  assert.deepEqual([odd.key, odd.value, Object.getPrototypeOf(odd)], ['__proto__', 'a"b\u2028c', Object.prototype]);

  // The tool: only configured so far, then the one in effect, which @default-audio-sink names.
  pwMetadata(['-d', 0, 'default.audio.sink']);
  expectRun(['default', 'audio-sink', 'cc-a'], 0, /^default audio-sink set to "cc-a" \(\d+\)\n$/);
  assert.ok(entries(0).includes('default.configured.audio.sink={"name":"cc-a"} (Spa:String:JSON)'));
  expectRun(['default', 'audio-sink'], 0, 'cc-a\n');
  pwMetadata([0, 'default.audio.sink', '{"name":"cc-b"}', 'Spa:String:JSON']);
  const b = node('cc-b');
  const rows = [['audio-sink', 'cc-b', b.id, 'cc-a'], ['audio-source', null, null, 'demo-microphone'],
    ['video-source', null, null, null]];
  assert.deepEqual(JSON.parse(cli('default', '--json').stdout),
    rows.map(([kind, name, id, configured]) => ({ kind, name, id, configured })));
  const mic = node('cc-mic').id;
  expectRun(['move', 'cc-mic', '@default-audio-sink'], 0, /^moving "cc-mic" \(\d+\) to "cc-b" \(\d+\)\n$/);
  assert.deepEqual(entries(mic), [`target.node=${b.id} (Spa:Id)`, `target.object=${b.info.props['object.serial']} (Spa:Id)`]);
  assert.deepEqual(expectRun(['move', 'cc-mic', '--clear'], 0, /left to the session manager/) && entries(mic), []);
});
test('a route to @default-audio-sink follows the default', async (t) => {
  // The sink in effect ("default.audio.sink") or, if none, the configured one; null deletes the key.
  const write = (key, name) => pwMetadata(name ? [0, `default.${key}`, `{"name":"${name}"}`, 'Spa:String:JSON'] : ['-d', 0, `default.${key}`]);
  [['audio.sink', 'cc-a'], ['configured.audio.sink', 'cc-b']].forEach(([key, name]) => write(key, name));
  const run = startScript(CLI, ['route', '--from', 'cc-mic', '--to', '@default-audio-sink']);
  t.after(() => run.child.kill('SIGKILL'));
  // [key written, its sink, where the mic is linked then (only there)]
  for (const [key, name, on] of [[null, null, 'cc-a'], ['audio.sink', 'cc-b', 'cc-b'], ['audio.sink', null, 'cc-b'],
    ['configured.audio.sink', 'cc-a', 'cc-a'], ['audio.sink', 'cc-gone', null], ['audio.sink', 'cc-b', 'cc-b']]) {
    if (key) write(key, name);
    const pairs = on ? ['FL', 'FR'].map((c) => `cc-mic:capture_${c} -> ${on}:playback_${c}`) : [];
    await waitFor(() => String(pwLinkPairs('cc-mic')) === String(pairs), 5000, `the mic linked as ${pairs} after ${key}=${name}`, 50);
  }
  run.child.kill('SIGINT');
  assert.deepEqual([(await run.exited).code, pwLinkPairs('cc-mic')], [0, []], run.err);
});

test('metadata: the session manager\'s "default" is the one bound', async (t) => {
  const graph = await q.connect();
  const sm = new Fixture({ ...process.env, QUORVANE_FIXTURE_APP_NAME: 'WirePlumber' });
  const bound = () => addon.graphMetadata().changes.filter((c) => c.kind === 'added' && c.name === 'default').map((c) => c.owner);
  const clients = (name) => pwDump().filter((o) => o.type === 'PipeWire:Interface:Client' && o.info.props['application.name'] === name).map((o) => o.id);
  t.after(async () => (await sm.close(), await graph.close()));
  await fixture.addMetadata('default');
  await sm.addMetadata('default');
  const [[ours], [manager]] = [clients('pw-fixture'), clients('WirePlumber')];
  await waitFor(() => String(bound()) === String([manager]), 5000, 'the session manager\'s to be bound, alone');
  // The Graph hears the switch after the add-on makes it: a round trip brings it.
  await graph.waitForPorts(graph.find('demo-speakers')[0].id);
  assert.equal((await graph.setDefault('audioSink', 'demo-speakers')).configured.audioSink, 'demo-speakers');
  await sm.close();
  await waitFor(() => String(bound()) === String([ours]), 5000, 'the other one to be bound');
});
