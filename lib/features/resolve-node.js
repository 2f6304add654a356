'use strict';
// The one way a node argument becomes a node of the graph, for every entry
// point that takes one (the Graph's volume, mute, defaults, moves and
// destroyNode, the web page's requests).
const { checkNodeReference } = require('../core/arguments');
const { compileMatcher, describeMatcher } = require('./match');
const { serialOf } = require('../connection/serial');

// nodesNamed(nodes, node, what, { defaults, sameSerial }) → the nodes of
// `nodes` that `node` names, in their order:
//   - an id: the node of that id (none or one);
//   - a node object: the node of its id; with `sameSerial`, only while that
//     id still names the same object (its "object.serial" tells);
//   - a matcher (a name, a RegExp, an object of property patterns, a
//     function; with `defaults`, a function returning graph.defaults, a
//     default's name such as '@default-audio-sink' too): every node it fits.
// Throws what checkNodeReference throws for a number that is no id, and a
// TypeError for what is neither a node nor a matcher.
function nodesNamed(nodes, node, what, { defaults, sameSerial = false } = {}) {
  const id = checkNodeReference(node, what);
  if (id === undefined) return nodes.filter(compileMatcher(node, what, { defaults }));
  const found = nodes.find((n) => n.id === id);
  if (!found) return [];
  const serial = sameSerial && typeof node === 'object' ? serialOf(node) : undefined;
  return serial !== undefined && serialOf(found) !== serial ? [] : [found];
}

// resolveNode(nodes, node, what, options) → the one node `node` names
// (nodesNamed's arguments); throws an Error saying that no node, or which
// several nodes, fit. `what` (the caller's name, say 'setVolume') heads the
// message; null leaves it out.
function resolveNode(nodes, node, what, options) {
  const id = checkNodeReference(node, what ?? 'node');
  const found = nodesNamed(nodes, node, what ?? 'node', options);
  const head = what ? `${what}: ` : '';
  if (found.length === 1) return found[0];
  if (id !== undefined) throw new Error(`${head}no node ${id}`);
  const description = describeMatcher(node);
  if (found.length === 0) throw new Error(`${head}no node matches ${description}`);
  const names = found.slice(0, 5).map((n) => `${n.id} ${JSON.stringify(n.name)}`);
  if (found.length > 5) names.push('...');
  throw new Error(`${head}${description} matches ${found.length} nodes (${names.join(', ')}); name one, or give its id`);
}

module.exports = { nodesNamed, resolveNode };
