'use strict';
// quorvane monitor / wait: following the graph as it changes.
const { EXIT, CliError, UsageError, parse, noPositional, intArg } = require('./args');
const { say } = require('./output');
const { openSession, hold, interruptSignal } = require('./session');
const { printChanges } = require('./changes');
const { isDefaultName, defaultLabel } = require('../features/match');

const EVENTS = ['node-created', 'node-destroyed', 'link-created', 'link-destroyed'];

function eventLine(json) {
  const eventFields = (event, p) => {
    if (typeof p === 'number') return { id: p };
    if (event === 'node-created') return { id: p.id, name: p.name, type: p.type };
    return { id: p.id, srcNodeId: p.srcNodeId, srcPortId: p.srcPortId, sinkNodeId: p.sinkNodeId, sinkPortId: p.sinkPortId };
  };
  if (json) return (event, p) => JSON.stringify({ event, ...eventFields(event, p) });
  return (event, p) => {
    if (typeof p === 'number') return `${event} ${p}`;
    if (event === 'node-created') return `${event} ${p.id} ${JSON.stringify(p.name)} ${p.type}`;
    return `${event} ${p.id} ${p.srcNodeId}:${p.srcPortId} -> ${p.sinkNodeId}:${p.sinkPortId}`;
  };
}

async function monitor(argv) {
  const o = parse(argv, { json: 'flag', reconnect: 'flag' });
  noPositional(o);
  const graph = await openSession({ reconnect: Boolean(o.reconnect) });
  const format = eventLine(o.json);
  // Ctrl-C is heard before the first line: from then on it ends the tool with 0.
  const held = hold(graph, { reconnect: Boolean(o.reconnect) });
  // The graph as it is now, then its changes: taken and subscribed together,
  // so nothing falls between the two.
  for (const n of graph.nodes()) say(format('node-created', n));
  for (const l of graph.links()) say(format('link-created', l));
  for (const event of EVENTS) graph.on(event, (payload) => say(format(event, payload)));
  printChanges(graph, o.json, say);
  return held;
}

async function wait(argv) {
  const o = parse(argv, { direction: 'value', timeout: 'value' });
  if (o._.length !== 1) throw new UsageError('wait needs exactly one NAME');
  // in / out; Input / Output as before, with the sense they had.
  if (o.direction !== undefined && !['in', 'out', 'Input', 'Output'].includes(o.direction)) {
    throw new UsageError('--direction must be in or out');
  }
  const timeoutMs = o.timeout === undefined ? 5000 : intArg(o.timeout, '--timeout');
  // A default name waits for the default to be set and its node present.
  const name = o._[0];
  const missing = isDefaultName(name) ? `no ${defaultLabel(name)}` : `no node named ${JSON.stringify(name)}`;
  const signal = interruptSignal();
  const graph = await openSession();
  try {
    const node = await graph.waitForNode(name, { direction: o.direction, timeoutMs, signal });
    say(String(node.id));
  } catch (e) {
    if (e instanceof CliError) throw e;
    throw new CliError(
      graph.state === 'closed' ? `PipeWire went away (${e.message})` : `${missing} within ${timeoutMs} ms`,
      graph.state === 'closed' ? EXIT.DAEMON_GONE : EXIT.FAILED,
    );
  }
}

module.exports = { monitor, wait };
