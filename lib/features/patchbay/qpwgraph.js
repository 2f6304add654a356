'use strict';
// A qpwgraph patchbay file as rules: its connections
//   <patchbay name=".." version=".."><items><item node-type="pipewire" port-type="pipewire-audio">
//     <output node="NODE" port="PORT"/><input node="NODE" port="PORT"/>
//   </item>...</items></patchbay>
// become one route per pair of nodes with its port pairs (the same shape a
// snapshot has). qpwgraph names a node by its "node.description" (else its
// "node.nick", else its "node.name"), prefixed with "application.name/" where
// the application's name differs; and a port by its "port.alias", else its
// "port.name". A description may hold "/" itself ("Family 17h/19h HD Audio
// Controller Analog Stereo", a null sink's "Game-Audio Audio/Sink sink"), so
// a text with "/" is matched whole first and as "APP/NODE" only when the
// whole takes no node:
//   { "node.description|node.nick|node.name": "NODE" }, or
//   { "first": [{ "node.description|node.nick|node.name": "A/B" },
//               { "application.name": "A", "node.description|node.nick|node.name": "B" }] }
// (first-of.js), and a port is found by name, else by alias (pairing.js).
// What rules cannot carry is left out and
// reported with its line: ALSA items (node-type "alsa", port-type
// "alsa-midi": the ALSA sequencer, not PipeWire's graph), port types other
// than PipeWire's audio, MIDI and video, the `<forwards>` and the
// patchbay's "exclusive" / "activated" attributes (modes of qpwgraph's own).
// The file is anyone's text: read with a strict XML parser (no entities
// beyond XML's own, nothing fetched), bounded in size and items.
const sax = require('sax');

const MAX_BYTES = 4 << 20;
const MAX_ITEMS = 10000;
// The properties qpwgraph names a node by.
const NODE_LABEL = 'node.description|node.nick|node.name';
// Port types a named port pair carries: the ports named have that type.
const PORT_TYPES = new Set(['pipewire-audio', 'pipewire-midi', 'pipewire-video']);
const MODES = ['exclusive', 'activated'];

// A side of a rule for qpwgraph's name of a node: the whole text, then (if
// it holds "/") "APP/LABEL". A text is exact unless the rules file would read
// it as something else.
function nodeMatcher(name) {
  const exact = (t) => (/^\/.*\/[imsu]*$|\$\{/s.test(t) ? `/^${t.replace(/[.*+?^${}()|[\]\\/]/g, '\\$&')}$/` : t);
  const whole = { [NODE_LABEL]: exact(name) };
  const slash = name.indexOf('/');
  if (slash > 0 && slash < name.length - 1) {
    return { first: [whole, { 'application.name': exact(name.slice(0, slash)), [NODE_LABEL]: exact(name.slice(slash + 1)) }] };
  }
  return whole;
}

/**
 * Parses the XML text; returns { rules, dropped } (dropped: [{ line, what }], in file order, what rules cannot
 * carry). Throws an Error naming the line for a file that is not a qpwgraph patchbay.
 */
function importQpwgraph(xml, file = '(qpwgraph)') {
  if (typeof xml !== 'string') throw new TypeError('importQpwgraph requires the text of a qpwgraph file');
  if (Buffer.byteLength(xml) > MAX_BYTES) throw new Error(`${file}: larger than ${MAX_BYTES} bytes`);
  const parser = sax.parser(true, { trim: true });
  const stack = [];
  const items = [];
  const dropped = [];
  let item = null;
  let count = 0;
  const fail = (message) => {
    throw new Error(`${file}:${parser.line + 1}:${parser.column + 1}: ${message}`);
  };
  const drop = (line, what) => dropped.push({ line, what });
  parser.onerror = (e) => fail(`not a qpwgraph file: ${e.message.split('\n')[0]}`);
  parser.onopentag = ({ name, attributes }) => {
    const parent = stack[stack.length - 1];
    const line = parser.line + 1;
    stack.push(name);
    if (stack.length === 1 && name !== 'patchbay') fail(`expected <patchbay>, found <${name}>`);
    for (const mode of MODES) {
      if (attributes[mode] !== undefined) drop(line, `<${name} ${mode}="${attributes[mode]}">: qpwgraph's ${mode} mode`);
    }
    if (parent === 'forwards') drop(line, `<${name}> in <forwards>: forwarding`);
    if (name === 'item' && parent === 'items') {
      if (++count > MAX_ITEMS) fail(`more than ${MAX_ITEMS} items`);
      item = { line, nodeType: attributes['node-type'] ?? 'pipewire', portType: attributes['port-type'] ?? 'pipewire-audio' };
    } else if ((name === 'output' || name === 'input') && parent === 'item' && item) {
      const { node, port } = attributes;
      if (typeof node !== 'string' || typeof port !== 'string' || !node || !port) fail(`<${name}> needs "node" and "port"`);
      item[name] = { node, port };
    }
  };
  parser.onclosetag = (name) => {
    stack.pop();
    if (name !== 'item' || !item) return;
    const { line, nodeType, portType, output, input } = item;
    const label = output && input ? ` ${output.node}:${output.port} -> ${input.node}:${input.port}` : '';
    if (!output || !input) drop(line, 'item without an output and an input');
    else if (nodeType !== 'pipewire') drop(line, `${nodeType} item${label}: not PipeWire's graph`);
    else if (!PORT_TYPES.has(portType)) drop(line, `port type ${portType}${label}: not one rules can express`);
    else items.push(item);
    item = null;
  };
  parser.write(xml).close();
  if (stack.length > 0 || (count === 0 && !/<patchbay[\s>]/.test(xml))) fail('not a qpwgraph patchbay');

  const routes = new Map();
  for (const { output, input } of items) {
    const key = `${output.node}\0${input.node}`;
    if (!routes.has(key)) routes.set(key, { from: nodeMatcher(output.node), to: nodeMatcher(input.node), ports: [] });
    const pairs = routes.get(key).ports;
    if (!pairs.some(([o, i]) => o === output.port && i === input.port)) pairs.push([output.port, input.port]);
  }
  return { rules: { version: 1, routes: [...routes.values()] }, dropped };
}

module.exports = { importQpwgraph };
