'use strict';
// Equalisers and loopbacks loaded into the add-on's own context, measured with the level meters: a tone
// through a band, dry against wet.
const test = require('node:test');
const fs = require('node:fs');
const path = require('node:path');
const assert = require('node:assert/strict');
const { waitFor, pwDump } = require('./helpers/fixture');
const { privateDaemon } = require('./helpers/setup');
const { runChild, cli } = require('./helpers/child');
const { playTone, eventWhere } = require('./helpers/tone');
const { parseParametricEq } = require('../lib/features/effects/parametric-eq');
const { connect } = require('..');

let graph;
const { daemon } = privateDaemon({}, { graph: (g) => (graph = g) });

const dumpNodes = () => pwDump().filter((o) => o.type === 'PipeWire:Interface:Node');
const named = (prefix) => dumpNodes().filter((o) => String(o.info.props['node.name']).startsWith(prefix));
const filterNodes = (name) => dumpNodes().filter((o) => [name, `${name}.output`].includes(o.info.props['node.name']));
// playTone's tone, its pw-cat killed after the file at the latest.
const play = (...args) => playTone(graph, daemon, ...args)
  .then((tone) => (test.after(() => tone.child.kill('SIGKILL')), tone));

// The RMS on FL of `node`'s meter once it holds steady for three levels in a row (it settles as the tone starts).
function steadyRms(node) {
  const [meter, last] = [graph.meter(node), []];
  const steady = ({ rms }) => {
    if (last.push(rms[0]) > 3) last.shift();
    return last.length === 3 && Number.isFinite(last[0]) && Math.max(...last) - Math.min(...last) < 0.05;
  };
  return eventWhere(meter, 'level', steady, `steady at node ${node}`).then((l) => l.rms[0])
    .finally(() => meter.close());
}

test('a ParametricEQ.txt imports to its bands and preamp; a malformed line, or a value a biquad cannot take, is refused with its line', () => {
  const text = ['# AutoEq', 'Preamp: -6.2 dB', 'Filter 1: ON PK Fc 105 Hz Gain 4.5 dB Q 0.70',
    'Filter 2: ON LSC Fc 80.5 Hz Gain -2 dB Q 0.71', 'Filter 3: OFF PK Fc 3000 Hz Gain 9 dB Q 2',
    'Filter 4: ON HSC Fc 1e4 Hz Gain 1.5 dB Q 0.5', 'Filter 5: ON LP Fc 18000 Hz',
    'Filter: ON HP Fc 20 Hz Q 0.5', 'Filter 7: ON NO Fc 50 Hz Q 10'].join('\r\n');
  assert.deepEqual(parseParametricEq(text), { preamp: -6.2, filters: [
    { type: 'peaking', freq: 105, q: 0.7, gain: 4.5 }, { type: 'lowshelf', freq: 80.5, q: 0.71, gain: -2 },
    { type: 'highshelf', freq: 10000, q: 0.5, gain: 1.5 },
    { type: 'lowpass', freq: 18000, q: Math.SQRT1_2, gain: 0 },
    { type: 'highpass', freq: 20, q: 0.5, gain: 0 }, { type: 'notch', freq: 50, q: 10, gain: 0 },
  ] });
  for (const [bad, line] of [['Preamp: -6 dB\nFilter 1: ON XX Fc 100 Hz', 2], ['Preamp: loud', 1],
    ['Filter 1: ON PK Gain 3 dB Q 1', 1], ['\n\nFilter 1: ON PK Fc 100 Hz Gain 3 dB Q 1 Q 2', 3]])
    assert.throws(() => parseParametricEq(bad), (e) => e instanceof SyntaxError && e.message.startsWith(`line ${line}:`), bad);

  // A value a biquad cannot take, with its line; from the command line, past half the graph's rate too.
  const head = '# AutoEq\nPreamp: -6 dB\n';
  for (const [line, field] of [
    ['Filter 1: ON PK Fc -100 Hz Gain 3 dB Q 1', /Fc must be above 0 and below 24000 Hz .* not -100/],
    ['Filter 1: ON PK Fc 0 Hz Gain 3 dB Q 1', /Fc must be above 0 .* not 0/],
    ['Filter 1: ON PK Fc 30000 Hz Gain 3 dB Q 1', /Fc must be above 0 and below 24000 Hz \(half the rate, 48000 Hz\), not 30000/],
    ['Filter 1: ON PK Fc 100 Hz Gain 1e9 dB Q 1', /Gain must be within ±48 dB, not 1000000000/],
    ['Filter 1: ON PK Fc 100 Hz Gain 3 dB Q 0', /Q must be above 0 and at most 100, not 0/],
    ['Preamp: -1e9 dB', /Preamp must be within ±48 dB/],
    ['Preamp: -45 dB', /the Preamp lines together must be within ±48 dB, not -51/],
  ])
    assert.throws(() => parseParametricEq(`${head}${line}\nFilter 9: ON PK Fc 100 Hz`, { rate: 48000 }), (e) => e instanceof RangeError && e.message.startsWith('line 3: ') && field.test(e.message), line);
  // A band of an OFF line is not loaded: not checked. Without the rate only "above 0" can be told.
  assert.equal(parseParametricEq(`${head}Filter 1: OFF PK Fc -5 Hz Gain 99 dB\nFilter 2: ON PK Fc 30000 Hz`).filters[0].freq, 30000);
  assert.throws(() => parseParametricEq(`${head}${'Filter: ON PK Fc 100 Hz\n'.repeat(65)}`), /^RangeError: line 67: more than 64 filters/);
  // quorvane eq checks the file (at the daemon's rate, 48 kHz) before making anything, and names its line.
  const before = dumpNodes().length;
  for (const [name, body, said] of [
    ['bad-eq', 'Preamp: -1 dB\nFilter 1: ON PK Fc 100 Hz Gain 3 dB Q 1 Q 2\n', /bad-eq\.txt: line 2:/],
    ['nyquist-eq', `${head}Filter 1: ON PK Fc 30000 Hz\n`, /nyquist-eq\.txt: line 3: Fc must be .* 24000 Hz/],
  ]) {
    const file = path.join(daemon.dir, `${name}.txt`);
    fs.writeFileSync(file, body);
    const r = cli('eq', name, '--from-file', file);
    assert.deepEqual([r.status, said.test(r.stderr), dumpNodes().length], [2, true, before], r.stderr);
  }
});

