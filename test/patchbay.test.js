'use strict';
// The patchbay and its command against a private daemon; lingering links; the systemd unit.
const test = require('node:test');
const assert = require('node:assert/strict');
const fs = require('node:fs');
const path = require('node:path');
const { spawn, spawnSync } = require('node:child_process');
const { restartDaemon, scratch } = require('./helpers/cli');
const { startDaemon } = require('./helpers/daemon');
const { Fixture, waitFor, heard, linksFrom, pwDump, pwLinkPairs, sorted } = require('./helpers/fixture');
const { startScript, CLI, cli } = require('./helpers/child');
const { privateDaemon } = require('./helpers/setup');

const dir = scratch('quorvane-pb-');
let graph;
const set = privateDaemon({ objects: [] }, { graph: (g) => (graph = g) });
let { fixture } = set;
const stereo = (out, sink) => sorted([[out.outputs[0], sink.inputs[0]], [out.outputs[1], sink.inputs[1]]]);
// Fixture nodes of [name, media class] each, stereo: a sink's ports inputs, others' outputs.
const nodes = (...specs) => Promise.all(specs.map(([name, cls]) => fixture.add(name, cls, /Sink/.test(cls) ? 'FL,FR' : '0', /Sink/.test(cls) ? '0' : 'FL,FR')));

test('captures pair each app with its own sink; update() keeps what stays', async () => {
  const app = 'Stream/Output/Audio';
  const [a1, a2, s1, s2, mic] = await nodes(['pb-app-1', app], ['pb-app-2', app], ['pb-app-1-sink', 'Audio/Sink'], ['pb-app-2-sink', 'Audio/Sink'], ['pb-mic', 'Audio/Source']);
  await graph.waitForNode('pb-mic');
  const capture = { from: '/^(?<app>pb-app-\\d)$/', to: { 'node.name': '${app}-sink', 'media.class': 'Audio/Sink' } };
  const bay = graph.patchbay({ routes: [capture] });
  const [errors, actions] = [heard(bay, 'error'), heard(bay, 'action')];
  await waitFor(() => String(linksFrom([...a1.outputs, ...a2.outputs])) === String(sorted([...stereo(a1, s1), ...stereo(a2, s2)])), 5000, 'each app on its own sink only');
  await waitFor(() => actions.length === 4, 5000, 'the links told');
  assert.ok(actions.some((a) => a.kind === 'linked' && a.rule === 'routes[0]' && a.out === 'pb-app-1:out_FL' && a.in === 'pb-app-1-sink:in_FL'), JSON.stringify(actions));
  const held = bay.list()[0].links.map((l) => l.id).sort();

  // A rule that names a capture "from" does not have is refused whole: the rules in force stay.
  await assert.rejects(bay.update({ routes: [capture, { from: '/^(x)$/', to: '${2}' }], never: [] }), (e) => e instanceof TypeError && e.rule === 'routes[1]' && e.field === 'to' && /\$\{2\}/.test(e.message));

  // Port pairs by name and by channel; the capture route's links are the same links afterwards.
  const ports = { from: 'pb-mic', to: 'pb-app-1-sink', ports: [['out_FR', 'in_FL'], ['FL', 'FR']] };
  assert.deepEqual(await bay.update({ routes: [ports, capture] }), { added: 1, removed: 0, kept: 1 });
  await waitFor(() => linksFrom(mic.outputs).length === 2, 5000, 'the port pairs');
  assert.deepEqual(linksFrom(mic.outputs), sorted([[mic.outputs[1], s1.inputs[0]], [mic.outputs[0], s1.inputs[1]]]));
  assert.deepEqual([bay.list().map((e) => e.rule), bay.list()[1].links.map((l) => l.id).sort()], [['routes[0]', 'routes[1]'], held], 'unchanged rule, untouched links');
  assert.deepEqual(bay.rules, { version: 1, routes: [ports, { from: capture.from, to: capture.to }] });

  // The capture rule goes: its links go, the other rule's stay.
  assert.deepEqual([await bay.update({ routes: [ports] }), linksFrom([...a1.outputs, ...a2.outputs])], [{ added: 0, removed: 1, kept: 1 }, []]);
  await bay.close();
  assert.deepEqual([linksFrom(mic.outputs), errors], [[], []]);
});

