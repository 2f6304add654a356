'use strict';
// The quorvane command-line tool and the examples, end to end against the
// private daemon, cross-checked with pw-link. Another client (the fixture)
// holds links of its own beside the tool's.
const test = require('node:test');
const assert = require('node:assert/strict');
const fs = require('node:fs');
const os = require('node:os');
const path = require('node:path');
const { spawn, spawnSync } = require('node:child_process');
const { startDaemon } = require('./helpers/daemon');
const { Fixture, waitFor, pwDump, pwLinkList } = require('./helpers/fixture');

const ROOT = path.join(__dirname, '..');
const CLI = path.join(ROOT, 'bin', 'quorvane.js');
const ex = (name) => path.join(ROOT, 'examples', name);
const daemon = startDaemon();
const fixture = new Fixture();

const node = (file, args, env) => spawnSync(process.execPath, [file, ...args], { encoding: 'utf8', timeout: 30000, env });
const cli = (...args) => node(CLI, args);

// A long-running command: collects its output; stop() interrupts it.
function start(file, args, env = process.env) {
  const child = spawn(process.execPath, [file, ...args], { env, stdio: ['ignore', 'pipe', 'pipe'] });
  const run = { out: '', err: '', child };
  child.stdout.on('data', (d) => (run.out += d));
  child.stderr.on('data', (d) => (run.err += d));
  run.exited = new Promise((resolve) => child.on('close', (code, signal) => resolve({ code, signal })));
  run.stop = () => (child.kill('SIGINT'), run.exited);
  return run;
}
const linkIds = (env = process.env) => pwDump(env).filter((o) => o.type === 'PipeWire:Interface:Link').map((o) => o.id).sort((a, b) => a - b);
const sorted = (...ids) => ids.sort((a, b) => a - b);

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

test('nodes, ports and links as tables and as JSON, filtered by name, class and side', () => {
  let r = cli('nodes');
  assert.equal(r.status, 0, r.stderr);
  assert.match(r.stdout, /^id\s+name\s+type\s+side\s+state\s+description\s+application$/m);
  assert.match(r.stdout, new RegExp(`^${app.id}\\s+cli-app\\s+Stream/Output/Audio\\s+in/out\\s+suspended\\s+-\\s+-$`, 'm'));
  const json = (...args) => JSON.parse(cli(...args, '--json').stdout);
  const outputs = json('nodes', '--output');
  assert.deepEqual(outputs.map((n) => n.name).sort(), ['cli-app', 'cli-sink', 'demo-speakers']);
  assert.equal(outputs[0].props, undefined);
  const sinks = json('nodes', '--type', 'Audio/Sink', '--props');
  assert.deepEqual(sinks.map((n) => n.name).sort(), ['cli-sink', 'demo-speakers']);
  assert.equal(sinks.find((n) => n.name === 'cli-sink').props['media.class'], 'Audio/Sink');
  // Info properties (the library) beside the global's.
  r = cli('nodes', '--type', 'Audio/Source', '--props');
  assert.match(r.stdout, /^node \d+ demo-microphone \(Audio\/Source, in, suspended\)\n {2}factory\.name = "audiotestsrc"$/m);
  assert.match(r.stdout, /^ {2}library\.name = "audioconvert\/libspa-audioconvert"$/m);

  assert.deepEqual(json('ports', '--node', 'cli-sink').map((p) => [p.id, p.name, p.direction]),
    [[sink.inputs[0], 'in_1', 'in'], [sink.inputs[1], 'in_2', 'in']]);
  r = cli('ports', '--node', String(app.id));
  assert.match(r.stdout, new RegExp(`^${app.outputs[1]}\\s+${app.id}\\s+cli-app:out_2\\s+out$`, 'm'));
  assert.equal(r.stdout.trim().split('\n').length, 4);
  assert.deepEqual(json('links'), []);
});

