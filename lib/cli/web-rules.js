'use strict';
// quorvane web --rules FILE: the rules file kept applied beside the page by
// the Graph's patchbay, its actions given to the page with the line
// `quorvane patchbay` prints for each.
const { EventEmitter } = require('node:events');
const { readRulesFile, actionLine } = require('./patchbay');
const { clockRate } = require('../features/effects/bands');

async function openPatchbay(graph, file) {
  const patchbay = graph.patchbay(readRulesFile(file, { rate: clockRate(graph, Infinity) }));
  const shown = new EventEmitter();
  Object.defineProperty(shown, 'rules', { get: () => patchbay.rules });
  patchbay.on('action', (a) => shown.emit('action', { ...a, link: a.link?.id, text: actionLine(a) }));
  patchbay.on('error', (e) => shown.emit('error', e));
  shown.close = () => patchbay.close();
  return shown;
}

module.exports = { openPatchbay };
