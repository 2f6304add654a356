'use strict';
// Argument parsing for the quorvane tool, and the errors that carry its exit
// codes.
const { checkId } = require('../core/arguments');

const EXIT = {
  OK: 0,
  FAILED: 1, // nothing matching, time-out, refused by the daemon
  USAGE: 2,
  NO_DAEMON: 3,
  DAEMON_GONE: 4,
  INTERRUPTED: 130,
};

class UsageError extends Error {}

// "--help" or "-h" where an option may stand: the entry point prints the
// command's help instead of running it.
class HelpWanted extends Error {}

// A failure the user is told about in one line, with the exit code to end on.
class CliError extends Error {
  constructor(message, exitCode = EXIT.FAILED) {
    super(message);
    this.exitCode = exitCode;
  }
}

const HELP_OPTIONS = new Set(['--help', '-h']);

// `spec` maps option names (without "--") to 'flag', 'value' (the last one
// given counts) or 'list' (every one given, in order). A value follows its
// option as the next argument or after "=" (--timeout=500), so a value may
// itself start with "-" (--description -h). "--" ends the options: what
// follows is positional, whatever it looks like. A lone "-" and negative
// amounts (-5%) are positional too: only "--name" and "-h" are options.
function parse(argv, spec) {
  const opts = { _: [] };
  for (const [name, kind] of Object.entries(spec)) if (kind === 'list') opts[name] = [];
  let unknown = null; // reported after the whole line is read: --help wins
  let help = false;
  for (let i = 0; i < argv.length; i++) {
    const a = argv[i];
    if (a === '--') {
      opts._.push(...argv.slice(i + 1));
      break;
    }
    if (HELP_OPTIONS.has(a)) {
      help = true;
      continue;
    }
    if (!a.startsWith('--')) {
      opts._.push(a);
      continue;
    }
    const eq = a.indexOf('=');
    const name = eq < 0 ? a.slice(2) : a.slice(2, eq);
    const option = `--${name}`;
    if (!Object.prototype.hasOwnProperty.call(spec, name)) {
      unknown ??= new UsageError(`unknown option ${option}`);
      continue;
    }
    if (spec[name] === 'flag') {
      if (eq >= 0) unknown ??= new UsageError(`${option} takes no value`);
      opts[name] = true;
      continue;
    }
    let value;
    if (eq >= 0) value = a.slice(eq + 1);
    else if (i + 1 < argv.length) value = argv[++i];
    else {
      unknown ??= new UsageError(`${option} needs a value`);
      continue;
    }
    if (spec[name] === 'list') opts[name].push(value);
    else opts[name] = value;
  }
  if (help) throw new HelpWanted();
  if (unknown) throw unknown;
  return opts;
}

function noPositional(o) {
  if (o._.length) throw new UsageError(`unexpected argument ${o._[0]}`);
}

function intArg(text, what) {
  if (!/^\d+$/.test(text ?? '')) throw new UsageError(`${what} must be a number, got ${JSON.stringify(text)}`);
  return Number(text);
}

// What a user may type meaning a number: digits, with a sign or a fraction,
// and NaN or Infinity as JavaScript prints them.
const NUMBER_LIKE = /^[+-]?(?:\d+(?:\.\d*)?|\.\d+|NaN|Infinity)$/;

// idArg(text, what) → the id `text` gives when it is a number (what: "port",
// "node", "link"), or null for a text that is no number (a name). A number
// that is not an id, a whole number from 0 to 2³²−1 (4294967315, 19.75, -1,
// NaN), is a UsageError: refused, never wrapped into another object's id.
function idArg(text, what) {
  if (!NUMBER_LIKE.test(text)) return null;
  try {
    return checkId(Number(text), `${what} ${text}`, 'an id');
  } catch (e) {
    throw new UsageError(e.message);
  }
}

// asCliError(e, strip) → what the tool reports for an Error of the API: a
// bad argument (TypeError, RangeError, SyntaxError) a usage error (exit 2),
// anything else a failure (exit 1), in the API's words (less `strip`, a
// RegExp of the call's name that heads the message, where the tool says it
// its own way).
function asCliError(e, strip) {
  const message = strip ? e.message.replace(strip, '') : e.message;
  return e instanceof TypeError || e instanceof RangeError || e instanceof SyntaxError ? new UsageError(message) : new CliError(message, EXIT.FAILED);
}

module.exports = { EXIT, UsageError, HelpWanted, CliError, parse, noPositional, intArg, idArg, asCliError };
