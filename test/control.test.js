'use strict';
// Volume and mute (a null sink's "Props" param), the default devices and
// moving streams (the "default" metadata), against a private daemon,
// cross-checked with pw-dump, pw-cli and pw-metadata.
const test = require('node:test');
const assert = require('node:assert/strict');
const { spawnSync } = require('node:child_process');
const { startDaemon } = require('./helpers/daemon');
const { Fixture, waitFor, pwDump, pwMetadata } = require('./helpers/fixture');

const daemon = startDaemon();
const fixture = new Fixture();
const q = require('..');

test.after(async () => {
  await fixture.close();
  daemon.stop();
});

// The node's volume data as pw-dump shows its "Props" param.
function dumpedProps(id) {
  const props = pwDump().find((o) => o.id === id).info.params.Props.find((p) => 'channelVolumes' in p);
  return { channelVolumes: props.channelVolumes, mute: props.mute };
}
const near = (a, b) => a.length === b.length && a.every((v, i) => Math.abs(v - b[i]) < 1e-6);

// The "default" metadata's entries of `subject`, as pw-metadata prints them.
function metadataOf(subject) {
  const entries = {};
  for (const m of pwMetadata([]).matchAll(/update: id:(\d+) key:'([^']*)' value:'([^']*)' type:'([^']*)'/g)) {
    if (Number(m[1]) === subject) entries[m[2]] = { value: m[3], type: m[4] };
  }
  return entries;
}

test('volume and mute: set here as pw-dump shows them, changed by another client as "node-changed", bad input refused with nothing changed', async () => {
  const plain = await fixture.add('c-plain', 'Audio/Sink', 1, 0);
  const graph = await q.connect();
  const changes = [];
  graph.on('node-changed', (n, changed) => changes.push({ id: n.id, changed, volume: n.volume, mute: n.mute }));
  try {
    const node = (name) => graph.nodes().find((n) => n.name === name);
    const speakers = node('demo-speakers');
    assert.deepEqual([speakers.volume, speakers.channelVolumes, speakers.mute], [1, [1, 1], false]);
    assert.deepEqual([node('demo-microphone').channelVolumes, node('c-plain').volume, node('c-plain').mute], [[1], undefined, undefined]);

    // Cubic by default, as wpctl: 0.5 is a linear 0.125 on every channel.
    const set = await graph.setVolume('demo-speakers', 0.5);
    assert.deepEqual([set.id, set.volume, set.channelVolumes], [speakers.id, 0.5, [0.125, 0.125]]);
    assert.deepEqual(dumpedProps(speakers.id), { channelVolumes: [0.125, 0.125], mute: false });
    await graph.setVolume({ 'media.class': 'Audio/Sink', 'node.name': /speakers/ }, [0.2, 0.4], { scale: 'linear' });
    const muted = await graph.setMute(speakers.id, true);
    assert.ok(near(muted.channelVolumes, [0.2, 0.4]) && muted.mute === true);
    const dumped = dumpedProps(speakers.id);
    assert.ok(near(dumped.channelVolumes, [0.2, 0.4]) && dumped.mute === true, JSON.stringify(dumped));
    assert.equal((await graph.setMute(speakers, true)).mute, true, 'a value it has already resolves too');
    // Requests at once: each resolves when its own value is reported.
    const [unmuted, louder] = await Promise.all([graph.setMute(speakers.id, false), graph.setVolume(speakers.id, 0.9)]);
    assert.deepEqual([unmuted.mute, louder.volume, louder.mute], [false, 0.9, false]);

    // Another client's change reaches the node and "node-changed".
    const seen = changes.length;
    spawnSync('pw-cli', ['set-param', String(speakers.id), 'Props', '{ channelVolumes: [ 0.512, 0.512 ], mute: false }']);
    await waitFor(() => node('demo-speakers').mute === false && node('demo-speakers').volume === 0.8, 5000, 'the change by pw-cli');
    await waitFor(() => changes.slice(seen).some((c) => c.volume === 0.8 && c.mute === false), 5000, '"node-changed"');
    assert.ok(changes.slice(seen).every((c) => c.id === speakers.id && (c.changed.volume || c.changed.mute)));

    // Bad input: a clear error each, and nothing is written.
    const refusals = [
      [() => graph.setVolume(speakers.id, -0.1), RangeError, /finite number >= 0/],
      [() => graph.setVolume(speakers.id, NaN), RangeError, /finite number/],
      [() => graph.setVolume(speakers.id, [0.5, Infinity]), RangeError, /finite number/],
      [() => graph.setVolume(speakers.id, 3), RangeError, /above the most/],
      [() => graph.setVolume(speakers.id, [0.5]), RangeError, /has 2 channels; 1 volumes given/],
      [() => graph.setVolume(speakers.id, '50%'), TypeError, /number or an array/],
      [() => graph.setVolume(speakers.id, 0.5, { scale: 'dB' }), TypeError, /scale/],
      [() => graph.setVolume(/^demo-/, 0.5), Error, /matches 2 nodes \(\d+ "demo-speakers", \d+ "demo-microphone"\)/],
      [() => graph.setVolume('nobody', 0.5), Error, /no node matches "nobody"/],
      [() => graph.setVolume(plain.id, 0.5), Error, /"c-plain"\) has no volume/],
      [() => graph.setMute(plain.id, true), Error, /has no mute/],
      [() => graph.setMute(speakers.id, 'on'), TypeError, /true or false/],
      [() => graph.setVolume(speakers.id, 0.5, { timeoutMs: -1 }), TypeError, /timeoutMs/],
    ];
    for (const [call, type, message] of refusals) {
      await assert.rejects(call(), (e) => e.constructor === type && message.test(e.message), String(call));
    }
    assert.deepEqual(dumpedProps(speakers.id), { channelVolumes: [0.512, 0.512], mute: false });
  } finally {
    await graph.close();
    await fixture.remove(plain.id);
  }
});

