#!/usr/bin/env node
'use strict';
// quorvane: the PipeWire graph from the command line.

// enableCompileCache(): Node.js's compile cache (22.1 and later) for the
// package's modules, compiled once rather than at every run, in Node.js's
// default place (NODE_COMPILE_CACHE, which Node.js has read already, else
// node-compile-cache under the OS temporary directory). The cache is keyed by
// each file's content, so an upgraded file is compiled afresh. The directory
// is made here, one level only, and used only when it is this user's own: a
// place that cannot hold it (unwritable, someone else's) leaves the cache off
// and the tool as it was, where Node.js's own recursive mkdir could spin.
function enableCompileCache() {
  const { enableCompileCache: enable } = require('node:module');
  if (!enable || process.env.NODE_COMPILE_CACHE !== undefined) return;
  const fs = require('node:fs');
  const dir = require('node:path').join(require('node:os').tmpdir(), 'node-compile-cache');
  try {
    fs.mkdirSync(dir, { mode: 0o700 });
  } catch {}
  try {
    const stat = fs.lstatSync(dir);
    if (stat.isDirectory() && stat.uid === process.getuid()) enable(dir);
  } catch {}
}
enableCompileCache();

const { EXIT, UsageError, HelpWanted } = require('../lib/cli/args');
const { warn, onOutputClosed, flushOutput } = require('../lib/cli/output');
const { closeSession } = require('../lib/cli/session');

// Each command's module, loaded only for the command run: a one-shot
// listing does not pay for the pictures, routes, help texts and the rest.
const commands = {
  nodes: 'list',
  ports: 'list',
  links: 'list',
  monitor: 'watch',
  wait: 'watch',
  link: 'link',
  unlink: 'link',
  route: 'route',
  patchbay: 'patchbay',
  snapshot: 'snapshot',
  import: 'import',
  service: 'service',
  create: 'create',
  destroy: 'create',
  dot: 'dot',
  svg: 'dot',
  volume: 'control',
  mute: 'control',
  default: 'control',
  move: 'control',
  web: 'web',
  mqtt: 'mqtt',
  stream: 'stream',
  eq: 'effects',
  loopback: 'effects',
  devices: 'cards',
  profile: 'cards',
  port: 'cards',
  meter: 'signal',
  top: 'signal',
};

// Every way out goes through here: the connection is closed first (links the
// tool still holds go with it), then the process ends even if something
// still has the event loop busy.
let finishing = false;
function finish(code) {
  if (finishing) return;
  finishing = true;
  closeSession()
    .catch(() => {})
    .then(() => flushOutput())
    .finally(() => process.exit(code));
}

onOutputClosed(() => finish(EXIT.OK));

// The help texts are loaded only when help is printed.
const help = (topic) => require('../lib/cli/help').HELP[topic];

async function main(argv) {
  const [command, ...rest] = argv;
  // Help asked for, or nothing asked: the help on standard output, exit 0.
  if (!command || command === '--help' || command === '-h' || command === 'help') {
    console.log(help('main'));
    return EXIT.OK;
  }
  if (!Object.prototype.hasOwnProperty.call(commands, command)) {
    throw new UsageError(`unknown command ${JSON.stringify(command)}`);
  }
  // Each command reads its own options, so "--help" is help only where an
  // option may stand: not as an option's value, nor after "--".
  try {
    return (await require(`../lib/cli/${commands[command]}`)[command](rest)) ?? EXIT.OK;
  } catch (e) {
    if (!(e instanceof HelpWanted)) throw e;
    console.log(help(command));
    return EXIT.OK;
  }
}

main(process.argv.slice(2)).then(finish, (e) => {
  if (e instanceof UsageError) {
    warn(`${e.message}\n(run "quorvane --help" for usage)`);
    finish(EXIT.USAGE);
  } else {
    warn(e.exitCode === undefined ? e.stack : e.message);
    finish(e.exitCode ?? EXIT.FAILED);
  }
});
