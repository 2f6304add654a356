'use strict';
// The web patchbay's server: the page over plain HTTP (node:http) and one
// WebSocket per page (the ws package) carrying a snapshot of the graph, its
// events, and the page's requests and their answers.
const fs = require('node:fs');
const http = require('node:http');
const path = require('node:path');
const { WebSocketServer } = require('ws');
const { Access, bracket, PROTOCOL } = require('./access');
const { Hub } = require('./hub');
const { RemotePages } = require('./remote-pages');
const { parseRequest, requestIdOf, RequestError, MAX_MESSAGE_BYTES } = require('../protocol/parse-request');
const { perform, DeviceBudget } = require('../protocol/perform');
const { MeterPool } = require('./meters');
const { DriverStatus } = require('./driver-status');

const MAX_CLIENTS = 32;
// Per page: a bucket of RATE_BURST requests, refilled at RATE_PER_S; at most
// MAX_IN_FLIGHT of them waiting for the daemon at once. The page is sent
// these and keeps below them.
const RATE_PER_S = 50;
const RATE_BURST = 100;
// With the broker: well below what a host's bridge takes from all its
// controllers together (20 a second, bursts of 40).
const REMOTE_RATE_PER_S = 10;
const REMOTE_BURST = 20;
const MAX_IN_FLIGHT = 16;
const RESYNC_MS = 1000; // at most one snapshot asked for a second, per page
const METERS_MS = 200; // at most five changes of the meters shown a second, per page
const PING_MS = 15000; // a page that answers no ping in this time is gone
// HTTP: the request's headers within HEADERS_MS, a connection idle between
// requests closed after IDLE_MS, both checked every CHECK_MS.
const HEADERS_MS = 10000;
const IDLE_MS = 5000;
const CHECK_MS = 1000;

const PAGE_DIR = path.join(__dirname, 'page');

// The files of the page, read once: no secret in any of them.
function loadFiles() {
  const { html, css, icon } = require('./page/document');
  return new Map([
    ['/', { type: 'text/html; charset=utf-8', body: Buffer.from(html) }],
    ['/layout.js', { type: 'text/javascript; charset=utf-8', body: fs.readFileSync(path.join(PAGE_DIR, 'layout.js')) }],
    ['/page.js', { type: 'text/javascript; charset=utf-8', body: fs.readFileSync(path.join(PAGE_DIR, 'page.js')) }],
    ['/page.css', { type: 'text/css; charset=utf-8', body: Buffer.from(css) }],
    ['/favicon.ico', { type: 'image/x-icon', body: icon() }],
  ]);
}

const SECURITY_HEADERS = {
  'Content-Security-Policy': "default-src 'none'; script-src 'self'; style-src 'self'; img-src 'self' data:; connect-src 'self'; frame-ancestors 'none'; base-uri 'none'; form-action 'none'",
  'X-Content-Type-Options': 'nosniff',
  'X-Frame-Options': 'DENY',
  'Referrer-Policy': 'no-referrer',
  'Cache-Control': 'no-store',
};

// The request's path and query, or null for a target that is none.
function parseUrl(target) {
  if (typeof target !== 'string' || !target.startsWith('/')) return null;
  try {
    return new URL(`http://server${target}`); // "//host/..." stays a path, never an authority
  } catch {
    return null;
  }
}

function refuse(res, status, reason) {
  res.writeHead(status, { ...SECURITY_HEADERS, 'Content-Type': 'text/plain; charset=utf-8' });
  res.end(`${reason}\n`);
}

function refuseUpgrade(socket, status, reason) {
  const text = `${reason}\n`;
  socket.end(`HTTP/1.1 ${status} ${http.STATUS_CODES[status]}\r\nContent-Type: text/plain; charset=utf-8\r\nContent-Length: ${Buffer.byteLength(text)}\r\nConnection: close\r\n\r\n${text}`);
}

