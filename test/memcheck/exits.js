'use strict';
// The ways a script ends, each run under valgrind memcheck with the state the add-on keeps alive: exits 0
// when every run ended as it should (scripts/memcheck.sh reads the logs). Usage: node exits.js NODE LOGDIR
const { spawn } = require('node:child_process');
const path = require('node:path');
const { startDaemon } = require('../helpers/daemon');

const [nodeBin = process.execPath, logDir = '/tmp'] = process.argv.slice(2);
const CHILD = path.join(__dirname, 'exit-child.js');
// How each run must end.
const MODES = { exit: 'code 0', normal: 'code 0', uncaught: 'code 1', sigterm: 'signal SIGTERM' };

function run(mode, env) {
  return new Promise((resolve) => {
    const log = path.join(logDir, `memcheck-exit-${mode}.log`);
    const args = ['--tool=memcheck', '--leak-check=no', '--num-callers=30', `--log-file=${log}`, nodeBin, CHILD, mode];
    const child = spawn('valgrind', args, { env, stdio: ['ignore', 'pipe', 'pipe'], timeout: 240000, killSignal: 'SIGKILL' });
    let out = '', err = '';
    child.stdout.on('data', (d) => mode === 'sigterm' && (out += d).includes('ready') && child.kill('SIGTERM'));
    child.stderr.on('data', (d) => (err += d));
    child.on('close', (c, s) => resolve({ mode, ended: s ? `signal ${s}` : `code ${c}`, log, err }));
  });
}

async function main() {
  const daemon = startDaemon();
  const [modes, results] = [Object.keys(MODES), []];
  // Two at a time: each is a Node.js start under valgrind.
  for (let i = 0; i < modes.length; i += 2) results.push(...(await Promise.all(modes.slice(i, i + 2).map((m) => run(m, daemon.env)))));
  const wrong = results.filter((r) => r.ended !== MODES[r.mode]);
  for (const r of results) console.log(`memcheck exit ${r.mode}: ended with ${r.ended} (${r.log})`);
  for (const r of wrong) console.log(`${r.mode}, not ${MODES[r.mode]}:`, r.err.slice(-3000));
  daemon.stop();
  process.exitCode = wrong.length ? 1 : 0;
}

main();
