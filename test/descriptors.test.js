'use strict';
// Running out of file descriptors: what needs some (a module, a node) is
// refused with EMFILE while the connection stays up, and descriptors 0-2
// stay the process's own. Each case is a child Node.js under `ulimit -n`.
const test = require('node:test');
const assert = require('node:assert/strict');
const { spawn } = require('node:child_process');
const path = require('node:path');
const { startDaemon } = require('./helpers/daemon');

const ROOT = path.join(__dirname, '..');
const daemon = startDaemon();
test.after(() => daemon.stop());

// Runs `script` in a child Node.js with at most `limit` descriptors (soft and
// hard; Node.js raises the soft one to the hard one) and standard input a
// pipe of this process; resolves with the JSON it prints last.
function underLimit(limit, script, timeoutMs = 60000) {
  return new Promise((resolve, reject) => {
    const child = spawn('bash', ['-c', `ulimit -n ${limit} && exec "$0" -e "$1"`, process.execPath, script], {
      env: daemon.env,
      stdio: ['pipe', 'pipe', 'pipe'],
      timeout: timeoutMs,
      killSignal: 'SIGKILL',
    });
    let out = '';
    let err = '';
    child.stdout.on('data', (d) => (out += d));
    child.stderr.on('data', (d) => (err += d));
    child.on('close', (code, signal) => {
      const last = out.trim().split('\n').at(-1);
      if (code !== 0) return reject(new Error(`the child ended with ${code ?? signal}: ${err}${out}`));
      resolve(JSON.parse(last));
    });
  });
}

test('descriptors exhausted under ulimit -n 256: a module and a node are refused with EMFILE, the connection stays up, standard input stays, spawnSync works', async () => {
  const script = `
    const fs = require('node:fs');
    const { spawnSync } = require('node:child_process');
    const { connect } = require(${JSON.stringify(ROOT)});
    const same = (a, b) => a.dev === b.dev && a.ino === b.ino;
    const code = (p) => p.then((made) => (made.close?.(), 'made'), (e) => e.code ?? e.message);
    (async () => {
      const stdin = fs.fstatSync(0);
      const graph = await connect();
      await graph.createNode({ name: 'fd-sink', mediaClass: 'Audio/Sink' });
      // Every descriptor taken but a few, as a script that leaks them would.
      const held = [];
      let why;
      try { for (;;) held.push(fs.openSync('/dev/null', 'r')); } catch (e) { why = e.code; }
      for (let i = 0; i < 6; i++) fs.closeSync(held.pop());
      const refused = {
        filter: await code(graph.createFilter({ name: 'fd-eq' })),
        loopback: await code(graph.createLoopback({ from: 'fd-sink', to: 'fd-sink', name: 'fd-loop' })),
        node: await code(graph.createNode({ name: 'fd-node' })),
      };
      // Still connected: a volume set is answered by the daemon.
      const volume = await graph.setVolume('fd-sink', 0.5).then((n) => n.volume, (e) => e.message);
      const state = graph.state;
      for (const fd of held) fs.closeSync(fd);
      const after = {
        filter: await code(graph.createFilter({ name: 'fd-eq' })),
        node: await code(graph.createNode({ name: 'fd-node' })),
        spawned: spawnSync('true').status,
        stdin: same(fs.fstatSync(0), stdin),
        state: graph.state,
      };
      await graph.close();
      console.log(JSON.stringify({ why, held: held.length, refused, volume, state, after }));
    })().catch((e) => { console.error(e); process.exit(1); });`;
  const r = await underLimit(256, script);
  assert.equal(r.why, 'EMFILE');
  assert.ok(r.held > 150, `${r.held} descriptors held`);
  assert.deepEqual(r.refused, { filter: 'EMFILE', loopback: 'EMFILE', node: 'EMFILE' });
  assert.deepEqual([r.volume, r.state], [0.5, 'connected']);
  assert.deepEqual(r.after, { filter: 'made', node: 'made', spawned: 0, stdin: true, state: 'connected' });
});

test('standard input closed before the add-on loads, and again before it connects: /dev/null is put there, never a descriptor of PipeWire\'s', async () => {
  const script = `
    const fs = require('node:fs');
    const { spawnSync } = require('node:child_process');
    const isNull = (fd) => fs.fstatSync(fd).rdev === fs.statSync('/dev/null').rdev;
    fs.closeSync(0);
    const { connect } = require(${JSON.stringify(ROOT)});
    const loaded = isNull(0);
    (async () => {
      fs.closeSync(0);
      const graph = await connect();
      const connected = isNull(0);
      await graph.createNode({ name: 'fd-guard' });
      const made = graph.nodes().some((n) => n.name === 'fd-guard');
      await graph.close();
      console.log(JSON.stringify({ loaded, connected, made, spawned: spawnSync('true').status }));
    })().catch((e) => { console.error(e); process.exit(1); });`;
  assert.deepEqual(await underLimit(1024, script), { loaded: true, connected: true, made: true, spawned: 0 });
});
