'use strict';
// A private MQTT broker for the tests: Debian's mosquitto with a configuration
// of its own (no system service), on a free loopback port or on the listeners
// given, optionally with users and TLS; and an MQTT.js client that keeps what it hears.
const { randomBytes } = require('node:crypto');
const { spawn, spawnSync } = require('node:child_process');
const fs = require('node:fs');
const net = require('node:net');
const os = require('node:os');
const path = require('node:path');

const MOSQUITTO = ['/usr/sbin/mosquitto', '/usr/bin/mosquitto'].find((f) => fs.existsSync(f));
const run = (cmd, args, cwd) => {
  const r = spawnSync(cmd, args, { cwd, encoding: 'utf8' });
  if (r.status !== 0) throw new Error(`${cmd} ${args[0]}: ${r.stderr}`);
};
const freePort = () => new Promise((resolve) => {
  const s = net.createServer().listen(0, '127.0.0.1', () => {
    const { port } = s.address();
    s.close(() => resolve(port));
  });
});

// Resolves to { url, ca, dir, start(), stop(signal), close() } once the broker listens; with `users`
// ({ name: password }) only they get in; with `tls`, TLS with a certificate for 127.0.0.1 signed
// by a CA of its own (`ca`: its PEM file). `listeners` (["PORT ADDRESS" or "0 SOCKET"]) replace
// the loopback port, and `netns` runs it in that network namespace.
async function startBroker({ users = null, tls = false, listeners = null, netns = null, dir = null } = {}) {
  dir ??= fs.mkdtempSync(path.join(os.tmpdir(), 'quorvane-broker-'));
  fs.chmodSync(dir, 0o755); // mosquitto may run as a user of its own
  const port = listeners ? null : await freePort();
  let conf = (listeners ?? [`${port} 127.0.0.1`]).map((l) => `listener ${l}\n`).join('');
  conf += 'persistence false\nlog_dest stderr\nlog_type information\n';
  if (tls) {
    const ec = ['-newkey', 'ec', '-pkeyopt', 'ec_paramgen_curve:P-256', '-nodes'];
    run('openssl', ['req', '-x509', ...ec, '-keyout', 'ca.key', '-out', 'ca.pem', '-days', '2', '-subj', '/CN=test CA'], dir);
    run('openssl', ['req', ...ec, '-keyout', 'server.key', '-out', 'server.csr', '-subj', '/CN=127.0.0.1'], dir);
    fs.writeFileSync(path.join(dir, 'ext'), 'subjectAltName=IP:127.0.0.1\n');
    run('openssl', ['x509', '-req', '-in', 'server.csr', '-CA', 'ca.pem', '-CAkey', 'ca.key', '-CAcreateserial', '-out', 'server.pem', '-days', '2', '-extfile', 'ext'], dir);
    fs.chmodSync(path.join(dir, 'server.key'), 0o644);
    conf += `cafile ${dir}/ca.pem\ncertfile ${dir}/server.pem\nkeyfile ${dir}/server.key\n`;
  }
  if (users) {
    fs.writeFileSync(path.join(dir, 'passwords'), '', { mode: 0o644 });
    for (const [name, password] of Object.entries(users)) run('mosquitto_passwd', ['-b', 'passwords', name, password], dir);
    conf += `allow_anonymous false\npassword_file ${dir}/passwords\n`;
  } else conf += 'allow_anonymous true\n';
  fs.writeFileSync(path.join(dir, 'mosquitto.conf'), conf);
  let proc = null;
  const broker = {
    url: port && `${tls ? 'mqtts' : 'mqtt'}://127.0.0.1:${port}`, ca: tls ? path.join(dir, 'ca.pem') : undefined, dir,
    async start() {
      // It dies with this process, however this process ends.
      const wrap = netns ? ['ip', 'netns', 'exec', netns] : [];
      proc = spawn('setpriv', ['--pdeathsig', 'KILL', ...wrap, MOSQUITTO, '-c', path.join(dir, 'mosquitto.conf')], { stdio: ['ignore', 'ignore', 'pipe'] });
      let out = '';
      await new Promise((resolve, reject) => {
        const timer = setTimeout(() => (proc.kill('SIGKILL'), reject(new Error(`mosquitto did not start: ${out}`))), 10000);
        proc.stderr.on('data', (d) => /running/.test((out += d)) && (clearTimeout(timer), resolve()));
        proc.on('exit', (code) => (clearTimeout(timer), reject(new Error(`mosquitto exited (${code}): ${out}`))));
      });
    },
    async stop(signal = 'SIGTERM') {
      if (proc?.exitCode === null && proc.signalCode === null) await new Promise((resolve) => (proc.once('exit', resolve), proc.kill(signal)));
    },
    async close() {
      await broker.stop();
      fs.rmSync(dir, { recursive: true, force: true });
    },
  };
  await broker.start();
  return broker;
}

// An MQTT.js client subscribed to `topics`: `retained` maps each topic to its latest payload
// (deleted when emptied), `heard` lists every message; `until(fn)` resolves with fn()'s first
// truthy value, tried at each message (one that throws counts as not yet), or rejects after `timeoutMs`.
// `ask(topic, payload, { v4, timeoutMs })` publishes a command (MQTT 5, its answer asked on test/replies; or
// by the MQTT 3.1.1 client `v4`) and resolves to its answer, there or on PREFIX/HOST/reply.
async function listen(url, topics, options = {}) {
  const client = await require('mqtt').connectAsync(url, { reconnectPeriod: 100, protocolVersion: 5, ...options });
  const state = { client, retained: new Map(), heard: [] };
  const waiters = new Set();
  client.on('message', (topic, payload, packet) => {
    const text = payload.toString();
    state.heard.push({ topic, text, packet, at: process.hrtime.bigint() });
    if (text === '') state.retained.delete(topic);
    else state.retained.set(topic, text);
    for (const w of waiters) w();
  });
  state.until = (fn, timeoutMs = 10000, what = 'the messages') => new Promise((resolve, reject) => {
    let last;
    const check = () => {
      let v;
      try { v = fn(); } catch (e) { last = e; }
      if (v) (waiters.delete(check), clearTimeout(timer), resolve(v));
    };
    const timer = setTimeout(() => (waiters.delete(check), reject(last ?? new Error(`timed out waiting for ${what}`))), timeoutMs);
    waiters.add(check);
    check();
  });
  // Correlation data of this listener's own (a bridge answers a copy of a command it has had with that command's answer).
  const tag = randomBytes(4).toString('hex');
  let asked = 0;
  state.ask = async (topic, payload, { v4 = null, timeoutMs = 10000 } = {}) => {
    const [correlation, seen] = [`${tag}-${++asked}`, state.heard.length];
    const properties = { responseTopic: 'test/replies', correlationData: Buffer.from(correlation) };
    (v4 ?? client).publish(topic, payload, v4 ? {} : { properties });
    const isReply = (m) => (m.topic === 'test/replies' ? String(m.packet.properties?.correlationData) === correlation
      : m.topic.endsWith('/reply') && JSON.parse(m.text).topic === topic);
    const reply = await state.until(() => state.heard.slice(seen).find(isReply), timeoutMs, `the reply to ${topic}`);
    return JSON.parse(reply.text);
  };
  if (topics.length) await client.subscribeAsync(topics);
  return state;
}

module.exports = { startBroker, listen, available: () => MOSQUITTO !== undefined };
