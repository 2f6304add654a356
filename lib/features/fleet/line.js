'use strict';
// What this host's PipeWire line offers to carry audio to another host: the
// client library's version (its file name says it: libpipewire-0.3.so.0.365.0
// is 0.3.65, .so.0.1402.0 is 1.4.2) and the network modules beside it.
//   roc  libpipewire-module-roc-sink / -roc-source (PipeWire 1.x built with
//        libroc: forward error correction, a receiver bound to one address)
//   rtp  libpipewire-module-rtp-sink / -rtp-source as 0.3.x has them: the
//        sender announces its session (SAP) to the receiver's address and
//        port. A 1.x host sends it too (its rtp-sink with module-rtp-sap
//        announcing it), and takes none: 1.x's rtp-source and rtp-sap
//        connect their socket to the unicast address and port they bind,
//        so they take datagrams from themselves alone. So 0.3.x to 1.x is
//        refused, 1.x to 0.3.x is RTP.
const fs = require('node:fs');
const path = require('node:path');

const LIBRARY = /\/(libpipewire-0\.3\.so\.0\.(\d+)\.(\d+))$/;

// The loaded client library's path and version ("0.3.65", "1.4.2"), from this
// process's memory map; null where it cannot be read.
function loadedLibrary() {
  let maps;
  try {
    maps = fs.readFileSync('/proc/self/maps', 'utf8');
  } catch {
    return null;
  }
  for (const line of maps.split('\n')) {
    const at = line.indexOf('/');
    const m = at >= 0 ? LIBRARY.exec(line.slice(at)) : null;
    if (!m) continue;
    const n = Number(m[2]); // 365: 0.3.65; 1402: 1.4.2 (major*1000 + minor*100 + micro, 0.3's as 3xx)
    const version = n < 1000 ? `0.3.${n - 300}` : `${Math.floor(n / 1000)}.${Math.floor((n % 1000) / 100)}.${n % 100}`;
    return { file: line.slice(at), version };
  }
  return null;
}

// The major version of a PipeWire version ("0.3.65" → 0, "1.4.2" → 1).
const major = (version) => Number(String(version).split('.')[0]);

let cached = null;

/**
 * networkLine() → { version, codecs, receives, moduleDir }: the PipeWire
 * line this process runs (null when unknown), the transports it can send,
 * best first (['roc', 'rtp'] on 1.x with the ROC and RTP modules, ['rtp'] on
 * 0.3.x), those it can take (['roc'] on 1.x, ['rtp'] on 0.3.x), and where
 * its modules are. Read once; the add-on must be loaded first.
 */
function networkLine() {
  if (cached) return cached;
  require('../../connection/addon');
  const lib = loadedLibrary();
  const version = lib?.version ?? null;
  const moduleDir = process.env.PIPEWIRE_MODULE_DIR || (lib ? path.join(path.dirname(lib.file), 'pipewire-0.3') : null);
  const has = (name) => moduleDir !== null && fs.existsSync(path.join(moduleDir, `libpipewire-module-${name}.so`));
  const codecs = [];
  if (version !== null && major(version) >= 1 && has('roc-sink') && has('roc-source')) codecs.push('roc');
  const old = version !== null && major(version) === 0;
  if (version !== null && has('rtp-sink') && (old ? has('rtp-source') : has('rtp-sap'))) codecs.push('rtp');
  cached = { version, codecs, receives: old ? codecs : codecs.filter((c) => c !== 'rtp'), moduleDir };
  return cached;
}

/**
 * chooseCodec(sender, receiver) → the transport two hosts use: the first of
 * the sender's codecs (best first) the receiver has too, or null.
 */
function chooseCodec(sender, receiver) {
  return sender.find((c) => receiver.includes(c)) ?? null;
}

module.exports = { networkLine, chooseCodec, loadedLibrary, major };