test('never removes links whoever made them, never one a route wants', async () => {
  const [src, keep, drop] = await nodes(['pb-n-src', 'Audio/Source'], ['pb-n-keep', 'Audio/Sink'], ['pb-n-drop', 'Audio/Sink']);
  await fixture.link(stereo(src, drop));
  await graph.waitForNode('pb-n-drop');
  // A never that certainly forbids a route's links is refused; "/^pb-n-/" may take what "/^pb-n-k/" takes: the route's links stay.
  assert.throws(() => graph.patchbay({ routes: [{ from: 'pb-n-src', to: 'pb-n-keep' }], never: [{ from: 'pb-n-src', to: '/^pb-n-/' }] }), /^TypeError: never\[0\]: forbids the links routes\[0\] makes$/);
  const bay = graph.patchbay({ routes: [{ from: 'pb-n-src', to: '/^pb-n-k/' }], never: [{ from: 'pb-n-src', to: '/^pb-n-/' }],
    devices: [{ name: 'pb-dev', mediaClass: 'Audio/Sink', channels: ['FL', 'FR'] }], volumes: [{ node: 'pb-dev', volume: 0.5, mute: true }] });
  const [errors, actions] = [heard(bay, 'error'), heard(bay, 'action')];
  const removed = () => actions.filter((a) => a.kind === 'removed');
  await waitFor(() => String(linksFrom(src.outputs)) === String(stereo(src, keep)), 5000, 'the never rule to remove the other client\'s links, the route to link');
  await waitFor(() => removed().length === 2, 5000, 'the removals told');
  assert.equal(removed()[0].rule, 'never[0]');
  // Made again and again by a pw-link loop: removed at once each time (nearly never there), the removals bounded, reported once.
  const ids = new Set();
  let [made, present, since] = [0, 0, 0];
  const created = (l) => l.srcPortId === src.outputs[0] && l.sinkPortId === drop.inputs[0] && (ids.size || (since = performance.now()), ids.add(l.id), made++);
  const destroyed = (id) => ids.delete(id) && ids.size === 0 && (present += performance.now() - since);
  graph.on('link-created', created).on('link-destroyed', destroyed);
  const pwLinkLoop = async (pause, times) => {
    const [start, before] = [performance.now(), made];
    const loop = spawn('sh', ['-c', `while :; do pw-link pb-n-src:out_FL pb-n-drop:in_FL; ${pause}; done`], { env: set.daemon.env, stdio: 'ignore', detached: true });
    await waitFor(() => made >= before + times, 30000, `the loop to make the link ${times} times`).finally(() => process.kill(-loop.pid));
    await waitFor(() => ids.size === 0 && removed().length === 2 + made, 5000, 'the last one removed');
    return performance.now() - start;
  };
  const span = await pwLinkLoop('sleep 2', 5);
  // Each one lives for a round trip or two (longer on a loaded machine), far
  // from the 2 s until the next: a removal that waits for anything else shows.
  assert.ok(present < 0.25 * span, `there ${present.toFixed(0)} ms of ${span.toFixed(0)} ms`);
  // Made again at once: at most 2 removals a second.
  const fast = await pwLinkLoop('true', 6);
  assert.ok(fast >= 1500, `6 removals in ${fast.toFixed(0)} ms`);
  graph.off('link-created', created).off('link-destroyed', destroyed);
  assert.ok(removed().every((a) => a.in.startsWith('pb-n-drop:')), 'never a link the route wants');
  assert.deepEqual(errors.map((e) => [e.rule, /contested: another client made it again 3 times/.test(e.message)]), [['never[0]', true]], errors.map(String).join('\n'));
  errors.length = 0;

  // The device, its volume and mute set once; the user's later choice stays.
  const props = () => pwDump().find((o) => o.info?.props?.['node.name'] === 'pb-dev')?.info.params?.Props?.[0];
  await waitFor(() => props()?.mute === true && Math.abs(props().channelVolumes[0] - 0.125) < 1e-4, 5000, 'pb-dev at 0.5, muted');
  await graph.setVolume(graph.nodes().find((n) => n.name === 'pb-dev').id, 0.8);
  await fixture.setProps(src.id, { 'media.name': 'anything' }); // a change later, heard by every rule
  await graph.waitForNode((n) => n.id === src.id && n.props['media.name'] === 'anything');
  assert.equal(graph.nodes().find((n) => n.name === 'pb-dev').volume, 0.8);
  await bay.close();
  await waitFor(() => !graph.nodes().some((n) => n.name === 'pb-dev'), 5000, 'the device removed');
  assert.deepEqual([linksFrom(src.outputs), errors], [[], []]);
});

