'use strict';
// Hosts of a fleet on one machine: each a network namespace of its own,
// joined to the first (the hub) by a veth pair with addresses of TEST-NET-2
// (198.51.100.0/24) and nothing else; each with a private PipeWire daemon (a
// sink with monitor ports) and a bridge (`graph.mqtt()` in a child process
// inside its namespace), mosquitto inside the hub's namespace, reached by the
// bridges over the veths and by the test through a socket file. Everything
// is removed by stop(), also when a test fails (test.after), and the
// daemons, broker and bridges die with the test process.
const { spawn, spawnSync } = require('node:child_process');
const fs = require('node:fs');
const os = require('node:os');
const path = require('node:path');
const { startDaemon } = require('./daemon');
const { restartDaemon } = require('./cli');

const ROOT = path.join(__dirname, '..', '..');
const MOSQUITTO = ['/usr/sbin/mosquitto', '/usr/bin/mosquitto'].find((f) => fs.existsSync(f));
const BRIDGE = path.join(__dirname, 'fleet-bridge.js');
const PORT_CONFIG = '{ mode = dsp monitor = false control = false position = preserve }';
// A child that meters a node of the daemon it is pointed at, 60 times a
// second, one JSON line a level: { at (Date.now() as it came), peak, rms };
// the meter finds its node again when the daemon comes back.
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
const inNs = (ns, cmd, args) => spawnSync('ip', ['netns', 'exec', ns, cmd, ...args], { encoding: 'utf8', timeout: 10000 });

/** Whether this machine can make network namespaces (root, iproute2). */
function canMakeNamespaces() {
  if (process.getuid?.() !== 0) return 'network namespaces need root';
  if (spawnSync('ip', ['-V']).status !== 0) return 'no ip (iproute2)';
  if (!MOSQUITTO) return 'no mosquitto';
  return null;
}

// The sink's ports as a session manager sets them, with monitor ports for
// the meters; again after each start of its daemon.
function configureSink(env, name) {
  const dump = JSON.parse(spawnSync('pw-dump', [], { env, encoding: 'utf8', timeout: 10000 }).stdout.replace(/\n\][\s\S]*$/, '\n]'));
  const node = dump.find((o) => o.type === 'PipeWire:Interface:Node' && o.info.props['node.name'] === name);
  if (!node) throw new Error(`no sink ${name}`);
  const config = { direction: 'Input', mode: 'dsp', monitor: true, control: false, format: { mediaType: 'audio', mediaSubtype: 'raw', format: 'F32P', rate: 48000, channels: 2, position: ['FL', 'FR'] } };
  const r = spawnSync('pw-cli', ['set-param', String(node.id), 'PortConfig', JSON.stringify(config)], { env, encoding: 'utf8', timeout: 5000 });
  if (r.status !== 0) throw new Error(`cannot set the ports of ${name} up: ${r.stderr}`);
}

/**
 * startFleet(names, { broker options }) → { hosts: { NAME: host }, hub, socket, url(name), stop() }:
 * the namespaces, daemons and mosquitto (bridges are started with host.startBridge()). Each host:
 * { name, ns, address, daemon, sink (its sink's name), startBridge(options), bridge, restartDaemon() }.
 */
