'use strict';
// The web patchbay under test: the server started as the tool runs it, and Debian's
// Chromium driven through playwright-core (nothing downloaded) with an empty profile.
const fs = require('node:fs');
const os = require('node:os');
const path = require('node:path');
const { startScript, CLI } = require('./child');
const { waitFor } = require('./fixture');
const { available } = require('./chromium');
const assert = require('node:assert/strict');

const CHROMIUM = '/usr/bin/chromium';
const ARGS = ['--no-sandbox', '--disable-gpu', '--disable-quic', '--no-first-run', '--disable-background-networking',
  '--disable-component-update', '--disable-sync'];

/** `quorvane web` on a free loopback port; resolves to { url, origin, token, run }. */
async function startWeb(env, args = []) {
  const run = startScript(CLI, ['web', '--listen', '127.0.0.1:0', ...args], { env });
  try {
    const url = await waitFor(() => /^quorvane web: (http:\S+)$/m.exec(run.out)?.[1] || (run.child.exitCode !== null && 'exited'), 20000, 'the web server to start');
    const token = /#token=([\w-]+)$/.exec(url)?.[1] ?? assert.fail(`quorvane web printed no token in a fragment: ${url} ${run.err}`);
    return { url, origin: new URL(url).origin, token, run };
  } catch (e) {
    run.child.kill('SIGKILL'); // not left running when the test cannot use it
    throw e;
  }
}

/** The subprotocols a page offers with `token`, for a WebSocket client of the server. */
const protocols = (token) => ['quorvane', `quorvane.token.${token}`];

/** A browser context with a new empty profile; close() removes both. */
async function launchBrowser({ width = 1500, height = 1000 } = {}) {
  const { chromium } = require('playwright-core');
  const profile = fs.mkdtempSync(path.join(os.tmpdir(), 'quorvane-chromium-'));
  const context = await chromium.launchPersistentContext(profile, { executablePath: CHROMIUM, headless: true, args: ARGS, viewport: { width, height } });
  const close = context.close.bind(context);
  context.close = async () => (await close().catch(() => {}), fs.rmSync(profile, { recursive: true, force: true }));
  return context;
}

/** A new page of `context` on the patchbay, once it has drawn its first snapshot. */
async function openPage(context, url) {
  const page = await context.newPage();
  await page.goto(url);
  await page.waitForSelector('body[data-ready="true"]', { timeout: 15000 });
  return page;
}

module.exports = { protocols, startWeb, launchBrowser, openPage, available };
