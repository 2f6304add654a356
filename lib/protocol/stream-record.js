'use strict';
// A stream between hosts as the broker carries it (lib/mqtt/streams.js): its
// ends ("HOST:NODE"), its id, and the record each end publishes under its
// own host, read field by field (what the broker holds is untrusted). The
// bridges and the web server read records alike, with these.
const { createHash } = require('node:crypto');
const net = require('node:net');
const { PORTS, isPortList } = require('../features/fleet/codecs');
const { parseJson } = require('./broker-payload');

const FIELD = { from: 1100, to: 1100, run: 64, state: 32, error: 1000 };
const STATES = new Set(['connecting', 'streaming', 'listening', 'waiting', 'off', 'refused', 'error']);

/** streamId(from, to) → the stream's id: 16 hexadecimal digits of the SHA-256 of its ends. */
const streamId = (from, to) => createHash('sha256').update(`${from}\n${to}`).digest('hex').slice(0, 16);

/**
 * endpoint(text, what) → { host, node }: "HOST:NODE", the host what comes
 * before the first ":". A TypeError naming `what` for anything else.
 */
function endpoint(text, what) {
  if (typeof text !== 'string' || text.length > FIELD.from) throw new TypeError(`stream: ${what} must be "HOST:NODE"`);
  const at = text.indexOf(':');
  if (at <= 0 || at === text.length - 1) throw new TypeError(`stream: ${what} must be "HOST:NODE", not ${JSON.stringify(text.slice(0, 200))}`);
  return { host: text.slice(0, at), node: text.slice(at + 1) };
}

/** readRecord(payload) → a stream record from the broker, checked field by field; null when anything is off. */
function readRecord(payload) {
  let r;
  try {
    r = parseJson(payload);
  } catch {
    return null;
  }
  if (r === null || typeof r !== 'object' || Array.isArray(r)) return null;
  const text = (v, max) => typeof v === 'string' && v.length > 0 && v.length <= max;
  if (!['send', 'receive'].includes(r.role) || !text(r.run, FIELD.run) || !text(r.from, FIELD.from) || !text(r.to, FIELD.to)) return null;
  if (typeof r.enabled !== 'boolean' || !STATES.has(r.state)) return null;
  if (r.latencyMs !== undefined && !(Number.isInteger(r.latencyMs) && r.latencyMs >= 1 && r.latencyMs <= 10000)) return null;
  const codecs = Array.isArray(r.codecs) && r.codecs.length <= 4 ? r.codecs.filter((c) => Object.hasOwn(PORTS, c)) : [];
  const codec = Object.hasOwn(PORTS, r.codec) ? r.codec : null;
  const address = typeof r.address === 'string' && net.isIP(r.address) ? r.address : null;
  const ports = codec && isPortList(r.ports, codec) ? r.ports : null;
  const error = typeof r.error === 'string' ? r.error.slice(0, FIELD.error) : null;
  const session = Number.isSafeInteger(r.session) && r.session >= 0 ? r.session : 0;
  const ready = r.ready === true;
  const underruns = Number.isSafeInteger(r.health?.underruns) && r.health.underruns >= 0 ? r.health.underruns : null;
  try {
    const nonce = typeof r.nonce === 'string' && r.nonce.length <= FIELD.run ? r.nonce : null;
    return { role: r.role, run: r.run, nonce, from: r.from, to: r.to, ends: { from: endpoint(r.from, 'from'), to: endpoint(r.to, 'to') }, enabled: r.enabled, latencyMs: r.latencyMs, codecs, codec, address, ports, session, ready, underruns, state: r.state, error };
  } catch {
    return null;
  }
}

/**
 * ownRecord(host, id, record) → whether `record` (readRecord's), heard on
 * PREFIX/HOST/stream/ID, is an end's own: the host its role's end, the id its ends'.
 */
const ownRecord = (host, id, r) => r !== null && r.ends[r.role === 'send' ? 'from' : 'to'].host === host && streamId(r.from, r.to) === id;

module.exports = { streamId, endpoint, readRecord, ownRecord, FIELD, STATES };
