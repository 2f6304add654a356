'use strict';
// How the package loads and what it declares: named imports from an ES module (run and type-checked),
// the declarations, the refusal in a worker thread (whichever loads first), why a load cannot work.
const test = require('node:test');
const assert = require('node:assert/strict');
const fs = require('node:fs');
const path = require('node:path');
const { spawnSync } = require('node:child_process');
const { runChild } = require('./helpers/child');
const { scratch } = require('./helpers/cli');

const ROOT = path.join(__dirname, '..');
const packageExports = Object.keys(require('..'));
const TSC = [require.resolve('typescript/bin/tsc'), '--noEmit', '--strict', '--target', 'es2022'];
const tsc = (...args) => spawnSync(process.execPath, [...TSC, ...args], { encoding: 'utf8', timeout: 120000 });

test('an ES module imports every function by name, and the same file type-checks', () => {
  // A project with the package installed under its name (a link to this checkout).
  const dir = scratch('quorvane-esm-');
  fs.mkdirSync(path.join(dir, 'node_modules'));
  fs.symlinkSync(ROOT, path.join(dir, 'node_modules', 'quorvane'), 'dir');
  const file = path.join(dir, 'named-imports.mjs');
  fs.copyFileSync(path.join(__dirname, 'esm', 'named-imports.mjs'), file);
  const r = spawnSync(process.execPath, [file], { encoding: 'utf8', timeout: 20000 });
  assert.equal(r.status, 0, r.stderr);
  const { same, namespace, nodes, format } = JSON.parse(r.stdout);
  assert.deepEqual([same, namespace.sort(), nodes, format], [packageExports, [...packageExports].sort(), [], { linkId: 5, format: 'unknown' }]);
  const t = tsc('--module', 'nodenext', '--moduleResolution', 'nodenext', '--allowJs', '--checkJs', file);
  assert.equal(t.status, 0, t.stdout + t.stderr);
});

test('the declarations cover every export and refuse each marked misuse', () => {
  assert.deepEqual([...new Set([...fs.readFileSync(path.join(ROOT, 'index.d.ts'), 'utf8').matchAll(/^export function (\w+)/gm)].map((m) => m[1]))], packageExports);
  const types = path.join(__dirname, 'types');
  const r = tsc('--module', 'commonjs', '--esModuleInterop', path.join(types, 'usage.ts'), path.join(types, 'misuse.ts'));
  const failing = [...r.stdout.matchAll(/([\w.]+)\((\d+),\d+\): error/g)].map((m) => `${m[1]}:${m[2]}`);
  const marked = fs.readFileSync(path.join(types, 'misuse.ts'), 'utf8').split('\n').flatMap((line, i) => (line.endsWith('// error') ? [`misuse.ts:${i + 1}`] : []));
  assert.ok(marked.length >= 10);
  assert.deepEqual([...new Set(failing)], marked, r.stdout);
});

const INDEX = JSON.stringify(path.join(ROOT, 'index.js'));

test('a worker thread gets a clear refusal', async () => {
  const load = JSON.stringify(`require(${INDEX})`);
  const worker = `new (require('node:worker_threads').Worker)(${load}, { eval: true })
    .on('error', (e) => console.log('worker error: ' + e.message))
    .on('exit', () => console.log('main ' + JSON.stringify(require(${INDEX}).getNodes())));`;
  for (const first of ['', `require(${INDEX});`]) {
    const r = await runChild(first + worker, { preload: false });
    assert.deepEqual([r.code, ...r.stdout.trim().split('\n')], [0,
      'worker error: Quorvane must be loaded on the main thread: it keeps process-wide state and cannot be used from worker_threads', 'main []'], r.stderr);
  }
});

test('a load that cannot work says why', async (t) => {
  const load = `try { require(${INDEX}); console.log('loaded'); } catch (e) { console.log(e.message); }`;
  // A copy of the package whose only prebuilt binary is for another ABI, and no source build, loaded as a
  // user's process loads it (the suite's PREBUILDS_ONLY would hide the source build).
  const dir = scratch('quorvane-abi-');
  const { PREBUILDS_ONLY, ...env } = process.env;
  const loadCopy = async () => (await runChild(load.replace(INDEX, JSON.stringify(dir)), { preload: false, env })).stdout.trim();
  const rebuild = `Build it for this Node.js (needs libpipewire-0.3-dev, pkg-config, make, g++ and python3): npm run build --prefix ${JSON.stringify(dir)}`;
  for (const f of ['package.json', 'index.js', 'lib']) fs.cpSync(path.join(ROOT, f), path.join(dir, f), { recursive: true });
  const put = (file, text) => (fs.mkdirSync(path.dirname(file), { recursive: true }), fs.writeFileSync(file, text), file);
  put(path.join(dir, 'prebuilds', `linux-${process.arch}`, 'node.abi1.glibc.node'), '');
  assert.equal(await loadCopy(),
    `quorvane: no add-on for Node.js ${process.version} (ABI ${process.versions.modules}) on linux-${process.arch} ` +
      `(prebuilt for ABI 1 only) and no source build. ${rebuild}`);
  // A source build for Node.js 20 (named by its entry point; not loadable here either way) beside it.
  const stale = put(path.join(dir, 'build', 'Release', 'Quorvane.node'), 'node_register_module_v115');
  assert.equal(await loadCopy(),
    `quorvane: ${stale} was built for Node.js 20 (ABI 115), not for ` +
      `Node.js ${process.version} (ABI ${process.versions.modules}), and no prebuilt binary loads instead. ${rebuild}`);

  // The system's libpipewire hidden in a mount namespace of the child's own: an overlay whites it out.
  if (process.getuid() !== 0 || process.arch !== 'x64') return t.skip('needs root on x64 to hide the library');
  const lib = fs.realpathSync('/usr/lib/x86_64-linux-gnu');
  const hide = `set -e; s=$(mktemp -d); mount -t tmpfs tmpfs "$s"; mkdir "$s/u" "$s/w"
    for f in ${lib}/libpipewire-0.3.so.0*; do mknod "$s/u/\${f##*/}" c 0 0; done
    mount -t overlay overlay -o "lowerdir=${lib},upperdir=$s/u,workdir=$s/w" ${lib}; exec "$@"`;
  const r = spawnSync('unshare', ['--mount', 'sh', '-c', hide, 'sh', process.execPath, '-e', load], { encoding: 'utf8', timeout: 20000 });
  assert.equal(r.stdout.trim(),
    'quorvane needs PipeWire\'s client library libpipewire-0.3.so.0, which cannot be loaded (cannot open shared object file: ' +
      'No such file or directory). Install it: libpipewire-0.3-0 on Debian and Ubuntu, pipewire-libs on Fedora, libpipewire on Arch.',
    r.stderr);
});
