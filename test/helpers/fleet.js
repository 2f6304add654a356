'use strict';
// Hosts of a fleet on one machine: each a network namespace joined to the first (the hub) by a veth pair
// on TEST-NET-2 (198.51.100.0/24), a private daemon (a sink with monitor ports) and a bridge; mosquitto in
// the hub, reached by the test through a socket file. stop() removes everything.
const { spawn, spawnSync } = require('node:child_process');
const fs = require('node:fs');
const os = require('node:os');
const path = require('node:path');
const { startDaemon } = require('./daemon');
const { restartDaemon } = require('./cli');
const { pwDump, waitFor } = require('./fixture');
const { startBroker, available } = require('./broker');

const ROOT = path.join(__dirname, '..', '..');
const PORT_CONFIG = '{ mode = dsp monitor = false control = false position = preserve }';
// A host's bridge (its options as JSON): "ready" once on the broker, each warning on standard error.
const BRIDGE = `
const { connect } = require(process.env.QUORVANE_ROOT);
(async () => {
  const bridge = await (await connect({ reconnect: true })).mqtt(JSON.parse(process.argv[1]));
  bridge.on('warning', (e) => process.stderr.write('warning: ' + e.message + '\\n'));
  process.stdout.write('ready\\n');
})().catch((e) => (process.stderr.write(e.stack + '\\n'), process.exit(1)));`;
// Meters a node 60 times a second, one JSON line a level: { at (Date.now()), peak, rms }; it finds
// its node again when the daemon comes back.
const METER = `
const { connect } = require(process.env.QUORVANE_ROOT);
(async () => {
  const graph = await connect({ reconnect: true });
  const node = await graph.waitForNode(process.argv[1], { timeoutMs: 10000 });
  await graph.waitForPorts(node.id, { timeoutMs: 10000 });
  graph.meter(node.id, { rateHz: 60 }).on('level', (l) => process.stdout.write(JSON.stringify({ at: Date.now(), peak: l.peak, rms: l.rms }) + '\\n'));
})().catch((e) => (process.stderr.write(e.message), process.exit(1)));`;

const ip = (...args) => {
  const r = spawnSync('ip', args, { encoding: 'utf8', timeout: 10000 });
  if (r.status !== 0) throw new Error(`ip ${args.join(' ')}: ${r.stderr.trim()}`);
  return r.stdout;
};
const pwLink = (env, from, to) => spawnSync('pw-link', [from, to], { env, timeout: 5000 }).status === 0;

/** Whether this machine can make network namespaces (root, iproute2). */
function canMakeNamespaces() {
  if (process.getuid?.() !== 0) return 'network namespaces need root';
  return spawnSync('ip', ['-V']).status !== 0 ? 'no ip (iproute2)' : available() ? null : 'no mosquitto';
}

// The sink's ports as a session manager sets them, with monitor ports for the meters.
function configureSink(env, name) {
  const node = pwDump(env).find((o) => o.type === 'PipeWire:Interface:Node' && o.info.props['node.name'] === name);
  if (!node) throw new Error(`no sink ${name}`);
  const format = { mediaType: 'audio', mediaSubtype: 'raw', format: 'F32P', rate: 48000, channels: 2, position: ['FL', 'FR'] };
  const config = { direction: 'Input', mode: 'dsp', monitor: true, control: false, format };
  const r = spawnSync('pw-cli', ['set-param', String(node.id), 'PortConfig', JSON.stringify(config)], { env, encoding: 'utf8', timeout: 5000 });
  if (r.status !== 0) throw new Error(`cannot set the ports of ${name} up: ${r.stderr}`);
}

// Plays `file` as stream `name` with pw-cat: the player's child process. Played on the host's own sink
// too, which drives it: a private daemon has no fallback driver (the default configuration's
// Dummy-Driver), and PipeWire 1.x suspends a stream without one.
function play(env, sink, name, file) {
  const props = `{ node.name = ${name} adapter.auto-port-config = ${PORT_CONFIG} }`;
  const player = spawn('pw-cat', ['--playback', '--target', '0', '--latency', '256', '-P', props, file], { env, stdio: 'ignore' });
  const linked = () => ['FL', 'FR'].every((c) => pwLink(env, `${name}:output_${c}`, `${sink}:playback_${c}`));
  waitFor(() => player.exitCode !== null || linked(), 10000, 'the player linked', 50).catch(() => {});
  return player;
}

