'use strict';
// Starts a private PipeWire daemon: its own runtime directory, no D-Bus, no
// session manager. The calling process's environment is pointed at it, so the
// add-on and PipeWire's tools (pw-dump, pw-link) talk to it and to no other.
// The demo uses it where no daemon is reachable, the tests for every daemon.
const { spawn, spawnSync } = require('node:child_process');
const fs = require('node:fs');
const os = require('node:os');
const path = require('node:path');

const DEFAULT_OBJECTS = [
  { name: 'demo-speakers', mediaClass: 'Audio/Sink', positions: ['FL', 'FR'] },
  // A test-tone source: its adapter gets output ports.
  { name: 'demo-microphone', mediaClass: 'Audio/Source', positions: ['FL', 'FR'], factory: 'audiotestsrc' },
];

function objectConf({ name, mediaClass, positions, factory = 'support.null-audio-sink' }) {
  return `  { factory = adapter
    args = {
      factory.name = ${factory}
      node.name = "${name}"
      media.class = "${mediaClass}"
      audio.position = [ ${positions.join(' ')} ]
    }
  }`;
}

// The port configuration a session manager would set: one port per channel
// of `positions`. Set explicitly rather than left to the adapter's automatic
// one, which PipeWire 1.4 gives a single port in "convert" mode for a
// follower whose format is not fixed (a test-tone source's), where 0.3.65
// gives one per channel.
const portConfig = ({ mediaClass, positions }) =>
  JSON.stringify({
    direction: mediaClass.includes('Source') ? 'Output' : 'Input',
    mode: 'dsp',
    monitor: false,
    control: false,
    format: { mediaType: 'audio', mediaSubtype: 'raw', format: 'F32P', rate: 48000, channels: positions.length, position: positions },
  });

function daemonConf(objects, { linkFactory = true, profiler = false, realtime = false } = {}) {
  // libpipewire-module-access is required: without it clients connect and
  // then hang. There is no driver node, so the graph stays idle.
  return `context.properties = {
  core.daemon = true
  core.name = pipewire-0
  support.dbus = false
  mem.allow-mlock = false
  log.level = 1
}
context.spa-libs = {
  audio.convert.* = audioconvert/libspa-audioconvert
  support.* = support/libspa-support
  audiotestsrc = audiotestsrc/libspa-audiotestsrc
}
context.modules = [
${realtime ? '  { name = libpipewire-module-rt args = { nice.level = -11 } flags = [ ifexists nofail ] }\n' : ''}  { name = libpipewire-module-protocol-native }
  { name = libpipewire-module-metadata }
  { name = libpipewire-module-spa-node-factory }
  { name = libpipewire-module-client-node }
  { name = libpipewire-module-access args = { } }
  { name = libpipewire-module-adapter }
${profiler ? '  { name = libpipewire-module-profiler }\n' : ''}  { name = libpipewire-module-client-device }
${linkFactory ? '  { name = libpipewire-module-link-factory }\n' : ''}]
context.objects = [
${objects.map(objectConf).join('\n')}
]
`;
}

function sleepSync(ms) {
  Atomics.wait(new Int32Array(new SharedArrayBuffer(4)), 0, 0, ms);
}

// Polls `condition` until it holds; throws after `timeoutMs`.
function waitUntilSync(condition, timeoutMs, what) {
  const end = performance.now() + timeoutMs;
  for (;;) {
    if (condition()) return;
    if (performance.now() > end) throw new Error(`timed out waiting for ${what}`);
    sleepSync(10);
  }
}

function dump(env) {
  const r = spawnSync('pw-dump', [], { env, encoding: 'utf8', timeout: 10000, maxBuffer: 1 << 26 });
  if (r.status !== 0) throw new Error(`pw-dump failed: ${r.stderr}`);
  // The snapshot is the first JSON array; updates may follow it.
  const end = r.stdout.search(/^\]$/m);
  return JSON.parse(end < 0 ? r.stdout : r.stdout.slice(0, end + 1));
}

