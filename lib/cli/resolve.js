'use strict';
// Turns what a user types into graph objects: node names, ids or default
// names ('@default-audio-sink', wpctl's '@DEFAULT_AUDIO_SINK@'), ports as
// "node:port" (as pw-link names them) or ids. Failures say what was not found.
const { CliError, UsageError, idArg } = require('./args');
const { isDefaultName, defaultNodeName } = require('../features/match');
const { nodesNamed } = require('../features/resolve-node');

const DIRECTION = { 0: 'output', 1: 'input' };

const portName = (graph, port) => {
  const node = graph.nodes().find((n) => n.id === port.nodeId);
  return `${node ? node.name : port.nodeId}:${port.name}`;
};

// wpctl's names for the default devices, beside the package's own.
const WPCTL_DEFAULTS = {
  '@DEFAULT_AUDIO_SINK@': '@default-audio-sink',
  '@DEFAULT_SINK@': '@default-audio-sink',
  '@DEFAULT_AUDIO_SOURCE@': '@default-audio-source',
  '@DEFAULT_SOURCE@': '@default-audio-source',
  '@DEFAULT_VIDEO_SOURCE@': '@default-video-source',
};

// What a typed node name means: wpctl's spelling of a default becomes the
// package's ('@default-audio-sink'), anything else stays as typed.
const nodeName = (text) => (Object.hasOwn(WPCTL_DEFAULTS, text) ? WPCTL_DEFAULTS[text] : text);

// '@default-audio-sink' as words: "default audio sink".
const defaultLabel = (name) => name.slice(1).replace(/-/g, ' ');

// The node that is the default a default name stands for; throws when there
// is none, or when its name is not one node's.
function defaultNode(graph, name) {
  const what = defaultLabel(name);
  const nodeNamed = defaultNodeName(graph.defaults, name);
  if (nodeNamed === null) throw new CliError(`there is no ${what} (none set, or no session manager)`);
  const found = graph.nodes().filter((n) => n.name === nodeNamed);
  if (found.length !== 1) throw new CliError(`the ${what} is ${JSON.stringify(nodeNamed)}, and ${found.length ? 'several nodes have' : 'no node has'} that name`);
  return found[0];
}

// Every node a NAME, an ID or a default name denotes (the Graph's resolver,
// with the command line's messages); throws when there is none.
function nodes(graph, text) {
  const name = nodeName(text);
  if (isDefaultName(name)) return [defaultNode(graph, name)];
  const id = idArg(name, 'node');
  const found = nodesNamed(graph.nodes(), id ?? name, 'node');
  if (found.length === 0) throw new CliError(id !== null ? `no node ${id}` : `no node named ${JSON.stringify(name)}`);
  return found;
}

// The one node a NAME, an ID or a default name denotes; throws when there is
// none, or several of that name.
function node(graph, text) {
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
  const id = idArg(text, 'port');
  if (id !== null) {
    found = graph.ports().find((p) => p.id === id);
    if (!found) throw new CliError(`no port ${id}`);
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
    const shown = id !== null ? id : JSON.stringify(text);
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
  return require('../features/pairing').pairPorts(outputs, inputs, 'positional'); // loaded for linking nodes only
}

module.exports = { nodeName, defaultLabel, nodes, node, port, nodePairs, portName, DIRECTION };
