'use strict';
// What a one-shot run of the quorvane tool loads, and where it keeps Node.js's
// compile cache.
const test = require('node:test');
const assert = require('node:assert/strict');
const fs = require('node:fs');
const path = require('node:path');
const { spawnSync } = require('node:child_process');
const { privateDaemon } = require('./helpers/setup');
const { CLI } = require('./helpers/child');

const scratch = require('./helpers/cli').scratch('quorvane-cli-speed-');
const { daemon } = privateDaemon({ setEnv: false });

// The tool run with `env`; bounded, so that a tool that spins fails the test.
const quorvane = (args, env, preload = []) =>
  spawnSync(process.execPath, [...preload, CLI, ...args], { env: { ...env, NODE_COMPILE_CACHE: undefined }, encoding: 'utf8', timeout: 20000 });

test('the commands that only read the graph load neither the Graph nor the help texts', () => {
  // Writes the modules the run loaded, as it exits.
  const preload = path.join(scratch, 'record-modules.js');
  fs.writeFileSync(preload, `process.on('exit', () => require('fs').writeFileSync(process.env.MODULES_TO, JSON.stringify(Object.keys(require.cache))));\n`);
  for (const args of [['nodes', '--json'], ['ports'], ['links', '--json'], ['default'], ['volume', 'demo-speakers']]) {
    const to = path.join(scratch, 'modules.json');
    const r = quorvane(args, { ...daemon.env, MODULES_TO: to }, ['--require', preload]);
    assert.equal(r.status, 0, `${args.join(' ')}: ${r.stderr}`);
    const loaded = JSON.parse(fs.readFileSync(to, 'utf8')).map((file) => path.relative(path.join(__dirname, '..'), file));
    assert.deepEqual(['connection/connection', 'graph/graph', 'cli/help'].map((m) => loaded.includes(`lib/${m}.js`)), [true, false, false], args.join(' '));
  }
});

test("the compile cache is kept in this user's own directory under TMPDIR, and a TMPDIR that cannot hold it changes nothing", () => {
  const tmp = fs.mkdtempSync(path.join(scratch, 'tmp-'));
  const r = quorvane(['--help'], { ...process.env, TMPDIR: tmp });
  assert.equal(r.status, 0, r.stderr);
  const cache = path.join(tmp, 'node-compile-cache');
  assert.ok(fs.readdirSync(cache).some((tag) => fs.readdirSync(path.join(cache, tag)).length > 0), 'modules cached');
  // Under /proc a directory can be neither made nor used; someone else's is not used.
  for (const dir of ['/proc', '/proc/no-such-dir']) {
    const p = quorvane(['--help'], { ...process.env, TMPDIR: dir });
    assert.deepEqual([p.status, p.signal, p.stdout.startsWith('Usage: quorvane')], [0, null, true], dir);
  }
  if (process.getuid() === 0) {
    const theirs = fs.mkdtempSync(path.join(scratch, 'theirs-'));
    fs.mkdirSync(path.join(theirs, 'node-compile-cache'), { mode: 0o777 });
    fs.chownSync(path.join(theirs, 'node-compile-cache'), 65534, 65534);
    assert.equal(quorvane(['--help'], { ...process.env, TMPDIR: theirs }).status, 0);
    assert.deepEqual(fs.readdirSync(path.join(theirs, 'node-compile-cache')), [], "another user's directory was used");
  }
});