test('defaults and moves: the "default" metadata read live, written as pw-metadata shows it, refused clearly without it', async () => {
  q.createPwThread(); // the connection a later connect() joins
  let graph = await q.connect();
  const player = await fixture.add('c-player', 'Stream/Output/Audio', 0, 2);
  // A sink whose id was another node's: its serial is not its id.
  await fixture.remove((await fixture.add('c-gone', 'Audio/Sink', 0, 0)).id);
  const headset = await fixture.add('c-headset', 'Audio/Sink', 1, 0);
  try {
    await graph.waitForNode('c-headset');
    const sinkId = graph.nodes().find((n) => n.name === 'demo-speakers').id;
    const none = { audioSink: null, audioSource: null, videoSource: null };
    assert.deepEqual(graph.defaults, { ...none, configured: none });
    await assert.rejects(graph.setDefault('audioSink', 'demo-speakers'), /no "default" metadata .* session manager/);
    await assert.rejects(graph.move(player.id, sinkId), /no "default" metadata .* session manager/);

    // Made (as a session manager does) and written by another client.
    const told = [];
    graph.on('defaults-changed', (d) => told.push(d));
    await fixture.addMetadata('default');
    pwMetadata([0, 'default.audio.sink', '{ "name": "demo-speakers" }', 'Spa:String:JSON']);
    pwMetadata([0, 'default.configured.audio.source', 'not json', 'Spa:String:JSON']);
    await waitFor(() => told.at(-1)?.audioSink === 'demo-speakers', 5000, '"defaults-changed"');
    assert.deepEqual(graph.defaults, { ...none, audioSink: 'demo-speakers', configured: none });

    // setDefault writes the configured key as the session manager reads it.
    const changed = [];
    graph.on('metadata-changed', (c) => changed.push(c));
    const defaults = await graph.setDefault('audioSource', 'demo-microphone');
    assert.deepEqual(defaults.configured, { ...none, audioSource: 'demo-microphone' });
    assert.deepEqual(metadataOf(0)['default.configured.audio.source'], { value: '{"name":"demo-microphone"}', type: 'Spa:String:JSON' });
    await assert.rejects(graph.setDefault('audioSink', 'demo-microphone'), /"Audio\/Source", not a default for audioSink/);
    await assert.rejects(graph.setDefault('speakers', sinkId), TypeError);
    assert.equal(metadataOf(0)['default.configured.audio.sink'], undefined);

    // move: the stream's target, by serial and id; null clears both.
    const serial = graph.nodes().find((n) => n.id === headset.id).props['object.serial'];
    assert.notEqual(serial, String(headset.id));
    assert.deepEqual(await graph.move({ 'node.name': 'c-player' }, 'c-headset'), { stream: player.id, target: headset.id });
    assert.deepEqual(metadataOf(player.id), {
      'target.object': { value: serial, type: 'Spa:Id' },
      'target.node': { value: String(headset.id), type: 'Spa:Id' },
    });
    assert.ok(changed.some((c) => c.subject === player.id && c.key === 'target.object' && c.value === serial));
    assert.equal((await graph.move(player.id, '@default-audio-sink')).target, sinkId);
    await graph.move(player.id, null);
    assert.deepEqual(metadataOf(player.id), {});
    assert.ok(changed.some((c) => c.subject === player.id && c.key === 'target.node' && c.value === null));
    await assert.rejects(graph.move(player.id, player.id), /cannot be moved to itself/);
    assert.deepEqual(metadataOf(player.id), {});

    // Keys and values are any client's data.
    pwMetadata([5, '__proto__', 'a"b\u2028c']);
    const odd = await waitFor(() => changed.find((c) => c.subject === 5), 5000, 'the odd entry');
    assert.deepEqual([odd.key, odd.value, Object.getPrototypeOf(odd)], ['__proto__', 'a"b\u2028c', Object.prototype]);

    // A handle that joins the script's connection reads the metadata as it is.
    await graph.close();
    graph = await q.connect();
    assert.deepEqual(graph.defaults.configured.audioSource, 'demo-microphone');
  } finally {
    await graph.close();
    q.destroyPwThread();
    await fixture.remove(player.id, headset.id);
  }
});