// A child of the fleet (killed by stop()): { child, err (its standard error), stop() }.
function start(fleet, cmd, args, env) {
  const child = spawn(cmd, args, { env: { ...env, QUORVANE_ROOT: ROOT }, stdio: ['ignore', 'pipe', 'pipe'] });
  fleet.processes.add(child);
  const o = { child, err: '', stop: () => child.kill('SIGKILL') };
  child.stderr.on('data', (d) => (o.err += d));
  return o;
}
// Calls fn with each whole line that `child` writes (one cut off by its death is dropped).
function onLine(child, fn) {
  let rest = '';
  child.stdout.on('data', (d) => {
    const lines = (rest + d).split('\n');
    rest = lines.pop();
    lines.forEach((line) => fn(line));
  });
}

/**
 * startFleet(names) → { hosts: { NAME: host }, hub, socket, broker (its URL), mosquitto, processes, stop() }:
 * the namespaces, daemons and mosquitto (bridges are started with host.startBridge()); the hosts named in
 * `elsewhere` get their namespace, address and sink's name alone; `realtime` schedules the daemons' data threads
 * as a desktop's are. Each host:
 * { name, ns, address, veth, daemon, sink (its sink's name), startBridge(options), bridge, restartDaemon(),
 * meter(node), play(name, file), onsets(name), dump() }.
 */
async function startFleet(names, { tag = `${process.pid % 10000}`, elsewhere = [], realtime = false } = {}) {
  const fleet = { hosts: {}, processes: new Set() };
  fleet.stop = async () => {
    const running = [...fleet.processes].filter((c) => c.exitCode === null && c.signalCode === null);
    await Promise.all(running.map((c) => new Promise((r) => (c.once('exit', r), c.kill('SIGKILL')))));
    await fleet.mosquitto?.stop('SIGKILL');
    for (const h of Object.values(fleet.hosts)) h.daemon?.stop();
    for (const h of Object.values(fleet.hosts)) spawnSync('ip', ['netns', 'del', h.ns]);
    if (fleet.dir) fs.rmSync(fleet.dir, { recursive: true, force: true });
  };
  try {
    names.forEach((name, i) => {
      const ns = `qvf${tag}-${i}`;
      spawnSync('ip', ['netns', 'del', ns]); // one a killed run may have left
      ip('netns', 'add', ns);
      fleet.hosts[name] = { name, ns };
      ip('-n', ns, 'link', 'set', 'lo', 'up');
    });
    const hub = (fleet.hub = fleet.hosts[names[0]]);
    names.slice(1).forEach((name, k) => {
      const h = fleet.hosts[name];
      const [a, b] = [`qh${tag}x${k}`, `ql${tag}x${k}`];
      ip('link', 'add', a, 'netns', hub.ns, 'type', 'veth', 'peer', 'name', b, 'netns', h.ns);
      for (const [ns, dev, n] of [[hub.ns, a, 4 * k + 1], [h.ns, b, 4 * k + 2]]) {
        ip('-n', ns, 'addr', 'add', `198.51.100.${n}/30`, 'dev', dev);
        ip('-n', ns, 'link', 'set', dev, 'up');
      }
      ip('-n', h.ns, 'route', 'add', 'default', 'via', `198.51.100.${4 * k + 1}`);
      Object.assign(h, { address: `198.51.100.${4 * k + 2}`, veth: b });
      if (k === 0) hub.address = `198.51.100.${4 * k + 1}`;
    });
    if (names.length > 2) ip('netns', 'exec', hub.ns, 'sysctl', '-qw', 'net.ipv4.ip_forward=1');
    // mosquitto inside the hub: TCP for the bridges, a socket file for the test, in a folder it may
    // write once it is its own user.
    fleet.dir = fs.mkdtempSync(path.join(os.tmpdir(), 'quorvane-fleet-'));
    fs.mkdirSync(path.join(fleet.dir, 'socket'));
    fs.chmodSync(path.join(fleet.dir, 'socket'), 0o1777);
    fleet.socket = path.join(fleet.dir, 'socket', 'mqtt.sock');
    fleet.broker = `mqtt://${hub.address}:1883`;
    const listeners = ['1883 0.0.0.0', `0 ${fleet.socket}`];
    fleet.mosquitto = await startBroker({ dir: fleet.dir, netns: hub.ns, listeners });
    for (const h of Object.values(fleet.hosts)) {
      h.sink = `${h.name}-speakers`;
      if (elsewhere.includes(h.name)) continue; // its daemon and bridge are the caller's
      // A sink, and a capture device (a test tone) that no rule lets the host send; the profiler, as a
      // desktop's daemon has it (a stream's underruns are read from it).
      h.daemon = startDaemon({ setEnv: false, profiler: true, realtime, objects: [{ name: h.sink, mediaClass: 'Audio/Sink', positions: ['FL', 'FR'] },
        { name: `${h.name}-mic`, mediaClass: 'Audio/Source', positions: ['FL', 'FR'], factory: 'audiotestsrc' }] });
      configureSink(h.daemon.env, h.sink);
      h.restartDaemon = async () => {
        h.daemon.kill();
        const child = await restartDaemon(h.daemon);
        fleet.processes.add(child);
        configureSink(h.daemon.env, h.sink);
        return child;
      };
      h.startBridge = (options = {}) => startBridge(fleet, h, options);
      h.meter = (node) => startMeter(fleet, h, node);
      h.onsets = (name) => startOnsets(fleet, h, name);
      h.dump = () => pwDump(h.daemon.env);
      h.play = (name, file) => {
        const player = play(h.daemon.env, h.sink, name, file);
        fleet.processes.add(player);
        return player;
      };
    }
  } catch (e) {
    await fleet.stop();
    throw e;
  }
  return fleet;
}

