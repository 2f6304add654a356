'use strict';
// Draws docs/web.png: the web patchbay's page on the desktop-like graph of
// test/helpers/scene.js in a private daemon, as headless Chromium shows it.
// Usage: node scripts/web-screenshot.js [OUT.png]
const path = require('node:path');
const { drawScene } = require('../test/helpers/scene');
const { launchBrowser, openPage } = require('../test/helpers/web');
const { startWebServer } = require('../lib/web/server');

const out = process.argv[2] ?? path.join(__dirname, '..', 'docs', 'web.png');
drawScene(async (graph, scene) => {
  let server, browser;
  try {
    await graph.setVolume(scene.vmic.id, 0.8);
    server = await startWebServer({ graph, port: 0 });
    browser = await launchBrowser({ width: 1700, height: 1050 });
    const page = await openPage(browser, server.url);
    // A link selected, as a user about to remove it sees it.
    const link = graph.links().find((l) => l.srcNodeId === scene.mix.id);
    await page.evaluate((id) => {
      const path = document.getElementById(`link-${id}`);
      const at = path.getPointAtLength(path.getTotalLength() / 2);
      const p = new DOMPoint(at.x, at.y).matrixTransform(path.getScreenCTM());
      path.dispatchEvent(new PointerEvent('pointerdown', { bubbles: true, clientX: p.x, clientY: p.y, button: 0 }));
    }, link.id);
    await page.screenshot({ path: out });
    console.log(`${out}: ${graph.nodes().length} nodes, ${graph.links().length} links`);
  } finally {
    await browser?.close();
    await server?.close();
  }
});
