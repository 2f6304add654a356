'use strict';
// The one way a port argument becomes a port of the graph, for every entry
// point that takes one: an id, a port object as the listings give it, or a
// name as pw-link and JACK applications show it ("NODE:PORT").
const { checkId } = require('../core/arguments');
const { serialOf } = require('../connection/serial');
const { NAME_TIERS, suffixed, nameHint } = require('./resolve-node');

const DIRECTION_NAME = { 0: 'output', 1: 'input' };
const failure = (message, code) => Object.assign(new Error(message), { code });
// A name as a message quotes it: cut, since it may come from anyone.
const quoted = (text) => JSON.stringify(text.length > 200 ? `${text.slice(0, 200)}...` : text);

// portsNamed(nodes, ports, text) → the ports a "NODE:PORT" text names, as
// pw-link and JACK applications show them: the whole text as a port's
// "port.alias" or "object.path"; else a node's name (resolve-node.js's
// tiers: its "node.name", else its JACK name, description or nick, else
// JACK's "NAME-ID") followed by ":" and the port's name, either part
// holding ":" itself (an a2jmidid port, "a2j:Midi Through [14] (capture):
// Midi Through Port-0"); else the same with JACK's "PORT-ID" for one of
// several ports of one name. Linear in the names of the graph, however many
// ":" the text holds.
function portsNamed(nodes, ports, text) {
  return portsOf(nodes, ports, text).found;
}

// portsOf(nodes, ports, text) → { found, nodeParts }: the ports, and the
// node parts tried that named some node.
function portsOf(nodes, ports, text) {
  const whole = ports.filter((p) => p.props?.['port.alias'] === text || p.props?.['object.path'] === text);
  if (whole.length) return { found: whole, nodeParts: [] };
  const byNode = new Map();
  for (const p of ports) (byNode.get(p.nodeId) ?? byNode.set(p.nodeId, []).get(p.nodeId)).push(p);
  const nodeParts = [];
  // The node names that head the text, and what follows them.
  const splits = (names) => {
    const out = [];
    for (const n of nodes) {
      for (const name of names(n)) {
        if (!name || text.length <= name.length + 1 || text.charCodeAt(name.length) !== 58 || !text.startsWith(name)) continue;
        nodeParts.push(name);
        out.push([n, text.slice(name.length + 1)]);
      }
    }
    return out;
  };
  const tiers = NAME_TIERS.map(splits);
  for (const portName of [(p) => [p.name], (p) => suffixed(p, [p.name])]) {
    for (const tier of tiers) {
      const found = new Set();
      for (const [n, part] of tier) for (const p of byNode.get(n.id) ?? []) if (portName(p).includes(part)) found.add(p);
      if (found.size) return { found: [...found], nodeParts };
    }
  }
  return { found: [], nodeParts };
}

// resolvePort({ nodes, ports }, port, what, { direction }) → the one port
// `port` names: an id, a port object (while its id names the same object:
// its "object.serial" tells) or a "NODE:PORT" text. `direction` ('in',
// 'out' or undefined) is the side wanted. Throws a TypeError/RangeError for
// what is no port argument, an Error with code 'ENOENT' for no such port,
// 'ENOTUNIQ' for a name several ports have (naming them), 'EINVAL' for a
// port of the other direction.
function resolvePort({ nodes, ports }, port, what, { direction } = {}) {
  const head = what ? `${what}: ` : '';
  let found;
  let shown;
  if (typeof port === 'number' || (port !== null && typeof port === 'object')) {
    const id = checkId(typeof port === 'number' ? port : port.id, what ?? 'port', typeof port === 'number' ? 'port' : 'port.id');
    found = ports.find((p) => p.id === id);
    const serial = typeof port === 'object' ? serialOf(port) : undefined;
    if (found && serial !== undefined && serialOf(found) !== serial) found = undefined;
    shown = String(id);
    if (!found) throw failure(`${head}no port ${id}`, 'ENOENT');
  } else if (typeof port === 'string' && port.length > 0) {
    const { found: named, nodeParts } = portsOf(nodes, ports, port);
    shown = quoted(port);
    if (named.length === 0) {
      if (!port.includes(':')) throw new TypeError(`${head}${shown} is not a port: give NODE:PORT or a port id`);
      // No node of that name: said so, where the name has one ":" to split at.
      const cut = port.indexOf(':');
      if (nodeParts.length === 0 && cut === port.lastIndexOf(':')) throw failure(`${head}no node named ${quoted(port.slice(0, cut))}${nameHint(nodes, port.slice(0, cut))}`, 'ENOENT');
      throw failure(`${head}no port ${shown}`, 'ENOENT');
    }
    if (named.length > 1) {
      const some = named.slice(0, 8);
      const more = named.length > some.length ? ', ...' : '';
      const which = some.map((p) => `${p.id} of node ${p.nodeId}`).join(', ');
      // The node-suffixed names JACK would tell them apart by, which resolve to one each.
      const apart = some.map((p) => {
        const node = nodes.find((n) => n.id === p.nodeId);
        return node ? quoted(`${suffixed(node, [node.name])[0]}:${p.name}`) : String(p.id);
      });
      throw failure(`${head}${named.length} ports are named ${shown} (${which}${more}): give an id, or one of ${apart.join(', ')}${more}`, 'ENOTUNIQ');
    }
    [found] = named;
  } else {
    throw new TypeError(`${head}a port is its id, a port object or "NODE:PORT"`);
  }
  const wanted = direction === 'in' ? 1 : direction === 'out' ? 0 : undefined;
  if (wanted !== undefined && found.direction !== wanted) {
    throw failure(`${head}port ${shown} is an ${DIRECTION_NAME[found.direction]} port`, 'EINVAL');
  }
  return found;
}

// portLabel(nodes, port) → "NODE:PORT" as pw-link shows a port.
function portLabel(nodes, port) {
  const node = nodes.find((n) => n.id === port.nodeId);
  return `${node ? node.name : port.nodeId}:${port.name}`;
}

module.exports = { resolvePort, portsNamed, portLabel };