// A bridge for host `h` in its namespace: resolves once it is connected, with { child, err, exited, kill() }.
function startBridge(fleet, h, options) {
  const config = { broker: fleet.broker, hostName: h.name, forgetAfterMs: 2000, ...options, streams: { address: h.address, ...options.streams } };
  const bridge = (h.bridge = start(fleet, 'ip', ['netns', 'exec', h.ns, process.execPath, '-e', BRIDGE, JSON.stringify(config)], h.daemon.env));
  const { child } = bridge;
  bridge.exited = new Promise((resolve) => child.once('exit', resolve));
  bridge.kill = async () => {
    if (child.exitCode === null && child.signalCode === null) child.kill('SIGKILL');
    await bridge.exited;
  };
  return new Promise((resolve, reject) => {
    const timer = setTimeout(() => reject(new Error(`the bridge of ${h.name} did not start: ${bridge.err}`)), 20000);
    onLine(child, (line) => line === 'ready' && (clearTimeout(timer), resolve(bridge)));
    child.once('exit', (code) => (clearTimeout(timer), reject(new Error(`the bridge of ${h.name} exited (${code}): ${bridge.err}`))));
  });
}

// Levels of `node` on host `h`: { levels: [{ at, peak, rms }], err, stop() }.
function startMeter(fleet, h, node) {
  const meter = { levels: [], ...start(fleet, process.execPath, ['-e', METER, node], h.daemon.env) };
  onLine(meter.child, (line) => meter.levels.push(JSON.parse(line, (k, v) => (v === null && (k === '0' || k === '1') ? -Infinity : v))));
  return meter;
}

const ONSET = path.join(ROOT, 'build-native', 'pw-onset');
// The onsets of sound after silence on host `h`'s sink, timed to the sample by pw-onset (its capture stream
// `name` linked to the sink's FL monitor): { onsets, gaps (sound back after a dropout): [ms of
// CLOCK_MONOTONIC], ready (a promise), err, stop() }.
function startOnsets(fleet, h, name) {
  if (!fs.existsSync(ONSET)) throw new Error(`no ${ONSET}: make -C test/native all`);
  const capture = { onsets: [], gaps: [], ...start(fleet, ONSET, [name], h.daemon.env) };
  capture.ready = new Promise((resolve, reject) => {
    onLine(capture.child, (line) => {
      if (line === 'ready') resolve();
      const m = /^onset (\d+)$/.exec(line);
      if (m) capture.onsets.push(Number(m[1]) / 1e6);
      if (line.startsWith('gap ')) capture.gaps.push(Number(line.slice(4)) / 1e6);
    });
    capture.child.once('exit', (code) => reject(new Error(`pw-onset exited (${code}): ${capture.err}`)));
  }).then(() => waitFor(() => pwLink(h.daemon.env, `${h.sink}:monitor_FL`, `${name}:input_MONO`), 10000, `${h.sink}'s monitor linked to ${name}`, 50));
  return capture;
}

module.exports = { startFleet, canMakeNamespaces, configureSink, play };