test('help, bad arguments, no daemon, and errors that say what was not found', () => {
  for (const cmd of ['nodes', 'ports', 'links', 'monitor', 'wait', 'link', 'unlink']) {
    assert.match(cli(cmd, '--help').stdout, new RegExp(`^Usage: quorvane ${cmd}`));
  }
  const bare = cli();
  assert.equal(bare.status, 0, 'bare: the help, as asked for');
  assert.match(bare.stdout, /^Usage: quorvane <command>[^]*Exit codes: 0 success[^]*4 the daemon went away/);
  const [in1, out1] = [sink.inputs[0], app.outputs[0]];
  const cases = [
    [['bogus'], 2, /unknown command "bogus"/], [['nodes', '--input', '--output'], 2, /exclude/], [['wait'], 2, /NAME/],
    [['wait', 'x', '--direction', 'up'], 2, /--direction/], [['link', '5'], 2, /OUT_PORT IN_PORT/],
    [['link', '--from', 'cli-app'], 2, /--from NODE --to/], [['nodes', '--colour'], 2, /unknown option --colour/],
    [['link', 'cli-app', 'cli-sink:in_1'], 2, /"cli-app" is not a port: give NODE:PORT/], [['unlink', 'x'], 2, /LINK_ID must be a number/],
    [['link', 'nope:out_1', 'cli-sink:in_1'], 1, /^quorvane: no node named "nope"$/m],
    [['link', 'cli-app:out_9', 'cli-sink:in_1'], 1, /^quorvane: no port "cli-app:out_9"$/m],
    [['link', String(in1), String(out1)], 1, new RegExp(`^quorvane: port ${in1} is an input port$`, 'm')],
    [['link', 'cli-app:out_1', 'cli-app:out_2'], 1, /^quorvane: port "cli-app:out_2" is an output port$/m],
    [['link', '999999', 'cli-sink:in_1'], 1, /^quorvane: no port 999999$/m],
    [['link', '--from', 'cli-app', '--to', '999999'], 1, /^quorvane: no node 999999$/m],
    [['link', '--from', 'cli-sink', '--to', 'cli-app'], 1, /node "cli-sink" has no output ports/],
    [['unlink', '--from', 'cli-app', '--to', String(sink.id)], 1, /no links from "cli-app" to "\d+"/],
    [['unlink', 'cli-app:out_1', 'cli-sink:in_1'], 1, /no link from cli-app:out_1 to cli-sink:in_1/],
    [['unlink', '999999'], 1, /^quorvane: no link 999999$/m],
    [['wait', 'cli-sink', '--direction', 'Input', '--timeout', '150'], 1, /no node named "cli-sink" within 150 ms/],
  ];
  const nowhere = { ...process.env, XDG_RUNTIME_DIR: '/nonexistent', PIPEWIRE_RUNTIME_DIR: '/nonexistent' };
  for (const [args, code, message, r = node(CLI, args, code === 3 ? nowhere : undefined)] of [...cases, [['nodes'], 3, /no PipeWire daemon reachable/]]) {
    assert.equal(r.status, code, `${args.join(' ')}: ${r.stderr}`);
    assert.match(r.stderr, message, args.join(' '));
    assert.doesNotMatch(r.stderr, /\n\s+at /, 'no stack trace');
  }
});

test('a listing larger than a pipe holds reaches a reader that is late to read, whole', async () => {
  const ids = await fixture.addMany(800, 'cli-many', 'Audio/Sink', 0, 0);
  const run = start(CLI, ['nodes', '--json', '--props']);
  run.child.stdout.pause();
  // Not read until the tool has ended, or has waited a while for the reader.
  await Promise.race([run.exited, new Promise((resolve) => setTimeout(resolve, 1000))]);
  run.child.stdout.resume();
  assert.deepEqual(await run.exited, { code: 0, signal: null });
  assert.ok(run.out.length > 200 * 1024, `${run.out.length} bytes`);
  assert.equal(JSON.parse(run.out).filter((n) => n.name.startsWith('cli-many-')).length, 800);
  await fixture.remove(...ids);
});

test('wait finds a node, finds one that comes later, and stops at once on Ctrl-C', async () => {
  const r = cli('wait', 'cli-app', '--direction', 'Input');
  assert.deepEqual([r.status, r.stdout.trim()], [0, String(app.id)]);

  const connected = (run) => () =>
    pwDump().some((o) => o.type === 'PipeWire:Interface:Client' && String(o.info.props['application.process.id']) === String(run.child.pid));
  const [late, never] = [start(CLI, ['wait', 'cli-late', '--timeout', '20000']), start(CLI, ['wait', 'never-there', '--timeout', '60000'])];
  await waitFor(() => connected(late)() && connected(never)(), 10000, 'the waits to connect');
  const added = await fixture.add('cli-late', 'Audio/Sink', 1, 0);
  assert.deepEqual(await late.exited, { code: 0, signal: null });
  assert.equal(late.out, `${added.id}\n`);
  await fixture.remove(added.id);
  const t = Date.now();
  assert.deepEqual(await never.stop(), { code: 130, signal: null });
  assert.ok(Date.now() - t < 5000, 'Ctrl-C ends the wait');
});