test('quorvane patchbay applies an edit and keeps the rules in force over a broken one', async (t) => {
  const [src, a, b] = await nodes(['pb-c-src', 'Audio/Source'], ['pb-c-a', 'Audio/Sink'], ['pb-c-b', 'Audio/Sink']);
  const file = path.join(dir, 'live.json');
  const write = (text) => (fs.writeFileSync(`${file}.tmp`, text), fs.renameSync(`${file}.tmp`, file)); // as editors save
  // A volume for a node that has none: the dry run says it will not be set, the real run that it was not.
  write(JSON.stringify({ routes: [{ from: 'pb-c-src', to: 'pb-c-a' }], volumes: [{ node: 'pb-c-a', volume: 0.4 }] }));
  const dry = cli('patchbay', file, '--dry-run');
  assert.deepEqual([dry.status, dry.stdout], [0, 'would link pb-c-src:out_FL -> pb-c-a:in_FL (routes[0])\nwould link pb-c-src:out_FR -> pb-c-a:in_FR (routes[0])\nwould not set pb-c-a: it has no volume (volumes[0])\n'], dry.stderr);
  assert.deepEqual(cli('patchbay', file, '--dry-run', '--json').stdout.trim().split('\n').map((l) => JSON.parse(l)).map((a) => [a.kind, a.rule, a.out, a.dryRun]), [['linked', 'routes[0]', 'pb-c-src:out_FL', true], ['linked', 'routes[0]', 'pb-c-src:out_FR', true], ['not-set', 'volumes[0]', undefined, true]]);
  assert.deepEqual(linksFrom(src.outputs), []);

  const run = startScript(CLI, ['patchbay', file]);
  t.after(() => run.child.kill('SIGINT')); // if a check fails before the end
  await waitFor(() => String(linksFrom(src.outputs)) === String(stereo(src, a)), 5000, 'the links to pb-c-a');
  await waitFor(() => /^linked pb-c-src:out_FL -> pb-c-a:in_FL \(routes\[0\]\)$/m.test(run.out), 5000, 'the line of the link');
  await waitFor(() => run.err.includes('volumes[0]: volume of "pb-c-a" not set: it has no volume\n'), 5000, 'the volume not set reported');
  write(JSON.stringify({ routes: [{ from: 'pb-c-src', to: 'pb-c-b' }] }));
  await waitFor(() => String(linksFrom(src.outputs)) === String(stereo(src, b)), 5000, 'the links moved to pb-c-b');
  write('{\n  "routes": [\n    { "from": "pb-c-src" "to": "pb-c-a" }\n  ]\n}\n');
  await waitFor(() => run.err.includes('not reloaded'), 5000, 'the broken file reported');
  assert.deepEqual(linksFrom(src.outputs), stereo(src, b), 'the rules in force stay');
  assert.match(run.err, new RegExp(`${file.replace(/[.*+?^${}()|[\]\\/]/g, '\\$&')}:3:26: not JSON: comma expected`));
  // The broken file changed nothing; SIGHUP reads the mended one.
  fs.writeFileSync(file, JSON.stringify({ routes: [{ from: 'pb-c-src', to: 'pb-c-a' }, { from: 'pb-c-src', to: 'pb-c-b' }] }));
  run.child.kill('SIGHUP');
  await waitFor(() => linksFrom(src.outputs).length === 4, 5000, 'the links to both');
  assert.deepEqual([(await run.stop()).code, run.err.split('\n').filter((l) => l && !/not reloaded|no volume/.test(l)), linksFrom(src.outputs)], [0, [], []]);
});

