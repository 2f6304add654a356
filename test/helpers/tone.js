'use strict';
// A tone played by PipeWire's own pw-cat, for the meters' and the profiler's tests.
const fs = require('node:fs');
const path = require('node:path');
const { spawn } = require('node:child_process');

const PORT_CONFIG = '"{ mode = dsp monitor = false control = false position = preserve }"';

/**
 * Writes `file`: a 48 kHz stereo float WAV file of `seconds`, a 1 kHz sine of
 * amplitude levels[0] on FL and levels[1] on FR (1 is full scale).
 */
function writeTone(file, seconds, levels) {
  const frames = 48000 * seconds;
  const bytes = frames * 8;
  const header = Buffer.alloc(44);
  header.write('RIFF', 0);
  header.writeUInt32LE(36 + bytes, 4);
  header.write('WAVEfmt ', 8);
  header.writeUInt32LE(16, 16);
  header.writeUInt16LE(3, 20); // IEEE float
  header.writeUInt16LE(2, 22);
  header.writeUInt32LE(48000, 24);
  header.writeUInt32LE(48000 * 8, 28);
  header.writeUInt16LE(8, 32);
  header.writeUInt16LE(32, 34);
  header.write('data', 36);
  header.writeUInt32LE(bytes, 40);
  const samples = new Float32Array(frames * 2);
  for (let i = 0; i < frames * 2; i++) samples[i] = levels[i & 1] * Math.sin((2 * Math.PI * 1000 * (i >> 1)) / 48000);
  fs.writeFileSync(file, Buffer.concat([header, Buffer.from(samples.buffer)]));
  return file;
}

/** The tests' tone in `dir`: -6 dBFS on FL, silence on FR. */
const toneFile = (dir, seconds) => writeTone(path.join(dir, 'tone.wav'), seconds, [10 ** (-6 / 20), 0]);

// pw-cat playing `file` as node `name`, linked channel by channel into `sink`.
async function playFile(graph, daemon, name, sink, file) {
  const child = spawn('pw-cat', ['--playback', '--target', '0', '-P', `{ node.name = ${name} adapter.auto-port-config = ${PORT_CONFIG} }`, file], { env: daemon.env, stdio: 'ignore' });
  const node = await graph.waitForNode(name);
  const outputs = await graph.waitForPorts(node.id, { direction: 'out', count: 2 });
  const inputs = graph.ports().filter((p) => p.nodeId === sink.id && p.direction === 1);
  for (const out of outputs) await graph.link(out.id, inputs.find((p) => p.props['audio.channel'] === out.props['audio.channel']).id);
  return { child, node, outputs };
}

/**
 * pw-cat playing the tone (20 s) as node `name` on `daemon`, its ports set up as a session manager would, linked
 * channel by channel into `sink` (a node made by graph.createNode); resolves to { child, node, outputs }.
 */
async function playTone(graph, daemon, name, sink) {
  return playFile(graph, daemon, name, sink, toneFile(daemon.dir, 20));
}

/**
 * pw-cat playing a sine of `freq` Hz at -6 dBFS on FL (silence on FR, 20 s) as node `name`, linked into `sink` as
 * playTone links it; resolves to { child, node, outputs }.
 */
async function playToneAt(graph, daemon, name, sink, freq) {
  const file = path.join(daemon.dir, `tone-${freq}.wav`);
  writeTone(file, 20, [10 ** (-6 / 20), 0]);
  const samples = new Float32Array(fs.readFileSync(file).buffer.slice(44));
  for (let i = 0; i < samples.length; i += 2) samples[i] = 10 ** (-6 / 20) * Math.sin((2 * Math.PI * freq * (i >> 1)) / 48000);
  fs.writeFileSync(file, Buffer.concat([fs.readFileSync(file).subarray(0, 44), Buffer.from(samples.buffer)]));
  return playFile(graph, daemon, name, sink, file);
}

module.exports = { writeTone, toneFile, playTone, playToneAt };
