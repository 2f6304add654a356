'use strict';
// How the package loads and what it declares: named imports from an ES module
// (run and type-checked), the TypeScript declarations, and the refusal in a
// worker thread, whichever thread loads the add-on first.
const test = require('node:test');
const assert = require('node:assert/strict');
const fs = require('node:fs');
const os = require('node:os');
const path = require('node:path');
const { spawnSync } = require('node:child_process');
const { runChild } = require('./helpers/child');

const ROOT = path.join(__dirname, '..');
const packageExports = Object.keys(require('..'));
const TSC = [require.resolve('typescript/bin/tsc'), '--noEmit', '--strict', '--target', 'es2022'];
const tsc = (...args) => spawnSync(process.execPath, [...TSC, ...args], { encoding: 'utf8', timeout: 120000 });

test('an ES module imports every function by name, and the same file type-checks', () => {
  // A project with the package installed under its name (a link to this checkout).
  const dir = fs.mkdtempSync(path.join(os.tmpdir(), 'quorvane-esm-'));
  try {
    fs.mkdirSync(path.join(dir, 'node_modules'));
    fs.symlinkSync(ROOT, path.join(dir, 'node_modules', 'quorvane'), 'dir');
    const file = path.join(dir, 'named-imports.mjs');
    fs.copyFileSync(path.join(__dirname, 'esm', 'named-imports.mjs'), file);
    const r = spawnSync(process.execPath, [file], { encoding: 'utf8', timeout: 20000 });
    assert.equal(r.status, 0, r.stderr);
    const { same, namespace, nodes, format } = JSON.parse(r.stdout);
    const sorted = [...packageExports].sort();
    assert.deepEqual([same, namespace.sort(), nodes, format], [packageExports, sorted, [], { linkId: 5, format: 'unknown' }]);
    const t = tsc('--module', 'nodenext', '--moduleResolution', 'nodenext', '--allowJs', '--checkJs', file);
    assert.equal(t.status, 0, t.stdout + t.stderr);
  } finally {
    fs.rmSync(dir, { recursive: true, force: true });
  }
});

test('the declarations: every export declared, a use of each type-checks, every line marked as a misuse fails and nothing else', () => {
  const declared = fs.readFileSync(path.join(ROOT, 'index.d.ts'), 'utf8').matchAll(/^export function (\w+)/gm);
  assert.deepEqual([...new Set([...declared].map((m) => m[1]))], packageExports);
  const types = path.join(__dirname, 'types');
  const r = tsc('--module', 'commonjs', '--esModuleInterop', path.join(types, 'usage.ts'), path.join(types, 'misuse.ts'));
  const failing = [...r.stdout.matchAll(/([\w.]+)\((\d+),\d+\): error/g)].map((m) => `${m[1]}:${m[2]}`);
  const marked = fs.readFileSync(path.join(types, 'misuse.ts'), 'utf8').split('\n')
    .map((line, i) => (line.endsWith('// error') ? `misuse.ts:${i + 1}` : '')).filter(Boolean);
  assert.ok(marked.length >= 10);
  assert.deepEqual([...new Set(failing)], marked, r.stdout);
});

const INDEX = JSON.stringify(path.join(ROOT, 'index.js'));
const loadInWorker = `new Promise((resolve) => {
  const w = new (require('node:worker_threads').Worker)(${JSON.stringify(`require(${INDEX})`)}, { eval: true });
  w.on('error', (e) => console.log('worker error: ' + e.message));
  w.on('exit', resolve);
})`;

test('a worker thread gets the clear refusal, whether it or the main thread loads the add-on first', async () => {
  for (const first of ['', `require(${INDEX});`]) {
    const script = `${first} ${loadInWorker}.then(() => console.log('main ' + JSON.stringify(require(${INDEX}).getNodes())));`;
    const r = await runChild(script, { preload: false });
    assert.equal(r.code, 0, r.stderr);
    assert.deepEqual(r.stdout.trim().split('\n'), [
      'worker error: Quorvane must be loaded on the main thread: it keeps process-wide state and cannot be used from worker_threads',
      'main []',
    ]);
  }
});
