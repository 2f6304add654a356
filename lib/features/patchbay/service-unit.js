'use strict';
// The systemd user unit that keeps a patchbay running: `quorvane patchbay
// FILE` with the absolute paths of Node.js and the tool, started after
// PipeWire and the session manager, restarted when it fails. Writing it and
// telling the user how to enable it is all this does: nothing here runs
// systemctl.
const os = require('node:os');
const path = require('node:path');

const UNIT_NAME = 'quorvane-patchbay.service';

// Where systemd looks for a user's own units, and where the patchbay's rules
// are kept unless the user names a file.
function unitDir(env = process.env) {
  return path.join(env.XDG_CONFIG_HOME || path.join(os.homedir(), '.config'), 'systemd', 'user');
}
// defaultRulesFile(env) → the rules file used when none is named.
function defaultRulesFile(env = process.env) {
  return path.join(env.XDG_CONFIG_HOME || path.join(os.homedir(), '.config'), 'quorvane', 'patchbay.json');
}

// One word of ExecStart=, quoted as systemd reads it: specifiers (%) and
// variables ($) doubled, quotes and backslashes escaped.
function execWord(word) {
  if (/[\n\r]/.test(word)) throw new Error(`a path with a line break cannot go into a unit: ${JSON.stringify(word)}`);
  return `"${word.replace(/\\/g, '\\\\').replace(/"/g, '\\"').replace(/%/g, '%%').replace(/\$/g, '$$$$')}"`;
}

/** The unit's text for `rulesFile` (absolute), run by `node` with the tool `tool` (absolute paths). */
function unitText({ node, tool, rulesFile }) {
  for (const p of [node, tool, rulesFile]) if (!path.isAbsolute(p)) throw new Error(`not an absolute path: ${p}`);
  return `[Unit]
Description=quorvane patchbay: keeps the rules of ${rulesFile.replace(/%/g, '%%')} applied
After=pipewire.service pipewire-session-manager.service wireplumber.service
Wants=pipewire.service

[Service]
Type=simple
ExecStart=${[node, tool, 'patchbay', rulesFile].map(execWord).join(' ')}
ExecReload=/bin/kill -HUP $MAINPID
Restart=on-failure
RestartSec=2

[Install]
WantedBy=default.target
`;
}

// npxCacheOf(file) → the folder of npm's npx cache (…/_npx) that holds
// `file` (an absolute path), else null. npm prunes that cache as it likes, so
// a unit whose ExecStart names a file there would stop working one day.
function npxCacheOf(file) {
  const parts = path.resolve(file).split(path.sep);
  const at = parts.indexOf('_npx');
  return at < 0 ? null : parts.slice(0, at + 1).join(path.sep);
}

module.exports = { UNIT_NAME, unitDir, unitText, defaultRulesFile, npxCacheOf };
