'use strict';
// A real session manager beside a test's private daemon: Debian's WirePlumber
// on a private session bus, with its configuration, state and home in a
// temporary directory, so it never sees the machine's daemon, bus, devices or
// the user's saved settings. Hardware monitors (ALSA, Bluetooth, V4L2,
// libcamera) are off: only the daemon's own nodes and the test's streams are
// there to link.
const { spawn, spawnSync } = require('node:child_process');
const fs = require('node:fs');
const os = require('node:os');
const path = require('node:path');

const { waitFor: poll } = require('./fixture');

// A session bus that activates nothing: no service directories.
const BUS_CONF = (socket) => `<!DOCTYPE busconfig PUBLIC "-//freedesktop//DTD D-Bus Bus Configuration 1.0//EN"
 "http://www.freedesktop.org/standards/dbus/1.0/busconfig.dtd">
<busconfig>
  <type>session</type>
  <listen>unix:path=${socket}</listen>
  <auth>EXTERNAL</auth>
  <policy context="default">
    <allow send_destination="*" eavesdrop="true"/>
    <allow eavesdrop="true"/>
    <allow own="*"/>
  </policy>
</busconfig>
`;

// WirePlumber's own configuration minus the hardware: the main and policy
// scripts as Debian ships them, no Bluetooth, no real-time module.
const WP_CONF = `context.properties = {
  log.level = 2
  wireplumber.script-engine = lua-scripting
}
context.spa-libs = {
  audio.convert.* = audioconvert/libspa-audioconvert
  support.*       = support/libspa-support
}
context.modules = [
  { name = libpipewire-module-protocol-native }
  { name = libpipewire-module-client-node }
  { name = libpipewire-module-client-device }
  { name = libpipewire-module-adapter }
  { name = libpipewire-module-metadata }
  { name = libpipewire-module-session-manager }
]
wireplumber.components = [
  { name = libwireplumber-module-lua-scripting, type = module }
  { name = main.lua, type = config/lua }
  { name = policy.lua, type = config/lua }
]
`;
// Read after Debian's 50-*-config.lua files, before their 90-enable-all.lua.
const WP_NO_DEVICES = `alsa_monitor.enabled = false
v4l2_monitor.enabled = false
libcamera_monitor.enabled = false
`;

function stopChild(child) {
  if (child.exitCode !== null || child.signalCode !== null) return Promise.resolve();
  return new Promise((resolve) => {
    const timer = setTimeout(() => child.kill('SIGKILL'), 3000);
    child.once('exit', () => {
      clearTimeout(timer);
      resolve();
    });
    child.kill('SIGTERM');
  });
}

/** The "default" metadata's entries, as pw-dump shows them. */
function defaultMetadata(env) {
  const r = spawnSync('pw-dump', ['-N'], { env, encoding: 'utf8', timeout: 10000, maxBuffer: 1 << 26 });
  if (r.status !== 0) return undefined;
  let objects;
  try {
    objects = JSON.parse(r.stdout);
  } catch {
    return undefined;
  }
  return objects.find((o) => o.type === 'PipeWire:Interface:Metadata' && o.props?.['metadata.name'] === 'default')
    ?.metadata;
}

/**
 * Starts a session bus and WirePlumber for the private daemon `daemon`
 * (from lib/private-daemon.js); resolves once WirePlumber has made the
 * "default" metadata. Returns { env, dir, log(), metadata(), setMetadata(), stop() }.
 * `env` is the daemon's environment with the bus: give it to the test's
 * streams and tools.
 */
