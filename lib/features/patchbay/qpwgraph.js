'use strict';
// A qpwgraph patchbay file as rules: its connections
//   <patchbay><items><item node-type=".." port-type="..">
//     <output node="NODE" port="PORT"/><input node="NODE" port="PORT"/>
//   </item>...</items></patchbay>
// become one route per pair of nodes with its port pairs (the same shape a
// snapshot has). The file is anyone's text: read with a strict XML parser
// (no entities beyond XML's own, nothing fetched), bounded in size and items.
const sax = require('sax');
const { nameMatcher } = require('./snapshot');

const MAX_BYTES = 4 << 20;
const MAX_ITEMS = 10000;

/** Parses the XML text; returns { rules, skipped } (skipped: items without both ends). Throws an Error naming the line. */
function importQpwgraph(xml, file = '(qpwgraph)') {
  if (typeof xml !== 'string') throw new TypeError('importQpwgraph requires the text of a qpwgraph file');
  if (Buffer.byteLength(xml) > MAX_BYTES) throw new Error(`${file}: larger than ${MAX_BYTES} bytes`);
  const parser = sax.parser(true, { trim: true });
  const stack = [];
  const items = [];
  let item = null;
  let skipped = 0;
  const fail = (message) => {
    throw new Error(`${file}:${parser.line + 1}:${parser.column + 1}: ${message}`);
  };
  parser.onerror = (e) => fail(`not a qpwgraph file: ${e.message.split('\n')[0]}`);
  parser.onopentag = ({ name, attributes }) => {
    const parent = stack[stack.length - 1];
    stack.push(name);
    if (stack.length === 1 && name !== 'patchbay') fail(`expected <patchbay>, found <${name}>`);
    if (name === 'item' && parent === 'items') {
      if (items.length >= MAX_ITEMS) fail(`more than ${MAX_ITEMS} items`);
      item = { type: attributes['port-type'] ?? '' };
    } else if ((name === 'output' || name === 'input') && parent === 'item' && item) {
      const { node, port } = attributes;
      if (typeof node !== 'string' || typeof port !== 'string' || !node || !port) fail(`<${name}> needs "node" and "port"`);
      item[name] = { node, port };
    }
  };
  parser.onclosetag = (name) => {
    stack.pop();
    if (name !== 'item' || !item) return;
    if (item.output && item.input) items.push(item);
    else skipped++;
    item = null;
  };
  parser.write(xml).close();
  if (stack.length > 0 || (items.length === 0 && !/<patchbay[\s>]/.test(xml))) fail('not a qpwgraph patchbay');

  const routes = new Map();
  for (const { output, input } of items) {
    const key = `${output.node}\0${input.node}`;
    if (!routes.has(key)) routes.set(key, { from: nameMatcher(output.node), to: nameMatcher(input.node), ports: [] });
    const pairs = routes.get(key).ports;
    if (!pairs.some(([o, i]) => o === output.port && i === input.port)) pairs.push([output.port, input.port]);
  }
  return { rules: { version: 1, routes: [...routes.values()] }, skipped };
}

module.exports = { importQpwgraph };
