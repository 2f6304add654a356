'use strict';
// What a page may ask of the server, checked before anything is done: a
// request is a JSON object { id, op, ...fields } with exactly the fields of
// its op, each of the right type and range. Anything else is refused with a
// RequestError that names what is wrong; nothing is done for it.

const MAX_MESSAGE_BYTES = 64 * 1024;
const MAX_REQUEST_ID = 2 ** 31 - 1;
const { checkId, checkRequestId } = require('../core/arguments');
const { endpoint } = require('./stream-record');
const MAX_CUBIC_VOLUME = 2.154; // the API's limit: 10 linear, cubed root
const DEFAULT_KINDS = ['audioSink', 'audioSource', 'videoSource'];
const DEVICE_KINDS = { sink: 'Audio/Sink', mic: 'Audio/Source/Virtual', duplex: 'Audio/Duplex' };
const MAX_NAME = 200;
const MAX_CHANNELS = 64;

class RequestError extends Error {}

// An object id as the Graph API takes it: the same check, the same words.
const objectId = (what) => (v) => {
  try {
    return checkId(v, 'a request', `"${what}"`);
  } catch (e) {
    throw new RequestError(e.message);
  }
};
const nullableId = (what) => (v) => (v === null ? null : objectId(what)(v));
const bool = (what) => (v) => {
  if (typeof v !== 'boolean') throw new RequestError(`${what} must be true or false`);
  return v;
};
const oneOf = (what, list) => (v) => {
  if (typeof v !== 'string' || !list.includes(v)) throw new RequestError(`${what} must be one of ${list.join(', ')}`);
  return v;
};
const volume = (v) => {
  if (typeof v !== 'number' || !Number.isFinite(v) || v < 0 || v > MAX_CUBIC_VOLUME) {
    throw new RequestError(`volume must be a number from 0 to ${MAX_CUBIC_VOLUME}`);
  }
  return v;
};
// What a device name may not hold: controls, format characters (zero
// widths, direction marks, the byte order mark), lone surrogates, private use
// and unassigned code points, line and paragraph separators.
const UNPRINTABLE = /[\p{Cc}\p{Cf}\p{Cs}\p{Co}\p{Cn}\p{Zl}\p{Zp}]/u;
const deviceName = (v) => {
  if (typeof v !== 'string' || v.length === 0 || v.length > MAX_NAME) throw new RequestError(`name must be a text of 1..${MAX_NAME} printable characters`);
  const bad = UNPRINTABLE.exec(v);
  if (bad) {
    const code = bad[0].codePointAt(0).toString(16).toUpperCase().padStart(4, '0');
    throw new RequestError(`name must be printable characters only: U+${code} at ${bad.index} is not`);
  }
  if (/^\s|\s$/u.test(v)) throw new RequestError('name must not begin or end with a space');
  return v;
};
const channels = (v) => {
  if (!Array.isArray(v) || v.length === 0 || v.length > MAX_CHANNELS || !v.every((c) => typeof c === 'string' && /^[A-Za-z0-9_]{1,32}$/.test(c))) {
    throw new RequestError(`channels must be a list of 1..${MAX_CHANNELS} channel names (letters, digits, _)`);
  }
  if (new Set(v).size !== v.length) throw new RequestError('channels must be distinct');
  return v;
};

// A profile or a route of a device, by its index (a whole number) or its name
// (printable text, at most MAX_NAME characters); a serial, to pin a device.
const MAX_INDEX = 2 ** 31 - 1;
const nameOrIndex = (what) => (v) => {
  if (Number.isInteger(v) && v >= 0 && v <= MAX_INDEX) return v;
  if (typeof v === 'string' && v.length > 0 && v.length <= MAX_NAME && !UNPRINTABLE.test(v)) return v;
  throw new RequestError(`${what} must be an index (0..${MAX_INDEX}) or a name of 1..${MAX_NAME} printable characters`);
};
const serial = (v) => {
  if (!Number.isSafeInteger(v) || v < 1) throw new RequestError('serial must be a whole number from 1');
  return v;
};
const DIRECTIONS = ['output', 'input'];

// The nodes a page shows, for their meters: distinct node ids, at most
// MAX_SHOWN of them (a page never shows more meters than the server runs).
const MAX_SHOWN = 1024;
const shownNodes = (v) => {
  if (!Array.isArray(v) || v.length > MAX_SHOWN) throw new RequestError(`nodes must be a list of at most ${MAX_SHOWN} node ids`);
  const ids = v.map(objectId('nodes[]'));
  if (new Set(ids).size !== ids.length) throw new RequestError('nodes must be distinct');
  return ids;
};

