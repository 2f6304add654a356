'use strict';
// The checks every entry point makes of its arguments, defined once: the
// Graph API, the command line, the web protocol and the patchbay use these,
// so that one kind of argument is refused the same way wherever it comes in.

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

// checkTimeout(timeoutMs, what) → timeoutMs, or a TypeError: a time-out is
// undefined (the caller's default), Infinity (no time-out) or a number of
// milliseconds >= 0; NaN, a string or a negative number is refused.
function checkTimeout(timeoutMs, what) {
  if (timeoutMs === undefined || timeoutMs === Infinity) return timeoutMs;
  if (typeof timeoutMs !== 'number' || !(timeoutMs >= 0)) {
    throw new TypeError(`${what}: timeoutMs must be a non-negative number or Infinity`);
  }
  return timeoutMs;
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

// checkOptions(options, known, what) → options (an empty object for
// undefined), or a TypeError: options that are not a plain object, or a key
// outside `known` (an array or Set of names), so that a misspelt option
// (`{ timeout: 100 }` for `timeoutMs`) is refused instead of ignored.
function checkOptions(options, known, what) {
  if (options === undefined) return {};
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
  return options;
}

module.exports = { MAX_ID, isId, checkId, checkTimeout, checkNodeReference, checkOptions };