/**
 * Starts serving. `graph`: a connected Graph (best with reconnect: true);
 * `patchbay`: an EventEmitter of "action"/"error" with `rules`, or null.
 * `highWater`: bytes queued for a page before it is left behind (see hub.js);
 * `origins`: origins (parsed by parseOrigin) whose pages may connect besides
 * the server's own, as a TLS proxy in front of it shows it.
 * `hosts`: instead of `graph`, a started RemoteHosts (remote-hosts.js): the
 * hosts on a broker, each page showing the one it picks (/ws?host=NAME) and
 * its requests sent to that host's bridge.
 * `meterLimits`: { perPage, total }, the level meters one page and all pages
 * may have on (64 and 128).
 * Resolves with { url, port, host, token, close(), stats() }; rejects when it
 * cannot listen.
 */
async function startWebServer({ graph, hosts = null, host = '127.0.0.1', port = 8449, patchbay = null, token, highWater, origins = [], meterLimits } = {}) {
  const files = loadFiles();
  const remote = hosts ? new RemotePages(hosts, { highWater }) : null;
  const hub = remote ? null : new Hub(graph, patchbay, { highWater });
  const budget = remote ? null : new DeviceBudget(graph);
  const meters = remote ? null : new MeterPool(graph, hub, meterLimits);
  const drivers = remote ? null : new DriverStatus(graph, (msg) => hub.broadcast(msg));
  let access; // once the port is known
  const server = http.createServer({ connectionsCheckingInterval: CHECK_MS, headersTimeout: HEADERS_MS, requestTimeout: HEADERS_MS, keepAliveTimeout: IDLE_MS }, (req, res) => {
    const url = parseUrl(req.url);
    if (!url) return refuse(res, 400, 'bad request');
    const verdict = access.check(req);
    if (!verdict.ok) return refuse(res, verdict.status, verdict.reason);
    if (req.method !== 'GET' && req.method !== 'HEAD') return refuse(res, 405, 'only GET');
    const f = files.get(url.pathname);
    if (!f) return refuse(res, 404, 'not found');
    res.writeHead(200, { ...SECURITY_HEADERS, 'Content-Type': f.type, 'Content-Length': f.body.length });
    res.end(req.method === 'HEAD' ? undefined : f.body);
  });
  const wss = new WebSocketServer({ noServer: true, maxPayload: MAX_MESSAGE_BYTES, perMessageDeflate: false, handleProtocols: () => PROTOCOL });

  server.on('upgrade', (req, socket, head) => {
    socket.on('error', () => {});
    const url = parseUrl(req.url);
    if (!url) return refuseUpgrade(socket, 400, 'bad request');
    const verdict = access.check(req);
    if (!verdict.ok) return refuseUpgrade(socket, verdict.status, verdict.reason);
    if (url.pathname !== '/ws') return refuseUpgrade(socket, 404, 'not found');
    const allowed = access.checkToken(req);
    if (!allowed.ok) return refuseUpgrade(socket, allowed.status, allowed.reason);
    if ((remote ?? hub).size >= MAX_CLIENTS) return refuseUpgrade(socket, 503, `at most ${MAX_CLIENTS} pages at once`);
    wss.handleUpgrade(req, socket, head, (ws) => serve(ws, url.searchParams.get('host')));
  });

  function serve(ws, picked) {
    const page = remote?.add(ws, picked);
    // The hub of the page's host (with the broker), or of this host.
    const own = page ? page.hub : hub;
    const client = page ? page.client : hub.add(ws);
    const [ratePerS, burst] = page ? [REMOTE_RATE_PER_S, REMOTE_BURST] : [RATE_PER_S, RATE_BURST];
    let tokens = burst;
    let filled = Date.now();
    let inFlight = 0;
    let resynced = 0;
    let metered = 0;
    let alive = true;
    const answer = (msg) => own.send(client, msg);
    answer({ type: 'limits', ratePerS, burst, inFlight: MAX_IN_FLIGHT, resyncMs: RESYNC_MS, metersMs: METERS_MS });
    const status = drivers?.attach();
    if (status) answer(status);
    const ping = setInterval(() => {
      if (!alive) return ws.terminate();
      alive = false;
      ws.ping();
    }, PING_MS);
    ws.on('pong', () => (alive = true));
    ws.on('message', (data, isBinary) => {
      const t = Date.now();
      tokens = Math.min(burst, tokens + ((t - filled) / 1000) * ratePerS);
      filled = t;
      let text = null;
      if (!isBinary) text = data.toString('utf8');
      // Dropped, but answered: the page's control comes back at once.
      if (tokens < 1 || inFlight >= MAX_IN_FLIGHT) {
        return answer({ type: 'reply', id: safeId(text), ok: false, code: 'EBUSY', error: `too many requests: at most ${ratePerS} a second and ${MAX_IN_FLIGHT} at once; refused` });
      }
      tokens -= 1;
      let request;
      try {
        request = parseRequest(text);
      } catch (e) {
        return answer({ type: 'reply', id: safeId(text), ok: false, error: e instanceof RequestError ? e.message : `refused: ${e.message}` });
      }
      if (request.op === 'resync') {
        // Nothing is built for a page that is behind (it gets a snapshot
        // once it has caught up) or that asks again too soon.
        if (t - resynced < RESYNC_MS) return answer({ type: 'reply', id: request.id, ok: false, code: 'EBUSY', error: `too many requests: a snapshot at most once in ${RESYNC_MS} ms` });
        if (own.isBehind(client)) return answer({ type: 'reply', id: request.id, ok: false, code: 'EAGAIN', error: 'behind: a snapshot follows once the page has caught up' });
        resynced = t;
        return answer({ type: 'reply', id: request.id, ok: true, result: own.snapshot() });
      }
      if (request.op === 'meters') {
        if (!meters) return answer({ type: 'reply', id: request.id, ok: false, code: 'ENOTSUP', error: 'meters: not shown for a host on a broker' });
        if (t - metered < METERS_MS) return answer({ type: 'reply', id: request.id, ok: false, code: 'EBUSY', error: `too many requests: the meters shown changed at most once in ${METERS_MS} ms` });
        metered = t;
        return answer({ type: 'reply', id: request.id, ok: true, result: meters.show(client, request.args.nodes) });
      }
      inFlight++;
      (page ? hosts.request(page.host, request) : perform(graph, request, { budget })).then((outcome) => {
        inFlight--;
        answer({ type: 'reply', id: request.id, ...outcome });
      });
    });
    ws.on('error', () => {}); // a frame too large, a bad frame: ws closes the connection
    ws.on('close', () => {
      clearInterval(ping);
      if (page) remote.remove(page);
      else {
        hub.remove(client);
        meters.remove(client);
        drivers.detach();
      }
    });
  }

  // The request id of a refused frame, when it has one, for the page to match.
  function safeId(text) {
    if (text === null || text.length > MAX_MESSAGE_BYTES) return null;
    try {
      return requestIdOf(JSON.parse(text));
    } catch {
      return null;
    }
  }

  await new Promise((resolve, reject) => {
    server.once('error', reject);
    server.listen(port, host, () => {
      server.off('error', reject);
      resolve();
    });
  });
  const bound = server.address().port;
  access = new Access({ host, port: bound, token, origins });
  const shown = host === '0.0.0.0' || host === '::' ? '127.0.0.1' : host;
  // In the fragment: the browser keeps it, and sends it to no server.
  const url = `http://${bracket(shown)}:${bound}/#token=${access.token}`;
  return {
    url,
    host,
    port: bound,
    token: access.token,
    stats: () => (remote ? remote.stats() : { ...hub.stats(), meters: meters.stats() }),
    async close() {
      meters?.close();
      drivers?.close();
      (remote ?? hub).close();
      wss.close();
      await new Promise((resolve) => {
        server.close(() => resolve());
        server.closeAllConnections();
      });
    },
  };
}

module.exports = { startWebServer, MAX_CLIENTS, RATE_PER_S, RATE_BURST, HEADERS_MS, IDLE_MS };
