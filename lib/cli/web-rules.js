'use strict';
// quorvane web --rules FILE: the rules file kept applied beside the page, as
// an EventEmitter of "action" ({ kind, rule, ... }) and "error", with the
// rules in force as `rules`. Until the Graph has a patchbay of its own, the
// file's routes are kept by graph.route().
const fs = require('node:fs');
const { EventEmitter } = require('node:events');
const { readRules } = require('./route');
const { EXIT, CliError } = require('./args');

async function openPatchbay(graph, file) {
  const rules = readRules(file);
  const shown = JSON.parse(fs.readFileSync(file, 'utf8'));
  const patchbay = new EventEmitter();
  patchbay.rules = shown;
  let routes;
  try {
    routes = rules.map((r) => graph.route(r));
  } catch (e) {
    throw new CliError(`${file}: ${e.message}`, EXIT.USAGE);
  }
  const link = (l) => ({ id: l.id, out: l.srcPortId, in: l.sinkPortId });
  routes.forEach((route, i) => {
    const rule = `routes[${i}]`;
    route.on('linked', (l) => patchbay.emit('action', { kind: 'linked', rule, link: link(l) }));
    route.on('unlinked', (l) => patchbay.emit('action', { kind: 'unlinked', rule, link: link(l) }));
    route.on('error', (e) => patchbay.emit('error', new Error(`${rule}: ${e.message}`)));
  });
  patchbay.close = () => Promise.all(routes.map((r) => r.close())).then(() => {});
  return patchbay;
}

module.exports = { openPatchbay };
