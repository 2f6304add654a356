'use strict';
// Port latency against pw-dump, and the tool's meter, top and links --latency,
// on a daemon with the profiler playing a tone (test/helpers/tone.js).
const test = require('node:test');
const assert = require('node:assert/strict');
const { privateDaemon } = require('./helpers/setup');
const { waitFor, pwDump } = require('./helpers/fixture');
const { playTone } = require('./helpers/tone');
const { startScript, cli, CLI } = require('./helpers/child');

let graph, sink, tone;
const { daemon } = privateDaemon({ objects: [], profiler: true }, {
  graph: async (g) => {
    graph = g;
    sink = await graph.createNode({ name: 'signal-sink' });
    tone = await playTone(graph, daemon, 'signal-tone', sink);
  },
  after: () => tone?.child.kill('SIGKILL'),
});

// A port's "Latency" params as pw-dump shows them, by direction.
const dumpedLatency = (port) => Object.assign({ input: null, output: null },
  ...(port.info.params.Latency ?? []).map(({ direction, ...r }) => ({ [direction.toLowerCase()]: r })));

test('latency: each port of a stream and a sink as pw-dump shows it; a link carries its output port\'s, in the API and in links --latency --json', async () => {
  const dumped = new Map(pwDump().filter((o) => o.type === 'PipeWire:Interface:Port').map((o) => [o.id, dumpedLatency(o)]));
  for (const [node, by] of [[tone.node, tone.node.name], [sink, sink.id]]) { // a node named, or by its id
    const { id, ports } = graph.latency(by);
    assert.equal(id, node.id);
    assert.deepEqual(ports.map((p) => [p.id, p.direction]).sort(), graph.ports().filter((p) => p.nodeId === node.id).map((p) => [p.id, p.direction ? 'in' : 'out']).sort());
    for (const { id: portId, input, output } of ports) assert.deepEqual({ input, output }, dumped.get(portId), `port ${portId}`);
  }
  const port = tone.outputs[0];
  for (const p of [port, port.id]) assert.deepEqual(graph.latency(p), dumped.get(port.id));

  const links = graph.links().filter((l) => l.srcNodeId === tone.node.id);
  assert.equal(links.length, 2);
  for (const l of links) assert.deepEqual(l.latency, dumped.get(l.srcPortId).input);
  const r = cli('links', '--latency', '--json');
  const listed = JSON.parse(r.stdout).filter((l) => l.srcNodeId === tone.node.id);
  assert.deepEqual(listed.map((l) => [l.id, l.latency]).sort(), links.map((l) => [l.id, dumped.get(l.srcPortId).input]).sort(), r.stderr);
  assert.ok(!('latency' in JSON.parse(cli('links', '--json').stdout)[0]), 'without --latency the JSON is as before');

  const refused = [[2 ** 32, RangeError], [null, TypeError], [99999, /no node or port 99999/]];
  for (const [arg, error] of refused) assert.throws(() => graph.latency(arg), error);
});

test('top --json --once: the driver with its quantum and rate, its follower, and the busiest nodes\' peaks', () => {
  const r = cli('top', '--json', '--once');
  assert.equal(r.status, 0, r.stderr);
  const driver = JSON.parse(r.stdout).drivers.find((d) => d.id === sink.id) ?? assert.fail(r.stdout);
  const follower = driver.followers.find((f) => f.id === tone.node.id) ?? assert.fail(JSON.stringify(driver));
  assert.ok(driver.quantum >= 32 && driver.quantum <= 8192, `quantum ${driver.quantum}`);
  assert.ok(Math.abs(follower.peak + 6) <= 0.1, JSON.stringify(driver));
  // As pw-top: a follower's quantum and rate are the latency it asks for (pw-cat's 100 ms: 4800/48000), not its driver's.
  assert.deepEqual([driver.rate, `${follower.quantum}/${follower.rate}`, follower.state, driver.state],
    [48000, '4800/48000', 'running', 'running']);
  assert.notEqual(follower.quantum, driver.quantum);
});

test('meter --json: the tone\'s levels each period; exit 0 on Ctrl-C, and 4 once the last measured node is removed', async () => {
  // Measures the tone until the end, when the tone goes.
  const alone = startScript(CLI, ['meter', 'signal-tone', '--json', '--rate', '20']);
  const levels = () => alone.out.split('\n').filter(Boolean).map((l) => JSON.parse(l));
  const near = (v, want) => Math.abs(v - want) <= 0.1;
  const isTone = (l) => near(l.peak[0], -6) && near(l.rms[0], -9) && l.peak[1] === null && l.rms[1] === null;
  const level = await waitFor(() => levels().find(isTone), 5000, 'the tone\'s level');
  assert.deepEqual([level.id, level.name, level.channels], [tone.node.id, 'signal-tone', ['FL', 'FR']]);

  // An idle sink gives no levels (the meters keep no driver running): the tone's lines say both run.
  const going = await graph.createNode({ name: 'signal-going' });
  const watched = startScript(CLI, ['meter', 'signal-going', 'signal-tone']);
  await waitFor(() => /^signal-tone FL -6\.0 dB {2}FR -inf dB$/m.test(watched.out), 5000, 'the tone\'s lines');
  await graph.destroyNode(going.id);
  await waitFor(() => /signal-going.*removed/.test(watched.err), 5000, 'the removal told');
  const before = watched.out.length;
  await waitFor(() => watched.out.length > before, 5000, 'the other meter going on');
  assert.equal((await watched.stop()).code, 0, 'Ctrl-C');
  tone.child.kill('SIGKILL');
  assert.equal((await alone.exited).code, 4, alone.err);
});
