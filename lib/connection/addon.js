'use strict';
// Loads the native add-on once, with clear errors for what goes wrong most.
const path = require('node:path');

if (process.platform !== 'linux') {
  throw new Error(`quorvane works on Linux only (PipeWire); this is ${process.platform}`);
}

const addonPath = path.join(__dirname, '..', '..', 'build', 'Release', 'Quorvane.node');
let addon;
try {
  addon = require(addonPath);
} catch (e) {
  if (e.code === 'MODULE_NOT_FOUND') {
    throw new Error(
      `quorvane: the native add-on is not built (${addonPath} is missing). ` +
        'Run "npm rebuild quorvane" (needs libpipewire-0.3-dev, pkg-config, make and g++), ' +
        'or "bash scripts/setup.sh" in a clone of the repository.',
      { cause: e },
    );
  }
  if (/NODE_MODULE_VERSION/.test(e.message)) {
    throw new Error(
      `quorvane: the add-on was built for another Node.js version than ${process.version}. ` +
        'Run "npm rebuild quorvane" with this Node.js.',
      { cause: e },
    );
  }
  throw e;
}

// The daemon's client list and the session manager's logs name the script:
// its process title when the script set one, else the script's file name.
function clientName() {
  const title = process.title;
  if (title && title !== 'node' && path.basename(title) !== path.basename(process.execPath)) return title;
  const script = process.argv[1];
  if (script && !script.startsWith('-')) return path.basename(script);
  return 'quorvane';
}
addon.setClientName(clientName());

module.exports = addon;
module.exports.clientName = clientName;
