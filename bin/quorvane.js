#!/usr/bin/env node
'use strict';
// quorvane: the PipeWire graph from the command line.
const { EXIT, UsageError, HelpWanted } = require('../lib/cli/args');
const { HELP } = require('../lib/cli/help');
const { warn, onOutputClosed, flushOutput } = require('../lib/cli/output');
const { closeSession } = require('../lib/cli/session');

// Each command's module, loaded only for the command run: a one-shot
// listing does not pay for the pictures, routes and the rest.
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

async function main(argv) {
  const [command, ...rest] = argv;
  // Help asked for, or nothing asked: the help on standard output, exit 0.
  if (!command || command === '--help' || command === '-h' || command === 'help') {
    console.log(HELP.main);
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
    console.log(HELP[command]);
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
