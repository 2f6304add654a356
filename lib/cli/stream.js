'use strict';
// quorvane stream FROM TO: audio from a node of one host to a node of another,
// both hosts' bridges on one broker (lib/mqtt/streams.js). The command is
// sent to the sending host's bridge, which answers once both ends stream; it
// then stands without this process, until `quorvane stream FROM TO --remove`.
const { UsageError, CliError, EXIT, parse } = require('./args');
const { say } = require('./output');
const { openRemoteHosts } = require('./mqtt');

const HOST_WAIT_MS = 5000;

async function stream(argv) {
  const o = parse(argv, { broker: 'value', username: 'value', 'password-file': 'value', ca: 'value', 'topic-prefix': 'value', latency: 'value', remove: 'flag', off: 'flag', json: 'flag' });
  if (o._.length !== 2) throw new UsageError('stream needs FROM and TO, each HOST:NODE');
  if (o.broker === undefined) throw new UsageError('stream needs --broker mqtt://HOST:PORT (where the hosts\' bridges are)');
  const [from, to] = o._;
  const { endpoint } = require('../mqtt/streams');
  let ends;
  try {
    ends = { from: endpoint(from, 'FROM'), to: endpoint(to, 'TO') };
  } catch (e) {
    throw new UsageError(e.message.replace(/^stream: /, ''));
  }
  const args = { from, to };
  if (o.latency !== undefined) {
    args.latencyMs = Number(o.latency);
    if (!Number.isInteger(args.latencyMs) || args.latencyMs < 1 || args.latencyMs > 10000) throw new UsageError('--latency must be a whole number of milliseconds from 1 to 10000');
  }
  if (o.off) args.enabled = false;
  const hosts = await openRemoteHosts(o);
  try {
    // The retained states come at once; the sending host (or, to remove, either end) must be among them.
    const asked = o.remove ? [ends.from.host, ends.to.host] : [ends.from.host];
    const online = () => asked.find((h) => hosts.graph(h)?.online);
    const deadline = performance.now() + HOST_WAIT_MS;
    while (!online() && performance.now() < deadline) await new Promise((r) => setTimeout(r, 50));
    const host = online();
    if (!host) throw new CliError(`no bridge of ${asked.join(' or ')} online on ${o.broker}`);
    const answer = await hosts.request(host, { op: o.remove ? 'unstream' : 'stream', args });
    if (!answer.ok) throw new CliError(answer.error, EXIT.FAILED);
    if (o.json) say(JSON.stringify(answer.result));
    else if (o.remove) say(`removed the stream ${from} -> ${to}`);
    else {
      const r = answer.result;
      const where = r.peerAddress && r.ports ? ` to ${r.peerAddress} port${r.ports.length > 1 ? 's' : ''} ${r.ports.join(',')}` : '';
      say(`${r.state}: ${from} -> ${to} by ${r.codec?.toUpperCase() ?? '?'}${where}, latency target ${r.latencyMs} ms (stream ${require('../mqtt/streams').streamId(r.from, r.to)})`);
    }
    return EXIT.OK;
  } finally {
    await hosts.close();
  }
}

module.exports = { stream };
