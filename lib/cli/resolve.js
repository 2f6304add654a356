'use strict';
// What a user types, turned into graph objects by the resolvers every face
// uses (lib/features/resolve-node.js, resolve-port.js): a number is an id,
// anything else a name ('@default-audio-sink' and wpctl's
// '@DEFAULT_AUDIO_SINK@' the defaults), a port "NODE:PORT" as pw-link names
// it. Their refusals become the tool's: a bad argument a usage error
// (exit 2), anything else a failure (exit 1), with the same words.
const { CliError, idArg, asCliError } = require('./args');
const { resolveNode, nodesNamed } = require('../features/resolve-node');
const { resolvePort, portLabel } = require('../features/resolve-port');

const DIRECTION = { 0: 'output', 1: 'input' };

// node(graph, text) → the one node TEXT names (an id, a name, a default);
// a CliError when none does or several do.
function node(graph, text) {
  const id = idArg(text, 'node');
  try {
    return resolveNode(graph.nodes(), id ?? text, null, { defaults: () => graph.defaults });
  } catch (e) {
    throw asCliError(e);
  }
}

// nodes(graph, text) → every node TEXT names, for a listing's filter (two
// nodes of one name both listed); a CliError when none does.
function nodes(graph, text) {
  const id = idArg(text, 'node');
  let found;
  try {
    found = id !== null ? nodesNamed(graph.nodes(), id, 'node') : [resolveNode(graph.nodes(), text, null, { defaults: () => graph.defaults })];
  } catch (e) {
    if (e.code !== 'ENOTUNIQ') throw asCliError(e);
    found = nodesNamed(graph.nodes(), text, 'node', { defaults: () => graph.defaults });
  }
  if (found.length === 0) throw new CliError(`no node ${id}`);
  return found;
}

// nodeRef(text) → what TEXT names for an operation that takes a node: an id
// or the text itself.
const nodeRef = (text) => idArg(text, 'node') ?? text;

// port(graph, text, direction) → the one port a "NODE:PORT" name or an id
// denotes, of `direction` (0 output, 1 input, undefined either).
function port(graph, text, direction) {
  const id = idArg(text, 'port');
  try {
    return resolvePort({ nodes: graph.nodes(), ports: graph.ports() }, id ?? text, null, { direction: direction === 0 ? 'out' : direction === 1 ? 'in' : undefined });
  } catch (e) {
    throw asCliError(e);
  }
}

// portRef(text) → what TEXT names for an operation that takes a port.
const portRef = (text) => idArg(text, 'port') ?? text;

const portName = (graph, p) => portLabel(graph.nodes(), p);

module.exports = { node, nodes, nodeRef, port, portRef, portName, DIRECTION };
