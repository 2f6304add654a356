'use strict';
// Beside a real session manager (Debian's WirePlumber on a private bus): the
// volume reads as wpctl prints it, a default set here is taken up, and a
// moved stream's links really go to the new sink.
const test = require('node:test');
const assert = require('node:assert/strict');
const { spawnSync } = require('node:child_process');
const { startDaemon } = require('./helpers/daemon');
const { startSessionManager, playStream, poll } = require('./helpers/session-manager');

const stereoSink = (name) => ({ name, mediaClass: 'Audio/Sink', positions: ['FL', 'FR'] });

// The sinks `stream`'s output ports are linked to, from `pw-link -l`.
function sinksOf(stream, env) {
  const sinks = new Set();
  let out = null;
  for (const line of spawnSync('pw-link', ['-l'], { env, encoding: 'utf8', timeout: 5000 }).stdout.split('\n')) {
    const peer = /^\s+\|->\s+([^:]+):/.exec(line);
    if (peer && out) sinks.add(peer[1]);
    else if (!/^\s/.test(line)) out = line.startsWith(`${stream}:`);
  }
  return [...sinks].sort();
}

test('beside WirePlumber: volume as wpctl prints it, a default taken up, a stream moved and back', async (t) => {
  const daemon = startDaemon({ objects: ['ctl-a', 'ctl-b'].map(stereoSink) });
  const sm = await startSessionManager(daemon);
  let graph, player;
  t.after(async () => {
    await graph?.close();
    player?.kill();
    await sm.stop();
    daemon.stop();
  });
  const wpctl = (...args) => spawnSync('wpctl', args.map(String), { env: sm.env, encoding: 'utf8', timeout: 5000 }).stdout.trim();
  graph = await require('..').connect();
  const a = (await graph.waitForNode('ctl-a')).id;

  // Channels apart: wpctl shows the first one's cube root, and so does volume.
  const set = await graph.setVolume(a, [0.7, 0.2]);
  assert.equal(wpctl('get-volume', a), `Volume: ${set.volume.toFixed(2)}`);
  assert.equal(set.volume, 0.7);
  await graph.setMute(a, true);
  assert.equal(wpctl('get-volume', a), 'Volume: 0.70 [MUTED]');
  const changed = new Promise((resolve) => graph.on('node-changed', (n, c) => c.volume && n.id === a && resolve(n)));
  wpctl('set-volume', a, 0.35);
  assert.equal((await changed).volume, 0.35);

  // The default: configured here, chosen by WirePlumber.
  const chosen = new Promise((resolve) => graph.on('defaults-changed', (d) => d.audioSink === 'ctl-b' && resolve(d)));
  await graph.setDefault('audioSink', 'ctl-b');
  assert.deepEqual((await chosen).configured.audioSink, 'ctl-b');
  await graph.setDefault('audioSink', 'ctl-a');

  // A stream on the default sink, moved to the other and back.
  player = playStream(sm, 'ctl-player');
  const stream = await graph.waitForNode('ctl-player', { timeoutMs: 10000 });
  const settled = (sinks, what) => poll(() => String(sinksOf('ctl-player', sm.env)) === String(sinks), 5000, what, 20);
  await settled(['ctl-a'], 'WirePlumber to link the stream to ctl-a');
  // A stream's volume is its client's to apply: the request goes through it.
  await graph.waitForNode((n) => n.id === stream.id && n.volume !== undefined);
  assert.equal((await graph.setVolume(stream.id, 0.45)).volume, 0.45);
  assert.equal(wpctl('get-volume', stream.id), 'Volume: 0.45');
  await graph.move(stream.id, 'ctl-b');
  await settled(['ctl-b'], 'the stream to move to ctl-b');
  await graph.move(stream.id, null);
  await settled(['ctl-a'], 'the stream to follow the default again');
});