test('link and unlink make, report and remove only their own links, beside another client\'s', async () => {
  const src = await fixture.add('cli-src', 'Stream/Output/Audio', 0, 2);
  const player = await fixture.add('cli-player', 'Stream/Output/Audio', 0, 1);
  const [theirs] = await fixture.link([[src.outputs[0], sink.inputs[0]]]);
  const run = start(CLI, ['link', '--from', 'cli-src', '--to', String(sink.id)]);
  await waitFor(() => /^holding/m.test(run.out), 10000, 'the links to be held');
  assert.match(run.out, /^already linked cli-src:out_1 -> cli-sink:in_1$/m);
  assert.match(run.out, /^holding 1 link\(s\) until interrupted \(1 already linked, left alone\)$/m);
  const made = [...run.out.matchAll(/^link-created (\d+) /gm)].map((m) => Number(m[1]));
  assert.equal(made.length, 1, run.out);
  assert.match(pwLinkList(), new RegExp(`^\\s*${made[0]}\\s+\\|->\\s+${sink.inputs[1]} cli-sink:in_2$`, 'm'));
  // A session manager linking a new player meanwhile: not the tool's link.
  const [other] = await fixture.link([[player.outputs[0], sink.inputs[0]]]);
  assert.deepEqual(await run.stop(), { code: 0, signal: null }, run.err);
  assert.equal(run.out.match(/^link-(created|destroyed)/gm).length, 2, run.out);
  assert.match(run.out, new RegExp(`^link-destroyed ${made[0]}$`, 'm'));
  assert.deepEqual(linkIds(), sorted(theirs, other));

  // Nothing of its own to hold: it says so and ends.
  const r = cli('link', 'cli-src:out_1', 'cli-sink:in_1');
  assert.deepEqual([r.status, r.stdout], [0, 'already linked cli-src:out_1 -> cli-sink:in_1\n'], r.stderr);
  const held = start(CLI, ['link', 'cli-src:out_2', String(sink.inputs[1])]);
  await waitFor(() => /^holding 1 link/m.test(held.out), 10000, 'the link');
  const id = Number(held.out.match(/^link-created (\d+) /m)[1]);
  // Removed by another process, by port names: the holder sees it go.
  const u = cli('unlink', 'cli-src:out_2', 'cli-sink:in_2');
  assert.deepEqual([u.status, u.stdout], [0, `removing 1 link(s)\nlink-destroyed ${id}\n`], u.stderr);
  await waitFor(() => held.out.includes(`link-destroyed ${id}`), 5000, 'the holder to see the removal');
  assert.equal((await held.stop()).code, 0);
  // By link id, whoever made it.
  assert.equal(cli('unlink', String(theirs)).status, 0);
  assert.deepEqual(linkIds(), [other]);
  await fixture.remove(src.id, player.id);
});

test('monitor prints events as they happen and exits on Ctrl-C', async () => {
  const run = start(CLI, ['monitor', '--json']);
  await waitFor(() => run.out.includes('"cli-sink"'), 10000, 'the existing nodes');
  const extra = await fixture.add('cli-extra', 'Audio/Sink', 1, 0);
  await waitFor(() => run.out.includes(`{"event":"node-changed","id":${extra.id},`), 5000, 'its info');
  await fixture.setProps(extra.id, { 'media.name': 'a "title"' });
  await fixture.remove(extra.id);
  await waitFor(() => run.out.includes(`{"event":"node-destroyed","id":${extra.id}}`), 5000, 'the removal');
  const lines = run.out.trim().split('\n').map((l) => JSON.parse(l));
  assert.deepEqual(lines.find((e) => e.name === 'cli-extra'), { event: 'node-created', id: extra.id, name: 'cli-extra', type: 'Audio/Sink' });
  // Its info (state and every property), then only what changed.
  const changes = lines.filter((e) => e.event === 'node-changed' && e.id === extra.id);
  assert.equal(changes[0].state, 'suspended');
  assert.deepEqual(changes.at(-1), { event: 'node-changed', id: extra.id, props: { 'media.name': 'a "title"' } });
  assert.deepEqual(await run.stop(), { code: 0, signal: null });
});

