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

/**
 * A new daemon in the runtime directory of `daemon` (killed), once it answers; killed with this process. Resolves to
 * its child. One that exits as it starts (its socket's lock still held a moment by the old one's last moments) is
 * started again, up to three times with a growing pause; the error then carries what it wrote.
 */
async function restartDaemon(daemon) {
  const logFile = path.join(daemon.dir, 'restart.log');
  // What the new daemons wrote last ('' once the folder is gone).
  const wrote = () => {
    try {
      return fs.readFileSync(logFile, 'utf8').slice(-2000);
    } catch {
      return '';
    }
  };
  const socket = path.join(daemon.dir, 'pipewire-0');
  const up = () => fs.existsSync(socket) && spawnSync('pw-cli', ['info', '0'], { env: daemon.env, timeout: 2000 }).status === 0;
  for (let attempt = 1; ; attempt++) {
    const log = fs.openSync(logFile, 'a');
    const child = spawn('setpriv', ['--pdeathsig', 'KILL', 'pipewire', '-c', path.join(daemon.dir, 'daemon.conf')], { env: daemon.env, stdio: ['ignore', log, log] });
    fs.closeSync(log);
    const exited = () => child.exitCode !== null || child.signalCode !== null;
    const said = () => `the new daemon (attempt ${attempt}; it wrote: ${wrote()})`;
    await waitFor(() => up() || exited(), 10000, said).catch((e) => (child.kill('SIGKILL'), Promise.reject(e)));
    if (!exited()) {
      // A daemon that ends other than by the test's own kill leaves the test without one: say why where the
      // test's output is (a SIGKILL too: it may come from elsewhere).
      const kill = child.kill.bind(child);
      let killed = false;
      child.kill = (signal) => ((killed = true), kill(signal));
      child.once('exit', (code, signal) => killed || process.stderr.write(`the restarted daemon exited (${signal ?? code}); it wrote: ${wrote()}\n`));
      return child;
    }
    if (attempt === 3) throw new Error(`the new daemon exited as it started: ${said()}`);
    await new Promise((resolve) => setTimeout(resolve, 200 * 2 ** attempt));
  }
}

module.exports = { scratch, restartDaemon };
