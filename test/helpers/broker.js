'use strict';
// A private MQTT broker for the tests: Debian's mosquitto on a free loopback
// port with a configuration of its own (no system service), stopped, killed
// or started again on the same port; and an MQTT.js client that keeps every
// message it hears.
const { spawn, spawnSync } = require('node:child_process');
const fs = require('node:fs');
const net = require('node:net');
const os = require('node:os');
const path = require('node:path');

const MOSQUITTO = ['/usr/sbin/mosquitto', '/usr/bin/mosquitto'].find((f) => fs.existsSync(f));

function freePort() {
  return new Promise((resolve, reject) => {
    const s = net.createServer().listen(0, '127.0.0.1', () => {
      const { port } = s.address();
      s.close(() => resolve(port));
    });
    s.on('error', reject);
  });
}

// A certificate authority and a server certificate for 127.0.0.1 (EC keys: quick to make), in `dir`.
function makeCertificates(dir) {
  const openssl = (...args) => {
    const r = spawnSync('openssl', args, { cwd: dir, encoding: 'utf8' });
    if (r.status !== 0) throw new Error(`openssl ${args[0]}: ${r.stderr}`);
  };
  openssl('req', '-x509', '-newkey', 'ec', '-pkeyopt', 'ec_paramgen_curve:P-256', '-nodes', '-keyout', 'ca.key', '-out', 'ca.pem', '-days', '2', '-subj', '/CN=quorvane test CA');
  openssl('req', '-newkey', 'ec', '-pkeyopt', 'ec_paramgen_curve:P-256', '-nodes', '-keyout', 'server.key', '-out', 'server.csr', '-subj', '/CN=127.0.0.1');
  fs.writeFileSync(path.join(dir, 'ext.cnf'), 'subjectAltName=IP:127.0.0.1\n');
  openssl('x509', '-req', '-in', 'server.csr', '-CA', 'ca.pem', '-CAkey', 'ca.key', '-CAcreateserial', '-out', 'server.pem', '-days', '2', '-extfile', 'ext.cnf');
  fs.chmodSync(path.join(dir, 'server.key'), 0o644); // mosquitto may run as its own user
  return path.join(dir, 'ca.pem');
}

/**
 * Resolves to { url, port, start(), stop(), close() } once the broker listens;
 * with `users` ({ name: password }) only they get in, and with `tls` over TLS
 * (`ca`: the certificate authority's PEM file; the URL is mqtts://).
 */
async function startBroker({ users = null, tls = false } = {}) {
  const dir = fs.mkdtempSync(path.join(os.tmpdir(), 'quorvane-broker-'));
  fs.chmodSync(dir, 0o755);
  const port = await freePort();
  const conf = path.join(dir, 'mosquitto.conf');
  let lines = `listener ${port} 127.0.0.1\npersistence false\nlog_dest stderr\nlog_type information\n`;
  let ca;
  if (tls) {
    ca = makeCertificates(dir);
    lines += `cafile ${ca}\ncertfile ${dir}/server.pem\nkeyfile ${dir}/server.key\n`;
  }
  if (users) {
    const file = path.join(dir, 'passwords');
    fs.writeFileSync(file, '');
    for (const [name, password] of Object.entries(users)) spawnSync('mosquitto_passwd', ['-b', file, name, password]);
    fs.chmodSync(file, 0o644);
    lines += `allow_anonymous false\npassword_file ${file}\n`;
  } else {
    lines += 'allow_anonymous true\n';
  }
  fs.writeFileSync(conf, lines);
  let proc = null;
  const broker = {
    port,
    ca,
    url: `${tls ? 'mqtts' : 'mqtt'}://127.0.0.1:${port}`,
    async start() {
      proc = spawn(MOSQUITTO, ['-c', conf], { stdio: ['ignore', 'ignore', 'pipe'] });
      let out = '';
      await new Promise((resolve, reject) => {
        const timer = setTimeout(() => reject(new Error(`mosquitto did not start: ${out}`)), 10000);
        proc.stderr.on('data', (d) => {
          out += d;
          if (/running/.test(out)) (clearTimeout(timer), resolve());
        });
        proc.on('exit', (code) => (clearTimeout(timer), reject(new Error(`mosquitto exited (${code}): ${out}`))));
      });
      proc.stderr.resume();
    },
    async stop(signal = 'SIGTERM') {
      if (!proc || proc.exitCode !== null) return;
      const p = proc;
      await new Promise((resolve) => (p.once('exit', resolve), p.kill(signal)));
    },
    async close() {
      await broker.stop();
      fs.rmSync(dir, { recursive: true, force: true });
    },
  };
  await broker.start();
  return broker;
}

/**
 * An MQTT.js client subscribed to `topics`; `retained` maps each topic to
 * its latest payload (text; deleted when emptied), `heard` lists every
 * message; `until(fn)` waits (bounded) for fn() to hold after a message.
 */
async function listen(url, topics, options = {}) {
  const mqtt = require('mqtt');
  const client = await mqtt.connectAsync(url, { reconnectPeriod: 200, protocolVersion: 5, ...options });
  const state = { client, retained: new Map(), heard: [] };
  const waiters = new Set();
  client.on('message', (topic, payload, packet) => {
    const text = payload.toString();
    state.heard.push({ topic, text, packet, at: process.hrtime.bigint() });
    if (text === '') state.retained.delete(topic);
    else state.retained.set(topic, text);
    for (const w of waiters) w();
  });
  state.until = (fn, timeoutMs = 10000, what = 'the messages') =>
    new Promise((resolve, reject) => {
      const check = () => {
        let v;
        try {
          v = fn();
        } catch (e) {
          v = undefined;
          check.last = e;
        }
        if (!v) return;
        waiters.delete(check);
        clearTimeout(timer);
        resolve(v);
      };
      const timer = setTimeout(() => (waiters.delete(check), reject(check.last ?? new Error(`timed out waiting for ${what}`))), timeoutMs);
      waiters.add(check);
      check();
    });
  if (topics.length) await client.subscribeAsync(topics);
  return state;
}

module.exports = { startBroker, listen, available: () => MOSQUITTO !== undefined };
