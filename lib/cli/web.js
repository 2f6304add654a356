'use strict';
// quorvane web: the web patchbay, served until Ctrl-C.
const { UsageError, CliError, parse, noPositional } = require('./args');
const { say, warn } = require('./output');
const { openSession, hold } = require('./session');
const { parseListen, parseOrigin, isLoopback } = require('../web/access');
const { startWebServer } = require('../web/server');
const { openPatchbay } = require('./web-rules');
const { openBrowser } = require('./browser');

const DEFAULT_LISTEN = '127.0.0.1:8449';

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

module.exports = { web };
