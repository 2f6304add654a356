'use strict';
// quorvane mqtt: this host's graph on an MQTT broker (lib/mqtt/bridge.js),
// until Ctrl-C, carrying on across daemon and broker restarts.
const fs = require('node:fs');
const { UsageError, CliError, EXIT, parse, noPositional } = require('./args');
const { say, warn } = require('./output');
const { openSession, hold } = require('./session');

const PASSWORD_ENV = 'QUORVANE_MQTT_PASSWORD';

// The file's text without its final line break; a CliError (usage) when unreadable.
function readSecret(file, what) {
  try {
    return fs.readFileSync(file, 'utf8').replace(/\r?\n$/, '');
  } catch (e) {
    throw new CliError(`cannot read the ${what} ${file}: ${e.code ?? e.message}`, EXIT.USAGE);
  }
}

// The broker's credentials from the parsed options `o` into `options`: the
// password from --password-file or the environment (with --username), never
// an argument, which every user of the machine can read; --ca's certificate.
// A UsageError for --password-file without --username, a CliError for a file
// that cannot be read.
function readCredentials(o, options) {
  if (o['password-file'] !== undefined) {
    if (options.username === undefined) throw new UsageError('--password-file needs --username');
    options.password = readSecret(o['password-file'], 'password file');
  } else if (options.username !== undefined && process.env[PASSWORD_ENV] !== undefined) {
    options.password = process.env[PASSWORD_ENV];
  }
  if (o.ca !== undefined) options.ca = readSecret(o.ca, 'certificate authority file');
}

// The broker's URL as it may be shown: without user information.
const shown = (url) => {
  const u = new URL(url);
  u.username = '';
  u.password = '';
  return u.toString();
};

async function mqtt(argv) {
  const o = parse(argv, {
    broker: 'value', 'host-name': 'value', 'topic-prefix': 'value', rules: 'value', username: 'value', 'password-file': 'value',
    ca: 'value', homeassistant: 'flag', 'discovery-prefix': 'value', 'max-rate': 'value', 'mqtt-version': 'value',
  });
  noPositional(o);
  if (o.broker === undefined) throw new UsageError('mqtt needs --broker mqtt://HOST:PORT');
  const options = { broker: o.broker, hostName: o['host-name'], homeassistant: Boolean(o.homeassistant), username: o.username };
  if (o['topic-prefix'] !== undefined) options.topicPrefix = o['topic-prefix'];
  if (o['discovery-prefix'] !== undefined) options.discoveryPrefix = o['discovery-prefix'];
  if (o['max-rate'] !== undefined) options.maxRate = Number(o['max-rate']);
  if (o['mqtt-version'] !== undefined) options.protocolVersion = { '3.1.1': 4, 5: 5 }[o['mqtt-version']] ?? NaN;
  readCredentials(o, options);
  if (o.rules !== undefined) options.rules = require('./patchbay').readRulesFile(o.rules);
  const { checkBridgeOptions } = require('../protocol/broker-options');
  try {
    checkBridgeOptions(options);
  } catch (e) {
    const message = e.message.replace(/^mqtt: /, '').replace('protocolVersion must be 4 (MQTT 3.1.1) or 5', '--mqtt-version must be 3.1.1 or 5');
    throw new UsageError(message.replace('give it as the password option', 'give it in --password-file'));
  }

  const graph = await openSession({ reconnect: true });
  let bridge;
  try {
    bridge = await require('../mqtt/bridge').bridge(graph, options);
  } catch (e) {
    throw new CliError(e.message.replace(/^mqtt: /, ''));
  }
  bridge.on('warning', (e) => warn(`broker: ${e.message}`));
  bridge.on('offline', () => warn('the broker went away; connecting again'));
  bridge.on('connected', () => warn('connected to the broker'));
  const held = hold(graph, { reconnect: true, onStop: () => bridge.close() });
  say(`quorvane mqtt: ${bridge.hostTopic} on ${shown(o.broker)}`);
  return held;
}

/**
 * The hosts' bridges on the broker the parsed options `o` name (--broker,
 * --username, --password-file, --ca, --topic-prefix), as a started
 * RemoteHosts (lib/web/remote-hosts.js) for `web --broker` and `stream`.
 * Throws a UsageError for options it refuses, a CliError when the broker
 * cannot be reached.
 */
async function openRemoteHosts(o) {
  const options = { broker: o.broker, username: o.username };
  if (o['topic-prefix'] !== undefined) options.topicPrefix = o['topic-prefix'];
  readCredentials(o, options);
  const { RemoteHosts } = require('../web/remote-hosts');
  let hosts;
  try {
    hosts = new RemoteHosts(options);
  } catch (e) {
    throw new UsageError(e.message.replace(/^mqtt: /, '').replace('give it as the password option', 'give it in --password-file'));
  }
  try {
    await hosts.start();
  } catch (e) {
    throw new CliError(e.message);
  }
  return hosts;
}

/**
 * quorvane web --broker: the web patchbay of the hosts on a broker (their
 * bridges' state), this host's PipeWire untouched. `o`: web's parsed options;
 * `listen`, `origins` as web checked them. Resolves with the exit code.
 */
async function webBroker(o, listen, origins) {
  if (o.rules !== undefined) throw new UsageError("--rules is not for --broker: each host's bridge keeps its own (quorvane mqtt --rules)");
  const hosts = await openRemoteHosts(o);
  hosts.on('warning', (e) => warn(`broker: ${e.message}`));
  let server;
  try {
    server = await require('../web/server').startWebServer({ hosts, host: listen.host, port: listen.port, origins });
  } catch (e) {
    await hosts.close();
    throw new CliError(`cannot listen on ${listen.host}:${listen.port}: ${e.message}`);
  }
  let opener = null;
  const held = hold(hosts, {
    reconnect: true,
    onStop: async () => {
      opener?.remove();
      await server.close();
      await hosts.close();
    },
  });
  say(`quorvane web: ${server.url}`);
  say(`quorvane web: the hosts under ${o['topic-prefix'] ?? 'quorvane'}/ on ${shown(o.broker)}`);
  if (o.open) opener = require('./browser').openBrowser(server.url);
  return held;
}

module.exports = { mqtt, webBroker, openRemoteHosts };
