'use strict';
// The checks every entry point makes of its arguments, one per kind of
// argument: the Graph API, the command line, the web protocol, the MQTT
// commands and the patchbay use these, so that one kind of argument is
// refused the same way wherever it comes in. A wrong type is a TypeError, a
// value out of range a RangeError; each message names the call and the
// argument or option.

const { LinearRegExp } = require('./linear-regexp');

// PipeWire's object ids and serials are uint32.
const MAX_ID = 2 ** 32 - 1;

// isId(value) → true for a whole number from 0 to 2³²−1, the only values
// that name a PipeWire object.
function isId(value) {
  return Number.isInteger(value) && value >= 0 && value <= MAX_ID;
}

// checkId(value, what, name = 'id') → value, or throws: a TypeError for what
// is not a number, a RangeError for a number that is not an id (a fraction,
// a negative, NaN, 2³² and above), never wrapped into another object's id.
function checkId(value, what, name = 'id') {
  if (typeof value !== 'number') throw new TypeError(`${what}: ${name} must be a number`);
  if (!isId(value)) throw new RangeError(`${what}: ${name} must be a whole number from 0 to ${MAX_ID}, not ${value}`);
  return value;
}

// checkTimeout(timeoutMs, what) → timeoutMs: undefined (the caller's
// default), Infinity (no time-out) or milliseconds >= 0 (0: only what is so
// at once). A TypeError for what is not a number, a RangeError for NaN or a
// negative number.
function checkTimeout(timeoutMs, what) {
  if (timeoutMs === undefined) return timeoutMs;
  if (typeof timeoutMs !== 'number') throw new TypeError(`${what}: timeoutMs must be a number of milliseconds or Infinity`);
  if (!(timeoutMs >= 0)) throw new RangeError(`${what}: timeoutMs must be 0 or more milliseconds, or Infinity, not ${timeoutMs}`);
  return timeoutMs;
}

// checkBoolean(value, what, name) → value when it is true or false (or
// undefined: the caller's default); else a TypeError.
function checkBoolean(value, what, name) {
  if (value !== undefined && typeof value !== 'boolean') throw new TypeError(`${what}: ${name} must be true or false`);
  return value;
}

// checkNumber(value, what, name, { min, max, integer }) → value, or a
// TypeError (not a number) or RangeError (NaN, outside [min, max], or a
// fraction where a whole number is wanted).
function checkNumber(value, what, name, { min = -Infinity, max = Infinity, integer = false } = {}) {
  if (typeof value !== 'number') throw new TypeError(`${what}: ${name} must be a number`);
  if (!(value >= min && value <= max) || (integer && !Number.isInteger(value))) {
    const kind = integer ? 'a whole number' : 'a number';
    throw new RangeError(`${what}: ${name} must be ${kind} from ${min} to ${max}, not ${value}`);
  }
  return value;
}

// checkText(value, what, name, { max }) → value: a non-empty string of at
// most `max` characters without NUL; else a TypeError.
function checkText(value, what, name, { max = 4096 } = {}) {
  if (typeof value !== 'string' || value.length === 0 || value.length > max || value.includes('\0')) {
    throw new TypeError(`${what}: ${name} must be a non-empty string (at most ${max} characters, no NUL)`);
  }
  return value;
}

// checkPattern(text, what, name) → a pattern written as a text by a file, a
// broker or a command line: "/source/FLAGS" (flags of i, m, s, u) is a
// LinearRegExp, matched in time linear in the text it is tested on (no
// pattern from outside can hold the event loop); anything else is that exact
// text. A TypeError naming `what` and `name` for a text that is not one
// (checkText's bounds) and a SyntaxError for a regular expression that is
// not JavaScript's or not one LinearRegExp takes (a backreference,
// lookaround, one too large).
const PATTERN = /^\/(.+)\/([imsu]*)$/s;
function checkPattern(text, what, name, { max = 4096, empty = false } = {}) {
  if (!(empty && text === '')) checkText(text, what, name, { max });
  const re = PATTERN.exec(text);
  if (!re) return text;
  try {
    return new LinearRegExp(re[1], re[2]);
  } catch (e) {
    throw new SyntaxError(`${what}: ${name}: bad regular expression ${text.length > 80 ? `${text.slice(0, 77)}...` : text}: ${e.message.replace(/^Invalid regular expression: \/.*?\/[a-z]*: /s, '')}`);
  }
}