test('a +6 dB band at 1 kHz lifts a 1 kHz tone by 6.0 dB and leaves 100 Hz as it was; set() changes it live on the same nodes', async () => {
  const out = await graph.createNode({ name: 'eq-out' });
  const filter = await graph.createFilter({ name: 'eq', filters: [{ type: 'peaking', freq: 1000, q: 1, gain: 6 }], target: 'eq-out' });
  const marked = filterNodes('eq').filter((o) => o.info.props['quorvane.created-by'] !== undefined);
  assert.deepEqual(marked.map((o) => o.id).sort(), [filter.nodes.capture.id, filter.nodes.playback.id].sort());
  const tone = await play('eq-tone-1k', filter);
  const dry = await steadyRms(tone.node.id);
  assert.ok(Math.abs((await steadyRms(out.id)) - dry - 6) <= 0.2, 'the 1 kHz tone lifted by 6 dB');

  await filter.set({ filters: [{ type: 'peaking', freq: 1000, q: 1, gain: -3 }], preamp: -1 });
  assert.ok(Math.abs((await steadyRms(out.id)) - dry + 4) <= 0.2, 'cut by 3 dB and the preamp\'s 1 dB');
  assert.deepEqual([filter.nodes.capture.id, filter.nodes.playback.id].sort(), filterNodes('eq').map((o) => o.id).sort());
  for (const filters of [[], [{ type: 'notch', freq: 1000 }]]) await assert.rejects(filter.set({ filters }), RangeError);

  await filter.set({ filters: [{ type: 'peaking', freq: 1000, q: 1, gain: 6 }], preamp: 0 });
  tone.child.kill('SIGKILL');
  const low = await play('eq-tone-100', filter, 100);
  const dryLow = await steadyRms(low.node.id);
  assert.ok(Math.abs((await steadyRms(out.id)) - dryLow) <= 0.2, '100 Hz as it was');
  low.child.kill('SIGKILL');

  await filter.close();
  await waitFor(() => filterNodes('eq').length === 0, 5000, 'the filter\'s nodes to go');
  await filter.close();
});

// The samples of channel 0 of a float WAV file pw-cat wrote (its "data" chunk), from byte `from` of the file on.
function wavSamples(file, from) {
  const buf = fs.readFileSync(file);
  let at = 12;
  while (at + 8 <= buf.length && buf.toString('latin1', at, at + 4) !== 'data') at += 8 + buf.readUInt32LE(at + 4);
  const start = at + 8 + Math.max(0, (from - at - 8) & ~3);
  return new Float32Array(buf.buffer.slice(buf.byteOffset + start, buf.byteOffset + start + ((buf.length - start) & ~3)));
}

