'use strict';
// Level meters against a private daemon: a tone played by PipeWire's own pw-cat, measured at the stream and
// at the sink's monitor ports.
const test = require('node:test');
const assert = require('node:assert/strict');
const fs = require('node:fs');
const { spawnSync } = require('node:child_process');
const { once } = require('node:events');
const { waitFor, pwDump } = require('./helpers/fixture');
const { privateDaemon } = require('./helpers/setup');
const { restartDaemon } = require('./helpers/cli');
const { startDaemon } = require('./helpers/daemon');
const { playTone, eventWhere } = require('./helpers/tone');
const { connect } = require('..');

let graph;
const { daemon } = privateDaemon({}, { graph: (g) => (graph = g) });

const levelWhere = (meter, fits, what) => eventWhere(meter, 'level', fits, what);
// A stereo format, as a session manager sets a node's ports up with it.
const FORMAT = { mediaType: 'audio', mediaSubtype: 'raw', format: 'F32P', rate: 48000, channels: 2,
  position: ['FL', 'FR'] };
const near = (value, wanted) => Math.abs(value - wanted) <= 0.1;
const isTone = (l) => near(l.peak[0], -6) && near(l.rms[0], -9) && l.peak[1] === -Infinity && l.rms[1] === -Infinity;
const meterNodes = () => pwDump().filter((o) => o.type === 'PipeWire:Interface:Node' && o.info.props['node.name'].startsWith('quorvane.meter.'));
// The daemon's meter nodes, and the ports and links that end at them.
function meterObjects() {
  const dump = pwDump();
  const nodes = new Set(meterNodes().map((o) => o.id));
  const ports = dump.filter((o) => o.type === 'PipeWire:Interface:Port' && nodes.has(o.info.props['node.id'] ?? o.info.node_id));
  const links = dump.filter((o) => o.type === 'PipeWire:Interface:Link' && nodes.has(o.info['input-node-id']));
  return { nodes: nodes.size, ports: ports.length, links: links.length };
}

let sink;
const [SCHED_FIFO, SCHED_RR] = [1, 2];
// The scheduling policy of each of this process's threads (/proc's stat, field 41).
const threadPolicies = () => fs.readdirSync('/proc/self/task').map((tid) => {
  try {
    return Number(fs.readFileSync(`/proc/self/task/${tid}/stat`, 'utf8').split(') ').at(-1).split(' ')[38]);
  } catch {
    return -1; // a thread that ended meanwhile
  }
});

test('a -6 dBFS tone reads -6.0 peak and -9.0 RMS on FL and -Infinity on FR, at the stream and the sink monitor, in a realtime thread; the meters stay hidden', async () => {
  const heard = [];
  for (const kind of ['node-created', 'port-created', 'link-created']) graph.on(kind, (o) => heard.push(o));
  sink = await graph.createNode({ name: 'meter-sink' });
  const tone = await playTone(graph, daemon, 'meter-tone', sink);
  test.after(() => tone.child.kill('SIGKILL'));
  const atStream = graph.meter(tone.node.id);
  const atMonitor = graph.meter(sink.id, { rateHz: 30 });
  assert.deepEqual([atStream.channels, atMonitor.channels], [['FL', 'FR'], ['FL', 'FR']]);
  const told = [];
  atStream.on('state', (s) => told.push(s.state));
  atStream.once('level', () => told.push('level'));
  await Promise.all([levelWhere(atStream, isTone, 'of the tone at the stream'), levelWhere(atMonitor, isTone, 'of the tone at the monitor')]);
  assert.deepEqual([told.slice(0, 2), atMonitor.state], [['measuring', 'level'], 'measuring'], 'a meter with levels says it measures, once');
  const { value } = await atMonitor[Symbol.asyncIterator]().next();
  assert.ok(isTone(value) && value.t > Date.now() - 5000, 'the iterator gives the latest level');
  // The meters' streams process in PipeWire's data thread, scheduled as pw-cat's is: realtime, where the user may
  // (root may; others through RTKit).
  if (process.getuid() === 0) assert.ok(threadPolicies().some((p) => p === SCHED_FIFO || p === SCHED_RR), `a realtime thread among ${threadPolicies()}`);

  // The daemon has them; the Graph shows none of them, nor any of their links.
  assert.deepEqual(meterObjects(), { nodes: 2, ports: 4, links: 4 });
  const hidden = new Set(meterNodes().map((o) => o.id));
  const named = (o) => hidden.has(o.id) || hidden.has(o.nodeId) || hidden.has(o.sinkNodeId) || String(o.name).startsWith('quorvane.meter');
  assert.deepEqual([...graph.nodes(), ...graph.ports(), ...graph.links(), ...heard].filter(named), []);
  assert.equal(graph.links().filter((l) => l.srcNodeId === sink.id || l.srcNodeId === tone.node.id).length, 2, 'only the tone\'s links');
  assert.doesNotMatch(JSON.stringify(graph.snapshot({ all: true })), /quorvane\.meter/);

  // Meters of one rate on one node, started in different periods, end their intervals in the same ones:
  // their levels are taken (and stamped) together.
  const together = [];
  for (let i = 0; i < 3; i++) {
    together.push(graph.meter(sink.id, { rateHz: 10 }));
    await once(together[i], 'level');
  }
  const stamps = await Promise.all(together.map(async (m) => {
    const t = [];
    for await (const level of m) if (t.push(level.t) === 6) break;
    return t;
  }));
  const apart = stamps.slice(1).flat().map((t) => Math.min(...stamps[0].map((u) => Math.abs(t - u))));
  assert.ok(apart.filter((ms) => ms <= 1).length >= 8, `levels apart from the first meter's by ${apart} ms`);

  // The stream's client exits: its meter ends, with its stream and links.
  const ended = once(atStream, 'end');
  tone.child.kill();
  assert.match(String((await ended)[0]), /removed/);
  await waitFor(() => meterObjects().nodes === 1, 5000, 'the ended meter to go');
  await atMonitor.close();
  assert.deepEqual(meterObjects(), { nodes: 0, ports: 0, links: 0 });
});

