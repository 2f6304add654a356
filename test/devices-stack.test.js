'use strict';
// A virtual microphone on a real stack: a private daemon with WirePlumber (on
// a private D-Bus) as session manager, pw-play as the player routed into the
// microphone, and pw-record as the application that records from it.
const test = require('node:test');
const assert = require('node:assert/strict');
const fs = require('node:fs');
const path = require('node:path');
const { spawn } = require('node:child_process');
const { startDaemon } = require('./helpers/daemon');
const { waitFor } = require('./helpers/fixture');
const { startSessionManager, playStream } = require('./helpers/session-manager');
const quorvane = require('..');

// The loudest 16-bit sample recorded so far (the file grows while recording).
function peak(file) {
  const bytes = fs.existsSync(file) ? fs.readFileSync(file) : Buffer.alloc(0);
  let max = 0;
  for (let i = 44; i + 1 < bytes.length; i += 2) max = Math.max(max, Math.abs(bytes.readInt16LE(i)));
  return max;
}

test('a player routed into a created virtual microphone is heard by an application recording from it', async (t) => {
  // Speakers, where the session manager sends the player at first.
  const daemon = startDaemon({ objects: [{ name: 'qv-speakers', mediaClass: 'Audio/Sink', positions: ['FL', 'FR'] }] });
  const children = [];
  let sm;
  let graph;
  t.after(async () => {
    for (const c of children) c.kill();
    await graph?.close();
    await sm?.stop();
    daemon.stop();
  });
  sm = await startSessionManager(daemon);
  graph = await quorvane.connect();
  await graph.createNode({ name: 'qv-call-mic', mediaClass: 'Audio/Source/Virtual', description: 'Call microphone' });
  // The call application picks the microphone; the session manager links it.
  const recording = path.join(sm.dir, 'heard.wav');
  const record = ['--target', 'qv-call-mic', '--rate', '48000', '--channels', '2', '--format', 's16', recording];
  children.push(spawn('setpriv', ['--pdeathsig', 'KILL', 'pw-record', ...record], { env: sm.env, stdio: 'ignore' }));
  await graph.waitForNode({ 'application.name': 'pw-record' }, { timeoutMs: 5000 });
  const route = graph.route({ from: 'qv-player', to: 'qv-call-mic', exclusive: true });
  children.push(playStream(sm, 'qv-player', { seconds: 10, level: 0.5 }));
  await waitFor(() => route.links.length === 2, 10000, 'the player routed into the microphone');
  await waitFor(() => peak(recording) > 8000, 10000, 'the tone in the recording');
  // Only into the microphone: the session manager's link to the speakers
  // is removed (as it appears, so wait for it).
  const [player] = graph.find('qv-player');
  const [mic] = graph.find('qv-call-mic');
  const targets = () => [...new Set(graph.links().filter((l) => l.srcNodeId === player.id).map((l) => l.sinkNodeId))];
  await waitFor(() => String(targets()) === String([mic.id]), 5000, 'the player linked to the microphone only');
  await route.close();
});
