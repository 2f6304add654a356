'use strict';
// quorvane import FILE.qpwgraph [--strict]: a qpwgraph patchbay as a rules
// file, on standard output; what the rules cannot carry is reported on
// standard error, one line each with its line in the file (with --strict the
// file is refused instead, exit 2). Needs no daemon.
const fs = require('node:fs');
const { EXIT, CliError, UsageError, parse } = require('./args');
const { say, warn } = require('./output');
const { importQpwgraph } = require('../features/patchbay/qpwgraph');
const { checkRules } = require('../features/patchbay/rules');

async function importFile(argv) {
  const o = parse(argv, { strict: 'flag' });
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
  const dropped = imported.dropped.map(({ line, what }) => `${file}:${line}: ${what}`);
  if (o.strict && dropped.length) {
    throw new CliError(`${dropped.join('\n')}\n${file}: refused (--strict): ${dropped.length} item(s) the rules cannot carry`, EXIT.USAGE);
  }
  for (const d of dropped) warn(`${d}: left out`);
  say(JSON.stringify(imported.rules, null, 2));
}

module.exports = { import: importFile };