test('a new meter\'s first level covers only periods with sound: at 60 and at 10 levels a second it reads the tone; a meter of an idle node says so within a second or two', async (t) => {
  const own = await graph.createNode({ name: 'meter-first-sink' });
  // Meters opened while nothing plays (the sink's first periods once the tone starts carry none of it yet),
  // and meters opened on the stream while it plays: each one's first level is the tone's.
  const firstLevels = (node) =>
    [60, 60, 60, 10, 10, 10].map((rateHz) => {
      const meter = graph.meter(node, { rateHz });
      return once(meter, 'level').then(async ([level]) => (await meter.close(), level));
    });
  const atSink = firstLevels(own.id);
  const tone = await playTone(graph, daemon, 'meter-first', own);
  test.after(() => tone.child.kill('SIGKILL'));
  const levels = [...(await Promise.all(atSink)), ...(await Promise.all(firstLevels(tone.node.id)))];
  assert.deepEqual(levels.map((l) => [near(l.peak[0], -6), near(l.rms[0], -9)]), Array(12).fill([true, true]), JSON.stringify(levels.map((l) => [l.peak[0], l.rms[0]])));

  // A meter never falls silent without a word, within a second and a bit: of a node that runs no periods (the
  // test-tone source runs only while something other than a meter takes from it) it says so; of a stream
  // whose client stopped it says it is stalled where no period gets past the stream (PipeWire before 1.0), or
  // goes on measuring (1.x runs the stream's followers on), and measures it again after.
  const stateWithin = (meter, ms, wanted) => eventWhere(meter, 'state', (s) => s.state === wanted, `"${wanted}"`, ms);
  const [idle, measured] = [graph.meter('demo-microphone'), graph.meter(tone.node.id)];
  t.after(async () => (tone.child.kill('SIGKILL'), await Promise.all([idle.close(), measured.close()]), await graph.destroyNode(own.id)));
  await levelWhere(measured, isTone, 'of the tone');
  const started = Date.now();
  tone.child.kill('SIGSTOP');
  // After the second the stopped stream's last periods may take: a level, or the stall told.
  const afterStop = new Promise((resolve) => setTimeout(() => resolve(once(measured, 'level').then(() => 'measuring')), 1200));
  const [quiet, heard] = await Promise.all([stateWithin(idle, 2000, 'idle'), Promise.race([stateWithin(measured, 2500, 'stalled'), afterStop])]);
  assert.deepEqual([idle.state, Date.now() - started < 2500], ['idle', true], `said after ${Date.now() - started} ms`);
  assert.match(quiet.reason, /"demo-microphone"\) is suspended: it runs no periods/);
  if (heard !== 'measuring') {
    assert.match(heard.reason, /"meter-first"\), which runs, yet no period reached it/);
    tone.child.kill('SIGCONT');
    await stateWithin(measured, 3000, 'measuring');
  }
});

