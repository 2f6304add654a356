'use strict';
// The packed tarball: only what a user needs, and it installs offline into an
// empty project, builds the add-on from source, and runs.
const test = require('node:test');
const assert = require('node:assert/strict');
const fs = require('node:fs');
const os = require('node:os');
const path = require('node:path');
const { spawnSync, execFileSync } = require('node:child_process');
const { startDaemon } = require('./helpers/daemon');

const ROOT = path.join(__dirname, '..');
// npm runs on the Node.js under test, which comes first on PATH, as for a
// user of that version: the install script builds for it.
const npmCli = fs.realpathSync(execFileSync('sh', ['-c', 'command -v npm'], { encoding: 'utf8' }).trim());
const env = { ...process.env, PATH: `${path.dirname(process.execPath)}:${process.env.PATH}`, npm_config_nodedir: '' };
const npm = (args, cwd) => spawnSync(process.execPath, [npmCli, ...args], { cwd, encoding: 'utf8', timeout: 300000, env });

test('the tarball installs offline into an empty project and runs', async () => {
  const work = fs.mkdtempSync(path.join(os.tmpdir(), 'quorvane-pack-'));
  try {
    const pack = npm(['pack', '--json', '--pack-destination', work], ROOT);
    assert.equal(pack.status, 0, pack.stderr);
    const [info] = JSON.parse(pack.stdout);
    const files = info.files.map((f) => f.path).sort();
    assert.ok(files.every((f) => /^(src\/|bin\/quorvane\.js$|scripts\/build-addon\.js$|binding\.gyp$|index\.(js|d\.ts)$|lib\/([a-z-]+\/)*[a-z-]+\.js$|README\.md$|LICENSE$|package\.json$)/.test(f)), files.join(' '));
    assert.ok(files.includes('index.d.ts') && files.includes('src/bindings/Module.cpp'));

    const project = path.join(work, 'app');
    fs.mkdirSync(project);
    fs.writeFileSync(path.join(project, 'package.json'), JSON.stringify({ name: 'app', version: '1.0.0', private: true }));
    const install = npm(['install', '--offline', '--no-audit', '--no-fund', path.join(work, info.filename)], project);
    assert.equal(install.status, 0, install.stdout + install.stderr);

    const daemon = startDaemon({ setEnv: false });
    try {
      const required = spawnSync(process.execPath, ['-e', 'console.log(Object.keys(require("quorvane")).length)'],
        { cwd: project, encoding: 'utf8', env: daemon.env });
      assert.equal(required.stdout.trim(), '20', required.stderr);
      const bin = path.join(project, 'node_modules', '.bin', 'quorvane');
      const nodes = spawnSync(process.execPath, [bin, 'nodes', '--json'], { cwd: project, encoding: 'utf8', env: daemon.env });
      assert.equal(nodes.status, 0, nodes.stderr);
      assert.deepEqual(JSON.parse(nodes.stdout).map((n) => n.name), ['demo-speakers', 'demo-microphone']);
    } finally {
      daemon.stop();
    }
  } finally {
    fs.rmSync(work, { recursive: true, force: true });
  }
});
