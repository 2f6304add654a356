'use strict';
// The quorvane tool, the demo and an example against the private daemon, cross-checked with pw-link (the
// fixture holds links of its own beside the tool's); what a one-shot run loads, its compile cache, and the
// tool when its reader goes away or the daemon dies under it.
const test = require('node:test');
const assert = require('node:assert/strict');
const fs = require('node:fs');
const path = require('node:path');
const { spawnSync } = require('node:child_process');
const { startDaemon } = require('./helpers/daemon');
const { Fixture, waitFor, pwDump, pwLinkList, pwMetadata, linksFrom } = require('./helpers/fixture');
const { privateDaemon } = require('./helpers/setup');
const { startScript, runChild, cli, CLI } = require('./helpers/child');
const { scratch, restartDaemon } = require('./helpers/cli');

const ROOT = path.join(__dirname, '..');
const { fixture } = privateDaemon();

const node = (file, args, env) => spawnSync(process.execPath, [file, ...args], { encoding: 'utf8', timeout: 30000, env });

// Whether the tools `runs` runs have connected (their clients are in the graph of `env`).
const connected = (runs, env, pids = pwDump(env).map((o) => String(o.info?.props?.['application.process.id']))) =>
  runs.every((r) => pids.includes(String(r.child.pid)));
const linkIds = () => pwDump().filter((o) => o.type === 'PipeWire:Interface:Link').map((o) => o.id).sort((a, b) => a - b);

let app, sink;
test.before(async () => ([app, sink] = [await fixture.add('cli-app', 'Stream/Output/Audio', 0, 2), await fixture.add('cli-sink', 'Audio/Sink', 2, 0)]));

test('nodes and ports: tables and JSON, filtered, each node\'s role in words', () => {
  const r = cli('nodes');
  for (const row of ['id name type role state description application$', `${app.id} cli-app Stream/Output/Audio playback stream suspended - -$`,
    `${sink.id} cli-sink Audio/Sink playback device `, '\\d+ demo-microphone Audio/Source capture device ']) {
    assert.match(r.stdout, new RegExp(`^${row.replace(/ /g, '\\s+')}`, 'm'), r.stderr);
  }
  const json = (...args) => JSON.parse(cli(...args, '--json').stdout);
  assert.deepEqual([json('nodes', '--output').map((n) => n.name).sort(), json('nodes', '--type', 'Audio/Sink', '--props').map((n) => [n.name, n.props['media.class']]).sort()],
    [['cli-app', 'cli-sink', 'demo-speakers'], [['cli-sink', 'Audio/Sink'], ['demo-speakers', 'Audio/Sink']]]);
  // Info properties (the library) beside the global's.
  assert.match(cli('nodes', '--type', 'Audio/Source', '--props').stdout, /^ {2}library\.name = "audioconvert\/libspa-audioconvert"$/m);

  assert.deepEqual(json('ports', '--node', 'cli-sink').map((p) => [p.id, p.name, p.direction]),
    [[sink.inputs[0], 'in_1', 'in'], [sink.inputs[1], 'in_2', 'in']]);
});

