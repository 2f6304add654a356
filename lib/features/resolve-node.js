'use strict';
// The one way a node argument becomes a node of the graph, for every entry
// point that takes one: the Graph's methods, the command line, the web
// page's requests, the MQTT commands and the patchbay.
//
// A name is what a user sees: the node's "node.name" (pw-link, wpctl), else
// the name JACK applications give it (jack_lsp, a DAW's port list: its
// "node.description", as "APPLICATION/DESCRIPTION" for an application's
// stream) or its "node.nick", else JACK's name for one of several nodes of
// one name, "NAME-ID".
const { checkNodeReference } = require('../core/arguments');
const { compileMatcher, describeMatcher, isDefaultName, defaultNodeName, defaultLabel } = require('./match');
const { serialOf } = require('../connection/serial');

const failure = (message, code) => Object.assign(new Error(message), { code });
// A name as a message quotes it: cut, since it may come from anyone.
const quoted = (text) => JSON.stringify(text.length > 200 ? `${text.slice(0, 200)}...` : text);

// jackName(node) → the client name JACK applications show for the node, as
// PipeWire's JACK library makes it: its description, else its nick, else its
// name; "APPLICATION/DESCRIPTION" where the node names an application other
// than that (a browser's stream: "Firefox/Audio Stream").
function jackName(node) {
  const props = node.props ?? {};
  const base = props['node.description'] || props['node.nick'] || node.name || props['node.name'] || '';
  const app = props['application.name'];
  return app && app !== base ? `${app}/${base}` : base;
}

// shownNames(node) → the names other than "node.name" a user sees the node
// by: JACK's (jackName), its description, its nick; each once.
function shownNames(node) {
  const props = node.props ?? {};
  const names = [jackName(node), props['node.description'], props['node.nick']];
  return [...new Set(names.filter((n) => typeof n === 'string' && n !== '' && n !== node.name))];
}

// suffixed(object, names) → JACK's names for one of several nodes (or
// ports) of one name: "NAME-ID" (a node, as PipeWire's JACK library names
// it) and "NAME-SERIAL" (its "object.serial", as it names a port).
function suffixed(object, names) {
  const serial = serialOf(object);
  const numbers = serial !== undefined && serial !== object.id ? [object.id, serial] : [object.id];
  return names.flatMap((n) => numbers.map((k) => `${n}-${k}`));
}

// The tiers of names a node answers to, the first that names some node
// winning: its "node.name"; the names JACK and the desktop show; JACK's
// "NAME-ID" for one of several.
const NAME_TIERS = [
  (node) => [node.name],
  (node) => shownNames(node),
  (node) => suffixed(node, [node.name, ...shownNames(node)]),
];

// nodesByName(nodes, text) → { found, tier }: the nodes `text` names (the
// first tier that names any) and that tier's number; found [] when none.
function nodesByName(nodes, text) {
  for (let tier = 0; tier < NAME_TIERS.length; tier++) {
    const found = nodes.filter((n) => NAME_TIERS[tier](n).includes(text));
    if (found.length) return { found, tier };
  }
  return { found: [], tier: -1 };
}

