'use strict';
// Set-up the tool's and the web patchbay's tests share: scratch folders, and a
// daemon started again where a killed one was.
const test = require('node:test');
const fs = require('node:fs');
const os = require('node:os');
const path = require('node:path');
const { spawn, spawnSync } = require('node:child_process');
const { waitFor } = require('./fixture');

/** A new folder under TMPDIR named `prefix`…, removed once the file's tests have run. */
function scratch(prefix) {
  const dir = fs.mkdtempSync(path.join(os.tmpdir(), prefix));
  test.after(() => fs.rmSync(dir, { recursive: true, force: true }));
  return dir;
}

/** A new daemon in the runtime directory of `daemon` (killed), once it answers; killed with this process. Resolves to its child. */
async function restartDaemon(daemon) {
  const child = spawn('setpriv', ['--pdeathsig', 'KILL', 'pipewire', '-c', path.join(daemon.dir, 'daemon.conf')], { env: daemon.env, stdio: 'ignore' });
  const up = () => spawnSync('pw-cli', ['info', '0'], { env: daemon.env, timeout: 2000 }).status === 0;
  await waitFor(up, 10000, 'the new daemon').catch((e) => (child.kill('SIGKILL'), Promise.reject(e)));
  return child;
}

module.exports = { scratch, restartDaemon };
