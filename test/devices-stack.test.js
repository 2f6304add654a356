'use strict';
// A virtual microphone on a real stack: a private daemon with WirePlumber (on
// a private D-Bus) as session manager, pw-play as the player routed into the
// microphone, and pw-record as the application that records from it.
const test = require('node:test');
const assert = require('node:assert/strict');
const fs = require('node:fs');
const path = require('node:path');
const { spawn, spawnSync } = require('node:child_process');
const { startDaemon } = require('./helpers/daemon');
const { waitFor } = require('./helpers/fixture');
const quorvane = require('..');

const tools = ['wireplumber', 'dbus-run-session', 'pw-play', 'pw-record'];
const missing = tools.filter((t) => spawnSync('sh', ['-c', `command -v ${t}`]).status !== 0);

// A stereo 16-bit WAV of a 440 Hz tone at half scale.
function toneWav(file, seconds, rate = 48000) {
  const frames = seconds * rate;
  const data = Buffer.alloc(frames * 4);
  for (let i = 0; i < frames; i++) {
    const v = Math.round(16384 * Math.sin((2 * Math.PI * 440 * i) / rate));
    data.writeInt16LE(v, i * 4);
    data.writeInt16LE(v, i * 4 + 2);
  }
  const h = Buffer.alloc(44);
  h.write('RIFF', 0);
  h.writeUInt32LE(36 + data.length, 4);
  h.write('WAVEfmt ', 8);
  h.writeUInt32LE(16, 16);
  h.writeUInt16LE(1, 20);
  h.writeUInt16LE(2, 22);
  h.writeUInt32LE(rate, 24);
  h.writeUInt32LE(rate * 4, 28);
  h.writeUInt16LE(4, 32);
  h.writeUInt16LE(16, 34);
  h.write('data', 36);
  h.writeUInt32LE(data.length, 40);
  fs.writeFileSync(file, Buffer.concat([h, data]));
}

// The loudest 16-bit sample recorded so far (the file grows while recording).
function peak(file) {
  let bytes;
  try {
    bytes = fs.readFileSync(file);
  } catch {
    return 0;
  }
  const at = bytes.indexOf('data');
  let max = 0;
  for (let i = at < 0 ? bytes.length : at + 8; i + 1 < bytes.length; i += 2) max = Math.max(max, Math.abs(bytes.readInt16LE(i)));
  return max;
}

test('a player routed into a created virtual microphone is heard by an application recording from it', { skip: missing.length > 0 && `missing: ${missing.join(', ')}` }, async () => {
  const daemon = startDaemon({ objects: [] });
  const home = (d) => path.join(daemon.dir, d);
  const env = { ...daemon.env, XDG_CONFIG_HOME: home('config'), XDG_STATE_HOME: home('state'), XDG_DATA_HOME: home('data') };
  const children = [];
  const run = (cmd, args) => {
    // A process group each, so that a stop reaches dbus-run-session's children too.
    const child = spawn(cmd, args, { env, stdio: 'ignore', detached: true });
    child.exited = new Promise((resolve) => child.once('exit', resolve));
    children.push(child);
    return child;
  };
  const graph = await quorvane.connect();
  try {
    run('dbus-run-session', ['--', 'wireplumber']);
    const clients = () => spawnSync('pw-cli', ['ls', 'Client'], { env, encoding: 'utf8' }).stdout;
    await waitFor(() => /application\.name = "WirePlumber"/.test(clients()), 10000, 'WirePlumber');

    // Speakers, where the session manager sends the player at first, and the microphone.
    await graph.createNode({ name: 'qv-speakers', description: 'Speakers' });
    await graph.createNode({ name: 'qv-call-mic', mediaClass: 'Audio/Source/Virtual', description: 'Call microphone' });
    const recording = home('heard.wav');
    // The call application picks the microphone; the session manager links it.
    run('pw-record', ['--target', 'qv-call-mic', '--rate', '48000', '--channels', '2', '--format', 's16', recording]);
    await graph.waitForNode({ 'application.name': 'pw-record' }, { timeoutMs: 5000 });
    const route = graph.route({ from: { 'application.name': 'pw-play' }, to: 'qv-call-mic', exclusive: true });
    const tone = home('tone.wav');
    toneWav(tone, 10);
    run('pw-play', [tone]);
    await waitFor(() => route.links.length === 2, 10000, 'the player routed into the microphone');
    await waitFor(() => peak(recording) > 8000, 10000, 'the tone in the recording');
    // Only into the microphone: the session manager's link to the speakers
    // is removed (as it appears, so wait for it).
    const player = graph.find({ 'application.name': 'pw-play' })[0];
    const mic = graph.find('qv-call-mic')[0];
    const targets = () => [...new Set(graph.links().filter((l) => l.srcNodeId === player.id).map((l) => l.sinkNodeId))];
    await waitFor(() => targets().length === 1 && targets()[0] === mic.id, 5000, 'the player linked to the microphone only');
    await route.close();
  } finally {
    for (const c of children) {
      try {
        process.kill(-c.pid, 'SIGTERM');
      } catch {}
    }
    await graph.close();
    await Promise.all(children.map((c) => c.exited));
    daemon.stop();
  }
});
