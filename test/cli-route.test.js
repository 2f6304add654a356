'use strict';
// quorvane route and the routing example, end to end: property matchers on
// the command line and in a rules file, re-linking a restarted application,
// exclusivity beside another client's links (standing in for a session
// manager's), and Ctrl-C removing exactly the route's links.
const test = require('node:test');
const assert = require('node:assert/strict');
const fs = require('node:fs');
const os = require('node:os');
const path = require('node:path');
const { spawn, spawnSync } = require('node:child_process');
const { startDaemon } = require('./helpers/daemon');
const { Fixture, waitFor, linksFrom } = require('./helpers/fixture');

const CLI = path.join(__dirname, '..', 'bin', 'quorvane.js');
const daemon = startDaemon({ objects: [] });
const fixture = new Fixture();

test.after(async () => {
  await fixture.close();
  daemon.stop();
});

function start(file, args) {
  const child = spawn(process.execPath, [file, ...args], { stdio: ['ignore', 'pipe', 'pipe'] });
  const run = { out: '', err: '', child };
  child.stdout.on('data', (d) => (run.out += d));
  child.stderr.on('data', (d) => (run.err += d));
  run.exited = new Promise((resolve) => child.on('exit', (code) => resolve(code)));
  return run;
}

test('route --from/--to and examples/keep-routed.js: exclusive, re-linked after a restart, Ctrl-C removes only their links', async () => {
  const tools = [
    [CLI, ['route', '--from', 'node.name=/^cr-app-\\d$/', '--from', 'media.class=Stream/Output/Audio', '--to', 'cr-vmic', '--exclusive'],
      /^linked cr-app-\d:out_F[LR] -> cr-vmic:in_F[LR] /],
    [path.join(__dirname, '..', 'examples', 'keep-routed.js'), ['^cr-app-\\d$', 'cr-vmic', '--exclusive'], /^linked +port \d+ -> port \d+ /],
  ];
  for (const [file, args, linkedLine] of tools) {
    const vmic = await fixture.add('cr-vmic', 'Audio/Sink', 'FL,FR', '0');
    const speakers = await fixture.add('cr-speakers', 'Audio/Sink', 'FL,FR', '0');
    const other = await fixture.add('cr-other', 'Stream/Output/Audio', '0', 'FL,FR');
    let app = await fixture.add('cr-app-1', 'Stream/Output/Audio', '0', 'FR,FL');
    await fixture.link([[other.outputs[0], vmic.inputs[0]]]);
    await fixture.link([[app.outputs[0], speakers.inputs[0]]]);
    const run = start(file, args);
    // FR,FL outputs pair with the sink's FL,FR inputs by channel.
    const want = (a) => [[a.outputs[0], vmic.inputs[1]], [a.outputs[1], vmic.inputs[0]]].sort((x, y) => x[0] - y[0]);
    try {
      await waitFor(() => String(linksFrom(app.outputs)) === String(want(app)), 5000, 'only the route\'s links from the app');
      await fixture.remove(app.id);
      app = await fixture.add('cr-app-2', 'Stream/Output/Audio', '0', 'FR,FL');
      await waitFor(() => String(linksFrom(app.outputs)) === String(want(app)), 5000, 'the restarted app linked again');
    } finally {
      run.child.kill('SIGINT');
    }
    assert.deepEqual([await run.exited, run.err], [0, '']);
    assert.deepEqual(linksFrom(app.outputs), []);
    assert.deepEqual(linksFrom(other.outputs).map(String), [`${other.outputs[0]},${vmic.inputs[0]}`], 'another client\'s link into the sink stays');
    assert.equal(run.out.split('\n').filter((l) => linkedLine.test(l)).length, 4, run.out);
    await fixture.remove(app.id, vmic.id, speakers.id, other.id);
  }
});

test('route --rules keeps several routes; a bad rules file is a usage error', async () => {
  const sink = await fixture.add('rr-sink', 'Audio/Sink', 'MONO', '0');
  const a = await fixture.add('rr-a', 'Audio/Source', '0', 'FL,FR');
  const b = await fixture.add('rr-b', 'Audio/Source', '0', '2');
  // A value that only looks like /regexp/flags is a text: a path.
  const c = await fixture.add('rr-c', 'Audio/Source;object.path=/x/y', '0', 'MONO');
  const dir = fs.mkdtempSync(path.join(os.tmpdir(), 'quorvane-rules-'));
  const file = path.join(dir, 'rules.json');
  fs.writeFileSync(file, JSON.stringify({ routes: [
    { from: 'rr-a', to: { 'node.name': 'rr-sink' } },
    { from: { 'node.name': '/^rr-b$/' }, to: 'rr-sink', channels: 'positional' },
    { from: { 'object.path': '/x/y' }, to: 'rr-sink' },
  ] }));
  const run = start(CLI, ['route', '--rules', file]);
  const outputs = [...a.outputs, ...b.outputs, ...c.outputs];
  try {
    // Both stereo sides into the one MONO input; b has no channels.
    await waitFor(() => linksFrom(outputs).length === 4, 5000, 'the links of the three routes');
    assert.deepEqual(linksFrom(outputs).map((p) => p[1]), Array(4).fill(sink.inputs[0]));
  } finally {
    run.child.kill('SIGINT');
  }
  assert.equal(await run.exited, 0, run.err);
  assert.deepEqual(linksFrom(outputs), []);
  assert.match(run.out, /^route 1: linked rr-a:out_FL -> rr-sink:in_MONO/m);

  fs.writeFileSync(file, JSON.stringify({ routes: [{ from: 5, to: 'x' }] }));
  const usage = [[['--rules', file], /route 1: "from" must be a node name or an object of property patterns/],
    [['--from', 'x'], /at least one --to/],
    // Two names for one key can never both match: refused, not the last kept.
    [['--from', 'x', '--from', 'y', '--to', 'z'], /--from gives "node.name" twice/]];
  for (const [args, message] of usage) {
    const r = spawnSync(process.execPath, [CLI, 'route', ...args], { encoding: 'utf8' });
    assert.equal(r.status, 2, args.join(' '));
    assert.match(r.stderr, message);
  }
  fs.rmSync(dir, { recursive: true, force: true });
  await fixture.remove(sink.id, a.id, b.id, c.id);
});
