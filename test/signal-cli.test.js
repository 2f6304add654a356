'use strict';
// Port latency against pw-dump, and the tool's meter, top and links --latency,
// on a daemon with the profiler playing a tone (test/helpers/tone.js).
const test = require('node:test');
const assert = require('node:assert/strict');
const fs = require('node:fs');
const os = require('node:os');
const path = require('node:path');
const { spawn, spawnSync } = require('node:child_process');
const { daemonConf } = require('./helpers/daemon');
const { waitFor, pwDump } = require('./helpers/fixture');
const { playTone } = require('./helpers/tone');
const { startScript, cli, CLI } = require('./helpers/child');

// A private daemon with the profiler (as test/profiler.test.js starts one).
const dir = fs.mkdtempSync(path.join(os.tmpdir(), 'quorvane-signal-'));
fs.writeFileSync(path.join(dir, 'daemon.conf'), daemonConf([]).replace('{ name = libpipewire-module-adapter }', '$&\n  { name = libpipewire-module-profiler }'));
Object.assign(process.env, { XDG_RUNTIME_DIR: dir, PIPEWIRE_RUNTIME_DIR: dir });
const daemon = { dir, env: { ...process.env } };
const child = spawn('setpriv', ['--pdeathsig', 'KILL', 'pipewire', '-c', path.join(dir, 'daemon.conf')], { env: daemon.env, stdio: 'ignore' });

let graph, sink, tone;
test.before(async () => {
  await waitFor(() => spawnSync('pw-cli', ['info', '0'], { env: daemon.env, timeout: 2000 }).status === 0, 10000, 'the daemon');
  graph = await require('..').connect();
  sink = await graph.createNode({ name: 'signal-sink' });
  tone = await playTone(graph, daemon, 'signal-tone', sink);
});
test.after(async () => {
  tone?.child.kill('SIGKILL');
  await graph?.close();
  child.kill('SIGKILL');
  fs.rmSync(dir, { recursive: true, force: true });
});

// A port's "Latency" params as pw-dump shows them, by direction.
function dumpedLatency(port) {
  const out = { input: null, output: null };
  for (const { direction, ...range } of port.info.params.Latency ?? []) out[direction.toLowerCase()] = range;
  return out;
}

test('latency: each port of a stream and a sink as pw-dump shows it; a link carries its output port\'s, in the API and in links --latency --json', async () => {
  const dumped = new Map(pwDump().filter((o) => o.type === 'PipeWire:Interface:Port').map((o) => [o.id, dumpedLatency(o)]));
  for (const node of [tone.node, sink]) {
    const { id, ports } = graph.latency(node.name);
    assert.equal(id, node.id);
    assert.deepEqual(ports.map((p) => [p.id, p.direction]).sort(), graph.ports().filter((p) => p.nodeId === node.id).map((p) => [p.id, p.direction ? 'in' : 'out']).sort());
    for (const { id: portId, input, output } of ports) assert.deepEqual({ input, output }, dumped.get(portId), `port ${portId}`);
  }
  const port = tone.outputs[0];
  assert.deepEqual(graph.latency(port), dumped.get(port.id));
  assert.deepEqual(graph.latency(port.id), dumped.get(port.id));

  const links = graph.links().filter((l) => l.srcNodeId === tone.node.id);
  assert.equal(links.length, 2);
  for (const l of links) assert.deepEqual(l.latency, dumped.get(l.srcPortId).input);
  const r = cli('links', '--latency', '--json');
  const listed = JSON.parse(r.stdout).filter((l) => l.srcNodeId === tone.node.id);
  assert.deepEqual(listed.map((l) => [l.id, l.latency]).sort(), links.map((l) => [l.id, dumped.get(l.srcPortId).input]).sort(), r.stderr);
  assert.ok(!('latency' in JSON.parse(cli('links', '--json').stdout)[0]), 'without --latency the JSON is as before');

  const nodeId = tone.node.id;
  assert.throws(() => graph.latency(2 ** 32), RangeError);
  assert.throws(() => graph.latency(null), TypeError);
  assert.throws(() => graph.latency(99999), /no node or port 99999/);
  assert.equal(graph.latency(nodeId).id, nodeId, 'a node id names the node');
});

test('top --json --once: the driver with its quantum and rate, its follower, and the busiest nodes\' peaks', () => {
  const r = cli('top', '--json', '--once');
  assert.equal(r.status, 0, r.stderr);
  const { drivers } = JSON.parse(r.stdout);
  const driver = drivers.find((d) => d.id === sink.id);
  assert.ok(driver, r.stdout);
  assert.equal(driver.rate, 48000);
  assert.ok(driver.quantum >= 32 && driver.quantum <= 8192, `quantum ${driver.quantum}`);
  const follower = driver.followers.find((f) => f.id === tone.node.id);
  assert.ok(follower && Math.abs(follower.peak + 6) <= 0.1, JSON.stringify(driver));
  // As pw-top: a follower's quantum and rate are the latency it asks for (pw-cat's 100 ms: 4800/48000), not its driver's.
  assert.deepEqual([`${follower.quantum}/${follower.rate}`, follower.state, driver.state], ['4800/48000', 'running', 'running']);
  assert.notEqual(follower.quantum, driver.quantum);
});

test('meter --json: the tone\'s levels each period; exit 0 on Ctrl-C, and 4 once the last measured node is removed', async () => {
  const run = startScript(CLI, ['meter', 'signal-tone', '--json', '--rate', '20']);
  const levels = () => run.out.split('\n').filter(Boolean).map((l) => JSON.parse(l));
  const near = (v, want) => Math.abs(v - want) <= 0.1;
  const isTone = (l) => near(l.peak[0], -6) && near(l.rms[0], -9) && l.peak[1] === null && l.rms[1] === null;
  try {
    await waitFor(() => levels().some(isTone), 5000, 'a level of the tone');
  } finally {
    run.child.kill('SIGINT');
  }
  assert.equal((await run.exited).code, 0, run.err);
  const level = levels().find(isTone);
  assert.deepEqual([level.id, level.name, level.channels], [tone.node.id, 'signal-tone', ['FL', 'FR']]);

  // An idle sink gives no levels (the meters keep no driver running): the
  // tone's lines tell that both meters run.
  const going = await graph.createNode({ name: 'signal-going' });
  const watched = startScript(CLI, ['meter', 'signal-going', 'signal-tone']);
  await waitFor(() => /^signal-tone FL -6\.0 dB {2}FR -inf dB$/m.test(watched.out), 5000, 'the tone\'s lines');
  await graph.destroyNode(going.id);
  await waitFor(() => /signal-going.*removed/.test(watched.err), 5000, 'the removal told');
  const before = watched.out.length;
  await waitFor(() => watched.out.length > before, 5000, 'the other meter going on');
  watched.child.kill('SIGINT');
  assert.equal((await watched.exited).code, 0);
  const alone = startScript(CLI, ['meter', 'signal-tone']);
  await waitFor(() => /signal-tone FL/.test(alone.out), 5000, 'the meter printing');
  tone.child.kill('SIGKILL');
  assert.equal((await alone.exited).code, 4, alone.err);
});
