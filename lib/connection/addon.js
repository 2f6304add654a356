'use strict';
// Loads the native add-on once: the source build (build/Release/Quorvane.node,
// from `npm run build`) if there is one and it loads, else the prebuilt binary
// for this platform and Node.js ABI (prebuilds/linux-<arch>/node.abiN.glibc.node);
// PREBUILDS_ONLY=1 skips the source build. A stale source build (made for
// another Node.js) does not hide a prebuilt binary that loads. A load that
// cannot work throws an Error that says what to do.
const fs = require('node:fs');
const path = require('node:path');

if (process.platform !== 'linux') {
  throw new Error(`quorvane works on Linux only (PipeWire); this is ${process.platform}`);
}

const ROOT = path.join(__dirname, '..', '..');
const SOURCE_BUILD = path.join(ROOT, 'build', 'Release', 'Quorvane.node');
const PREBUILDS = path.join(ROOT, 'prebuilds', `linux-${process.arch}`);
const PREBUILT = path.join(PREBUILDS, `node.abi${process.versions.modules}.glibc.node`);
const PIPEWIRE_LIBRARY = 'libpipewire-0.3.so.0';
const BUILD_NEEDS = 'libpipewire-0.3-dev, pkg-config, make, g++ and python3';
const BUILD_COMMAND = `npm run build --prefix ${JSON.stringify(ROOT)}`;
// Node.js's major version for each ABI (NODE_MODULE_VERSION) a build may have been made for.
const NODE_OF_ABI = { 108: 18, 115: 20, 120: 21, 127: 22, 131: 23, 137: 24, 141: 25, 147: 26 };

// abisIn(): the ABIs prebuilt for this platform, in ascending order.
function abisIn() {
  let names = [];
  try {
    names = fs.readdirSync(PREBUILDS);
  } catch {}
  return names.map((name) => /\.abi(\d+)\./.exec(name)?.[1]).filter(Boolean).map(Number).sort((a, b) => a - b);
}

// isMusl(): true when this Node.js runs on musl (Alpine, Void musl), whose
// process report names no glibc.
function isMusl() {
  try {
    return !process.report.getReport().header.glibcVersionRuntime;
  } catch {
    return false;
  }
}

// builtFor(file): the ABI a source build was made for, read from the name of
// the entry point Node.js looks for (node_register_module_vN), or null.
function builtFor(file) {
  try {
    const abi = /node_register_module_v(\d+)/.exec(fs.readFileSync(file).toString('latin1'))?.[1];
    return abi ? Number(abi) : null;
  } catch {
    return null;
  }
}

const nodeName = (abi) => (NODE_OF_ABI[abi] ? `Node.js ${NODE_OF_ABI[abi]} (ABI ${abi})` : `ABI ${abi}`);
const thisNode = `Node.js ${process.version} (ABI ${process.versions.modules})`;
const rebuild = `Build it for this Node.js (needs ${BUILD_NEEDS}): ${BUILD_COMMAND}`;

// The Error for a dlopen failure of FILE (CAUSE), or null when it is none of
// those with a remedy of their own: PipeWire's library missing, a build for another Node.js.
function knownFailure(file, cause) {
  const reason = String(cause.message).split('\n')[0];
  if (reason.includes(PIPEWIRE_LIBRARY)) {
    return new Error(
      `quorvane needs PipeWire's client library ${PIPEWIRE_LIBRARY}, which cannot be loaded ` +
        `(${reason.slice(reason.indexOf(PIPEWIRE_LIBRARY) + PIPEWIRE_LIBRARY.length + 1).trim() || 'missing'}). ` +
        'Install it: libpipewire-0.3-0 on Debian and Ubuntu, pipewire-libs on Fedora, libpipewire on Arch.',
      { cause },
    );
  }
  const abi = file === SOURCE_BUILD ? builtFor(file) : null;
  if (abi !== null && abi !== Number(process.versions.modules)) {
    return new Error(`quorvane: ${file} was built for ${nodeName(abi)}, not for ${thisNode}, and no prebuilt binary loads instead. ${rebuild}`, { cause });
  }
  return null;
}

// load(file): the add-on's exports, or throws require's error as it is.
let loadedFile;
function load(file) {
  try {
    const exports = require(file);
    loadedFile = file;
    return exports;
  } catch (e) {
    // The add-on's own refusals (a worker thread) are clear as they are.
    if (e.code !== 'ERR_DLOPEN_FAILED') throw e;
    e.file = file;
    throw e;
  }
}

// findAddon(): the loaded add-on, trying the source build and then the prebuilt binary.
function findAddon() {
  const failures = [];
  for (const file of process.env.PREBUILDS_ONLY ? [PREBUILT] : [SOURCE_BUILD, PREBUILT]) {
    if (!fs.existsSync(file)) continue;
    try {
      return load(file);
    } catch (e) {
      if (!e.file) throw e;
      failures.push(e);
    }
  }
  const target = `linux-${process.arch}`;
  if (isMusl()) {
    return fail(
      `quorvane: the prebuilt binaries are for glibc only and this system uses musl; build the add-on from source ` +
        `(needs ${BUILD_NEEDS}): ${BUILD_COMMAND}`,
      failures[0],
    );
  }
  // The source build's failure first: its remedy (a rebuild) is the user's.
  for (const failure of failures) {
    const known = knownFailure(failure.file, failure);
    if (known) throw known;
  }
  if (failures.length) {
    const [first] = failures;
    return fail(`quorvane: the add-on ${first.file} cannot be loaded on this system: ${String(first.message).split('\n')[0]}`, first);
  }
  const abis = abisIn();
  const shipped = abis.length ? `prebuilt for ABI ${abis.join(', ')} only` : `none prebuilt for ${target}`;
  return fail(`quorvane: no add-on for ${thisNode} on ${target} (${shipped}) and no source build. ${rebuild}`);
}

function fail(message, cause) {
  throw new Error(message, cause ? { cause } : undefined);
}

const addon = findAddon();

// The daemon's client list and the session manager's logs name the script:
// its process title when the script set one, else the script's file name.
function clientName() {
  const title = process.title;
  if (title && title !== 'node' && path.basename(title) !== path.basename(process.execPath)) return title;
  const script = process.argv[1];
  if (script && !script.startsWith('-')) return path.basename(script);
  return 'quorvane';
}
// The add-on serves the nineteen by itself; what the loader adds is speed
// (the builders of its objects) and the client's name.
addon.setClientName(clientName());
addon.setObjectBuilders(require('./object-builders'));

module.exports = addon;
module.exports.clientName = clientName;
module.exports.file = loadedFile; // the binary loaded

