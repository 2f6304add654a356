'use strict';
// Draws docs/web.png: the web patchbay's page at 200 nodes (the desktop-like
// graph of test/helpers/scene.js and a crowd of streams and devices beside
// it) in a private daemon, as headless Chromium shows it, zoomed to the node
// a search found.
// Usage: node scripts/web-screenshot.js [OUT.png]
const path = require('node:path');
const { startDaemon } = require('../test/helpers/daemon');
const { Fixture } = require('../test/helpers/fixture');
const { buildScene } = require('../test/helpers/scene');
const { launchBrowser, openPage } = require('../test/helpers/web');
const { startWebServer } = require('../lib/web/server');

const out = process.argv[2] ?? path.join(__dirname, '..', 'docs', 'web.png');

async function main() {
  const daemon = startDaemon({ objects: [] });
  const fixture = new Fixture();
  const graph = await require('..').connect();
  let server, browser;
  try {
    const scene = await buildScene(fixture, graph);
    await fixture.addMany(90, 'app-stream', 'Stream/Output/Audio', 0, 2);
    await fixture.addMany(92, 'bus', 'Audio/Sink', 2, 0);
    await graph.setVolume(scene.vmic.id, 0.8);
    server = await startWebServer({ graph, port: 0 });
    browser = await launchBrowser({ width: 1700, height: 1000 });
    const page = await openPage(browser, server.url);
    await page.waitForFunction((n) => document.querySelectorAll('.node').length >= n, 200);
    await page.fill('#search', 'Spotify');
    await page.waitForSelector('.node.current');
    await page.mouse.move(500, 420);
    await page.mouse.wheel(0, 150); // zoom out a little: the found node and its neighbours
    await page.screenshot({ path: out });
    console.log(`${out}: ${graph.nodes().length} nodes, ${graph.links().length} links`);
  } finally {
    await browser?.close();
    await server?.close();
    await graph.close();
    await fixture.close();
    daemon.stop();
  }
}

main().catch((e) => {
  console.error(e);
  process.exit(1);
});
