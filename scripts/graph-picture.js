'use strict';
// Draws docs/graph.png: the desktop-like graph of test/helpers/scene.js in a
// private daemon, as `quorvane svg` draws it, rendered by headless Chromium.
// Usage: node scripts/graph-picture.js [OUT.png]
const fs = require('node:fs');
const os = require('node:os');
const path = require('node:path');
const { drawScene } = require('../test/helpers/scene');
const { screenshot } = require('../test/helpers/chromium');
const { toSvg } = require('../lib/pictures/svg');

const out = process.argv[2] ?? path.join(__dirname, '..', 'docs', 'graph.png');
drawScene(async (graph) => {
  const svg = toSvg({ nodes: graph.nodes(), ports: graph.ports(), links: graph.links() });
  const file = path.join(fs.mkdtempSync(path.join(os.tmpdir(), 'quorvane-svg-')), 'graph.svg');
  fs.writeFileSync(file, svg);
  const [, width, height] = /width="(\d+)" height="(\d+)"/.exec(svg);
  screenshot(file, path.resolve(out), Number(width), Number(height));
  fs.rmSync(path.dirname(file), { recursive: true, force: true });
  console.log(`${out}: ${width}x${height}, ${graph.nodes().length} nodes, ${graph.ports().length} ports, ${graph.links().length} links`);
});