async function startFleet(names, { tag = `${process.pid % 10000}` } = {}) {
  const fleet = { hosts: {}, namespaces: [], veths: [], processes: new Set(), dirs: [] };
  fleet.stop = async () => {
    for (const child of fleet.processes) if (child.exitCode === null && child.signalCode === null) child.kill('SIGKILL');
    await Promise.all([...fleet.processes].map((c) => (c.exitCode === null && c.signalCode === null ? new Promise((r) => c.once('exit', r)) : null)));
    for (const h of Object.values(fleet.hosts)) h.daemon?.stop();
    for (const ns of fleet.namespaces) spawnSync('ip', ['netns', 'del', ns]);
    for (const dir of fleet.dirs) fs.rmSync(dir, { recursive: true, force: true });
  };
  try {
    names.forEach((name, i) => {
      const ns = `qvf${tag}-${i}`;
      spawnSync('ip', ['netns', 'del', ns]); // one a killed run may have left
      ip('netns', 'add', ns);
      fleet.namespaces.push(ns);
      ip('-n', ns, 'link', 'set', 'lo', 'up');
      fleet.hosts[name] = { name, ns, index: i };
    });
    const hub = fleet.hosts[names[0]];
    fleet.hub = hub;
    names.slice(1).forEach((name, k) => {
      const h = fleet.hosts[name];
      const [a, b] = [`qh${tag}x${k}`, `ql${tag}x${k}`];
      ip('link', 'add', a, 'netns', hub.ns, 'type', 'veth', 'peer', 'name', b, 'netns', h.ns);
      const base = 4 * k;
      ip('-n', hub.ns, 'addr', 'add', `198.51.100.${base + 1}/30`, 'dev', a);
      ip('-n', h.ns, 'addr', 'add', `198.51.100.${base + 2}/30`, 'dev', b);
      ip('-n', hub.ns, 'link', 'set', a, 'up');
      ip('-n', h.ns, 'link', 'set', b, 'up');
      ip('-n', h.ns, 'route', 'add', 'default', 'via', `198.51.100.${base + 1}`);
      h.address = `198.51.100.${base + 2}`;
      h.veth = b;
      h.hubVeth = a;
      if (k === 0) hub.address = `198.51.100.${base + 1}`;
    });
    if (names.length > 2) inNs(hub.ns, 'sysctl', ['-qw', 'net.ipv4.ip_forward=1']);
    // mosquitto inside the hub: TCP for the bridges, a socket file for the test.
    const dir = fs.mkdtempSync(path.join(os.tmpdir(), 'quorvane-fleet-'));
    fs.chmodSync(dir, 0o755);
    fleet.dirs.push(dir);
    // mosquitto binds its socket once it is its own user: a folder it may write.
    fs.mkdirSync(path.join(dir, 'socket'), { mode: 0o1777 });
    fs.chmodSync(path.join(dir, 'socket'), 0o1777);
    fleet.socket = path.join(dir, 'socket', 'mqtt.sock');
    fs.writeFileSync(path.join(dir, 'mosquitto.conf'), `listener 1883 0.0.0.0\nlistener 0 ${fleet.socket}\nallow_anonymous true\npersistence false\nlog_dest stderr\nlog_type information\n`);
    fleet.broker = `mqtt://${hub.address}:1883`;
    fleet.startBroker = async () => {
      const child = spawn('setpriv', ['--pdeathsig', 'KILL', 'ip', 'netns', 'exec', hub.ns, MOSQUITTO, '-c', path.join(dir, 'mosquitto.conf')], { stdio: ['ignore', 'ignore', 'pipe'] });
      fleet.processes.add(child);
      fleet.mosquitto = child;
      let out = '';
      await new Promise((resolve, reject) => {
        const timer = setTimeout(() => reject(new Error(`mosquitto did not start: ${out}`)), 10000);
        child.stderr.on('data', (d) => /running/.test((out += d)) && (clearTimeout(timer), resolve()));
        child.on('exit', (code) => (clearTimeout(timer), reject(new Error(`mosquitto exited (${code}): ${out}`))));
      });
    };
    await fleet.startBroker();
    for (const h of Object.values(fleet.hosts)) {
      h.sink = `${h.name}-speakers`;
      // A sink, and a capture device (a test tone) that no rule lets the host send.
      const objects = [{ name: h.sink, mediaClass: 'Audio/Sink', positions: ['FL', 'FR'] }, { name: `${h.name}-mic`, mediaClass: 'Audio/Source', positions: ['FL', 'FR'], factory: 'audiotestsrc' }];
      h.daemon = startDaemon({ setEnv: false, objects });
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
      h.play = (name, file) => {
        const player = spawn('pw-cat', ['--playback', '--target', '0', '--latency', '256', '-P', `{ node.name = ${name} adapter.auto-port-config = ${PORT_CONFIG} }`, file], { env: h.daemon.env, stdio: 'ignore' });
        fleet.processes.add(player);
        // Played on the host's own sink too, which drives it: a private
        // daemon has no fallback driver (PipeWire's default configuration's
        // Dummy-Driver), and PipeWire 1.x leaves a stream linked to no driver
        // suspended.
        const deadline = Date.now() + 10000;
        const link = () => {
          const ok = ['FL', 'FR'].every((c) => spawnSync('pw-link', [`${name}:output_${c}`, `${h.sink}:playback_${c}`], { env: h.daemon.env, timeout: 5000 }).status === 0);
          if (!ok && Date.now() < deadline && player.exitCode === null) setTimeout(link, 50);
        };
        setTimeout(link, 50);
        return player;
      };
      h.onsets = (name) => startOnsets(fleet, h, name);
      h.dump = () => JSON.parse(spawnSync('pw-dump', [], { env: h.daemon.env, encoding: 'utf8', timeout: 10000 }).stdout.replace(/\n\][\s\S]*$/, '\n]'));
    }
  } catch (e) {
    await fleet.stop();
    throw e;
  }
  return fleet;
}