test('live changes of the preamp and of the volume ramp: a recorded 1 kHz tone never jumps by more than its own step', async () => {
  const out = await graph.createNode({ name: 'ramp-out' });
  const filter = await graph.createFilter({ name: 'ramp', filters: [{ type: 'peaking', freq: 1000, q: 1, gain: 0 }], target: 'ramp-out' });
  const tone = await play('ramp-tone', filter);
  // The output's FL recorded by pw-cat, its one port linked by hand.
  const file = path.join(daemon.dir, 'ramp.wav');
  const recorder = require('node:child_process').spawn('pw-cat', ['--record', '--format', 'f32', '--channels', '1', '--target', '0', '-P', '{ node.name = ramp-rec adapter.auto-port-config = "{ mode = dsp monitor = false control = false position = preserve }" }', file], { env: daemon.env, stdio: 'ignore' });
  test.after(() => recorder.kill('SIGKILL'));
  const rec = await graph.waitForNode('ramp-rec');
  const [input] = await graph.waitForPorts(rec.id, { direction: 'in', count: 1 });
  await graph.link(graph.ports().find((p) => p.nodeId === out.id && p.direction === 0 && p.props['audio.channel'] === 'FL').id, input.id);
  const size = () => (fs.existsSync(file) ? fs.statSync(file).size : 0);
  await waitFor(() => size() > 48000, 5000, 'the recording to start');
  const from = size(); // what is recorded from the first change on: the first periods may be silence
  // Down and up by 12 dB, twice each, the preamp and the volume (cubic 0.63: -12 dB).
  for (const change of [{ preamp: -12 }, { preamp: 0 }, { volume: 0.63 }, { volume: 1 }]) await filter.set(change);
  assert.deepEqual([filter.preamp, graph.nodes().find((n) => n.id === filter.id).volume], [0, 1]);
  const to = size(); // and a quarter second past the last step
  await waitFor(() => size() > to + 48000, 5000, 'the recording past the last step');
  await new Promise((resolve) => recorder.once('exit', resolve).kill('SIGINT'));
  // A sine of amplitude A at 1 kHz moves by 2π·1000/48000·A = 0.13 A from one sample to the next; a step of
  // the gain by 12 dB at once jumps by up to 0.75 A.
  const samples = wavSamples(file, from);
  const jumps = samples.subarray(1).map((v, i) => Math.abs(v - samples[i]) / 10 ** (-6 / 20));
  const at = jumps.reduce((most, j, i) => (j > jumps[most] ? i : most), 0);
  assert.ok(samples.length > 48000, `${samples.length} samples recorded`);
  assert.ok(jumps[at] < 0.2, `a jump of ${jumps[at].toFixed(3)} of the amplitude, ${at} of ${jumps.length} samples in`);
  tone.child.kill('SIGKILL');
  await filter.close();
  await graph.destroyNode(out.id);
});

test('bad filters are refused before anything is made', async () => {
  const before = dumpNodes().length;
  const band = { type: 'peaking', freq: 1000, q: 1, gain: 3 };
  const cases = [
    ...[[{ type: 'bell' }, TypeError], [{ freq: 24000 }, RangeError], [{ freq: 0 }, RangeError],
      [{ q: 0 }, RangeError], [{ q: NaN }, TypeError], [{ gain: 60 }, RangeError], [{ gian: 3 }, TypeError]]
      .map(([bad, kind]) => [{ name: 'bad', filters: [{ ...band, ...bad }] }, kind]),
    [{ name: 'bad', filters: Array(10000).fill(band) }, RangeError],
    [{ name: 'bad', filter: [band] }, TypeError], [{ name: 'bad', filters: [band], linger: true }, TypeError],
    [{ name: 'bad', filters: [band], preamp: Infinity }, TypeError],
    [{ name: 'demo-speakers', filters: [band] }, Error],
  ];
  for (const [options, kind] of cases) await assert.rejects(graph.createFilter(options), kind, JSON.stringify(options).slice(0, 80));
  assert.equal(dumpNodes().length, before);
});

