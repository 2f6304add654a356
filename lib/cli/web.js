'use strict';
// quorvane web: the web patchbay, served until Ctrl-C.
const { spawn } = require('node:child_process');
const fs = require('node:fs');
const os = require('node:os');
const path = require('node:path');
const { UsageError, CliError, parse, noPositional } = require('./args');
const { say, warn } = require('./output');
const { openSession, hold } = require('./session');
const { parseListen, parseOrigin, isLoopback } = require('../web/access');
const { startWebServer } = require('../web/server');
const { openPatchbay } = require('./web-rules');

const DEFAULT_LISTEN = '127.0.0.1:8449';

const html = (text) => text.replace(/[&<>"']/g, (c) => `&#${c.charCodeAt(0)};`);

/**
 * A file only this user can read, in a directory only this user can enter,
 * that sends the browser on to `url`: its name, not the URL and its token,
 * goes on a command line (which every user of the machine can read).
 * Returns { file, remove() }; throws what the file system throws.
 */
function redirectFile(url) {
  const base = process.env.XDG_RUNTIME_DIR && fs.existsSync(process.env.XDG_RUNTIME_DIR) ? process.env.XDG_RUNTIME_DIR : os.tmpdir();
  const dir = fs.mkdtempSync(path.join(base, 'quorvane-web-'));
  const file = path.join(dir, 'open.html');
  fs.writeFileSync(file, `<!doctype html>
<html><head><meta charset="utf-8"><meta http-equiv="refresh" content="0;url=${html(url)}"><title>Quorvane patchbay</title></head>
<body><p><a href="${html(url)}">Open the Quorvane patchbay</a></p></body></html>
`, { mode: 0o600 });
  return { file, remove: () => fs.rmSync(dir, { recursive: true, force: true }) };
}

async function web(argv) {
  const o = parse(argv, { listen: 'value', rules: 'value', open: 'flag', 'allow-origin': 'list', broker: 'value', username: 'value', 'password-file': 'value', ca: 'value', 'topic-prefix': 'value' });
  noPositional(o);
  let listen;
  let origins;
  try {
    listen = parseListen(o.listen ?? DEFAULT_LISTEN);
    origins = o['allow-origin'].map(parseOrigin);
  } catch (e) {
    throw new UsageError(e.message);
  }
  if (!isLoopback(listen.host)) {
    warn(`warning: listening on ${o.listen}, reachable from other machines: whoever has the URL controls this machine's audio, and the connection is not encrypted`);
  }
  if (o.broker !== undefined) return require('./mqtt').webBroker(o, listen, origins);
  // The page carries on when the daemon restarts.
  const graph = await openSession({ reconnect: true });
  const patchbay = o.rules === undefined ? null : await openPatchbay(graph, o.rules);
  let server;
  try {
    server = await startWebServer({ graph, host: listen.host, port: listen.port, patchbay, origins });
  } catch (e) {
    await patchbay?.close();
    throw new CliError(`cannot listen on ${listen.host}:${listen.port}: ${e.message}`);
  }
  let opener = null;
  // Ctrl-C is listened for before the URL is printed: whoever acts on the
  // line may stop the server at once.
  const held = hold(graph, {
    reconnect: true,
    onStop: async () => {
      opener?.remove();
      await server.close();
      await patchbay?.close();
    },
  });
  say(`quorvane web: ${server.url}`);
  if (o.open) opener = openBrowser(server.url);
  return held;
}

// openBrowser(url) → the redirect file to remove when the server stops (null
// when it could not be made): xdg-open is given that file, not the URL, whose
// fragment holds the access token and would show in every process listing.
// A browser that cannot be started is a warning: the URL is printed already.
function openBrowser(url) {
  let opener = null;
  try {
    opener = redirectFile(url);
    const child = spawn('xdg-open', [opener.file], { stdio: 'ignore', detached: true });
    child.on('error', (e) => warn(`could not open a browser (${e.message}); open the URL above`));
    child.unref();
  } catch (e) {
    warn(`could not open a browser (${e.message}); open the URL above`);
  }
  return opener;
}

module.exports = { web, redirectFile, openBrowser };
