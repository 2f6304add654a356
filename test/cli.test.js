'use strict';
// The quorvane command-line tool and the examples, end to end against the
// private daemon, cross-checked with pw-link.
const test = require('node:test');
const assert = require('node:assert/strict');
const path = require('node:path');
const { spawn, spawnSync } = require('node:child_process');
const { startDaemon } = require('./helpers/daemon');
const { Fixture, waitFor, pwLinkList } = require('./helpers/fixture');

const ROOT = path.join(__dirname, '..');
const CLI = path.join(ROOT, 'bin', 'quorvane.js');
const daemon = startDaemon();
const fixture = new Fixture();

const cli = (...args) => spawnSync(process.execPath, [CLI, ...args], { encoding: 'utf8', timeout: 20000 });

// A long-running command: collects its output; stop() interrupts it.
function start(file, args, env = process.env) {
  const child = spawn(process.execPath, [file, ...args], { env, stdio: ['ignore', 'pipe', 'pipe'] });
  const run = { out: '', err: '', child };
  child.stdout.on('data', (d) => (run.out += d));
  child.stderr.on('data', (d) => (run.err += d));
  run.exited = new Promise((resolve) => child.on('close', (code, signal) => resolve({ code, signal })));
  run.stop = () => {
    child.kill('SIGINT');
    return run.exited;
  };
  return run;
}

let app;
let sink;
test.before(async () => {
  app = await fixture.add('cli-app', 'Stream/Output/Audio', 0, 2);
  sink = await fixture.add('cli-sink', 'Audio/Sink', 2, 0);
});
test.after(async () => {
  await fixture.close();
  daemon.stop();
});

test('nodes, ports and links as tables and as JSON', () => {
  let r = cli('nodes');
  assert.equal(r.status, 0, r.stderr);
  assert.match(r.stdout, /^id\s+name\s+type\s+isInput\s+isOutput$/m);
  assert.match(r.stdout, new RegExp(`^${app.id}\\s+cli-app\\s+Stream/Output/Audio\\s+true\\s+true$`, 'm'));
  r = cli('nodes', '--output', '--json');
  const outputs = JSON.parse(r.stdout);
  assert.deepEqual(outputs.map((n) => n.name).sort(), ['cli-app', 'cli-sink', 'demo-speakers']);
  r = cli('ports', '--node', 'cli-sink', '--json');
  assert.deepEqual(JSON.parse(r.stdout).map((p) => p.id), sink.inputs);
  r = cli('ports', '--node', String(app.id));
  assert.equal(r.stdout.trim().split('\n').length, 4);
  r = cli('links', '--json');
  assert.deepEqual(JSON.parse(r.stdout), []);
});

test('help, bad arguments and nothing matching', () => {
  for (const cmd of ['nodes', 'ports', 'links', 'monitor', 'wait', 'link', 'unlink']) {
    const r = cli(cmd, '--help');
    assert.equal(r.status, 0);
    assert.match(r.stdout, new RegExp(`^Usage: quorvane ${cmd}`));
  }
  assert.match(cli('--help').stdout, /^Usage: quorvane <command>/);
  assert.equal(cli().status, 2);
  const cases = [[['bogus'], 2], [['nodes', '--input', '--output'], 2], [['wait'], 2], [['wait', 'x', '--direction', 'up'], 2],
    [['link', '5'], 2], [['link', '--from', 'cli-app'], 2], [['nodes', '--colour'], 2],
    [['ports', '--node', 'nope'], 1], [['unlink', '--from', 'cli-app', '--to', String(sink.id)], 1],
    [['link', '--from', 'nope', '--to', String(sink.id)], 1]];
  for (const [args, code] of cases) {
    const r = cli(...args);
    assert.equal(r.status, code, `${args.join(' ')}: ${r.stderr}`);
    assert.match(r.stderr, /\S/, 'a message on standard error');
  }
});