// A bridge for host `h` in its namespace: resolves once it is connected,
// with { child, out, err, kill() }.
function startBridge(fleet, h, options) {
  const config = { broker: fleet.broker, hostName: h.name, forgetAfterMs: 2000, ...options, streams: { address: h.address, ...options.streams } };
  const child = spawn('ip', ['netns', 'exec', h.ns, process.execPath, BRIDGE, JSON.stringify(config)], { env: { ...h.daemon.env, QUORVANE_ROOT: ROOT }, stdio: ['ignore', 'pipe', 'pipe'] });
  fleet.processes.add(child);
  const bridge = { child, out: '', err: '' };
  bridge.exited = new Promise((resolve) => child.once('exit', resolve));
  bridge.kill = async () => {
    if (child.exitCode === null && child.signalCode === null) {
      child.kill('SIGKILL');
      await bridge.exited;
    }
  };
  child.stderr.on('data', (d) => (bridge.err += d));
  h.bridge = bridge;
  return new Promise((resolve, reject) => {
    const timer = setTimeout(() => reject(new Error(`the bridge of ${h.name} did not start: ${bridge.err}`)), 20000);
    child.stdout.on('data', (d) => {
      bridge.out += d;
      if (/^ready$/m.test(bridge.out)) (clearTimeout(timer), resolve(bridge));
    });
    child.once('exit', (code) => (clearTimeout(timer), reject(new Error(`the bridge of ${h.name} exited (${code}): ${bridge.err}`))));
  });
}

// Levels of `node` on host `h`: { levels: [{ at, peak, rms }], err, stop() }.
function startMeter(fleet, h, node) {
  const child = spawn(process.execPath, ['-e', METER, node], { env: { ...h.daemon.env, QUORVANE_ROOT: ROOT }, stdio: ['ignore', 'pipe', 'pipe'] });
  fleet.processes.add(child);
  const meter = { levels: [], err: '', child };
  let rest = '';
  child.stdout.on('data', (d) => {
    const lines = (rest + d).split('\n');
    rest = lines.pop();
    for (const line of lines) meter.levels.push(JSON.parse(line, (k, v) => (v === null && (k === '0' || k === '1') ? -Infinity : v)));
  });
  child.stderr.on('data', (d) => (meter.err += d));
  meter.stop = () => child.kill('SIGKILL');
  return meter;
}

const ONSET = path.join(ROOT, 'build-native', 'pw-onset');

// The onsets of sound after silence on host `h`'s sink, timed to the sample
// by build-native/pw-onset (its capture stream `name` linked to the sink's
// FL monitor): { onsets, gaps (sound back after a dropout): [ms of CLOCK_MONOTONIC], ready (a promise), err, stop() }.
function startOnsets(fleet, h, name) {
  if (!fs.existsSync(ONSET)) throw new Error(`no ${ONSET}: make -C test/native all`);
  const child = spawn(ONSET, [name], { env: h.daemon.env, stdio: ['ignore', 'pipe', 'pipe'] });
  fleet.processes.add(child);
  const capture = { onsets: [], gaps: [], err: '', child, stop: () => child.kill('SIGKILL') };
  let rest = '';
  capture.ready = new Promise((resolve, reject) => {
    child.stdout.on('data', (d) => {
      const lines = (rest + d).split('\n');
      rest = lines.pop();
      for (const line of lines) {
        if (line === 'ready') resolve();
        const m = /^onset (\d+)$/.exec(line);
        if (m) capture.onsets.push(Number(m[1]) / 1e6);
        if (line.startsWith('gap ')) capture.gaps.push(Number(line.slice(4)) / 1e6);
      }
    });
    child.once('exit', (code) => reject(new Error(`pw-onset exited (${code}): ${capture.err}`)));
  }).then(() => {
    const deadline = Date.now() + 10000;
    const link = () => spawnSync('pw-link', [`${h.sink}:monitor_FL`, `${name}:input_MONO`], { env: h.daemon.env, timeout: 5000 }).status === 0;
    const again = (resolve, reject) => (link() ? resolve() : Date.now() > deadline ? reject(new Error(`cannot link ${h.sink}'s monitor to ${name}`)) : setTimeout(() => again(resolve, reject), 50));
    return new Promise(again);
  });
  child.stderr.on('data', (d) => (capture.err += d));
  return capture;
}

module.exports = { startFleet, canMakeNamespaces, configureSink };
