'use strict';
// The web patchbay's server: the page over plain HTTP (node:http) and one
// WebSocket per page (the ws package) carrying a snapshot of the graph, its
// events, and the page's requests and their answers.
const crypto = require('node:crypto');
const fs = require('node:fs');
const http = require('node:http');
const path = require('node:path');
const { WebSocketServer } = require('ws');
const { Access, bracket } = require('./access');
const { Hub } = require('./hub');
const { parseRequest, requestIdOf, RequestError, MAX_MESSAGE_BYTES } = require('./protocol');
const { perform } = require('./requests');
const { toSvg } = require('../pictures/svg');

const MAX_CLIENTS = 32;
// Per page: a bucket of RATE_BURST requests, refilled at RATE_PER_S; at most
// MAX_IN_FLIGHT of them waiting for the daemon at once.
const RATE_PER_S = 50;
const RATE_BURST = 100;
const MAX_IN_FLIGHT = 16;
const REFUSAL_NOTE_MS = 1000; // at most one "too many requests" answer a second
const PING_MS = 15000; // a page that answers no ping in this time is gone

const PAGE_DIR = path.join(__dirname, 'page');
const SVG_JS = path.join(__dirname, '..', 'pictures', 'svg.js');

// The files of the page, read once. The picture's layout is the one
// `quorvane svg` uses, handed to the browser as a plain script.
function loadFiles() {
  const svg = fs.readFileSync(SVG_JS, 'utf8');
  const { html, css } = require('./page/document');
  return new Map([
    ['/', { type: 'text/html; charset=utf-8', body: Buffer.from(html) }],
    ['/page.js', { type: 'text/javascript; charset=utf-8', body: fs.readFileSync(path.join(PAGE_DIR, 'page.js')) }],
    ['/page.css', { type: 'text/css; charset=utf-8', body: Buffer.from(css) }],
    ['/svg.js', { type: 'text/javascript; charset=utf-8', body: Buffer.from(`(() => {\nconst module = { exports: {} };\n${svg}\nwindow.QuorvaneSvg = module.exports;\n})();\n`) }],
  ]);
}

// The picture's own <style> element is the one inline style allowed: by its hash.
const pictureStyle = () => {
  const css = /<style>([\s\S]*?)<\/style>/.exec(toSvg({ nodes: [], ports: [], links: [] }))[1];
  return `'sha256-${crypto.createHash('sha256').update(css).digest('base64')}'`;
};

const SECURITY_HEADERS = {
  'Content-Security-Policy': `default-src 'none'; script-src 'self'; style-src 'self' ${pictureStyle()}; img-src 'self' data:; connect-src 'self'; frame-ancestors 'none'; base-uri 'none'; form-action 'none'`,
  'X-Content-Type-Options': 'nosniff',
  'X-Frame-Options': 'DENY',
  'Referrer-Policy': 'no-referrer',
  'Cache-Control': 'no-store',
};

// The request's path and query, or null for a target that is none.
function parseUrl(target) {
  if (typeof target !== 'string' || !target.startsWith('/')) return null;
  try {
    return new URL(target, 'http://server');
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
 * `highWater`: bytes queued for a page before it is left behind (see hub.js).
 * Resolves with { url, port, host, token, close(), stats() }.
 */
async function startWebServer({ graph, host = '127.0.0.1', port = 8449, patchbay = null, token, highWater } = {}) {
  const files = loadFiles();
  const hub = new Hub(graph, patchbay, { highWater });
  let access; // once the port is known
  const server = http.createServer((req, res) => {
    const url = parseUrl(req.url);
    if (!url) return refuse(res, 400, 'bad request');
    const verdict = access.check(req, url);
    if (!verdict.ok) return refuse(res, verdict.status, verdict.reason);
    if (req.method !== 'GET' && req.method !== 'HEAD') return refuse(res, 405, 'only GET');
    if (verdict.fromUrl) {
      // The token goes into the cookie and out of the address bar (and the history).
      url.searchParams.delete('token');
      res.writeHead(303, { ...SECURITY_HEADERS, 'Set-Cookie': access.cookie(), Location: url.pathname + url.search });
      return res.end();
    }
    const f = files.get(url.pathname);
    if (!f) return refuse(res, 404, 'not found');
    res.writeHead(200, { ...SECURITY_HEADERS, 'Content-Type': f.type, 'Content-Length': f.body.length });
    res.end(req.method === 'HEAD' ? undefined : f.body);
  });
  server.headersTimeout = 10000;
  server.requestTimeout = 10000;
  const wss = new WebSocketServer({ noServer: true, maxPayload: MAX_MESSAGE_BYTES, perMessageDeflate: false });

  server.on('upgrade', (req, socket, head) => {
    socket.on('error', () => {});
    const url = parseUrl(req.url);
    if (!url) return refuseUpgrade(socket, 400, 'bad request');
    const verdict = access.check(req, url);
    if (!verdict.ok) return refuseUpgrade(socket, verdict.status, verdict.reason);
    if (url.pathname !== '/ws') return refuseUpgrade(socket, 404, 'not found');
    if (hub.size >= MAX_CLIENTS) return refuseUpgrade(socket, 503, `at most ${MAX_CLIENTS} pages at once`);
    wss.handleUpgrade(req, socket, head, (ws) => serve(ws));
  });

  function serve(ws) {
    const client = hub.add(ws);
    let tokens = RATE_BURST;
    let filled = Date.now();
    let inFlight = 0;
    let lastNote = 0;
    let alive = true;
    const answer = (msg) => hub.send(client, msg);
    const ping = setInterval(() => {
      if (!alive) return ws.terminate();
      alive = false;
      ws.ping();
    }, PING_MS);
    ws.on('pong', () => (alive = true));
    ws.on('message', (data, isBinary) => {
      const t = Date.now();
      tokens = Math.min(RATE_BURST, tokens + ((t - filled) / 1000) * RATE_PER_S);
      filled = t;
      let text = null;
      if (!isBinary) text = data.toString('utf8');
      if (tokens < 1 || inFlight >= MAX_IN_FLIGHT) {
        if (t - lastNote >= REFUSAL_NOTE_MS) {
          lastNote = t;
          answer({ type: 'reply', id: safeId(text), ok: false, error: `too many requests: at most ${RATE_PER_S} a second and ${MAX_IN_FLIGHT} at once; refused` });
        }
        return;
      }
      tokens -= 1;
      let request;
      try {
        request = parseRequest(text);
      } catch (e) {
        return answer({ type: 'reply', id: safeId(text), ok: false, error: e instanceof RequestError ? e.message : `refused: ${e.message}` });
      }
      if (request.op === 'resync') return answer({ type: 'reply', id: request.id, ok: true, result: hub.snapshot() });
      inFlight++;
      perform(graph, request).then((outcome) => {
        inFlight--;
        answer({ type: 'reply', id: request.id, ...outcome });
      });
    });
    ws.on('error', () => {}); // a frame too large, a bad frame: ws closes the connection
    ws.on('close', () => {
      clearInterval(ping);
      hub.remove(client);
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
  access = new Access({ host, port: bound, token });
  const shown = host === '0.0.0.0' || host === '::' ? '127.0.0.1' : host;
  const url = `http://${bracket(shown)}:${bound}/?token=${access.token}`;
  return {
    url,
    host,
    port: bound,
    token: access.token,
    stats: () => hub.stats(),
    async close() {
      hub.close();
      wss.close();
      await new Promise((resolve) => {
        server.close(() => resolve());
        server.closeAllConnections();
      });
    },
  };
}

module.exports = { startWebServer, MAX_CLIENTS, RATE_PER_S, RATE_BURST };