test('no daemon reachable: exit code 3 and a clear message', () => {
  const env = { ...process.env, XDG_RUNTIME_DIR: '/nonexistent', PIPEWIRE_RUNTIME_DIR: '/nonexistent' };
  const r = spawnSync(process.execPath, [CLI, 'nodes'], { encoding: 'utf8', env });
  assert.equal(r.status, 3);
  assert.match(r.stderr, /no PipeWire daemon reachable/);
});

test('wait finds a node or times out', () => {
  let r = cli('wait', 'cli-app', '--direction', 'Input');
  assert.deepEqual([r.status, r.stdout.trim()], [0, String(app.id)]);
  r = cli('wait', 'cli-sink', '--direction', 'Input', '--timeout', '150');
  assert.equal(r.status, 1);
});

test('link by name holds the links until interrupted; unlink removes them', async () => {
  const run = start(CLI, ['link', '--from', 'cli-app', '--to', String(sink.id)]);
  await waitFor(() => (run.out.match(/^link-created/gm) || []).length === 2, 10000, 'two link-created lines');
  const listed = pwLinkList();
  for (let i = 0; i < 2; i++) assert.match(listed, new RegExp(`${app.outputs[i]} cli-app:out_${i + 1}`));
  assert.equal((listed.match(/\|->/g) || []).length, 2);
  const { code } = await run.stop();
  assert.equal(code, 0, run.err);
  await waitFor(() => !pwLinkList().includes('|->'), 5000, 'the links to go');

  // Port to port, removed by `quorvane unlink` from another process.
  const held = start(CLI, ['link', String(app.outputs[1]), String(sink.inputs[0])]);
  await waitFor(() => /^link-created/m.test(held.out), 10000, 'the link');
  const r = cli('unlink', '--from', 'cli-app', '--to', String(sink.id));
  assert.equal(r.status, 0, r.stderr);
  assert.match(r.stdout, /removing 1 link/);
  await waitFor(() => /^link-destroyed/m.test(held.out), 5000, 'the holder to see the removal');
  assert.equal((await held.stop()).code, 0);
});

test('monitor prints events as they happen and exits on Ctrl-C', async () => {
  const run = start(CLI, ['monitor', '--json']);
  await waitFor(() => run.out.includes('"cli-sink"'), 10000, 'the existing nodes');
  const extra = await fixture.add('cli-extra', 'Audio/Sink', 1, 0);
  await fixture.remove(extra.id);
  await waitFor(() => run.out.includes(`{"event":"node-destroyed","id":${extra.id}}`), 5000, 'the removal');
  const lines = run.out.trim().split('\n').map((l) => JSON.parse(l));
  assert.deepEqual(lines.find((e) => e.name === 'cli-extra'), { event: 'node-created', id: extra.id, name: 'cli-extra', type: 'Audio/Sink' });
  assert.deepEqual(await run.stop(), { code: 0, signal: null });
});

test('the examples run against the daemon', async () => {
  const ex = (name) => path.join(ROOT, 'examples', name);
  let r = spawnSync(process.execPath, [ex('list-graph.js')], { encoding: 'utf8', timeout: 20000 });
  assert.equal(r.status, 0, r.stderr);
  assert.match(r.stdout, new RegExp(`node ${sink.id} cli-sink \\(Audio/Sink, output\\)\\n  in  port ${sink.inputs[0]} in_1`));

  const route = start(ex('route-app-to-sink.js'), ['cli-app', 'cli-sink'], { ...process.env, HOLD_MS: '300' });
  const { code } = await route.exited;
  assert.equal(code, 0, route.err);
  assert.match(route.out, /2 link\(s\) requested/);
  assert.match(route.out, /made 2, removed 2/);

  const waiting = start(ex('wait-and-link.js'), ['cli-late-mic', 'cli-sink', '10000']);
  await waitFor(() => waiting.out.includes('waiting'), 10000, 'the example to wait');
  const mic = await fixture.add('cli-late-mic', 'Audio/Source', 0, 1);
  const done = await waiting.exited;
  assert.equal(done.code, 0, waiting.err);
  assert.match(waiting.out, new RegExp(`cli-late-mic is node ${mic.id}`));
  assert.match(waiting.out, /state active, format dynamic/);
  await fixture.remove(mic.id);
});