// nodesNamed(nodes, node, what, { defaults }) → the nodes of `nodes` that
// `node` names, in their order:
//   - an id: the node of that id (none or one);
//   - a node object: the node of its id while that id still names the same
//     object ("object.serial" tells; ids come round again at once);
//   - a name: the nodes of that "node.name", else of that JACK name,
//     description or nick, else of that "NAME-ID" (see above);
//   - a matcher (a RegExp, an object of property patterns, a function; with
//     `defaults`, a function returning graph.defaults, a default's name such
//     as '@default-audio-sink' too): every node it fits.
// Throws what checkNodeReference throws for a number that is no id, and a
// TypeError for what is neither a node nor a matcher.
function nodesNamed(nodes, node, what, { defaults } = {}) {
  const id = checkNodeReference(node, what);
  if (id === undefined) {
    if (typeof node === 'string' && !isDefaultName(node)) return nodesByName(nodes, node).found;
    return nodes.filter(compileMatcher(node, what, { defaults }));
  }
  const found = nodes.find((n) => n.id === id);
  if (!found) return [];
  const serial = typeof node === 'object' ? serialOf(node) : undefined;
  return serial !== undefined && serialOf(found) !== serial ? [] : [found];
}

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
  if (found.length === 0) throw failure(`${head}no node ${named}${typeof node === 'string' ? hint(nodes, node) : ''}`, 'ENOENT');
  const shown = found.slice(0, 8);
  const more = found.length > shown.length ? ', ...' : '';
  if (typeof node === 'string') {
    const apart = shown.map((n) => quoted(suffixed(n, [node])[0])).join(', ');
    throw failure(`${head}${found.length} nodes are ${named} (ids ${shown.map((n) => n.id).join(', ')}${more}): give an id, or one of ${apart}${more}`, 'ENOTUNIQ');
  }
  const which = shown.map((n) => `${n.id} ${quoted(n.name)}`).join(', ');
  throw failure(`${head}${describeMatcher(node)} matches ${found.length} nodes (${which}${more}): name one, or give its id`, 'ENOTUNIQ');
}

// Compared as a person reads a name: in one case, spaces and punctuation aside.
const loosely = (text) => text.toLowerCase().replace(/[\s_.:\-/]+/g, '');

// hint(nodes, text) → why a name names no node, where something comes close
// ("; "Studio Out" (node 41) differs in case or spacing"; "; "X" is a node,
// and "X:Y" a port of it"), else "".
function hint(nodes, text) {
  if (text.length > 1024) return '';
  const want = loosely(text);
  const near = nodes.find((n) => [n.name, ...shownNames(n)].some((name) => loosely(name) === want));
  if (near) {
    const name = [near.name, ...shownNames(near)].find((x) => loosely(x) === want);
    return `; ${quoted(name)} (node ${near.id}) differs in case or spacing`;
  }
  const cut = text.lastIndexOf(':');
  if (cut > 0 && nodesByName(nodes, text.slice(0, cut)).found.length) {
    return `; ${quoted(text.slice(0, cut))} is a node, and ${quoted(text)} names a port of it`;
  }
  return '';
}

// whyNoNode(nodes, matcher) → why `matcher` matches no node, in words: the
// rules' "--dry-run" says it of a rule that links nothing.
function whyNoNode(nodes, matcher) {
  if (typeof matcher === 'string' && !isDefaultName(matcher)) {
    return `no node has the name, JACK name, description or nick ${quoted(matcher)}${hint(nodes, matcher)}`;
  }
  if (isDefaultName(matcher)) return `there is no ${defaultLabel(matcher)} now`;
  return `no node matches ${describeMatcher(matcher)}`;
}

// plainName(matcher) → the text a matcher that is just a node's name holds:
// a text (not a default's name), or a rules file's form of one, { "node.name":
// TEXT } (which the file writes back as the bare text); undefined for any
// other matcher, and for a text with captures ("${1}").
function plainName(m) {
  let text;
  if (typeof m === 'string') text = m;
  else if (m !== null && typeof m === 'object' && !(m instanceof RegExp)) {
    const keys = Object.keys(m);
    if (keys.length === 1 && keys[0] === 'node.name' && typeof m['node.name'] === 'string') text = m['node.name'];
  }
  if (text === undefined || isDefaultName(text) || text.includes('${')) return undefined;
  return text;
}

// nodeMatcher(matcher, what, { defaults }) → (node) => boolean, for rules
// that apply to every node they fit (link rules, the patchbay's): a name (a
// text, not a default's name; the patchbay hands its rules' names over as
// plainName reads them) fits a node of that "node.name" or of that JACK
// name, description or nick (a rule written with the names a JACK user
// sees); any other matcher as compileMatcher takes it.
function nodeMatcher(m, what, options = {}) {
  if (typeof m !== 'string' || isDefaultName(m)) return compileMatcher(m, what, options);
  return (node) => node.name === m || shownNames(node).includes(m);
}

module.exports = { nodesNamed, resolveNode, nodesByName, jackName, shownNames, suffixed, whyNoNode, nameHint: hint, plainName, nodeMatcher, NAME_TIERS };
