'use strict';
// quorvane import FILE.qpwgraph: a qpwgraph patchbay as a rules file, on
// standard output. Needs no daemon.
const fs = require('node:fs');
const { EXIT, CliError, UsageError, parse } = require('./args');
const { say, warn } = require('./output');
const { importQpwgraph } = require('../features/patchbay/qpwgraph');
const { checkRules } = require('../features/patchbay/rules');

async function importFile(argv) {
  const o = parse(argv, {});
  if (o._.length !== 1) throw new UsageError('import needs one FILE.qpwgraph');
  const file = o._[0];
  let text;
  try {
    text = fs.readFileSync(file, 'utf8');
  } catch (e) {
    throw new CliError(`cannot read ${file}: ${e.message}`, EXIT.USAGE);
  }
  let imported;
  try {
    imported = importQpwgraph(text, file);
    checkRules(imported.rules); // what it prints, `quorvane patchbay` takes
  } catch (e) {
    throw new CliError(e.message, EXIT.USAGE);
  }
  if (imported.skipped) warn(`${imported.skipped} item(s) without an output and an input left out`);
  say(JSON.stringify(imported.rules, null, 2));
}

module.exports = { import: importFile };
