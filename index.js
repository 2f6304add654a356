'use strict';
// Entry point: the built add-on's functions, unchanged.
const path = require('node:path');

if (process.platform !== 'linux') {
  throw new Error(`quorvane works on Linux only (PipeWire); this is ${process.platform}`);
}

const addonPath = path.join(__dirname, 'build', 'Release', 'Quorvane.node');
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

// One plain `exports.name =` line per function, in the add-on's export order:
// this literal form is what Node.js reads (without running the file) to offer
// named ESM imports, `import { getNodes } from 'quorvane'`.
exports.createPwThread = addon.createPwThread;
exports.destroyPwThread = addon.destroyPwThread;
exports.getNodes = addon.getNodes;
exports.getPorts = addon.getPorts;
exports.getLinks = addon.getLinks;
exports.getOutputNodes = addon.getOutputNodes;
exports.getInputNodes = addon.getInputNodes;
exports.getInputNodesName = addon.getInputNodesName;
exports.getOutputNodesName = addon.getOutputNodesName;
exports.linkPorts = addon.linkPorts;
exports.unlinkPorts = addon.unlinkPorts;
exports.linkNodesNameToId = addon.linkNodesNameToId;
exports.unlinkNodesNameToId = addon.unlinkNodesNameToId;
exports.waitForNewNode = addon.waitForNewNode;
exports.getLinkFormat = addon.getLinkFormat;
exports.getLinkStats = addon.getLinkStats;
exports.getLinkState = addon.getLinkState;
exports.on = addon.on;
exports.off = addon.off;