// An end of a stream between hosts, "HOST:NODE" (a host's name on the
// broker, a node's there), in printable characters.
const MAX_HOST = 100; // as the web server takes hosts from the broker
const streamEnd = (what) => (v) => {
  let end;
  try {
    end = endpoint(v, what);
  } catch (e) {
    throw new RequestError(e.message);
  }
  if (end.host.length > MAX_HOST || end.host.includes('/') || UNPRINTABLE.test(v)) throw new RequestError(`stream: ${what} must be "HOST:NODE" in printable characters, the host at most ${MAX_HOST} and no "/"`);
  return v;
};

// op -> { field: [check, required] }
const OPS = {
  link: { out: [objectId('out'), true], in: [objectId('in'), true] },
  linkNodes: { from: [objectId('from'), true], to: [objectId('to'), true] },
  unlink: { link: [objectId('link'), true] },
  unlinkNodes: { from: [objectId('from'), true], to: [objectId('to'), true] },
  volume: { node: [objectId('node'), true], volume: [volume, true] },
  mute: { node: [objectId('node'), true], mute: [bool('mute'), true] },
  default: { kind: [oneOf('kind', DEFAULT_KINDS), true], node: [objectId('node'), true] },
  move: { stream: [objectId('stream'), true], target: [nullableId('target'), true] },
  create: { name: [deviceName, true], kind: [oneOf('kind', Object.keys(DEVICE_KINDS)), true], channels: [channels, false], linger: [bool('linger'), false] },
  destroy: { node: [objectId('node'), true] },
  profile: { device: [objectId('device'), true], serial: [serial, false], profile: [nameOrIndex('profile'), true] },
  route: { device: [objectId('device'), true], serial: [serial, false], route: [nameOrIndex('route'), true], direction: [oneOf('direction', DIRECTIONS), true] },
  stream: { from: [streamEnd('from'), true], to: [streamEnd('to'), true] },
  unstream: { from: [streamEnd('from'), true], to: [streamEnd('to'), true] },
  resync: {},
  meters: { nodes: [shownNodes, true] },
};

// The request id of a message, when it has a usable one (so that even a
// refusal can name the request it answers).
function requestIdOf(msg) {
  return msg !== null && typeof msg === 'object' && Number.isInteger(msg.id) && msg.id >= 0 && msg.id <= MAX_REQUEST_ID ? msg.id : null;
}

/** Parses and checks one text frame; returns { id, op, args } or throws a RequestError. */
function parseRequest(text) {
  if (typeof text !== 'string') throw new RequestError('requests are JSON text frames');
  if (Buffer.byteLength(text) > MAX_MESSAGE_BYTES) throw new RequestError(`a request is at most ${MAX_MESSAGE_BYTES} bytes`);
  let msg;
  try {
    msg = JSON.parse(text);
  } catch {
    throw new RequestError('a request must be JSON');
  }
  if (msg === null || typeof msg !== 'object' || Array.isArray(msg)) throw new RequestError('a request must be a JSON object');
  if (!Object.hasOwn(msg, 'id')) throw new RequestError(`a request needs an "id" (a whole number 0..${MAX_REQUEST_ID})`);
  let id;
  try {
    id = checkRequestId(msg.id, 'a request', { max: MAX_REQUEST_ID });
  } catch (e) {
    throw new RequestError(e.message);
  }
  if (typeof msg.op !== 'string' || !Object.hasOwn(OPS, msg.op)) throw new RequestError(`unknown op; one of ${Object.keys(OPS).join(', ')}`);
  const spec = OPS[msg.op];
  const args = new Map();
  for (const key of Object.keys(msg)) {
    if (key === 'id' || key === 'op') continue;
    if (!Object.hasOwn(spec, key)) throw new RequestError(`${msg.op}: unknown field ${JSON.stringify(key.slice(0, 40))}`);
  }
  for (const [key, [check, required]] of Object.entries(spec)) {
    if (!Object.hasOwn(msg, key)) {
      if (required) throw new RequestError(`${msg.op}: "${key}" is missing`);
      continue;
    }
    args.set(key, check(msg[key]));
  }
  return { id, op: msg.op, args: Object.fromEntries(args) };
}

module.exports = { UNPRINTABLE, parseRequest, requestIdOf, RequestError, MAX_MESSAGE_BYTES, DEVICE_KINDS, DEFAULT_KINDS, MAX_CUBIC_VOLUME };
