#!/usr/bin/env node
'use strict';
// The source build (`npm run build`), for a Node.js or platform the package
// has no prebuilt binary for, or a change to src/: builds the add-on with
// node-gyp for the Node.js that runs this script and puts it in
// build/Release/Quorvane.node, which the loader tries before the prebuilt
// ones. node-gyp's project is gyp/binding.gyp and its work tree gyp/build:
// a binding.gyp at the package root makes pnpm and yarn compile the package
// at install time. Uses the headers installed beside this Node.js when there
// are some, so that nothing is downloaded. Exits with node-gyp's status; on
// success prints nothing of its own.
const { spawnSync } = require('node:child_process');
const fs = require('node:fs');
const path = require('node:path');

const ROOT = path.join(__dirname, '..');
const GYP_DIR = path.join(ROOT, 'gyp');
const BUILT = path.join(GYP_DIR, 'build', 'Release', 'Quorvane.node');
const TARGET = path.join(ROOT, 'build', 'Release', 'Quorvane.node');

if (process.platform !== 'linux') {
  console.error('quorvane: PipeWire and this add-on are Linux only');
  process.exit(1);
}
const prefix = path.resolve(process.execPath, '..', '..');
// Arguments to this script go to node-gyp (say, --loglevel=warn).
const args = ['rebuild', '--directory', GYP_DIR, '-j', '2', ...process.argv.slice(2)];
const env = { ...process.env };
if (fs.existsSync(path.join(prefix, 'include', 'node', 'common.gypi'))) {
  args.push(`--nodedir=${prefix}`);
  env.npm_config_nodedir = prefix;
}
let gyp = 'node-gyp';
try {
  gyp = require.resolve('node-gyp/bin/node-gyp.js');
} catch {}
const r = gyp.endsWith('.js')
  ? spawnSync(process.execPath, [gyp, ...args], { stdio: 'inherit', env })
  : spawnSync(gyp, args, { stdio: 'inherit', env, shell: true });
if (r.status !== 0) {
  console.error('quorvane: building the add-on failed; it needs libpipewire-0.3-dev, pkg-config, make, g++ and python3');
  process.exit(r.status ?? 1);
}
// A new file renamed into place: a process that has the old one loaded keeps it.
fs.mkdirSync(path.dirname(TARGET), { recursive: true });
fs.copyFileSync(BUILT, `${TARGET}.part`);
fs.renameSync(`${TARGET}.part`, TARGET);
