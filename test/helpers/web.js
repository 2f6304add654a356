'use strict';
// The web patchbay under test: the server started as the tool runs it, and Debian's
// Chromium driven through playwright-core (nothing downloaded) with an empty profile.
const fs = require('node:fs');
const WebSocket = require('ws');
const { startScript, CLI } = require('./child');
const { waitFor } = require('./fixture');
const { available, CHROMIUM, QUIET, newProfile } = require('./chromium');
const assert = require('node:assert/strict');

/** `quorvane web` on a free loopback port; resolves to { url, origin, token, run }. */
async function startWeb(env, args = []) {
  const run = startScript(CLI, ['web', '--listen', '127.0.0.1:0', ...args], { env });
  const url = await waitFor(() => /^quorvane web: (http:\S+)$/m.exec(run.out)?.[1] || (run.child.exitCode !== null && 'exited'), 20000, 'the web server to start')
    .catch((e) => (run.child.kill('SIGKILL'), Promise.reject(e))); // not left running when the test cannot use it
  const token = /#token=([\w-]+)$/.exec(url)?.[1] ?? (run.child.kill('SIGKILL'), assert.fail(`quorvane web printed no token in a fragment: ${url} ${run.err}`));
  return { url, origin: new URL(url).origin, token, run };
}

/** The WebSocket URL of a server: `quorvane web`'s ({ origin }) or one in this process ({ port }). */
const wsUrl = (s) => (s.origin ? `${s.origin.replace('http', 'ws')}/ws` : `ws://127.0.0.1:${s.port}/ws`);

// A raw page offering `token` (none if undefined), once open: `got` holds every message from the first
// (which may come with the upgrade's answer), `call(msg)` resolves with its reply. Else { status }, { error }.
function socket(url, token, headers = {}) {
  return new Promise((resolve) => {
    const ws = new WebSocket(url, token ? ['quorvane', `quorvane.token.${token}`] : [], { headers });
    const got = [];
    const reply = (id) => got.find((m) => m.type === 'reply' && m.id === id);
    const call = (msg) => (ws.send(JSON.stringify(msg)), waitFor(() => reply(msg.id), 10000, `the reply to ${msg.id}`));
    ws.on('message', (d) => got.push(Object.defineProperty(JSON.parse(d), 'receivedAt', { value: performance.now() })));
    ws.on('open', () => resolve({ ws, got, call })).on('error', (error) => resolve({ error }));
    ws.on('unexpected-response', (req, res) => resolve({ status: res.statusCode }));
  });
}

/** A browser context with a new empty profile; close() removes both. */
async function launchBrowser({ width = 1500, height = 1000 } = {}) {
  const { chromium } = require('playwright-core');
  const profile = newProfile();
  const context = await chromium.launchPersistentContext(profile, { executablePath: CHROMIUM, headless: true, args: QUIET, viewport: { width, height } });
  const close = context.close.bind(context);
  context.close = async () => (await close().catch(() => {}), fs.rmSync(profile, { recursive: true, force: true }));
  return context;
}

/** A new page of `context` on the patchbay once it drew its first snapshot; `before(page)` runs before loading. */
async function openPage(context, url, before) {
  const page = await context.newPage();
  before?.(page);
  await page.goto(url);
  await page.waitForSelector('body[data-ready="true"]', { timeout: 15000 });
  return page;
}

/** Presses the mouse at the first point, moves it through the others (`steps` moves each), releases it. */
async function mouseDrag(page, [from, ...to], steps = 5) {
  await page.mouse.move(from.x, from.y).then(() => page.mouse.down());
  for (const p of to) await page.mouse.move(p.x, p.y, { steps });
  await page.mouse.up();
}

module.exports = { startWeb, launchBrowser, openPage, available, socket, wsUrl, mouseDrag };