// The examples and the demo on a graph where another client (standing in for
// a session manager) already linked some of the ports they link: they report
// only their own links, leave the others' alone, and stop when the daemon
// refuses a link.
test('the examples report and remove only their own links', async () => {
  const exApp = await fixture.add('ex-app', 'Stream/Output/Audio', 0, 2);
  const exSink = await fixture.add('ex-sink', 'Audio/Sink', 2, 0);
  const before = linkIds();
  const [held] = await fixture.link([[exApp.outputs[0], exSink.inputs[0]]]);
  let r = node(ex('list-graph.js'), []);
  assert.equal(r.status, 0, r.stderr);
  assert.match(r.stdout, new RegExp(`node ${exSink.id} ex-sink \\(Audio/Sink, output\\)\\n  in  port ${exSink.inputs[0]} in_1`));
  assert.match(r.stdout, new RegExp(`^link ${held}: ex-app:${exApp.outputs[0]} -> ex-sink:${exSink.inputs[0]}$`, 'm'));

  const route = start(ex('route-app-to-sink.js'), ['ex-app', 'ex-sink'], { ...process.env, HOLD_MS: '300' });
  assert.equal((await route.exited).code, 0, route.err);
  assert.match(route.out, new RegExp(`^port ${exApp.outputs[0]} -> port ${exSink.inputs[0]}: already linked`, 'm'));
  assert.match(route.out, new RegExp(`^linked port ${exApp.outputs[1]} -> port ${exSink.inputs[1]} \\(link \\d+\\)$`, 'm'));
  assert.match(route.out, /^made 1, removed 1, already linked 1$/m);
  assert.deepEqual(linkIds(), sorted(...before, held), 'the other client\'s link stays, the own one is gone');

  const holding = start(ex('wait-and-link.js'), ['ex-app', 'ex-sink', '2000']);
  await waitFor(() => holding.out.includes('holding'), 10000, 'the example to hold its link');
  const own = [...holding.out.matchAll(/^link (\d+) made: port (\d+) -> port (\d+), state active, format dynamic$/gm)];
  assert.equal(own.length, 1, holding.out);
  assert.deepEqual(own[0].slice(2).map(Number), [exApp.outputs[1], exSink.inputs[1]]);
  assert.deepEqual(linkIds(), sorted(...before, held, Number(own[0][1])));
  assert.deepEqual(await holding.stop(), { code: 0, signal: null }, holding.err);
  assert.match(holding.out, /^removed 1 link\(s\)$/m);
  assert.deepEqual(linkIds(), sorted(...before, held));
  // Bad names: a message, no stack trace.
  for (const [file, args] of [['wait-and-link.js', ['ex-app', 'no-such-sink', '100']], ['route-app-to-sink.js', ['no-such-app', 'ex-sink']]]) {
    r = node(ex(file), args);
    assert.deepEqual([r.status, r.stderr], [1, `no node named ${args.find((a) => a.startsWith('no-'))}\n`], file);
  }
  await fixture.remove(exApp.id, exSink.id);
});

test('the demo with a daemon whose ports another client linked, and with none reachable; wait-and-link stops when the daemon refuses', async () => {
  const other = startDaemon({ setEnv: false });
  const refusing = startDaemon({ setEnv: false, linkFactory: false });
  const otherFixture = new Fixture(other.env);
  const empty = fs.mkdtempSync(path.join(os.tmpdir(), 'quorvane-nodaemon-'));
  try {
    const run = start(ex('wait-and-link.js'), ['demo-microphone', 'demo-speakers', '2000'], refusing.env);
    const done = await Promise.race([run.exited, new Promise((resolve) => setTimeout(() => resolve('hung'), 20000))]);
    if (done === 'hung') run.child.kill('SIGKILL');
    assert.deepEqual(done, { code: 1, signal: null }, run.out + run.err);
    assert.match(run.err, /the daemon did not make 2 link\(s\): refused/);

    const dump = pwDump(other.env);
    const nodeId = (name) => dump.find((o) => o.info?.props?.['node.name'] === name).id;
    const port = (name, direction) => dump.find((o) => o.type === 'PipeWire:Interface:Port' &&
      o.info.props['node.id'] === nodeId(name) && o.info.direction === direction).id;
    const [held] = await otherFixture.link([[port('demo-microphone', 'output'), port('demo-speakers', 'input')]]);
    let r = node(path.join(ROOT, 'bin', 'demo.js'), [], other.env);
    assert.equal(r.status, 0, r.stderr);
    assert.doesNotMatch(r.stdout, /No PipeWire daemon was reachable/);
    assert.match(r.stdout, /already linked by another client, left as it is\n  1 link\(s\) made\n/);
    assert.match(r.stdout, /Removing the 1 link\(s\) made above:\n(.*\n)*  1 removed/);
    assert.deepEqual(linkIds(other.env), [held]);

    r = node(path.join(ROOT, 'bin', 'demo.js'), [], { ...process.env, XDG_RUNTIME_DIR: empty, PIPEWIRE_RUNTIME_DIR: empty });
    assert.equal(r.status, 0, r.stderr);
    const dir = r.stdout.match(/^No PipeWire daemon was reachable: started a private one \((.*)\)$/m);
    assert.ok(dir, r.stdout);
    assert.match(r.stdout, /  2 link\(s\) made\n[^]*  2 removed/);
    assert.equal(fs.existsSync(dir[1]), false, 'the private daemon\'s folder is removed');
  } finally {
    fs.rmSync(empty, { recursive: true, force: true });
    await otherFixture.close();
    other.stop();
    refusing.stop();
  }
});
