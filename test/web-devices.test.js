'use strict';
// A sound card's profiles and ports on the web page, chosen there or elsewhere; the server in-process.
const test = require('node:test');
const assert = require('node:assert/strict');
const { privateDaemon } = require('./helpers/setup');
const { DeviceFixture } = require('./helpers/device-fixture');
const { pwDump, waitFor } = require('./helpers/fixture');
const { launchBrowser, openPage, available, socket, wsUrl } = require('./helpers/web');
const { startWebServer } = require('../lib/web/server');
const { deviceView, MAX_CHOICES, MAX_TEXT } = require('../lib/protocol/device-view');

const skip = !available() && 'no chromium';
let graph, server, browser;
const started = async (g) => !skip && ([server, browser] = [await startWebServer({ graph: (graph = g), port: 0 }), await launchBrowser()]);
const { daemon } = privateDaemon(undefined, { graph: started, after: () => Promise.all([browser, server, card].map((o) => o?.close())) });
const card = new DeviceFixture(daemon.env);

const dumped = (id) => pwDump(daemon.env).find((o) => o.id === id).info.params;
const choices = (locator) => locator.evaluate((s) => [...s.options].map((o) => [o.value, o.disabled]));

test('a card\'s profile and port chosen on the page are what pw-dump shows; an unavailable one cannot be chosen; a change made elsewhere shows', { skip }, async () => {
  const id = await card.add('alsa_card.web');
  const device = await waitFor(() => graph.devices().find((d) => d.id === id && d.activeRoutes.output), 5000, 'the card');
  const page = await openPage(browser, server.url);
  const profile = page.locator(`#card-${id} select.profile`);
  const [output, input] = ['output', 'input'].map((dir) => page.locator(`#card-${id} select.route[data-direction="${dir}"]`));
  assert.equal(await page.locator(`#card-${id} .name`).textContent(), 'Fixture Card');
  // off, stereo, surround (unavailable); speaker, headphones, line out (unplugged).
  assert.deepEqual([await choices(profile), await profile.inputValue()], [[['0', false], ['1', false], ['2', true]], '1']);
  assert.deepEqual([await choices(output), await output.inputValue(), await input.isHidden()], [[['0', false], ['1', false], ['2', true]], '0', true]);

  await output.selectOption('1');
  await waitFor(() => dumped(id).Route?.[0]?.index === 1, 5000, 'the headphones selected');
  await profile.selectOption('0');
  await waitFor(() => dumped(id).Profile[0].index === 0, 5000, 'the profile "off"');
  await output.waitFor({ state: 'hidden' }); // "off" has no ports
  await waitFor(async () => (await page.locator('.message').allTextContents()).some((m) => /Fixture Card: profile off$/.test(m)), 5000, 'the answer shown');

  // Forged: a device pinned by a serial it no longer has (an unavailable profile: devices-params.test.js).
  const forged = await socket(wsUrl(server), server.token);
  assert.match((await forged.call({ id: 2, op: 'profile', device: id, serial: device.serial + 1, profile: 1 })).error, /is gone/);
  forged.ws.close();
  assert.deepEqual(await card.state(), { ok: true, profile: 0, route: -1, sets: 2 });

  await graph.setProfile(id, 'output:analog-stereo');
  await waitFor(async () => (await profile.inputValue()) === '1' && (await output.isVisible()) && (await output.inputValue()) === '0', 5000, 'the page to show the profile set elsewhere');
});

test('a device is sent to the pages with its lists capped, its texts cut, and its active choices kept', () => {
  const many = Array.from({ length: MAX_CHOICES + 40 }, (_, index) => ({ index, name: `p${index}`, description: 'x'.repeat(5000), available: 'yes' }));
  const routes = many.map((p) => ({ ...p, direction: 'output', profiles: [MAX_CHOICES + 20] }));
  const active = { ...routes[MAX_CHOICES + 10], device: 0 };
  const view = deviceView({ id: 7, name: '🎧'.repeat(1000), profiles: many, profile: many[MAX_CHOICES + 20], routes, activeRoutes: { output: active, input: null } });
  assert.deepEqual([view.profiles.length, view.routes.output.length, [...view.name].length, view.profiles[0].description.length], [MAX_CHOICES, MAX_CHOICES, MAX_TEXT, MAX_TEXT]);
  assert.deepEqual([view.profile, view.profiles.at(-1).index, view.active.output, view.routes.output.at(-1).index], [MAX_CHOICES + 20, MAX_CHOICES + 20, MAX_CHOICES + 10, MAX_CHOICES + 10]);
});
