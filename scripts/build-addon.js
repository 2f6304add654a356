#!/usr/bin/env node
'use strict';
// The source build (`npm run build`), for a Node.js or platform the package
// has no prebuilt binary for: builds build/Release/Quorvane.node with node-gyp,
// which the loader takes before any prebuilt one. Uses the headers installed
// beside the running Node.js when there are some, so that nothing is downloaded.
const { spawnSync } = require('node:child_process');
const fs = require('node:fs');
const path = require('node:path');

if (process.platform !== 'linux') {
  console.error('quorvane: PipeWire and this add-on are Linux only');
  process.exit(1);
}
const prefix = path.resolve(process.execPath, '..', '..');
const args = ['rebuild', '-j', '2'];
if (fs.existsSync(path.join(prefix, 'include', 'node', 'common.gypi'))) args.push(`--nodedir=${prefix}`);
const env = { ...process.env };
if (args.length > 3) env.npm_config_nodedir = prefix;
let gyp = 'node-gyp';
try {
  gyp = require.resolve('node-gyp/bin/node-gyp.js');
} catch {}
const r = gyp.endsWith('.js')
  ? spawnSync(process.execPath, [gyp, ...args], { stdio: 'inherit', env })
  : spawnSync(gyp, args, { stdio: 'inherit', env, shell: true });
if (r.status !== 0) {
  console.error('quorvane: building the add-on failed; it needs libpipewire-0.3-dev, pkg-config, make, g++ and python3');
}
process.exit(r.status ?? 1);
