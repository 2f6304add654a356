'use strict';
// A tone played by PipeWire's own pw-cat, for the meters' and the profiler's tests.
const fs = require('node:fs');
const path = require('node:path');
const { spawn } = require('node:child_process');

const PORT_CONFIG = '"{ mode = dsp monitor = false control = false position = preserve }"';

// Writes `file`: a 48 kHz stereo float WAV file of `seconds`, a sine of `freq` Hz (1 kHz by default) of
// amplitude levels[0] on FL and levels[1] on FR (1 is full scale).
function writeTone(file, seconds, levels, freq = 1000) {
  const frames = 48000 * seconds;
  const header = Buffer.alloc(44);
  // RIFF, then the "fmt " chunk (IEEE float, 2 channels, 48 kHz, 8 bytes a frame, 32 bits), then "data".
  for (const [at, text] of [[0, 'RIFF'], [8, 'WAVEfmt '], [36, 'data']]) header.write(text, at);
  const words = [[4, 36 + frames * 8], [16, 16], [24, 48000], [28, 48000 * 8], [40, frames * 8]];
  words.forEach(([at, v]) => header.writeUInt32LE(v, at));
  [[20, 3], [22, 2], [32, 8], [34, 32]].forEach(([at, v]) => header.writeUInt16LE(v, at));
  const samples = new Float32Array(frames * 2);
  for (let i = 0; i < frames * 2; i++) samples[i] = levels[i & 1] * Math.sin((2 * Math.PI * freq * (i >> 1)) / 48000);
  fs.writeFileSync(file, Buffer.concat([header, Buffer.from(samples.buffer)]));
  return file;
}

/** The tests' tone in `dir`: -6 dBFS on FL, silence on FR. */
const toneFile = (dir, seconds) => writeTone(path.join(dir, 'tone.wav'), seconds, [10 ** (-6 / 20), 0]);

// pw-cat playing a sine of `freq` Hz at -6 dBFS on FL (silence on FR, 20 s) as node `name` on `daemon`, its
// ports set up as a session manager would, linked channel by channel into `sink` (a node or a filter, by its
// id); resolves to { child, node, outputs }.
async function playTone(graph, daemon, name, sink, freq = 1000) {
  const file = writeTone(path.join(daemon.dir, `tone-${freq}.wav`), 20, [10 ** (-6 / 20), 0], freq);
  const child = spawn('pw-cat', ['--playback', '--target', '0', '-P', `{ node.name = ${name} adapter.auto-port-config = ${PORT_CONFIG} }`, file], { env: daemon.env, stdio: 'ignore' });
  const node = await graph.waitForNode(name);
  const outputs = await graph.waitForPorts(node.id, { direction: 'out', count: 2 });
  const inputs = graph.ports().filter((p) => p.nodeId === sink.id && p.direction === 1);
  for (const out of outputs) await graph.link(out.id, inputs.find((p) => p.props['audio.channel'] === out.props['audio.channel']).id);
  return { child, node, outputs };
}

/** The first `event` of `emitter` (a meter) whose value `fits`, within `ms`; else an error with its state. */
function eventWhere(emitter, event, fits, what, ms = 5000) {
  return new Promise((resolve, reject) => {
    const said = () => `no ${event} ${what} within ${ms} ms (${emitter.state}: ${emitter.reason})`;
    const timer = setTimeout(() => (emitter.off(event, hear), reject(new Error(said()))), ms);
    const hear = (value) => fits(value) && (clearTimeout(timer), emitter.off(event, hear), resolve(value));
    emitter.on(event, hear);
  });
}

module.exports = { writeTone, toneFile, playTone, eventWhere };
