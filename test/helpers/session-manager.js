'use strict';
// A real session manager beside a test's private daemon: Debian's WirePlumber on a private session bus, with
// its configuration, state and home in a temporary directory, so it never sees the machine's daemon, bus,
// devices or the user's saved settings. Hardware monitors (ALSA, Bluetooth, V4L2, libcamera) are off: only
// the daemon's own nodes and the test's streams are there to link.
const { spawn, spawnSync } = require('node:child_process');
const { once } = require('node:events');
const fs = require('node:fs');
const os = require('node:os');
const path = require('node:path');

const { waitFor: poll, pwDump, pwMetadata } = require('./fixture');

// A session bus that activates nothing: no service directories.
const BUS_CONF = (socket) => `<!DOCTYPE busconfig PUBLIC "-//freedesktop//DTD D-Bus Bus Configuration 1.0//EN"
 "http://www.freedesktop.org/standards/dbus/1.0/busconfig.dtd">
<busconfig><type>session</type><listen>unix:path=${socket}</listen><auth>EXTERNAL</auth>
  <policy context="default"><allow send_destination="*" eavesdrop="true"/><allow eavesdrop="true"/><allow own="*"/></policy>
</busconfig>`;

// WirePlumber 0.4: its own configuration minus the hardware: the main and policy scripts as Debian ships
// them, no Bluetooth, no real-time module.
const WP04_CONF = `context.properties = { log.level = 2 wireplumber.script-engine = lua-scripting }
context.spa-libs = { audio.convert.* = audioconvert/libspa-audioconvert support.* = support/libspa-support }
context.modules = [ { name = libpipewire-module-protocol-native } { name = libpipewire-module-client-node }
  { name = libpipewire-module-client-device } { name = libpipewire-module-adapter }
  { name = libpipewire-module-metadata } { name = libpipewire-module-session-manager } ]
wireplumber.components = [ { name = libwireplumber-module-lua-scripting, type = module }
  { name = main.lua, type = config/lua } { name = policy.lua, type = config/lua } ]
`;
// Read after Debian's 50-*-config.lua files, before their 90-enable-all.lua.
const WP04_NO_DEVICES = ['alsa', 'v4l2', 'libcamera'].map((m) => `${m}_monitor.enabled = false\n`).join('');
// WirePlumber 0.5 refuses Lua configuration: a fragment of its SPA-JSON one, merged into the profile it runs
// (main): the policy as shipped, no hardware, nothing that would look for a service on the bus.
const WP05_OFF = ['hardware.audio', 'hardware.bluetooth', 'hardware.video-capture', 'support.reserve-device',
  'support.portal-permissionstore', 'script.client.access-portal', 'support.logind'];
const WP05_FRAGMENT = `wireplumber.profiles = { main = { ${WP05_OFF.join(' = disabled ')} = disabled } }`;

// Whether the installed WirePlumber (its library) is 0.4: Lua configuration, no volume restore as it starts.
function wirePlumber04() {
  const r = spawnSync('wireplumber', ['--version'], { encoding: 'utf8', timeout: 5000 });
  const m = /Linked with libwireplumber (\d+)\.(\d+)/.exec(r.stdout ?? '');
  if (!m) throw new Error(`cannot tell WirePlumber's version: ${r.error?.message ?? r.stdout + r.stderr}`);
  return m[1] === '0' && Number(m[2]) < 5;
}

// Writes into `wpDir` the configuration the installed WirePlumber (0.4 or 0.5) reads.
function writeConfig(wpDir) {
  const lua = wirePlumber04();
  const [dir, file, text] = lua ? ['main.lua.d', '60-quorvane-test-no-devices.lua', WP04_NO_DEVICES] : ['wireplumber.conf.d', '60-quorvane-test.conf', WP05_FRAGMENT];
  fs.mkdirSync(path.join(wpDir, dir), { recursive: true });
  fs.writeFileSync(path.join(wpDir, dir, file), text);
  if (lua) fs.writeFileSync(path.join(wpDir, 'wireplumber.conf'), WP04_CONF);
}

async function stopChild(child) {
  if (child.exitCode !== null || child.signalCode !== null) return;
  const timer = setTimeout(() => child.kill('SIGKILL'), 3000);
  child.kill('SIGTERM');
  await once(child, 'exit');
  clearTimeout(timer);
}

// Started so that it dies with this process, however that ends.
const orphanProof = (args, options) => spawn('setpriv', ['--pdeathsig', 'KILL', ...args], options);

// Whether the registry lists a metadata object named "default", read without binding it (pw-cli ls).
function listsDefaultMetadata(env) {
  const r = spawnSync('pw-cli', ['ls', 'Metadata'], { env, encoding: 'utf8', timeout: 5000 });
  return /^\s*metadata\.name = "default"$/m.test(r.stdout ?? '');
}

