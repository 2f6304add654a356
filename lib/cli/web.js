'use strict';
// quorvane web: the web patchbay, served until Ctrl-C.
const { spawn } = require('node:child_process');
const { UsageError, CliError, parse, noPositional } = require('./args');
const { say, warn } = require('./output');
const { openSession, hold } = require('./session');
const { parseListen, isLoopback } = require('../web/access');
const { startWebServer } = require('../web/server');
const { openPatchbay } = require('./web-rules');

const DEFAULT_LISTEN = '127.0.0.1:8449';

async function web(argv) {
  const o = parse(argv, { listen: 'value', rules: 'value', open: 'flag' });
  noPositional(o);
  let listen;
  try {
    listen = parseListen(o.listen ?? DEFAULT_LISTEN);
  } catch (e) {
    throw new UsageError(e.message);
  }
  if (!isLoopback(listen.host)) {
    warn(`warning: listening on ${o.listen}, reachable from other machines: whoever has the URL controls this machine's audio, and the connection is not encrypted`);
  }
  // The page carries on when the daemon restarts.
  const graph = await openSession({ reconnect: true });
  const patchbay = o.rules === undefined ? null : await openPatchbay(graph, o.rules);
  let server;
  try {
    server = await startWebServer({ graph, host: listen.host, port: listen.port, patchbay });
  } catch (e) {
    await patchbay?.close();
    throw new CliError(`cannot listen on ${listen.host}:${listen.port}: ${e.message}`);
  }
  say(`quorvane web: ${server.url}`);
  if (o.open) {
    const child = spawn('xdg-open', [server.url], { stdio: 'ignore', detached: true });
    child.on('error', (e) => warn(`could not open a browser (${e.message}); open the URL above`));
    child.unref();
  }
  return hold(graph, {
    reconnect: true,
    onStop: async () => {
      await server.close();
      await patchbay?.close();
    },
  });
}

module.exports = { web };
