'use strict';
// Opening the web page in the user's browser without putting its token on a
// command line.
const { spawn } = require('node:child_process');
const fs = require('node:fs');
const os = require('node:os');
const path = require('node:path');
const { warn } = require('./output');

const html = (text) => text.replace(/[&<>"']/g, (c) => `&#${c.charCodeAt(0)};`);

/**
 * A file only this user can read, in a directory only this user can enter,
 * that sends the browser on to `url`: its name, not the URL and its token,
 * goes on a command line (which every user of the machine can read).
 * Returns { file, remove() }; throws what the file system throws.
 */
function redirectFile(url) {
  const base = process.env.XDG_RUNTIME_DIR && fs.existsSync(process.env.XDG_RUNTIME_DIR) ? process.env.XDG_RUNTIME_DIR : os.tmpdir();
  const dir = fs.mkdtempSync(path.join(base, 'quorvane-web-'));
  const file = path.join(dir, 'open.html');
  fs.writeFileSync(file, `<!doctype html>
<html><head><meta charset="utf-8"><meta http-equiv="refresh" content="0;url=${html(url)}"><title>Quorvane patchbay</title></head>
<body><p><a href="${html(url)}">Open the Quorvane patchbay</a></p></body></html>
`, { mode: 0o600 });
  return { file, remove: () => fs.rmSync(dir, { recursive: true, force: true }) };
}

// openBrowser(url) → the redirect file to remove when the server stops (null
// when it could not be made): xdg-open is given that file, not the URL, whose
// fragment holds the access token and would show in every process listing.
// A browser that cannot be started is a warning: the URL is printed already.
function openBrowser(url) {
  let opener = null;
  try {
    opener = redirectFile(url);
    const child = spawn('xdg-open', [opener.file], { stdio: 'ignore', detached: true });
    child.on('error', (e) => warn(`could not open a browser (${e.message}); open the URL above`));
    child.unref();
  } catch (e) {
    warn(`could not open a browser (${e.message}); open the URL above`);
  }
  return opener;
}

module.exports = { redirectFile, openBrowser };
