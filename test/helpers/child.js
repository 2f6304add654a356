'use strict';
// Runs a script in a child Node.js process (the same binary as the tests)
// with the add-on preloaded as `q`, and reports how it ended.
const { spawn, spawnSync } = require('node:child_process');
const path = require('node:path');

const ADDON = path.join(__dirname, 'addon.js');
const CLI = path.join(__dirname, '..', '..', 'bin', 'quorvane.js');

/** Resolves to { code, signal, stdout, stderr, timedOut }; `onStdout(all so far, child)` hears every chunk. */
function runChild(script, { env = process.env, timeoutMs = 20000, onStdout, preload = true, args = [] } = {}) {
  return new Promise((resolve) => {
    const source = preload ? `const q = require(${JSON.stringify(ADDON)});\n${script}` : script;
    const child = spawn(process.execPath, [...args, '-e', source], { env, stdio: ['ignore', 'pipe', 'pipe'], timeout: timeoutMs, killSignal: 'SIGKILL' });
    const [r, start] = [{ stdout: '', stderr: '' }, Date.now()];
    child.stdout.on('data', (d) => ((r.stdout += d), onStdout?.(r.stdout, child)));
    child.stderr.on('data', (d) => (r.stderr += d));
    child.on('close', (code, signal) => resolve({ code, signal, ...r, timedOut: signal === 'SIGKILL' && Date.now() - start >= timeoutMs }));
  });
}

/**
 * Starts the Node.js script `file` with `args` and collects its output (`closeOutput`: its standard output is
 * closed before it writes). Returns { out, err, child, exited: Promise<{ code, signal }>, stop() } (stop: Ctrl-C).
 */
function startScript(file, args, { env = process.env, closeOutput = false } = {}) {
  const child = spawn(process.execPath, [file, ...args], { env, stdio: ['ignore', 'pipe', 'pipe'] });
  const run = { out: '', err: '', child };
  if (closeOutput) child.stdout.destroy();
  else child.stdout.on('data', (d) => (run.out += d));
  child.stderr.on('data', (d) => (run.err += d));
  run.exited = new Promise((resolve) => child.on('close', (code, signal) => resolve({ code, signal })));
  run.stop = () => (child.kill('SIGINT'), run.exited);
  return run;
}

/** The tool run to its end with `args`: spawnSync's result, its output as text. */
const cli = (...args) => spawnSync(process.execPath, [CLI, ...args], { encoding: 'utf8', timeout: 20000, maxBuffer: 1 << 26 });

module.exports = { runChild, startScript, cli, ADDON, CLI };
