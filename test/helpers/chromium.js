'use strict';
// Headless Chromium (Debian's "chromium"), to look at a picture as a person
// would: screenshots, and pages whose script measures what was drawn.
const { spawnSync } = require('node:child_process');
const fs = require('node:fs');
const os = require('node:os');
const path = require('node:path');

const CHROMIUM = '/usr/bin/chromium';
// The last four: nothing that calls home.
const QUIET = ['--no-sandbox', '--disable-gpu', '--no-first-run', '--disable-quic', '--disable-sync',
  '--disable-background-networking', '--disable-component-update'];

const available = () => fs.existsSync(CHROMIUM);
const newProfile = () => fs.mkdtempSync(path.join(os.tmpdir(), 'quorvane-chromium-'));

// Runs Chromium with a profile of its own, removed afterwards; returns stdout.
function chromium(args, timeoutMs = 60000) {
  const profile = newProfile();
  const flags = ['--headless', '--hide-scrollbars', ...QUIET, `--user-data-dir=${profile}`];
  const r = spawnSync(CHROMIUM, [...flags, ...args], { encoding: 'utf8', timeout: timeoutMs, maxBuffer: 1 << 28 });
  fs.rmSync(profile, { recursive: true, force: true });
  if (r.error || r.status !== 0) throw r.error ?? new Error(`chromium exited with ${r.status}: ${r.stderr}`);
  return r.stdout;
}

const dumpDom = (file) => chromium(['--dump-dom', `file://${file}`]);

const screenshot = (file, png, width, height) =>
  chromium([`--window-size=${width},${height}`, `--screenshot=${png}`, `file://${file}`]);

module.exports = { available, dumpDom, screenshot, CHROMIUM, QUIET, newProfile };