test('snapshot and qpwgraph files make the same links again', async () => {
  const build = () => nodes(['pb-s-src', 'Audio/Source'], ['pb-s-sink', 'Audio/Sink']);
  let [src, sink] = await build();
  await fixture.addMetadata('default'); // its links count as a session manager's now
  await fixture.link([[src.outputs[0], sink.inputs[1]], [src.outputs[1], sink.inputs[0]]]);
  const before = await waitFor(() => pwLinkPairs('pb-s-src').length === 2 && pwLinkPairs('pb-s-src'), 5000, 'the fixture\'s links');
  assert.ok(!cli('snapshot').stdout.includes('pb-s-src'), 'the session manager\'s links left out');
  const [snap, file] = [cli('snapshot', '--all'), path.join(dir, 'snap.json')];
  fs.writeFileSync(file, snap.stdout);
  assert.deepEqual(JSON.parse(snap.stdout).routes.filter((r) => r.from === 'pb-s-src'), [{ from: 'pb-s-src', to: 'pb-s-sink', ports: [['out_FL', 'in_FR'], ['out_FR', 'in_FL']] }], snap.stderr);

  await fixture.close(); // every client of those nodes and links gone
  await waitFor(() => pwLinkPairs('pb-s-src').length === 0, 5000, 'the links gone with their client');
  fixture = set.fixture = new Fixture();
  [src, sink] = await build();
  const run = startScript(CLI, ['patchbay', file]);
  await waitFor(() => (run.out.match(/^linked pb-s-src:/gm) || []).length === 2, 5000, 'the patchbay to link')
    .then(() => assert.deepEqual(pwLinkPairs('pb-s-src'), before)).finally(() => run.child.kill('SIGINT'));
  assert.equal((await run.exited).code, 0, run.err);

  // As qpwgraph writes it: nodes by description ("application.name/" before a
  // stream's), ports by alias; a MIDI item; what rules cannot carry.
  const player = await fixture.add('pb-q-player', 'Stream/Output/Audio;application.name=Player;node.description=Music', '0', 'FL,FR');
  const keys = await fixture.add('pb-q-keys', '-;node.description=Keys', 0, 1, '8 bit raw midi');
  const synth = await fixture.add('pb-q-synth', '-;node.description=Synth', 1, 0, '8 bit raw midi');
  await graph.waitForNode('pb-q-synth');
  const xml = path.join(dir, 'bay.qpwgraph');
  const item = (type, [on, op], [inn, ip]) => `  <item node-type="pipewire" port-type="${type}">\n   <output node="${on}" port="${op}"/>\n   <input node="${inn}" port="${ip}"/>\n  </item>`;
  fs.writeFileSync(xml, [
    '<!DOCTYPE patchbay>\n<patchbay version="0.7.2" name="bay" exclusive="1">\n <items>',
    item('pipewire-audio', ['Player/Music', 'Music:out_FL'], ['pb-s-sink', 'pb-s-sink:in_FL']),
    item('pipewire-audio', ['Player/Music', 'out_FR'], ['pb-s-sink', 'in_FR']),
    item('pipewire-midi', ['Keys', 'Keys:out_1'], ['Synth', 'Synth:in_1']),
    '  <item node-type="alsa" port-type="alsa-midi">\n   <output node="Midi Through" port="Midi Through Port-0"/>\n   <input node="Synth" port="in"/>\n  </item>',
    '  <item node-type="pipewire"><output node="x" port="y"/></item>\n </items>',
    ' <forwards>\n  <forward node-type="pipewire" port-type="pipewire-audio"><output node="Music" port="out_FL"/><input node="Keys" port="x"/></forward>\n </forwards>',
    '</patchbay>\n',
  ].join('\n'));
  const imported = cli('import', xml);
  assert.deepEqual([imported.status, ...imported.stderr.split('\n').filter(Boolean).map((l) => l.replace(/^quorvane: .*?bay\.qpwgraph:/, ''))], [
    0, '2: <patchbay exclusive="1">: qpwgraph\'s exclusive mode: left out',
    '16: alsa item Midi Through:Midi Through Port-0 -> Synth:in: not PipeWire\'s graph: left out',
    '20: item without an output and an input: left out',
    '23: <forward> in <forwards>: forwarding: left out',
  ]);
  const bay = graph.patchbay(JSON.parse(imported.stdout));
  const wanted = sorted([[player.outputs[0], sink.inputs[0]], [player.outputs[1], sink.inputs[1]], [keys.outputs[0], synth.inputs[0]]]);
  await waitFor(() => String(linksFrom([...player.outputs, ...keys.outputs])) === String(wanted), 5000, 'the imported links');
  await bay.close();
  // Refused: with --strict, what it leaves out; a broken file; entities of the file's own (a file is anyone's text).
  for (const [text, args, refusal] of [
    [null, ['--strict'], /refused \(--strict\): 4 item\(s\)/],
    ['<patchbay><items>\n<item><output node="a" port="b"></item></items></patchbay>', [], /:2:\d+: not a qpwgraph file/],
    ['<!DOCTYPE patchbay [<!ENTITY a "pb-s-src">]><patchbay><items><item><output node="&a;" port="out_FL"/><input node="pb-s-sink" port="in_FL"/></item></items></patchbay>', [], /not a qpwgraph file/],
  ]) {
    if (text) fs.writeFileSync(xml, text);
    const r = cli('import', ...args, xml);
    assert.deepEqual([r.status, r.stdout, refusal.test(r.stderr)], [2, '', true], r.stderr);
  }
});

