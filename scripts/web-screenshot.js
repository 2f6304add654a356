'use strict';
// Draws docs/web.png: the web patchbay's page at 200 nodes (the desktop-like
// graph of test/helpers/scene.js and a crowd beside it: sinks with their
// monitor ports, duplex devices, virtual sources, and players linked through
// them) in a private daemon, as headless Chromium shows it, zoomed to the
// node a search found (an effect between a player and a bus).
// Usage: node scripts/web-screenshot.js [OUT.png]
const path = require('node:path');
const { startDaemon } = require('../test/helpers/daemon');
const { Fixture, waitFor } = require('../test/helpers/fixture');
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
    const crowd = [
      ...(await fixture.addMany(30, 'app-stream', 'Stream/Output/Audio', 0, 2)),
      ...(await fixture.addMany(70, 'bus', 'Audio/Sink', 2, 2)),
      ...(await fixture.addMany(40, 'fx', 'Audio/Duplex', 2, 2)),
      ...(await fixture.addMany(42, 'vsource', 'Audio/Source/Virtual', 2, 2)),
    ];
    await waitFor(() => graph.ports().filter((p) => crowd.includes(p.nodeId)).length === 30 * 2 + 152 * 4, 10000, 'the crowd\'s ports');
    // Players through an effect into a bus, and into a virtual source that a bus's monitor feeds too.
    const ports = graph.ports();
    const named = new Map(graph.nodes().map((n) => [n.name, n.id]));
    const side = (name, dir) => ports.filter((p) => p.nodeId === named.get(name) && p.direction === dir).map((p) => p.id);
    const chain = (...names) => names.slice(1).flatMap((to, i) => side(names[i], 0).map((out, c) => [out, side(to, 1)[c]]));
    const pairs = [];
    for (let i = 0; i < 20; i++) pairs.push(...chain(`app-stream-${i}`, `fx-${i}`, `bus-${i}`));
    for (let i = 20; i < 30; i++) pairs.push(...chain(`app-stream-${i}`, `vsource-${i}`), ...chain(`bus-${i}`, `vsource-${i}`));
    await fixture.link(pairs);
    await waitFor(() => graph.links().length >= scene.links + pairs.length, 5000, 'the links in the Graph\'s view');
    await graph.setVolume(scene.vmic.id, 0.8);
    server = await startWebServer({ graph, port: 0 });
    browser = await launchBrowser({ width: 1700, height: 1000 });
    const page = await openPage(browser, server.url);
    await page.waitForFunction((n) => document.querySelectorAll('.node').length >= n, 200);
    // An effect between a player and a bus, and the layers about it.
    await page.fill('#search', 'fx-5');
    await page.waitForSelector('.node.current');
    const box = await page.locator('.node.current .box').boundingBox();
    await page.mouse.move(box.x + box.width / 2, box.y + box.height / 2);
    await page.mouse.wheel(0, 300); // to 64%: its neighbours, their names still drawn
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
