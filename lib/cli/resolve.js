'use strict';
// Turns what a user types into graph objects: node names or ids, ports as
// "node:port" (as pw-link names them) or ids. Failures say what was not found.
const { CliError, UsageError } = require('./args');
const { pairPorts } = require('../features/pairing');
const { isDefaultName, defaultNodeName } = require('../features/match');

const DIRECTION = { 0: 'output', 1: 'input' };
const isId = (text) => /^\d+$/.test(text);

const portName = (graph, port) => {
  const node = graph.nodes().find((n) => n.id === port.nodeId);
  return `${node ? node.name : port.nodeId}:${port.name}`;
};

// Every node a NAME or ID denotes; throws when there is none.
function nodes(graph, text) {
  const found = isId(text)
    ? graph.nodes().filter((n) => n.id === Number(text))
    : graph.nodes().filter((n) => n.name === text);
  if (found.length === 0) throw new CliError(isId(text) ? `no node ${text}` : `no node named ${JSON.stringify(text)}`);
  return found;
}

// The one node a NAME, an ID or a default name ('@default-audio-sink')
// denotes; throws when there is none, or several of that name.
function node(graph, text) {
  if (isDefaultName(text)) {
    const what = text.slice(1).replace(/-/g, ' ');
    const name = defaultNodeName(graph.defaults, text);
    if (name === null) throw new CliError(`there is no ${what} (none set, or no session manager)`);
    const found = graph.nodes().filter((n) => n.name === name);
    if (found.length !== 1) throw new CliError(`the ${what} is ${JSON.stringify(name)}, and ${found.length ? 'several nodes have' : 'no node has'} that name`);
    return found[0];
  }
  const found = nodes(graph, text);
  if (found.length > 1) {
    throw new CliError(`${found.length} nodes are named ${JSON.stringify(text)} (ids ${found.map((n) => n.id).join(', ')}): give an id`);
  }
  return found[0];
}

// The one port a "node:port" name or an ID denotes, checked against the
// direction wanted (0 output, 1 input, undefined either).
function port(graph, text, direction) {
  let found;
  if (isId(text)) {
    found = graph.ports().find((p) => p.id === Number(text));
    if (!found) throw new CliError(`no port ${text}`);
  } else {
    // Node names may hold ':' themselves; port names do not.
    const cut = text.lastIndexOf(':');
    if (cut <= 0 || cut === text.length - 1) {
      throw new UsageError(`${JSON.stringify(text)} is not a port: give NODE:PORT or a port id`);
    }
    const owners = new Set(nodes(graph, text.slice(0, cut)).map((n) => n.id));
    const name = text.slice(cut + 1);
    found = graph.ports().find((p) => owners.has(p.nodeId) && p.name === name);
    if (!found) throw new CliError(`no port ${JSON.stringify(text)}`);
  }
  if (direction !== undefined && found.direction !== direction) {
    const shown = isId(text) ? text : JSON.stringify(text);
    throw new CliError(`port ${shown} is an ${DIRECTION[found.direction]} port`);
  }
  return found;
}

// [outputPort, inputPort] pairs from a source node to a sink node, in port
// order, as many as both sides have.
function nodePairs(graph, sourceText, sinkText) {
  const source = nodes(graph, sourceText)[0];
  const sink = nodes(graph, sinkText)[0];
  const outputs = graph.ports().filter((p) => p.nodeId === source.id && p.direction === 0);
  const inputs = graph.ports().filter((p) => p.nodeId === sink.id && p.direction === 1);
  if (outputs.length === 0) throw new CliError(`node ${JSON.stringify(source.name)} has no output ports`);
  if (inputs.length === 0) throw new CliError(`node ${JSON.stringify(sink.name)} has no input ports`);
  return pairPorts(outputs, inputs, 'positional');
}

module.exports = { nodes, node, port, nodePairs, portName, DIRECTION };