test('lingering links outlive their process until unlinked', async () => {
  const [src, sink] = await nodes(['pb-l-src', 'Audio/Source'], ['pb-l-sink', 'Audio/Sink']);
  // A Graph's lingering link that outlives its script: links.test.js. The tool's outlives its close().
  const made = ['FL', 'FR'].map((c) => cli('link', `pb-l-src:out_${c}`, `pb-l-sink:in_${c}`, '--linger'));
  assert.deepEqual([made.map((r) => [r.status, /^link-created \d+ /.test(r.stdout)]), linksFrom(src.outputs)],
    [[[0, true], [0, true]], stereo(src, sink)], made.map((r) => r.stderr).join(''));
  await graph.unlink(await waitFor(() => graph.links().find((l) => l.srcPortId === src.outputs[0]),
    5000, 'the FL link heard'));
  assert.deepEqual(linksFrom(src.outputs), [[src.outputs[1], sink.inputs[1]]]);
  assert.deepEqual([cli('unlink', 'pb-l-src:out_FR', 'pb-l-sink:in_FR').status, linksFrom(src.outputs)], [0, []]);

  const rules = path.join(dir, 'my rules%.json'); // a space and a specifier, quoted in the unit
  fs.writeFileSync(rules, '{ "routes": [] }');
  const env = { ...process.env, XDG_CONFIG_HOME: path.join(dir, 'config') };
  const install = spawnSync(process.execPath, [CLI, 'service', 'install', rules], { encoding: 'utf8', env });
  assert.deepEqual([install.status, /systemctl --user enable --now quorvane-patchbay\.service/.test(install.stdout)], [0, true], install.stderr);
  const unit = path.join(env.XDG_CONFIG_HOME, 'systemd', 'user', 'quorvane-patchbay.service');
  assert.match(fs.readFileSync(unit, 'utf8'), /^Restart=on-failure$/m);
  const verify = spawnSync('systemd-analyze', ['verify', unit], { encoding: 'utf8', timeout: 20000 });
  assert.deepEqual([verify.status, verify.stderr.split('\n').filter((l) => l.includes('quorvane'))], [0, []], verify.stderr);
  assert.deepEqual([spawnSync(process.execPath, [CLI, 'service', 'uninstall'], { env }).status, fs.existsSync(unit)], [0, false]);
});

