'use strict';
// The one way a node argument becomes a node of the graph, for every entry
// point that takes one: the Graph's methods, the command line, the web
// page's requests, the MQTT commands and the patchbay.
const { checkNodeReference } = require('../core/arguments');
const { compileMatcher, describeMatcher, isDefaultName, defaultNodeName, defaultLabel } = require('./match');
const { serialOf } = require('../connection/serial');

// nodesNamed(nodes, node, what, { defaults }) → the nodes of `nodes` that
// `node` names, in their order:
//   - an id: the node of that id (none or one);
//   - a node object: the node of its id while that id still names the same
//     object ("object.serial" tells; ids come round again at once);
//   - a matcher (a name, a RegExp, an object of property patterns, a
//     function; with `defaults`, a function returning graph.defaults, a
//     default's name such as '@default-audio-sink' too): every node it fits.
// Throws what checkNodeReference throws for a number that is no id, and a
// TypeError for what is neither a node nor a matcher.
function nodesNamed(nodes, node, what, { defaults } = {}) {
  const id = checkNodeReference(node, what);
  if (id === undefined) return nodes.filter(compileMatcher(node, what, { defaults }));
  const found = nodes.find((n) => n.id === id);
  if (!found) return [];
  const serial = typeof node === 'object' ? serialOf(node) : undefined;
  return serial !== undefined && serialOf(found) !== serial ? [] : [found];
}

const failure = (message, code) => Object.assign(new Error(message), { code });
// A name as a message quotes it: cut, since it may come from anyone.
const quoted = (text) => JSON.stringify(text.length > 200 ? `${text.slice(0, 200)}...` : text);

// resolveNode(nodes, node, what, options) → the one node `node` names
// (nodesNamed's arguments). Throws an Error with code 'ENOENT' when none
// does ("no node 31", "no node named "x"", "there is no default audio
// sink"), and with code 'ENOTUNIQ' when several do, naming them: a name two
// nodes share is refused, never taken for the first. `what` (the caller's
// name, say 'setVolume') heads the message; null leaves it out.
function resolveNode(nodes, node, what, options = {}) {
  const id = checkNodeReference(node, what ?? 'node');
  const found = nodesNamed(nodes, node, what ?? 'node', options);
  const head = what ? `${what}: ` : '';
  if (found.length === 1) return found[0];
  if (id !== undefined) throw failure(`${head}no node ${id}${typeof node === 'object' && found.length === 0 && nodes.some((n) => n.id === id) ? ' (its id names another node now)' : ''}`, 'ENOENT');
  if (options.defaults && isDefaultName(node) && defaultNodeName(options.defaults(), node) === null) {
    throw failure(`${head}there is no ${defaultLabel(node)} (none set, or no session manager)`, 'ENOENT');
  }
  const named = typeof node === 'string' ? `named ${quoted(node)}` : `matching ${describeMatcher(node)}`;
  if (found.length === 0) throw failure(`${head}no node ${named}`, 'ENOENT');
  const shown = found.slice(0, 8);
  const more = found.length > shown.length ? ', ...' : '';
  if (typeof node === 'string') {
    throw failure(`${head}${found.length} nodes are ${named} (ids ${shown.map((n) => n.id).join(', ')}${more}): give an id`, 'ENOTUNIQ');
  }
  const which = shown.map((n) => `${n.id} ${quoted(n.name)}`).join(', ');
  throw failure(`${head}${describeMatcher(node)} matches ${found.length} nodes (${which}${more}): name one, or give its id`, 'ENOTUNIQ');
}

module.exports = { nodesNamed, resolveNode };
