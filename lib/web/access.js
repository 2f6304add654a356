'use strict';
// Who may talk to the web server. Every request must name this server in its
// Host header (a page of another site that got a name of its own pointed at
// 127.0.0.1 does not; behind a loopback server, any loopback name and port
// does, as an SSH tunnel or a local proxy sends it) and come from no other
// site's page (Origin). The page itself, its script and style sheet hold no
// secret and need nothing more. The WebSocket that carries the graph and the
// requests must also carry the access secret made at start (the URL's
// token): as its subprotocol "quorvane.token.TOKEN", sent by the page from
// the URL's fragment, which no browser sends to any server. No cookie is
// set: a browser sends a 127.0.0.1 cookie to every port of 127.0.0.1.
const crypto = require('node:crypto');
const net = require('node:net');
const os = require('node:os');

// newSecret() → a new access secret: 24 random bytes, base64url (the URL's "token").
const newSecret = () => crypto.randomBytes(24).toString('base64url');

// The subprotocol the page asks for with the token, and the one the server answers with.
const PROTOCOL = 'quorvane';
const TOKEN_PREFIX = 'quorvane.token.';

// isLoopback(host) → whether the host name or address is this machine's
// loopback: localhost, 127.0.0.0/8, ::1 (also IPv4-mapped).
function isLoopback(host) {
  if (host === 'localhost') return true;
  if (net.isIPv4(host)) return host.startsWith('127.');
  if (net.isIPv6(host)) return host === '::1' || /^::ffff:127\./i.test(host);
  return false;
}

const isWildcard = (host) => host === '0.0.0.0' || host === '::';

/** "HOST:PORT", "[V6]:PORT", ":PORT" or "PORT" -> { host, port }; throws a TypeError otherwise. */
function parseListen(text, defaultHost = '127.0.0.1') {
  const m = /^(?:\[([0-9a-fA-F:.]+)\]|([^:[\]]*)):(\d{1,5})$/.exec(text) || /^()()(\d{1,5})$/.exec(text);
  const port = m ? Number(m[3]) : NaN;
  if (!m || port > 65535) throw new TypeError(`--listen takes HOST:PORT (e.g. 127.0.0.1:8449), got ${JSON.stringify(text)}`);
  const host = m[1] || m[2] || defaultHost;
  if (m[1] && !net.isIPv6(host)) throw new TypeError(`--listen: ${host} is not an IPv6 address`);
  return { host, port };
}

/**
 * An --allow-origin value -> its origin as browsers send it
 * ("https://pi.example" or "https://pi.example:8443", lower case); a
 * TypeError for anything that is not a bare http(s) origin.
 */
function parseOrigin(text) {
  let u = null;
  try {
    u = new URL(text);
  } catch {}
  if (!u || !/^https?:$/.test(u.protocol) || u.username || u.password || u.pathname !== '/' || u.search || u.hash || !/^https?:\/\/[^/]+\/?$/i.test(text)) {
    throw new TypeError(`--allow-origin takes an origin such as https://pi.example:8443, got ${JSON.stringify(text)}`);
  }
  return u.origin.toLowerCase();
}

const bracket = (host) => (net.isIPv6(host) ? `[${host}]` : host);

// "name[:port]" of a Host header -> { name, port } (port '' when absent), or null.
function splitHost(value) {
  const m = /^(\[[0-9a-f:.]+\]|[^:[\]]+)(?::(\d{1,5}))?$/.exec(value);
  return m ? { name: m[1].replace(/^\[|\]$/g, ''), port: m[2] ?? '' } : null;
}

// Host header values that name this server: its address (every address of
// the machine for a wildcard) with its port, and the hosts of the allowed
// origins. Loopback names with any port are checked apart.
function allowedHosts(host, port, origins) {
  const names = new Set(['127.0.0.1', 'localhost', '::1']);
  if (isWildcard(host)) {
    names.add(os.hostname());
    for (const list of Object.values(os.networkInterfaces())) for (const a of list || []) names.add(a.address);
  } else names.add(host);
  const hosts = new Set([...names].map((n) => `${bracket(n)}:${port}`.toLowerCase()));
  for (const o of origins) hosts.add(new URL(o).host);
  return hosts;
}

// sameSecret(given, secret) → whether `given` is the secret, compared in
// constant time; false for what is not a string.
function sameSecret(given, secret) {
  if (typeof given !== 'string') return false;
  const a = Buffer.from(given);
  const b = Buffer.from(secret);
  return a.length === b.length && crypto.timingSafeEqual(a, b);
}

class Access {
  /**
   * host, port: where the server listens; origins: the --allow-origin
   * values (parsed); token: the access secret, made here unless given.
   */
  constructor({ host, port, token = newSecret(), origins = [] }) {
    this.token = token;
    this.loopback = isLoopback(host);
    this.origins = new Set(origins);
    this.hosts = allowedHosts(host, port, this.origins);
  }

  /**
   * The verdict on a request's Host and Origin (HTTP or WebSocket upgrade):
   * { ok: true } or { ok: false, status, reason }.
   */
  check(req) {
    const count = req.rawHeaders.filter((h, i) => i % 2 === 0 && h.toLowerCase() === 'host').length;
    if (count !== 1) return { ok: false, status: 400, reason: count ? 'more than one Host header' : 'no Host header' };
    const host = String(req.headers.host).toLowerCase();
    const named = splitHost(host);
    const ours = this.hosts.has(host) || (this.loopback && named !== null && isLoopback(named.name));
    if (!ours) return { ok: false, status: 403, reason: `Host ${JSON.stringify(host.slice(0, 100))} is not this server` };
    const origin = req.headers.origin;
    if (origin !== undefined && origin.toLowerCase() !== `http://${host}` && !this.origins.has(origin.toLowerCase())) {
      return { ok: false, status: 403, reason: 'requests from another site are refused' };
    }
    return { ok: true };
  }

  /**
   * The verdict on a WebSocket upgrade's token, given in its subprotocols:
   * { ok: true } or { ok: false, status, reason }.
   */
  checkToken(req) {
    const offered = String(req.headers['sec-websocket-protocol'] || '').split(',').map((s) => s.trim());
    const given = offered.find((p) => p.startsWith(TOKEN_PREFIX));
    if (given === undefined) return { ok: false, status: 401, reason: 'no token: open the URL quorvane web printed' };
    if (!sameSecret(given.slice(TOKEN_PREFIX.length), this.token)) return { ok: false, status: 403, reason: 'wrong token: open the URL quorvane web printed' };
    return { ok: true };
  }
}

module.exports = { Access, parseListen, parseOrigin, isLoopback, isWildcard, bracket, newSecret, PROTOCOL, TOKEN_PREFIX };