async function startSessionManager(daemon, { timeoutMs = 10000 } = {}) {
  const dir = fs.mkdtempSync(path.join(os.tmpdir(), 'quorvane-sm-'));
  const home = path.join(dir, 'home');
  const config = path.join(dir, 'config');
  const state = path.join(dir, 'state');
  const wpDir = path.join(config, 'wireplumber');
  for (const d of [home, state, path.join(wpDir, 'main.lua.d')]) fs.mkdirSync(d, { recursive: true });
  fs.writeFileSync(path.join(wpDir, 'wireplumber.conf'), WP_CONF);
  fs.writeFileSync(path.join(wpDir, 'main.lua.d', '60-quorvane-test-no-devices.lua'), WP_NO_DEVICES);

  const busSocket = path.join(dir, 'bus');
  fs.writeFileSync(path.join(dir, 'bus.conf'), BUS_CONF(busSocket));
  const env = {
    ...daemon.env,
    DBUS_SESSION_BUS_ADDRESS: `unix:path=${busSocket}`,
    HOME: home,
    XDG_CONFIG_HOME: config,
    XDG_STATE_HOME: state,
    XDG_DATA_HOME: path.join(home, 'data'),
    XDG_CACHE_HOME: path.join(home, 'cache'),
  };
  delete env.PIPEWIRE_REMOTE;
  delete env.WIREPLUMBER_CONFIG_DIR;
  delete env.WIREPLUMBER_DATA_DIR;

  const children = [];
  const logPath = path.join(dir, 'wireplumber.log');
  const sm = {
    dir,
    env,
    log: () => fs.readFileSync(logPath, 'utf8'),
    metadata: () => defaultMetadata(env),
    /** `pw-metadata -n default SUBJECT KEY VALUE TYPE`; without VALUE, deletes the key. */
    setMetadata(subject, key, value, type = 'Spa:Id') {
      const args = value === undefined ? ['-n', 'default', '-d', String(subject), key] : ['-n', 'default', String(subject), key, String(value), type];
      const r = spawnSync('pw-metadata', args, { env, encoding: 'utf8', timeout: 5000 });
      if (r.status !== 0) throw new Error(`pw-metadata ${args.join(' ')} failed: ${r.stderr}`);
    },
    async stop() {
      await Promise.all(children.reverse().map(stopChild));
      fs.rmSync(dir, { recursive: true, force: true });
    },
  };
  try {
    // Both die with this process, however it ends.
    const bus = spawn('setpriv', ['--pdeathsig', 'KILL', 'dbus-daemon', '--nofork', '--nosyslog', `--config-file=${path.join(dir, 'bus.conf')}`], {
      env,
      stdio: 'ignore',
    });
    children.push(bus);
    await poll(() => fs.existsSync(busSocket) || bus.exitCode !== null, timeoutMs, 'the session bus');
    if (bus.exitCode !== null) throw new Error('dbus-daemon exited at once');

    const log = fs.openSync(logPath, 'w');
    const wp = spawn('setpriv', ['--pdeathsig', 'KILL', 'wireplumber'], { env, stdio: ['ignore', log, log] });
    fs.closeSync(log);
    children.push(wp);
    // Polled with pw-dump, a process each time: a bounded wait, not a spin.
    await poll(
      () => {
        if (wp.exitCode !== null || wp.signalCode !== null) throw new Error(`wireplumber exited:\n${sm.log()}`);
        return sm.metadata() !== undefined;
      },
      timeoutMs,
      'WirePlumber to make the "default" metadata',
      100,
    );
    return sm;
  } catch (e) {
    await sm.stop();
    throw e;
  }
}

/**
 * A WAV file of `seconds` of stereo 16-bit audio at 8 kHz: silence, or a
 * 440 Hz tone of `level` (0 to 1 of full scale).
 */
function wav(file, seconds, level = 0) {
  const rate = 8000;
  const data = Buffer.alloc(rate * 4 * seconds);
  for (let i = 0; level && i < rate * seconds; i++) {
    const v = Math.round(32767 * level * Math.sin((2 * Math.PI * 440 * i) / rate));
    data.writeInt16LE(v, i * 4);
    data.writeInt16LE(v, i * 4 + 2);
  }
  const h = Buffer.alloc(44);
  h.write('RIFF', 0);
  h.writeUInt32LE(36 + data.length, 4);
  h.write('WAVEfmt ', 8);
  h.writeUInt32LE(16, 16);
  h.writeUInt16LE(1, 20);
  h.writeUInt16LE(2, 22);
  h.writeUInt32LE(rate, 24);
  h.writeUInt32LE(rate * 4, 28);
  h.writeUInt16LE(4, 32);
  h.writeUInt16LE(16, 34);
  h.write('data', 36);
  h.writeUInt32LE(data.length, 40);
  fs.writeFileSync(file, Buffer.concat([h, data]));
  return file;
}

/**
 * Plays silence (or a tone of `level`) with pw-play as a stream named `name`
 * ("Stream/Output/Audio", linked by the session manager). Returns the child;
 * stop it with kill(). (WirePlumber does not link pw-fixture's nodes: they
 * offer no format, so its audio adapter item refuses them.) The daemon's null
 * sinks, or any other driver, drive it.
 */
function playStream(sm, name, { seconds = 120, level = 0 } = {}) {
  const file = wav(path.join(sm.dir, `${name}.wav`), seconds, level);
  return spawn('setpriv', ['--pdeathsig', 'KILL', 'pw-play', '-P', `{ node.name = "${name}" }`, file], {
    env: sm.env,
    stdio: 'ignore',
  });
}

module.exports = { poll, startSessionManager, playStream, wav, defaultMetadata };