// Starts a session bus and WirePlumber for the private daemon `daemon` (scripts/private-daemon.js); resolves once
// WirePlumber has made the "default" metadata, to { env, dir, log(), metadata(), setMetadata(), stop() }.
// `env`: the daemon's environment with the bus, for the test's streams and tools.
async function startSessionManager(daemon, { timeoutMs = 10000 } = {}) {
  const dir = fs.mkdtempSync(path.join(os.tmpdir(), 'quorvane-sm-'));
  const [home, config, state] = ['home', 'config', 'state'].map((d) => path.join(dir, d));
  const wpDir = path.join(config, 'wireplumber');
  for (const d of [home, state, wpDir]) fs.mkdirSync(d, { recursive: true });
  writeConfig(wpDir);

  const busSocket = path.join(dir, 'bus');
  fs.writeFileSync(path.join(dir, 'bus.conf'), BUS_CONF(busSocket));
  const env = { ...daemon.env, DBUS_SESSION_BUS_ADDRESS: `unix:path=${busSocket}`, HOME: home, XDG_CONFIG_HOME: config,
    XDG_STATE_HOME: state, XDG_DATA_HOME: path.join(home, 'data'), XDG_CACHE_HOME: path.join(home, 'cache') };
  for (const name of ['PIPEWIRE_REMOTE', 'WIREPLUMBER_CONFIG_DIR', 'WIREPLUMBER_DATA_DIR']) delete env[name];

  const children = [];
  const logPath = path.join(dir, 'wireplumber.log');
  const sm = {
    dir, env,
    log: () => fs.readFileSync(logPath, 'utf8'),
    /** The "default" metadata's entries, as pw-dump shows them; undefined while there are none (or pw-dump fails). */
    metadata: () => {
      try { return pwDump(env).find((o) => o.type === 'PipeWire:Interface:Metadata' && o.props?.['metadata.name'] === 'default')?.metadata; } catch {}
    },
    setMetadata: (subject, key, value, type = 'Spa:Id') => pwMetadata([subject, key, value, type], { env }),
    async stop() {
      await Promise.all(children.reverse().map(stopChild));
      fs.rmSync(dir, { recursive: true, force: true });
    },
  };
  try {
    const bus = orphanProof(['dbus-daemon', '--nofork', '--nosyslog', `--config-file=${path.join(dir, 'bus.conf')}`], { env, stdio: 'ignore' });
    children.push(bus);
    await poll(() => fs.existsSync(busSocket) || bus.exitCode !== null, timeoutMs, 'the session bus');
    if (bus.exitCode !== null) throw new Error('dbus-daemon exited at once');

    const log = fs.openSync(logPath, 'w');
    const wp = orphanProof(['wireplumber'], { env, stdio: ['ignore', log, log] });
    fs.closeSync(log);
    children.push(wp);
    // Polled with pw-cli's listing of the registry, a process each time: a bounded wait, not a spin. Never with
    // pw-dump: a client that binds the metadata while WirePlumber 0.4 is still making it leaves PipeWire 0.3.65
    // passing none of its changes on to anyone, for that WirePlumber's life (about one start in two, polled so).
    await poll(() => {
      if (wp.exitCode !== null || wp.signalCode !== null) throw new Error(`wireplumber exited:\n${sm.log()}`);
      return listsDefaultMetadata(env);
    }, timeoutMs, 'WirePlumber to make the "default" metadata', 100);
    return sm;
  } catch (e) {
    await sm.stop();
    throw e;
  }
}

// Plays `seconds` of silence with pw-play as a stream named `name`, for the session manager to link (it does not
// link pw-fixture's nodes: they offer no format, so its audio adapter item refuses them); the daemon's null sinks
// or any other driver drive it. Returns the child; stop it with kill().
function playStream(sm, name, { seconds = 120 } = {}) {
  // A Sun audio file of stereo 16-bit silence at 8 kHz. Big-endian: the magic, where the samples start, their
  // size, 16-bit linear PCM, the rate, 2 channels.
  const data = Buffer.alloc(24 + 8000 * 4 * seconds);
  [0x2e736e64, 24, data.length - 24, 3, 8000, 2].forEach((v, i) => data.writeUInt32BE(v, i * 4));
  const file = path.join(sm.dir, `${name}.au`);
  fs.writeFileSync(file, data);
  return orphanProof(['pw-play', '-P', `{ node.name = "${name}" }`, file], { env: sm.env, stdio: 'ignore' });
}

module.exports = { poll, startSessionManager, playStream, wirePlumber04, orphanProof };