test('a loopback carries a tone from one node to another; its nodes go with close(), a filter\'s with its Graph and with its process, killed', async () => {
  const [into, out] = [await graph.createNode({ name: 'lb-in' }), await graph.createNode({ name: 'lb-out' })];
  const loopback = await graph.createLoopback({ from: 'lb-in', to: 'lb-out', latencyMs: 20 });
  const tone = await play('lb-tone', into);
  assert.ok(Math.abs((await steadyRms(out.id)) - (await steadyRms(tone.node.id))) <= 0.2, 'the tone at the far end');
  await loopback.close();
  await waitFor(() => named(loopback.name).length === 0, 5000, 'the loopback\'s nodes to go');

  const other = await connect();
  await other.createFilter({ name: 'handle-eq', filters: [] });
  assert.equal(filterNodes('handle-eq').length, 2);
  await other.close();
  await waitFor(() => filterNodes('handle-eq').length === 0, 5000, 'the closed Graph\'s filter nodes to go');

  const script = `require(${JSON.stringify(require.resolve('..'))}).connect().then((g) => g.createFilter({ name: 'killed-eq', filters: [] })).then(() => console.log('made'));`;
  let seen = 0;
  const ended = await runChild(script, { preload: false,
    onStdout: (all, child) => all.includes('made') && ((seen = named('killed-eq').length), child.kill('SIGKILL')) });
  assert.deepEqual([ended.signal, seen], ['SIGKILL', 2], ended.stderr);
  await waitFor(() => named('killed-eq').length === 0, 5000, 'the killed process\'s filter nodes to go');
});

test('a mono source filter cuts what it captures by its band; a name with quotes and braces stays one name', async () => {
  const into = await graph.createNode({ name: 'src-in' });
  const name = 'odd "eq" { media.class = Audio/Sink }';
  const filter = await graph.createFilter({ name, mediaClass: 'Audio/Source', channels: 1, filters: [{ type: 'peaking', freq: 100, q: 1, gain: -6 }], target: into });
  const [source] = filterNodes(name);
  assert.deepEqual([source.id, source.info.props['media.class'], filterNodes(`${name}.input`).length], [filter.id, 'Audio/Source', 1]);
  const tone = await play('src-tone', into, 100);
  assert.ok(Math.abs((await steadyRms(filter.id)) - (await steadyRms(tone.node.id)) + 6) <= 0.2, 'the 100 Hz tone cut by 6 dB');
  await filter.close();
  await assert.rejects(filter.set({ preamp: 1 }), /closed/);
});

test('a patchbay\'s filters and loopbacks are made once the nodes they name are there, again when one comes back, and go with it', async () => {
  const rules = {
    filters: [{ name: 'bay-eq', target: 'bay-spk', filters: [{ type: 'peaking', freq: 1000, gain: 6 }] }],
    loopbacks: [{ from: 'bay-mic', to: 'bay-spk', name: 'bay-loop' }],
  };
  // Checked at the graph's rate (48 kHz) before anything is made (below 0: as 'bad filters are refused').
  assert.throws(() => graph.patchbay({ filters: [{ name: 'x', filters: [{ type: 'peaking', freq: 30000 }] }] }), /filters\[0\]\.filters\[0\]\.freq: must be above 0 and below 24000 Hz/);
  const bay = graph.patchbay(rules);
  const errors = [];
  bay.on('error', (e) => errors.push(e));
  const made = (prefix) => named(prefix).length;
  const spk = await graph.createNode({ name: 'bay-spk' });
  await waitFor(() => made('bay-eq') === 2, 5000, 'the filter, its target there');
  assert.equal(made('bay-loop'), 0, 'the loopback waits for its source');
  let mic = await graph.createNode({ name: 'bay-mic', mediaClass: 'Audio/Source/Virtual' });
  await waitFor(() => made('bay-loop') === 2, 5000, 'the loopback, both ends there');
  // Its source goes: so does it; back, it is made again.
  await graph.destroyNode(mic.id);
  await waitFor(() => made('bay-loop') === 0, 5000, 'the loopback closed with its source');
  mic = await graph.createNode({ name: 'bay-mic', mediaClass: 'Audio/Source/Virtual' });
  await waitFor(() => made('bay-loop') === 2, 5000, 'the loopback made again');
  await bay.close();
  assert.deepEqual([made('bay-eq'), made('bay-loop'), errors], [0, 0, []]);
  await Promise.all([graph.destroyNode(mic.id), graph.destroyNode(spk.id)]);
});

test('a step of the wall clock (NTP, a virtual machine\'s time set again) cuts no wait for a filter short', async () => {
  // The clock steps an hour ahead once the daemon has announced the filter's node, while its ports
  // are still awaited.
  const realNow = Date.now;
  const step = (node) => node.name === 'clock-eq' && (Date.now = () => realNow() + 3600e3);
  graph.on('node-created', step);
  try {
    const filter = await graph.createFilter({ name: 'clock-eq', filters: [{ type: 'peaking', freq: 1000, gain: 3 }] });
    assert.equal(filterNodes('clock-eq').length, 2);
    await filter.close();
  } finally {
    graph.off('node-created', step);
    Date.now = realNow;
  }
});