// Gives each configured object its ports and returns once the daemon shows them all.
function configurePorts(objects, env) {
  if (objects.length === 0) return;
  const ids = new Map(dump(env).filter((o) => o.type === 'PipeWire:Interface:Node').map((o) => [o.info.props['node.name'], o.id]));
  for (const object of objects) {
    const r = spawnSync('pw-cli', ['set-param', String(ids.get(object.name)), 'PortConfig', portConfig(object)], { env, encoding: 'utf8', timeout: 5000 });
    if (r.status !== 0 || !ids.has(object.name)) throw new Error(`cannot configure the ports of ${object.name}: ${r.stderr}`);
    // Started, paused and suspended, as a node that has played: PipeWire
    // 1.4's converter keeps the volume and mute set before a node's first
    // start without reporting them (0.3.65 reports them at once). Left
    // started, the adapter would refuse a session manager's PortConfig.
    for (const command of ['Start', 'Pause', 'Suspend']) {
      const c = spawnSync('pw-cli', ['send-command', String(ids.get(object.name)), command, '{}'], { env, encoding: 'utf8', timeout: 5000 });
      if (c.status !== 0) throw new Error(`cannot ${command.toLowerCase()} ${object.name}: ${c.stderr}`);
    }
  }
  const wanted = objects.reduce((n, o) => n + o.positions.length, 0);
  waitUntilSync(() => dump(env).filter((o) => o.type === 'PipeWire:Interface:Port').length >= wanted, 10000, 'the virtual nodes\' ports');
}

const running = new Set();
process.on('exit', () => {
  for (const d of running) d.stop();
});

/**
 * Starts a daemon and points process.env at it (unless `setEnv` is false).
 * Without `linkFactory` the daemon refuses every link request, as one that
 * denies a client the permission does; with `profiler` it has the profiler
 * (what pw-top and graph.profiler() read); with `realtime` its data thread
 * is scheduled as a desktop's daemon's is (module-rt: SCHED_FIFO where the
 * user may, as root can).
 * Returns { dir, env, pid, stop(), kill() }.
 */
function startDaemon({ objects = DEFAULT_OBJECTS, setEnv = true, linkFactory = true, profiler = false, realtime = false } = {}) {
  const dir = fs.mkdtempSync(path.join(os.tmpdir(), 'quorvane-pw-'));
  fs.chmodSync(dir, 0o700);
  const conf = path.join(dir, 'daemon.conf');
  fs.writeFileSync(conf, daemonConf(objects, { linkFactory, profiler, realtime }));
  const env = { ...process.env, XDG_RUNTIME_DIR: dir, PIPEWIRE_RUNTIME_DIR: dir };
  delete env.PIPEWIRE_REMOTE;
  delete env.DBUS_SESSION_BUS_ADDRESS;
  const log = fs.openSync(path.join(dir, 'daemon.log'), 'w');
  // Many nodes hold many descriptors in the daemon; lift its limit. The
  // daemon dies with this process, however this process ends.
  const script = `ulimit -n "$(ulimit -Hn)"; exec pipewire -c "${conf}"`;
  const child = spawn('setpriv', ['--pdeathsig', 'KILL', 'sh', '-c', script], {
    env,
    stdio: ['ignore', log, log],
    detached: false,
  });
  fs.closeSync(log);
  const daemon = {
    dir,
    env,
    pid: child.pid,
    child,
    alive: true,
    stop() {
      if (daemon.alive) daemon.kill();
      running.delete(daemon);
      fs.rmSync(dir, { recursive: true, force: true });
    },
    kill(signal = 'SIGKILL') {
      if (!daemon.alive) return;
      try {
        process.kill(child.pid, signal);
      } catch {}
      // Wait for the process to be gone (the kill takes a moment to land).
      waitUntilSync(() => {
        try {
          process.kill(child.pid, 0);
          const stat = fs.readFileSync(`/proc/${child.pid}/stat`, 'utf8');
          return stat.split(') ')[1][0] === 'Z';
        } catch {
          return true;
        }
      }, 5000, 'the daemon to exit');
      daemon.alive = false;
    },
  };
  running.add(daemon);
  const socket = path.join(dir, 'pipewire-0');
  waitUntilSync(
    () => fs.existsSync(socket) && spawnSync('pw-cli', ['info', '0'], { env, timeout: 2000 }).status === 0,
    10000,
    'the private PipeWire daemon to answer',
  );
  configurePorts(objects, env);
  if (setEnv) {
    process.env.XDG_RUNTIME_DIR = dir;
    process.env.PIPEWIRE_RUNTIME_DIR = dir;
    delete process.env.PIPEWIRE_REMOTE;
  }
  return daemon;
}

module.exports = { startDaemon, waitUntilSync, sleepSync, DEFAULT_OBJECTS, daemonConf };
