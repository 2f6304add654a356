'use strict';
// quorvane service install [FILE] / uninstall: the systemd user unit that runs
// `quorvane patchbay FILE` (lib/features/patchbay/service-unit.js). It writes
// or removes the unit and prints the systemctl commands; it runs none.
const fs = require('node:fs');
const path = require('node:path');
const { EXIT, CliError, UsageError, parse } = require('./args');
const { say } = require('./output');
const { readRulesFile } = require('./patchbay');
const { UNIT_NAME, unitDir, unitText, defaultRulesFile, npxCacheOf } = require('../features/patchbay/service-unit');

const TOOL = path.join(__dirname, '..', '..', 'bin', 'quorvane.js');

async function service(argv) {
  const o = parse(argv, {});
  const [action, file, ...extra] = o._;
  if (extra.length || !['install', 'uninstall'].includes(action) || (action === 'uninstall' && file !== undefined)) {
    throw new UsageError('service install [FILE] | service uninstall');
  }
  const unit = path.join(unitDir(), UNIT_NAME);
  if (action === 'uninstall') {
    if (!fs.existsSync(unit)) throw new CliError(`no ${unit} to remove`);
    fs.rmSync(unit);
    // What `systemctl --user disable` removes, so that no dangling link stays.
    fs.rmSync(path.join(unitDir(), 'default.target.wants', UNIT_NAME), { force: true });
    say(`removed ${unit}\nto stop it now and let systemd forget it, run:\n  systemctl --user stop ${UNIT_NAME}\n  systemctl --user daemon-reload`);
    return EXIT.OK;
  }
  // Run through npx from its cache (the script as started, or the file it
  // links to): the unit would name files npm may remove at any time.
  const tool = fs.realpathSync(TOOL);
  const cache = [process.argv[1], tool].map((f) => f && npxCacheOf(f)).find(Boolean);
  if (cache) {
    throw new CliError(
      `quorvane runs from npx's cache (${cache}), which npm prunes: a unit naming it would stop working. ` +
        'Install the package first, globally (npm install -g quorvane) or in a project (npm install quorvane), ' +
        'and run "quorvane service install" from that installation.',
    );
  }
  const rulesFile = path.resolve(file ?? defaultRulesFile());
  readRulesFile(rulesFile); // a file the service could not read is refused now, not at every restart
  fs.mkdirSync(unitDir(), { recursive: true });
  fs.writeFileSync(unit, unitText({ node: process.execPath, tool, rulesFile }));
  say(`wrote ${unit}\nto start it now and at every login, run:\n  systemctl --user daemon-reload\n  systemctl --user enable --now ${UNIT_NAME}\n(it reloads ${rulesFile} when the file changes, and on: systemctl --user reload ${UNIT_NAME})`);
  return EXIT.OK;
}

module.exports = { service };