// checkRequestId(value, what, { min, max, text }) → the id of a request of
// a protocol (the web page's, an MQTT command's), which its answer repeats:
// a whole number from `min` to `max` (0 to 2³¹−1 unless told) or, with
// `text`, a text of 1 to MAX_REQUEST_ID_TEXT printable characters. Any other
// is refused (a TypeError for its type, a RangeError for its size), never
// dropped from the answer unsaid.
const MAX_REQUEST_ID_TEXT = 64;
function checkRequestId(value, what, { min = 0, max = 2 ** 31 - 1, text = false } = {}) {
  const kinds = `a whole number from ${min} to ${max}${text ? ` or a text of 1 to ${MAX_REQUEST_ID_TEXT} printable characters` : ''}`;
  if (typeof value === 'number') {
    if (!Number.isInteger(value) || value < min || value > max) throw new RangeError(`${what}: "id" must be ${kinds}, not ${value}`);
    return value;
  }
  if (text && typeof value === 'string') {
    if (value.length === 0 || value.length > MAX_REQUEST_ID_TEXT || /\p{C}/u.test(value)) {
      throw new RangeError(`${what}: "id" must be ${kinds}, not a text of ${value.length} characters${value.length && value.length <= MAX_REQUEST_ID_TEXT ? ' with a control or unassigned character' : ''}`);
    }
    return value;
  }
  throw new TypeError(`${what}: "id" must be ${kinds}`);
}

// The one spelling of a direction in the API: 'in' (the ports that take
// data in: a sink's) or 'out' (the ports that give it out: a source's).
const DIRECTIONS = ['in', 'out'];
const warned = new Set();

// deprecated(what, message) → emits `message` as a DeprecationWarning, once
// per `what` for the process.
function deprecated(what, message) {
  if (warned.has(what)) return;
  warned.add(what);
  process.emitWarning(message, { type: 'DeprecationWarning', code: 'QUORVANE_DEPRECATED' });
}

// checkDirection(value, what, { legacy, warn }) → 'in', 'out' or undefined.
// The spellings of earlier versions a call took (`legacy`: spelling → 'in'
// or 'out') still work; with `warn`, with one DeprecationWarning per
// spelling and call. Anything else is a TypeError naming the two.
function checkDirection(value, what, { legacy = {}, warn = false, name = 'direction' } = {}) {
  if (value === undefined || DIRECTIONS.includes(value)) return value;
  if (typeof value === 'string' && Object.hasOwn(legacy, value)) {
    if (warn) deprecated(`${what}:${value}`, `${what}: ${name} '${value}' is now '${legacy[value]}' (see CHANGELOG.md)`);
    return legacy[value];
  }
  throw new TypeError(`${what}: ${name} must be 'in' or 'out'`);
}

// checkSignal(signal, what) → signal: undefined, an AbortSignal or anything
// that behaves as one (the typings' AbortSignalLike); else a TypeError.
function checkSignal(signal, what) {
  if (signal === undefined) return signal;
  const ok =
    signal !== null &&
    typeof signal === 'object' &&
    typeof signal.aborted === 'boolean' &&
    typeof signal.addEventListener === 'function' &&
    typeof signal.removeEventListener === 'function';
  if (!ok) throw new TypeError(`${what}: signal must be an AbortSignal`);
  return signal;
}

// checkNodeReference(node, what) → the id a node argument gives: a number
// (checked as checkId does, named "node") or a node object as the listings
// give it (its "id", named "node.id"); undefined for anything else, which
// the caller takes as a matcher (a name, a RegExp, property patterns).
function checkNodeReference(node, what) {
  if (typeof node === 'number') return checkId(node, what, 'node');
  if (node !== null && typeof node === 'object' && typeof node.id === 'number') return checkId(node.id, what, 'node.id');
  return undefined;
}

// checkOptions(options, known, what, { required }) → options (an empty
// object for undefined), or a TypeError: options that are not a plain
// object, a key outside `known` (an array or Set of names), so that a
// misspelt option (`{ timeout: 100 }` for `timeoutMs`) is refused instead of
// ignored, or one of `required` missing.
function checkOptions(options, known, what, { required = [] } = {}) {
  if (options === undefined) {
    if (required.length) throw new TypeError(`${what} requires an options object with ${required.join(', ')}`);
    return {};
  }
  if (options === null || typeof options !== 'object' || Array.isArray(options)) {
    throw new TypeError(`${what}: options must be an object`);
  }
  // A few names each: looked up in place, nothing made per call.
  const has = known instanceof Set ? (key) => known.has(key) : (key) => known.includes(key);
  for (const key of Object.keys(options)) {
    if (!has(key)) {
      const list = [...known].map((n) => `'${n}'`).join(', ');
      throw new TypeError(`${what}: unknown option ${JSON.stringify(key)} (known: ${list || 'none'})`);
    }
  }
  for (const key of required) if (options[key] === undefined) throw new TypeError(`${what}: the option ${key} is required`);
  return options;
}

module.exports = {
  MAX_ID,
  DIRECTIONS,
  isId,
  checkId,
  checkTimeout,
  checkBoolean,
  checkNumber,
  checkText,
  checkPattern,
  checkRequestId,
  checkDirection,
  deprecated,
  checkSignal,
  checkNodeReference,
  checkOptions,
};