test('failures exit with their code and one line saying what is wrong', async () => {
  // Every native library refused, as where libpipewire is missing: help for
  // the tool and each command all the same, the load error for a command.
  const noAddon = (...args) => runChild(`process.dlopen = () => { throw new Error('no native library'); };
    process.argv.splice(1, 0, ...${JSON.stringify([CLI, ...args])}); require(process.argv[1]);`,
    { preload: false, timeoutMs: 30000 });
  const commands = Object.keys(require('../lib/cli/help').HELP);
  const helps = await Promise.all([...commands.map((c) => (c === 'main' ? noAddon() : noAddon(c, '--help'))), noAddon('nodes')]);
  commands.forEach((c, i) => assert.ok(`${helps[i].code}${helps[i].stderr} ${helps[i].stdout}`.startsWith(`0 Usage: quorvane ${c === 'main' ? '<command>' : c} `), c));
  assert.match(helps[commands.indexOf('main')].stdout, /Exit codes: 0 success[^]*4 the daemon went away/);
  assert.deepEqual([helps.at(-1).code, /no native library/.test(helps.at(-1).stderr)], [1, true], helps.at(-1).stderr);
  // Run through npx from its cache: no unit naming files npm prunes.
  const dir = scratch('quorvane-npx-');
  const npxBin = path.join(dir, '_npx', '5e1f', 'node_modules', '.bin');
  fs.mkdirSync(npxBin, { recursive: true });
  fs.symlinkSync(CLI, path.join(npxBin, 'quorvane'));
  fs.writeFileSync(path.join(dir, 'rules.json'), '{ "routes": [] }');
  const npx = node(path.join(npxBin, 'quorvane'), ['service', 'install', path.join(dir, 'rules.json')], { ...process.env, XDG_CONFIG_HOME: dir });
  const [in1, out1] = [sink.inputs[0], app.outputs[0]];
  const cases = [
    [['bogus'], 2, /unknown command "bogus"/], [['nodes', '--input', '--output'], 2, /exclude/],
    [['link', 'cli-app', 'cli-sink:in_1'], 2, /"cli-app" is not a port: give NODE:PORT/], [['unlink', 'x'], 2, /LINK_ID must be a number/],
    // Two names for one key can never both match: refused, not the last kept.
    [['route', '--from', 'x', '--from', 'y', '--to', 'z'], 2, /--from gives "node.name" twice/],
    [['link', 'nope:out_1', 'cli-sink:in_1'], 1, /^quorvane: no node named "nope"$/m], [['link', 'cli-app:out_9', 'cli-sink:in_1'], 1, /^quorvane: no port "cli-app:out_9"$/m],
    [['link', String(in1), String(out1)], 1, new RegExp(`^quorvane: port ${in1} is an input port$`, 'm')],
    [['link', 'cli-app:out_1', 'cli-app:out_2'], 1, /^quorvane: port "cli-app:out_2" is an output port$/m],
    [['link', '--from', 'cli-sink', '--to', 'cli-app'], 1, /node "cli-sink" has no output ports/], [['unlink', 'cli-app:out_1', 'cli-sink:in_1'], 1, /no link from cli-app:out_1 to cli-sink:in_1/],
    [['wait', 'cli-sink', '--direction', 'Input', '--timeout', '150'], 1, /no node named "cli-sink" within 150 ms/],
    [['create', 'speaker', 'x'], 2, /create: unknown kind "speaker" \(known: sink, mic, duplex\)/],
    // Numbers that are not ids: refused, never wrapped (2³²+19 is not port 19).
    [['link', String(2 ** 32 + out1), String(in1)], 2, new RegExp(`port ${2 ** 32 + out1}: an id must be a whole number from 0 to 4294967295`)],
    [['link', '19.75', String(in1)], 2, /port 19\.75: an id must be a whole number/], [['unlink', '-1'], 2, /link -1: an id must be/],
    [['volume', 'NaN'], 2, /node NaN: an id must be a whole number from 0 to 4294967295, not NaN/],
    [['service', 'install'], 1, /runs from npx's cache \(.*\/_npx\), which npm prunes[^]*Install the package first/, npx],
  ];
  const nowhere = { ...process.env, XDG_RUNTIME_DIR: '/nonexistent', PIPEWIRE_RUNTIME_DIR: '/nonexistent' };
  for (const [args, code, message, r = node(CLI, args, code === 3 ? nowhere : undefined)] of [...cases, [['nodes'], 3, /no PipeWire daemon reachable/]]) {
    assert.deepEqual([r.status, message.test(r.stderr), /\n\s+at /.test(r.stderr)], [code, true, false], `${args.join(' ')}: ${r.stderr}`); // no stack trace
  }
  assert.deepEqual(fs.readdirSync(dir).sort(), ['_npx', 'rules.json'], 'no unit written');
});

test('a listing larger than a pipe reaches a late reader whole', async () => {
  const ids = await fixture.addMany(800, 'cli-many', 'Audio/Sink', 0, 0);
  const run = startScript(CLI, ['nodes', '--json', '--props']);
  run.child.stdout.pause();
  // Not read until the tool has ended, or has waited a while for the reader.
  await Promise.race([run.exited, new Promise((resolve) => setTimeout(resolve, 1000))]);
  run.child.stdout.resume();
  assert.deepEqual([await run.exited, run.out.length > 200 * 1024, JSON.parse(run.out).filter((n) => n.name.startsWith('cli-many-')).length],
    [{ code: 0, signal: null }, true, 800], `${run.out.length} bytes`);
  await fixture.remove(...ids);
});

test('wait and monitor report a later node, its changes and removal, until Ctrl-C', async () => {
  const late = startScript(CLI, ['wait', 'cli-late', '--timeout', '20000']);
  const never = startScript(CLI, ['wait', 'never-there', '--timeout', '60000']);
  const monitor = startScript(CLI, ['monitor', '--json']);
  await waitFor(() => connected([late, never]) && monitor.out.includes('"cli-sink"'), 10000, 'the tools to connect');
  const added = await fixture.add('cli-late', 'Audio/Sink', 1, 0);
  assert.deepEqual([await late.exited, late.out], [{ code: 0, signal: null }, `${added.id}\n`]);
  await waitFor(() => monitor.out.includes(`{"event":"node-changed","id":${added.id},`), 5000, 'its info');
  await fixture.setProps(added.id, { 'media.name': 'a "title"' });
  await fixture.remove(added.id);
  await waitFor(() => monitor.out.includes(`{"event":"node-destroyed","id":${added.id}}`), 5000, 'the removal');
  const lines = monitor.out.trim().split('\n').map((l) => JSON.parse(l));
  assert.deepEqual(lines.find((e) => e.name === 'cli-late'), { event: 'node-created', id: added.id, name: 'cli-late', type: 'Audio/Sink' });
  // Its info (state and every property), then only what changed.
  const changes = lines.filter((e) => e.event === 'node-changed' && e.id === added.id);
  assert.deepEqual([changes[0].state, changes.at(-1)], ['suspended', { event: 'node-changed', id: added.id, props: { 'media.name': 'a "title"' } }]);
  assert.deepEqual(await monitor.stop(), { code: 0, signal: null });
  const t = Date.now();
  assert.deepEqual([await never.stop(), Date.now() - t < 5000], [{ code: 130, signal: null }, true], 'Ctrl-C ends the wait');
});

test('link and unlink remove only their own links', async () => {
  const src = await fixture.add('cli-src', 'Stream/Output/Audio', 0, 2);
  const player = await fixture.add('cli-player', 'Stream/Output/Audio', 0, 1);
  const [theirs] = await fixture.link([[src.outputs[0], sink.inputs[0]]]);
  // The id of the link `run` made, once it holds it.
  const holding = async (run) => (await waitFor(() => /^holding/m.test(run.out), 10000, 'the links to be held'), Number(run.out.match(/^link-created (\d+) /m)[1]));
  const run = startScript(CLI, ['link', '--from', 'cli-src', '--to', String(sink.id)]);
  const made = await holding(run);
  assert.match(run.out, /^already linked cli-src:out_1 -> cli-sink:in_1\n[^]*^holding 1 link\(s\) until interrupted \(1 already linked, left alone\)$/m);
  assert.match(pwLinkList(), new RegExp(`^\\s*${made}\\s+\\|->\\s+${sink.inputs[1]} cli-sink:in_2$`, 'm'));
  // A session manager linking a new player meanwhile: not the tool's link.
  const [other] = await fixture.link([[player.outputs[0], sink.inputs[0]]]);
  assert.deepEqual(await run.stop(), { code: 0, signal: null }, run.err);
  assert.deepEqual(run.out.match(/^link-(created \d+|destroyed \d+$)/gm), [`link-created ${made}`, `link-destroyed ${made}`], run.out);
  assert.deepEqual(linkIds(), [theirs, other].sort((a, b) => a - b));

  // Nothing of its own to hold: it says so and ends.
  const r = cli('link', 'cli-src:out_1', 'cli-sink:in_1');
  assert.deepEqual([r.status, r.stdout], [0, 'already linked cli-src:out_1 -> cli-sink:in_1\n'], r.stderr);
  const held = startScript(CLI, ['link', 'cli-src:out_2', String(sink.inputs[1])]);
  const id = await holding(held);
  // Removed by another process, by port names: the holder sees it go.
  const u = cli('unlink', 'cli-src:out_2', 'cli-sink:in_2');
  assert.deepEqual([u.status, u.stdout], [0, `removing 1 link(s)\nlink-destroyed ${id}\n`], u.stderr);
  await waitFor(() => held.out.includes(`link-destroyed ${id}`), 5000, 'the holder to see the removal');
  assert.equal((await held.stop()).code, 0);
  // By link id, whoever made it.
  assert.deepEqual([cli('unlink', String(theirs)).status, linkIds()], [0, [other]]);
});

// The link rule itself is link-rules.test.js's; here the command line that sets it up and takes it down.
test('route --exclusive keeps only its links from the app, again after a restart; route --rules keeps several', async (t) => {
  let [vmic, speakers, other, app] = await Promise.all([['cr-vmic', 'Audio/Sink', 'FL,FR', 0], ['cr-speakers', 'Audio/Sink', 'FL,FR', 0],
    ['cr-other', 'Stream/Output/Audio', 0, 'FL,FR'], ['cr-app-1', 'Stream/Output/Audio', 0, 'FR,FL']].map((a) => fixture.add(...a)));
  await fixture.link([[other.outputs[0], vmic.inputs[0]], [app.outputs[0], speakers.inputs[0]]]);
  const run = startScript(CLI, ['route', '--from', 'node.name=/^cr-app-\\d$/', '--from', 'media.class=Stream/Output/Audio', '--to', 'cr-vmic', '--exclusive']);
  // FR,FL outputs pair with the sink's FL,FR inputs by channel.
  const want = (a) => [[a.outputs[0], vmic.inputs[1]], [a.outputs[1], vmic.inputs[0]]].sort((x, y) => x[0] - y[0]);
  t.after(() => run.child.kill('SIGINT'));
  await waitFor(() => String(linksFrom(app.outputs)) === String(want(app)), 5000, 'only the route\'s links from the app');
  await fixture.remove(app.id);
  app = await fixture.add('cr-app-2', 'Stream/Output/Audio', '0', 'FR,FL');
  await waitFor(() => String(linksFrom(app.outputs)) === String(want(app)), 5000, 'the restarted app linked again');
  // Another client's link into the sink stays.
  assert.deepEqual([(await run.stop()).code, run.err, linksFrom(app.outputs), linksFrom(other.outputs)], [0, '', [], [[other.outputs[0], vmic.inputs[0]]]]);
  assert.equal(run.out.split('\n').filter((l) => /^linked cr-app-\d:out_F[LR] -> cr-vmic:in_F[LR] /.test(l)).length, 4, run.out);

  // rr-c: a value that only looks like /regexp/flags is a text: a path.
  const [mono, a, b, c] = await Promise.all([['rr-sink', 'Audio/Sink', 'MONO', 0], ['rr-a', 'Audio/Source', 0, 'FL,FR'], ['rr-b', 'Audio/Source', 0, 2],
    ['rr-c', 'Audio/Source;object.path=/x/y', 0, 'MONO']].map((x) => fixture.add(...x)));
  const file = path.join(scratch('quorvane-rules-'), 'rules.json');
  fs.writeFileSync(file, JSON.stringify({ routes: [{ from: 'rr-a', to: { 'node.name': 'rr-sink' } },
    { from: { 'node.name': '/^rr-b$/' }, to: 'rr-sink', channels: 'positional' },
    { from: { 'object.path': '/x/y' }, to: 'rr-sink' }] }));
  const rules = startScript(CLI, ['route', '--rules', file]);
  t.after(() => rules.child.kill('SIGINT'));
  const outputs = [...a.outputs, ...b.outputs, ...c.outputs];
  // Both stereo sides into the one MONO input; b has no channels.
  await waitFor(() => String(linksFrom(outputs).map((p) => p[1])) === String(Array(4).fill(mono.inputs[0])), 5000, 'the links of the three routes');
  assert.deepEqual([(await rules.stop()).code, linksFrom(outputs)], [0, []], rules.err);
  assert.match(rules.out, /^route 1: linked rr-a:out_FL -> rr-sink:in_MONO/m);
  // A bad rules file is a usage error; the patchbay's other sections (never) are the patchbay's.
  for (const [bad, error] of [[{ routes: [{ from: 5, to: 'x' }] }, `${file}:1:13: routes[0].from: must be a node name or an object of property patterns`],
    [{ routes: [{ from: 'a', to: 'b' }], never: [{ from: 'a', to: 'c' }] }, `${file} holds "never" beside its routes: run it with quorvane patchbay ${file}`]]) {
    fs.writeFileSync(file, JSON.stringify(bad));
    const r = cli('route', '--rules', file);
    assert.deepEqual([r.status, r.stderr], [2, `quorvane: ${error}\n`]);
  }
});

test('wpctl\'s conventions and the argument forms read as wpctl reads them', async (t) => {
  await fixture.addMetadata('default');
  pwMetadata([0, 'default.audio.sink', '{"name":"demo-speakers"}', 'Spa:String:JSON']);
  const odd = await fixture.add('--odd', 'Audio/Sink', 1, 0);
  // A wait for a default that is not set yet ends when it is.
  const late = startScript(CLI, ['wait', '@DEFAULT_VIDEO_SOURCE@', '--timeout=20000']);
  t.after(async () => (late.child.kill('SIGINT'), await fixture.remove(odd.id)));
  const cases = [
    [['volume', '@DEFAULT_AUDIO_SINK@', '215%'], 0, /^Volume: 2\.15\n$/],
    // A step up stops at the most a node takes (10 linear), a step down goes from there.
    [['volume', '@DEFAULT_SINK@', '5%+', '--json'], 0, /"volume":2\.154435,"channelVolumes":\[10,10\]/],
    [['volume', 'demo-speakers', '300%'], 2, /^$/, /above the most a node takes, 215% \(2\.1544/],
    [['volume', 'demo-speakers', '5%-'], 0, /^Volume: 2\.10\n$/], [['volume', 'demo-speakers', '0.1-', '-h'], 0, /^Usage: quorvane volume/],
    [['volume', '--', 'demo-speakers', '5%'], 0, /^Volume: 0\.05\n$/], [['nodes', '--json=yes'], 2, /^$/, /--json takes no value/],
    [['ports', '--node=@DEFAULT_AUDIO_SINK@'], 0, /^\d+\s+\d+\s+demo-speakers:playback_FL\s+in\s+audio$/m],
    [['wait', 'x', '--timeout', '-h'], 2, /^$/, /--timeout must be a number, got "-h"/],
    [['wait', '--timeout=5000', '--', '--odd'], 0, new RegExp(`^${odd.id}\n$`)],
    [['wait', 'cli-app', '--direction', 'Input'], 0, new RegExp(`^${app.id}\n$`)],
  ];
  for (const [args, code, out, err = /^$/] of cases) {
    const r = cli(...args);
    assert.deepEqual([r.status, out.test(r.stdout), err.test(r.stderr)], [code, true, true], `${args.join(' ')}: ${r.stdout}${r.stderr}`);
  }
  await waitFor(() => connected([late]), 10000, 'the wait to connect');
  pwMetadata([0, 'default.video.source', '{"name":"--odd"}', 'Spa:String:JSON']);
  assert.deepEqual([await late.exited, late.out], [{ code: 0, signal: null }, `${odd.id}\n`], late.err);
});

// The examples share their own-link bookkeeping (examples/own-links.js) with the demo.
test('the demo starts a daemon of its own; an example stops on a refusal', async (t) => {
  const refusing = startDaemon({ setEnv: false, linkFactory: false });
  t.after(() => refusing.stop());
  const empty = scratch('quorvane-nodaemon-');
  let r = node(path.join(ROOT, 'examples', 'wait-and-link.js'), ['demo-microphone', 'demo-speakers', '2000'], refusing.env);
  assert.match(`${r.status} ${r.signal} ${r.stderr}`, /^1 null [^]*the daemon did not make 2 link\(s\): refused/, r.stdout);
  r = node(path.join(ROOT, 'bin', 'demo.js'), [], { ...process.env, XDG_RUNTIME_DIR: empty, PIPEWIRE_RUNTIME_DIR: empty });
  assert.match(`${r.status} ${r.stdout}`, /^0 [^]*  2 link\(s\) made\n[^]*  2 removed/, r.stderr);
  const dir = r.stdout.match(/^No PipeWire daemon was reachable: started a private one \((.*)\)$/m) ?? assert.fail(r.stdout);
  assert.equal(fs.existsSync(dir[1]), false, 'the private daemon\'s folder is removed');
});

// The tool without NODE_COMPILE_CACHE; bounded, so that a tool that spins fails the test.
const quorvane = (args, env, preload = []) =>
  spawnSync(process.execPath, [...preload, CLI, ...args], { env: { ...env, NODE_COMPILE_CACHE: undefined }, encoding: 'utf8', timeout: 20000 });
const speed = scratch('quorvane-cli-speed-');

test('the commands that only read the graph load neither the Graph nor the help texts', () => {
  // Writes the modules the run loaded, as it exits.
  const [preload, to] = ['record-modules.js', 'modules.json'].map((f) => path.join(speed, f));
  fs.writeFileSync(preload, `process.on('exit', () => require('fs').writeFileSync(process.env.MODULES_TO, JSON.stringify(Object.keys(require.cache))));\n`);
  for (const args of [['nodes', '--json'], ['ports'], ['links', '--json'], ['default'], ['volume', 'demo-speakers']]) {
    const r = quorvane(args, { ...process.env, MODULES_TO: to }, ['--require', preload]);
    assert.equal(r.status, 0, `${args.join(' ')}: ${r.stderr}`);
    const loaded = JSON.parse(fs.readFileSync(to, 'utf8')).map((file) => path.relative(ROOT, file));
    assert.deepEqual(['connection/connection', 'graph/graph', 'cli/help'].map((m) => loaded.includes(`lib/${m}.js`)), [true, false, false], args.join(' '));
  }
});

test("the compile cache is kept in this user's own directory under TMPDIR, and a TMPDIR that cannot hold it changes nothing", () => {
  const [tmp, theirs] = ['tmp-', 'theirs-'].map((p) => path.join(fs.mkdtempSync(path.join(speed, p)), 'node-compile-cache'));
  // Someone else's directory (root can make one) is not used; under /proc one can be neither made nor used.
  const root = process.getuid() === 0;
  if (root) (fs.mkdirSync(theirs, { mode: 0o777 }), fs.chownSync(theirs, 65534, 65534));
  for (const dir of [path.dirname(tmp), '/proc', '/proc/no-such-dir', ...(root ? [path.dirname(theirs)] : [])]) {
    const r = quorvane(['--help'], { ...process.env, TMPDIR: dir });
    assert.deepEqual([r.status, r.signal, r.stdout.startsWith('Usage: quorvane')], [0, null, true], `${dir}: ${r.stderr}`);
  }
  assert.ok(fs.readdirSync(tmp).some((tag) => fs.readdirSync(path.join(tmp, tag)).length > 0), 'modules cached');
  if (root) assert.deepEqual(fs.readdirSync(theirs), [], "another user's directory was used");
});

test('tools end cleanly when their reader or the daemon goes; --reconnect carries on', async (t) => {
  const daemon = startDaemon({ setEnv: false });
  t.after(() => daemon.stop());
  const run = (args, options) => startScript(CLI, args, { env: daemon.env, ...options });
  let fixture = new Fixture(daemon.env);
  const [first, firstSink] = await Promise.all([['back-app', 'Stream/Output/Audio', 0, 2],
    ['back-sink', 'Audio/Sink', 2, 0], ['gone-sink', 'Audio/Sink', 1, 0]].map((a) => fixture.add(...a)));
  const commands = [['nodes', '--props'], ['ports'], ['links', '--json'], ['wait', 'back-app'], ['monitor'],
    ['link', String(first.outputs[0]), String(firstSink.inputs[0])]];
  for (const r of commands.map((args) => run(args, { closeOutput: true }))) assert.deepEqual([await r.exited, r.err], [{ code: 0, signal: null }, ''], r.child.spawnargs.join(' '));
  const ending = [run(['monitor']), run(['link', '--from', 'back-app', '--to', 'gone-sink']), run(['wait', 'never-there', '--timeout', '60000'])];
  const [monitor, held] = [run(['monitor', '--reconnect']), run(['link', '--from', 'back-app', '--to', 'back-sink', '--reconnect'])];
  await waitFor(() => connected([...ending, monitor, held], daemon.env), 10000, 'the tools to connect');
  await waitFor(() => [ending[0], monitor].every((r) => r.out.includes('back-sink')) &&
    [ending[1], held].every((r) => r.out.includes('holding')), 10000, 'the tools to run');
  await fixture.close();
  daemon.kill();
  for (const r of ending) {
    assert.deepEqual(await r.exited, { code: 4, signal: null }, r.err);
    // One line saying why, no stack trace.
    assert.deepEqual([r.err.split('\n').filter((l) => l.startsWith('quorvane:')).map((l) => l.split(' (')[0]), /\n\s+at /.test(r.err)], [['quorvane: PipeWire went away'], false], r.err);
  }
  await waitFor(() => [monitor, held].every((r) => r.err.includes('PipeWire went away')), 10000, 'the tools to notice');

  // A new daemon where the killed one was; ids come round again, so only output from here on counts.
  const [monitorSeen, heldSeen] = [monitor.out.length, held.out.length];
  const second = await restartDaemon(daemon);
  t.after(() => second.kill('SIGKILL'));
  fixture = new Fixture(daemon.env);
  const app = await fixture.add('back-app', 'Stream/Output/Audio', 0, 2);
  const sink = await fixture.add('back-sink', 'Audio/Sink', 2, 0);
  await waitFor(() => monitor.out.slice(monitorSeen).includes(`node-created ${sink.id} "back-sink"`), 10000, 'monitor to print the new graph');
  // The links it held are made again on the new daemon, once both ends are whole.
  const again = () => held.out.slice(heldSeen);
  await waitFor(() => (again().match(/^link-created/gm) || []).length === 2, 10000, 'the links to be made again');
  assert.match(again(), new RegExp(`^link-created \\d+ ${app.id}:${app.outputs[1]} -> ${sink.id}:${sink.inputs[1]}$`, 'm'));
  for (const r of [monitor, held]) {
    assert.deepEqual([await r.stop(), /PipeWire is back/.test(r.err)], [{ code: 0, signal: null }, true], r.err);
  }
  await fixture.close();
});
