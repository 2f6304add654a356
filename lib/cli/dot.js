'use strict';
// quorvane dot / svg: a picture of the graph.
const fs = require('node:fs');
const { parse, noPositional, CliError } = require('./args');
const { openSession } = require('./session');
const { toDot } = require('../pictures/dot');
const { toSvg } = require('../pictures/svg');

// The whole text, handed to the kernel before the tool exits: a slow reader
// (`| dot -Tsvg`) leaves a large picture queued in the process otherwise.
function writeWhole(text) {
  return new Promise((resolve) => process.stdout.write(text, () => resolve()));
}

const snapshot = (graph) => ({ nodes: graph.nodes(), ports: graph.ports(), links: graph.links() });

async function dot(argv) {
  const o = parse(argv, { all: 'flag' });
  noPositional(o);
  const graph = await openSession();
  await writeWhole(toDot(snapshot(graph), { all: !!o.all }));
}

async function svg(argv) {
  const o = parse(argv, { output: 'value' });
  noPositional(o);
  const graph = await openSession();
  const text = toSvg(snapshot(graph));
  if (o.output === undefined || o.output === '-') {
    await writeWhole(text);
    return;
  }
  try {
    fs.writeFileSync(o.output, text);
  } catch (e) {
    throw new CliError(`cannot write ${o.output}: ${e.message}`);
  }
}

module.exports = { dot, svg };
