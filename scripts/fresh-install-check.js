'use strict';
// Run by fresh-install-check.sh inside the fresh root, in the project APP that
// has just installed the package: what a new user does first. Loads it,
// connects to a private daemon, lists, links, and runs `npx quorvane`; prints
// one JSON line of what it saw (the require time among it) and exits 0 when
// everything went as expected.
const assert = require('node:assert/strict');
const { spawnSync } = require('node:child_process');
const { createRequire } = require('node:module');
const path = require('node:path');
const { startDaemon } = require('./private-daemon');

async function main(app) {
  const daemon = startDaemon();
  const started = process.hrtime.bigint();
  const q = createRequire(path.join(app, 'package.json'))('quorvane');
  const requireMs = Number(process.hrtime.bigint() - started) / 1e6;
  const loaded = Object.keys(require.cache).find((f) => f.endsWith('.node'));
  const graph = await q.connect();
  try {
    const names = graph.nodes().map((n) => n.name).sort();
    assert.deepEqual(names, ['demo-microphone', 'demo-speakers']);
    const [mic, speakers] = ['demo-microphone', 'demo-speakers'].map((name) => graph.nodes().find((n) => n.name === name));
    await graph.waitForPorts(mic.id, { direction: 'out' });
    await graph.waitForPorts(speakers.id, { direction: 'in' });
    const links = await graph.linkNodes('demo-microphone', speakers.id);
    assert.ok(links.length >= 1);
    // Another process, as the user types it: the same graph and our links in it.
    const npx = (...args) => spawnSync('npx', ['quorvane', ...args], { cwd: app, encoding: 'utf8', env: daemon.env, timeout: 60000 });
    const nodes = npx('nodes', '--json');
    assert.equal(nodes.status, 0, nodes.stderr);
    assert.deepEqual(JSON.parse(nodes.stdout).map((n) => n.name).sort(), names);
    const listed = npx('links', '--json');
    assert.equal(listed.status, 0, listed.stderr);
    assert.deepEqual(JSON.parse(listed.stdout).map((l) => l.id).sort(), links.map((l) => l.id).sort());
    console.log(JSON.stringify({ requireMs: Math.round(requireMs), addon: path.basename(loaded || '?'), nodes: names, links: links.length }));
  } finally {
    await graph.close();
    daemon.stop();
  }
}

main(process.argv[2]).catch((e) => {
  console.error(e);
  process.exit(1);
});
