'use strict';
// Loads the native add-on once: a source build (build/Release) if there is
// one, else the prebuilt binary for this platform and Node.js ABI
// (prebuilds/<platform>-<arch>/), in node-gyp-build's order. A load that
// cannot work throws an Error that says what to do.
const fs = require('node:fs');
const path = require('node:path');
const nodeGypBuild = require('node-gyp-build');

if (process.platform !== 'linux') {
  throw new Error(`quorvane works on Linux only (PipeWire); this is ${process.platform}`);
}

const ROOT = path.join(__dirname, '..', '..');
const PIPEWIRE_LIBRARY = 'libpipewire-0.3.so.0';
const BUILD_NEEDS = 'libpipewire-0.3-dev, pkg-config, make, g++ and python3';
const BUILD_COMMAND = `npm run build --prefix ${JSON.stringify(ROOT)}`;

function readdir(dir) {
  try {
    return fs.readdirSync(dir);
  } catch {
    return [];
  }
}

function noBuild(cause) {
  const target = `${process.platform}-${process.arch}`;
  const abis = readdir(path.join(ROOT, 'prebuilds', target))
    .map((name) => /\.abi(\d+)\./.exec(name)?.[1]).filter(Boolean).sort();
  const shipped = abis.length ? `prebuilt for ABI ${abis.join(', ')} only` : `none prebuilt for ${target}`;
  return new Error(
    `quorvane: no add-on for Node.js ${process.version} (ABI ${process.versions.modules}) on ${target} ` +
      `(${shipped}) and no source build. Build it for this Node.js (needs ${BUILD_NEEDS}): ${BUILD_COMMAND}`,
    { cause },
  );
}

function cannotLoad(file, cause) {
  const reason = String(cause.message).split('\n')[0];
  if (reason.includes(PIPEWIRE_LIBRARY)) {
    return new Error(
      `quorvane needs PipeWire's client library ${PIPEWIRE_LIBRARY}, which cannot be loaded ` +
        `(${reason.slice(reason.indexOf(PIPEWIRE_LIBRARY) + PIPEWIRE_LIBRARY.length + 1).trim() || 'missing'}). ` +
        'Install it: libpipewire-0.3-0 on Debian and Ubuntu, pipewire-libs on Fedora, libpipewire on Arch.',
      { cause },
    );
  }
  if (/NODE_MODULE_VERSION/.test(reason)) {
    return new Error(
      `quorvane: ${file} was built for another Node.js than ${process.version}. ` +
        `Build it again with this Node.js (needs ${BUILD_NEEDS}): ${BUILD_COMMAND}`,
      { cause },
    );
  }
  return new Error(`quorvane: the add-on ${file} cannot be loaded on this system: ${reason}`, { cause });
}

let file;
try {
  file = nodeGypBuild.resolve(ROOT);
} catch (e) {
  throw noBuild(e);
}
let addon;
try {
  addon = require(file);
} catch (e) {
  // The add-on's own refusals (a worker thread) are clear as they are.
  throw e.code === 'ERR_DLOPEN_FAILED' ? cannotLoad(file, e) : e;
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
