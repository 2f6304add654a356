'use strict';
// How the package loads: named imports from an ES module (run and
// type-checked), and the refusal in a worker thread, whichever thread loads
// the add-on first.
const test = require('node:test');
const assert = require('node:assert/strict');
const fs = require('node:fs');
const os = require('node:os');
const path = require('node:path');
const { spawnSync } = require('node:child_process');
const { runChild } = require('./helpers/child');

const ROOT = path.join(__dirname, '..');
const packageExports = Object.keys(require('..'));
// A project with the package installed under its name (a link to this checkout).
function project() {
  const dir = fs.mkdtempSync(path.join(os.tmpdir(), 'quorvane-esm-'));
  fs.mkdirSync(path.join(dir, 'node_modules'));
  fs.symlinkSync(ROOT, path.join(dir, 'node_modules', 'quorvane'), 'dir');
  fs.copyFileSync(path.join(__dirname, 'esm', 'named-imports.mjs'), path.join(dir, 'named-imports.mjs'));
  return dir;
}

test('an ES module imports every function by name, and the same file type-checks', () => {
  const dir = project();
  try {
    const r = spawnSync(process.execPath, [path.join(dir, 'named-imports.mjs')], { encoding: 'utf8', timeout: 20000 });
    assert.equal(r.status, 0, r.stderr);
    const out = JSON.parse(r.stdout);
    // Each named import is the function of the default export, and nothing
    // the package exports is missing from the named exports.
    assert.deepEqual(out.same, packageExports);
    assert.deepEqual(out.namespace.sort(), [...packageExports].sort());
    assert.deepEqual(out.defaultKeys, packageExports);
    assert.deepEqual([out.nodes, out.format], [[], { linkId: 5, format: 'unknown' }]);

    const tsc = spawnSync(process.execPath, [require.resolve('typescript/bin/tsc'), '--noEmit', '--strict',
      '--module', 'nodenext', '--moduleResolution', 'nodenext', '--target', 'es2022',
      '--allowJs', '--checkJs', path.join(dir, 'named-imports.mjs')], { encoding: 'utf8', timeout: 120000 });
    assert.equal(tsc.status, 0, tsc.stdout + tsc.stderr);
  } finally {
    fs.rmSync(dir, { recursive: true, force: true });
  }
});

const INDEX = JSON.stringify(path.join(ROOT, 'index.js'));
const loadInWorker = `new Promise((resolve) => {
  const w = new (require('node:worker_threads').Worker)(${JSON.stringify(`require(${INDEX})`)}, { eval: true });
  w.on('error', (e) => console.log('worker error: ' + e.message));
  w.on('exit', resolve);
})`;

test('a worker thread gets the clear refusal, whether it or the main thread loads the add-on first', async () => {
  const scripts = [
    `${loadInWorker}.then(() => console.log('main ' + JSON.stringify(require(${INDEX}).getNodes())));`,
    `const q = require(${INDEX}); ${loadInWorker}.then(() => console.log('main ' + JSON.stringify(q.getNodes())));`,
  ];
  for (const script of scripts) {
    const r = await runChild(script, { preload: false });
    assert.equal(r.code, 0, r.stderr);
    assert.deepEqual(r.stdout.trim().split('\n'), [
      'worker error: Quorvane must be loaded on the main thread: it keeps process-wide state and cannot be used from worker_threads',
      'main []',
    ]);
  }
});
