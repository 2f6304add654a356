'use strict';
// Who may talk to the web server: a request must name this server in its
// Host header (a page of another site that got a name of its own pointed at
// 127.0.0.1 does not), come from no other site's page (Origin), and carry
// the token made at start, in the URL once and in a cookie from then on.
const crypto = require('node:crypto');
const net = require('node:net');
const os = require('node:os');

const newToken = () => crypto.randomBytes(24).toString('base64url');

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

const bracket = (host) => (net.isIPv6(host) ? `[${host}]` : host);

// Host header values that name this server: the loopback names, and for
// another address that address (every address of the machine for a
// wildcard), with the port.
function allowedHosts(host, port) {
  const names = new Set(['127.0.0.1', 'localhost', '::1']);
  if (isWildcard(host)) {
    names.add(os.hostname());
    for (const list of Object.values(os.networkInterfaces())) for (const a of list || []) names.add(a.address);
  } else names.add(host);
  return new Set([...names].map((n) => `${bracket(n)}:${port}`.toLowerCase()));
}

function parseCookies(header) {
  const jar = new Map();
  for (const part of String(header || '').split(';')) {
    const eq = part.indexOf('=');
    if (eq > 0) jar.set(part.slice(0, eq).trim(), part.slice(eq + 1).trim());
  }
  return jar;
}

function sameToken(given, token) {
  if (typeof given !== 'string') return false;
  const a = Buffer.from(given);
  const b = Buffer.from(token);
  return a.length === b.length && crypto.timingSafeEqual(a, b);
}

class Access {
  constructor({ host, port, token = newToken() }) {
    this.token = token;
    this.hosts = allowedHosts(host, port);
    this.cookieName = `quorvane-web-${port}`; // cookies ignore ports: one per server
  }

  /**
   * The verdict on a request (HTTP or WebSocket upgrade):
   * { ok: true, fromUrl } or { ok: false, status, reason }.
   * fromUrl: the token came in the URL (the first visit).
   */
  check(req, url) {
    const host = String(req.headers.host || '').toLowerCase();
    if (!this.hosts.has(host)) return { ok: false, status: 403, reason: `Host ${JSON.stringify(host.slice(0, 100))} is not this server` };
    const origin = req.headers.origin;
    if (origin !== undefined && origin.toLowerCase() !== `http://${host}`) {
      return { ok: false, status: 403, reason: 'requests from another site are refused' };
    }
    const fromUrl = url.searchParams.get('token');
    const given = fromUrl ?? parseCookies(req.headers.cookie).get(this.cookieName);
    if (given === undefined) return { ok: false, status: 401, reason: 'no token: open the URL quorvane web printed' };
    if (!sameToken(given, this.token)) return { ok: false, status: 403, reason: 'wrong token: open the URL quorvane web printed' };
    return { ok: true, fromUrl: fromUrl !== null };
  }

  cookie() {
    return `${this.cookieName}=${this.token}; HttpOnly; SameSite=Strict; Path=/`;
  }
}

module.exports = { Access, parseListen, isLoopback, isWildcard, bracket, newToken };
