'use strict';
// The one way a port argument becomes a port of the graph, for every entry
// point that takes one: an id, a port object as the listings give it, or a
// name as pw-link and JACK applications show it ("NODE:PORT").
const { checkId } = require('../core/arguments');
const { serialOf } = require('../connection/serial');

const DIRECTION_NAME = { 0: 'output', 1: 'input' };
const failure = (message, code) => Object.assign(new Error(message), { code });
// A name as a message quotes it: cut, since it may come from anyone.
const quoted = (text) => JSON.stringify(text.length > 200 ? `${text.slice(0, 200)}...` : text);

// portsNamed(nodes, ports, text) → the ports a "NODE:PORT" text names: the
// whole text as a port's "port.alias" or "object.path", else every split at
// a ":" into a node part and a port part (either may hold ":" itself), the
// node part the node's name, else its description or nick.
function portsNamed(nodes, ports, text) {
  return portsOf(nodes, ports, text).found;
}

// portsOf(nodes, ports, text) → { found, nodeParts }: the ports, and the
// node parts tried that named some node.
function portsOf(nodes, ports, text) {
  const whole = ports.filter((p) => p.props?.['port.alias'] === text || p.props?.['object.path'] === text);
  if (whole.length) return { found: whole, nodeParts: [] };
  const found = new Set();
  const nodeParts = [];
  const nodeKeys = ['node.description', 'node.nick'];
  for (let at = text.indexOf(':'); at > 0; at = text.indexOf(':', at + 1)) {
    const [nodePart, portPart] = [text.slice(0, at), text.slice(at + 1)];
    if (!portPart) continue;
    let owners = nodes.filter((n) => n.name === nodePart);
    if (owners.length === 0) owners = nodes.filter((n) => nodeKeys.some((k) => n.props?.[k] === nodePart));
    if (owners.length) nodeParts.push(nodePart);
    const ids = new Set(owners.map((n) => n.id));
    for (const p of ports) if (ids.has(p.nodeId) && p.name === portPart) found.add(p);
  }
  return { found: [...found], nodeParts };
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
      if (nodeParts.length === 0 && cut === port.lastIndexOf(':')) throw failure(`${head}no node named ${quoted(port.slice(0, cut))}`, 'ENOENT');
      throw failure(`${head}no port ${shown}`, 'ENOENT');
    }
    if (named.length > 1) {
      const which = named.slice(0, 8).map((p) => `${p.id} of node ${p.nodeId}`).join(', ');
      throw failure(`${head}${named.length} ports are named ${shown} (${which}): give an id`, 'ENOTUNIQ');
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
