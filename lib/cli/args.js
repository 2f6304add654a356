'use strict';
// Argument parsing for the quorvane tool, and the errors that carry its exit
// codes.

const EXIT = {
  OK: 0,
  FAILED: 1, // nothing matching, time-out, refused by the daemon
  USAGE: 2,
  NO_DAEMON: 3,
  DAEMON_GONE: 4,
  INTERRUPTED: 130,
};

class UsageError extends Error {}

// A failure the user is told about in one line, with the exit code to end on.
class CliError extends Error {
  constructor(message, exitCode = EXIT.FAILED) {
    super(message);
    this.exitCode = exitCode;
  }
}

// `spec` maps option names (without "--") to 'flag' or 'value'.
function parse(argv, spec) {
  const opts = { _: [] };
  for (let i = 0; i < argv.length; i++) {
    const a = argv[i];
    if (!a.startsWith('--')) {
      opts._.push(a);
      continue;
    }
    const name = a.slice(2);
    if (!Object.prototype.hasOwnProperty.call(spec, name)) throw new UsageError(`unknown option ${a}`);
    if (spec[name] === 'flag') opts[name] = true;
    else {
      if (i + 1 >= argv.length) throw new UsageError(`${a} needs a value`);
      opts[name] = argv[++i];
    }
  }
  return opts;
}

function noPositional(o) {
  if (o._.length) throw new UsageError(`unexpected argument ${o._[0]}`);
}

function intArg(text, what) {
  if (!/^\d+$/.test(text ?? '')) throw new UsageError(`${what} must be a number, got ${JSON.stringify(text)}`);
  return Number(text);
}

module.exports = { EXIT, UsageError, CliError, parse, noPositional, intArg };