test('rules are refused whole, naming file, line, column, rule and field', () => {
  const parse = (text, o) => require('../lib/features/patchbay/rules').parseRules(text, 'r.json', o);
  const cases = [
    ['{ "routes": [ { "from": "a", "to": "b" } ] ', 'r.json:1:44: not JSON: close brace expected'],
    ['{ "routes": [], "volume": [] }', 'r.json:1:17: volume: unknown key "volume" (known: version, routes, never, volumes, defaults, devices, profiles, filters, loopbacks)'],
    ['{ "routes": [ { "from": "/^(a)-(?<n>x)$/", "to": "${n}-${3}" } ] }', 'r.json:1:44: routes[0].to: uses ${3}, but "from" captures ${1}, ${2}, ${n}'],
    ['{ "routes": [ { "from": "a", "to": "b", "ports": [["FL"]] } ] }', 'r.json:1:51: routes[0].ports[0]: must be an [output, input] pair'],
    ['{ "volumes": [ { "node": "a", "volume": "50%" } ] }', 'r.json:1:31: volumes[0].volume: must be a number from 0 to 2.154 (wpctl\'s scale: 1.0 is 100%)'],
    ['{ "defaults": { "audioSink": "a" } }', 'r.json:1:17: defaults.audioSink: must be a list of 1 to 64 node names, the preferred first'],
    ['{ "devices": [ { "name": "d" }, { "name": "d" } ] }', 'r.json:1:35: devices[1].name: a second device named "d"'],
    ['{ "routes": [ { "from": "a", "to": "b" } ], "never": [ { "from": "/^a$/", "to": "b" } ] }', 'r.json:1:56: never[0]: forbids the links routes[0] makes'],
  ];
  for (const [text, message] of cases) assert.throws(() => parse(text), { name: 'TypeError', message });
  // Every value to what it means: a node's name as createNode takes it, a band at the graph's rate.
  const filters = '{\n  "filters": [\n    { "name": "eq",\n      "filters": [{ "type": "peaking", "freq": 30000 }] }\n  ]\n}';
  assert.equal(parse(filters).filters[0].filters[0].freq, 30000, 'the rate not known yet: checked when the filter is made');
  assert.throws(() => parse(filters, { rate: 48000 }), { message: 'r.json:4:40: filters[0].filters[0].freq: must be above 0 and below 24000 Hz (half the rate, 48000 Hz), not 30000' });
  assert.throws(() => parse(`{ "devices": [ { "name": "${'n'.repeat(257)}" } ] }`), { message: 'r.json:1:18: devices[0].name: must be a text of at most 256 characters, without NUL' });
});

test('quorvane patchbay carries on across a daemon restart', async (t) => {
  const own = startDaemon({ objects: [], setEnv: false });
  const file = path.join(dir, 'restart.json');
  fs.writeFileSync(file, JSON.stringify({ routes: [{ from: 'pr-app', to: 'pr-dev' }], devices: [{ name: 'pr-dev' }] }));
  const run = startScript(CLI, ['patchbay', file, '--json'], { env: own.env });
  let fx, second;
  // An app comes (a new client of the daemon there): linked to the patchbay's device.
  const linked = async (timeoutMs) => {
    fx = new Fixture(own.env);
    await fx.add('pr-app', 'Stream/Output/Audio', '0', 'FL,FR');
    const want = ['FL', 'FR'].map((c) => `pr-app:out_${c} -> pr-dev:playback_${c}`);
    await waitFor(() => String(pwLinkPairs('pr-app', own.env)) === String(want), timeoutMs, 'the app linked to the device');
  };
  t.after(async () => (run.child.kill('SIGINT'), await fx?.close(), second?.kill('SIGKILL'), own.stop()));
  await linked(5000);
  await fx.close();
  own.kill();
  await waitFor(() => run.err.includes('PipeWire went away'), 5000, 'the tool to notice');
  second = await restartDaemon(own);
  await linked(10000);
  await waitFor(() => run.out.split('\n').filter((l) => l && JSON.parse(l).kind === 'created').length === 2, 5000, 'the device told twice');
  assert.equal((await run.stop()).code, 0, run.err);
});