test('a meter follows the measured node\'s ports when they are made anew, as a session manager makes them', async (t) => {
  const remade = await graph.createNode({ name: 'meter-remade' });
  const meter = graph.meter(remade.id);
  const ports = () => graph.ports().filter((p) => p.nodeId === remade.id);
  let tone;
  t.after(async () => (tone?.child.kill('SIGKILL'), await meter.close(), await graph.destroyNode(remade.id)));
  // Its ports set up again, as WirePlumber does to a new sink: new ports, whose ids are the old ones shuffled
  // (a monitor port may get a former input port's id).
  const before = ports().map((p) => p.props['object.serial']);
  for (const [command, args] of [['send-command', ['Suspend', '{}']], ['set-param', ['PortConfig', JSON.stringify({ direction: 'Input', mode: 'dsp', monitor: true, format: FORMAT })]]])
    assert.equal(spawnSync('pw-cli', [command, String(remade.id), ...args]).status, 0);
  await waitFor(() => ports().length === 4 && ports().every((p) => !before.includes(p.props['object.serial'])), 5000, 'the sink\'s new ports');
  tone = await playTone(graph, daemon, 'meter-remade-tone', graph.nodes().find((n) => n.id === remade.id));
  await levelWhere(meter, isTone, 'of the tone through the new monitor ports');
});

test('100 meters opened and closed leave no stream, port or link, each ending once; bad options and targets are refused and make nothing; a closed Graph ends its meters; no profiler without its module', async () => {
  const meters = Array.from({ length: 100 }, () => graph.meter(sink.id, { channels: ['FR'] }));
  let ends = 0;
  for (const m of meters) m.on('end', () => ends++);
  await waitFor(() => meterObjects().links === 100, 10000, '100 meters linked');
  await Promise.all(meters.map((m) => m.close()));
  await Promise.all(meters.map((m) => m.close()));
  assert.deepEqual([ends, meterObjects()], [100, { nodes: 0, ports: 0, links: 0 }]);

  assert.throws(() => graph.profiler(), /the daemon has no profiler/);
  const [monitor, input] = [0, 1].map((d) => graph.ports().find((p) => p.nodeId === sink.id && p.direction === d));
  const bad = [[{ rateHz: 0 }, RangeError], [{ rateHz: 61 }, RangeError], [{ rateHz: '20' }, TypeError],
    [{ rate: 20 }, TypeError], [{ channels: ['XX'] }, RangeError], [{ channels: 'FL' }, TypeError]];
  for (const [target, options, error] of [...bad.map((b) => [sink.id, ...b]),
    [input, {}, /input port/], [999999, {}, /no port/], ['no-such-node', {}, /no node/]])
    assert.throws(() => graph.meter(target, options), error, `${JSON.stringify(options)}`);
  const other = await connect();
  const meter = other.meter(monitor);
  assert.deepEqual(meter.channels, [monitor.props['audio.channel']]);
  ends = 0;
  meter.on('end', () => ends++);
  await waitFor(() => meterObjects().links === 1, 5000, 'the meter linked');
  await other.close();
  assert.equal(ends, 1);
  assert.throws(() => other.meter(sink.id), /Graph closed/);
  await waitFor(() => meterObjects().nodes === 0, 5000, 'the meter to go with the Graph');
  // A daemon that refuses links: the meter ends saying so, rather than never measuring.
  const refusing = startDaemon({ setEnv: false, linkFactory: false });
  test.after(() => refusing.stop());
  const script = `require(${JSON.stringify(require.resolve('..'))}).connect().then((g) => g.meter(g.nodes().find((n) => n.name === 'demo-microphone').id).on('end', (why) => (console.log(why), g.close())))`;
  const r = spawnSync(process.execPath, ['-e', script], { env: refusing.env, encoding: 'utf8', timeout: 10000 });
  assert.match(r.stdout, /the daemon refused the meter's link/, r.stderr);
});

test('a Graph that reconnects measures the node of the same name again after a daemon restart', async (t) => {
  const other = await connect({ reconnect: true });
  t.after(() => other.close());
  const meter = other.meter('demo-microphone');
  await waitFor(() => meterObjects().links === 2, 5000, 'the meter linked');
  daemon.kill();
  const child = await restartDaemon(daemon);
  test.after(() => child.kill('SIGKILL'));
  // The restarted daemon's source gets its ports as a session manager would give them.
  const mic = pwDump().find((o) => o.info?.props?.['node.name'] === 'demo-microphone');
  spawnSync('pw-cli', ['set-param', String(mic.id), 'PortConfig', JSON.stringify({ direction: 'Output', mode: 'dsp', format: FORMAT })]);
  await waitFor(() => meterObjects().links === 2 && meter.node === mic.id, 5000, 'the meter linked again');
  assert.equal(meter.ended, false);
  await other.close();
  assert.equal(meter.ended, true);
});
