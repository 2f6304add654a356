'use strict';
// A private MQTT broker for the tests: Debian's mosquitto on a free loopback
// port with a configuration of its own (no system service), stopped, killed
// or started again on the same port; and an MQTT.js client that keeps every
// message it hears.
const { spawn } = require('node:child_process');
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

/** Resolves to { url, port, start(), stop(), kill() } once the broker listens. */
async function startBroker() {
  const dir = fs.mkdtempSync(path.join(os.tmpdir(), 'quorvane-broker-'));
  const port = await freePort();
  const conf = path.join(dir, 'mosquitto.conf');
  fs.writeFileSync(conf, `listener ${port} 127.0.0.1\nallow_anonymous true\npersistence false\nlog_dest stderr\nlog_type information\n`);
  let proc = null;
  const broker = {
    port,
    url: `mqtt://127.0.0.1:${port}`,
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
