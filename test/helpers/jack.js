'use strict';
// JACK clients on the tests' private daemons, served by PipeWire's JACK library (pw-jack): the tests' own
// client (test/fixtures/jack-fixture.cpp: chosen ports, audio and MIDI, many, names holding ":") and JACK's
// example clients (jack_simple_client, jack_midiseq, jack_midisine).
const { spawn, spawnSync } = require('node:child_process');
const fs = require('node:fs');
const path = require('node:path');
const readline = require('node:readline');
const { once } = require('node:events');

const FIXTURE = path.join(__dirname, '..', '..', 'build-native', 'jack-fixture');
const STOP_MS = 5000;

const onPath = (cmd) => spawnSync('sh', ['-c', `command -v ${cmd}`]).status === 0;
/** Why the JACK tests cannot run here (a skip reason), or false. */
function missing() {
  if (!onPath('pw-jack')) return 'no pw-jack (pipewire-jack; scripts/setup.sh --all installs it)';
  if (!onPath('jack_simple_client')) return "no JACK example clients (jackd2; Debian 13's jack-example-tools)";
  if (!fs.existsSync(FIXTURE)) return 'no build-native/jack-fixture (libjack-jackd2-dev; make -C test/native)';
  return false;
}

// stop(child) → Promise once it has exited: its standard input closed (the fixture ends then), SIGTERM
// after a while, SIGKILL at the bound.
async function stop(child) {
  if (child.exitCode !== null || child.signalCode !== null) return;
  const exited = once(child, 'exit');
  child.stdin?.end();
  const term = setTimeout(() => child.kill('SIGTERM'), child.stdin ? 1000 : 0);
  const kill = setTimeout(() => child.kill('SIGKILL'), STOP_MS);
  await exited.finally(() => (clearTimeout(term), clearTimeout(kill)));
}

// The fixture's JSON lines, one Promise each in turn (bounded; rejected if it exits first).
function lines(child, client) {
  let err = '';
  child.stderr.on('data', (d) => (err += d));
  const waiting = [];
  readline.createInterface({ input: child.stdout }).on('line', (line) => waiting.shift()?.resolve(JSON.parse(line)));
  child.on('exit', (code) => waiting.splice(0).forEach((w) => w.reject(new Error(`jack-fixture ${client} exited (${code}): ${err}`))));
  return (what) =>
    new Promise((resolve, reject) => {
      const timer = setTimeout(() => (child.kill('SIGKILL'), reject(new Error(`jack-fixture ${client}: not ${what} within 10 s: ${err}`))), 10000);
      waiting.push({ resolve: (v) => (clearTimeout(timer), resolve(v)), reject: (e) => (clearTimeout(timer), reject(e)) });
    });
}

// The fixture client CLIENT (with --wait first in `args`: open, its node made, without ports until a line).
function fixtureClient(env, client, args) {
  const child = spawn('pw-jack', [FIXTURE, ...args], { env, stdio: ['pipe', 'pipe', 'pipe'] });
  return { child, next: lines(child, client), stop: () => stop(child) };
}

/**
 * Starts the fixture client CLIENT with PORTS (DIRECTION:TYPE:NAME, "NAME%d*COUNT" for many) on the daemon of
 * `env`; resolves once it is active with { name (as JACK gave it), ports (their number), child, stop() }.
 */
async function jackClient(env, client, ...ports) {
  const { child, next, stop } = fixtureClient(env, client, [client, ...ports]);
  return { ...(await next('active')), child, stop };
}

// The fixture client CLIENT, open (its node made) but without ports until go(): resolves with { go(),
// stop() }; go() makes its ports and resolves once it is active.
async function jackClientLater(env, client, ...ports) {
  const { child, next, stop } = fixtureClient(env, client, ['--wait', client, ...ports]);
  await next('open');
  return { go: () => Promise.all([next('active'), child.stdin.write('\n')]), stop };
}

/** Starts one of JACK's example clients (`command`, `args`) through pw-jack; { child, stop() }. */
function jackExample(env, command, ...args) {
  const child = spawn('pw-jack', [command, ...args], { env, stdio: ['ignore', 'ignore', 'ignore'] });
  return { child, stop: () => stop(child) };
}

module.exports = { missing, jackClient, jackClientLater, jackExample };
