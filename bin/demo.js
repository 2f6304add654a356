#!/usr/bin/env node
'use strict';
// Demo: connect to PipeWire and print the graph's nodes, ports and links.
// When no PipeWire daemon is reachable, a private one with a few virtual
// nodes is started for the demo and stopped afterwards.
const { spawnSync } = require('node:child_process');
const { linkByName, unlinkOwn } = require('../examples/own-links');

function daemonReachable() {
  return spawnSync('pw-cli', ['info', '0'], { timeout: 3000, stdio: 'ignore' }).status === 0;
}

function table(title, rows, columns) {
  console.log(`\n${title} (${rows.length})`);
  if (rows.length === 0) {
    console.log('  (none)');
    return;
  }
  const cells = rows.map((r) => columns.map((c) => String(r[c])));
  const widths = columns.map((c, i) => Math.max(c.length, ...cells.map((row) => row[i].length)));
  const line = (values) => '  ' + values.map((v, i) => v.padEnd(widths[i])).join('  ').trimEnd();
  console.log(line(columns));
  console.log(line(widths.map((w) => '-'.repeat(w))));
  for (const row of cells) console.log(line(row));
}

// Links a source node to a sink by name, shows the events that follow, and
// removes the links it made again. Port pairs another client (a session
// manager) linked already are left as they are.
async function linkDemo(q) {
  const ports = q.getPorts();
  const hasPorts = (node, direction) => ports.some((p) => p.nodeId === node.id && p.direction === direction);
  const nodes = q.getNodes();
  const source = nodes.find((n) => n.isInput && !n.isOutput && hasPorts(n, 0)) ?? nodes.find((n) => hasPorts(n, 0));
  const sink = nodes.find((n) => n.isOutput && !n.isInput && hasPorts(n, 1) && n !== source);
  if (!source || !sink) {
    console.log('\nNo source and sink with free ports to link; skipping the link demo.');
    return;
  }
  q.on('link-created', (l) => console.log(`  event link-created   id ${l.id}: port ${l.srcPortId} -> port ${l.sinkPortId}`));
  q.on('link-destroyed', (id) => console.log(`  event link-destroyed id ${id}`));
  // Let the events of the links that already exist go by first.
  await new Promise((resolve) => setTimeout(resolve, 50));

  console.log(`\nLinking "${source.name}" to "${sink.name}" (node ${sink.id}) by name:`);
  const { already, own, missing } = await linkByName(q, source.name, sink.id, 3000);
  for (const [o, i] of already) console.log(`  port ${o} -> port ${i}: already linked by another client, left as it is`);
  console.log(`  ${own.length} link(s) made` + (missing.length ? `, ${missing.length} refused by the daemon` : ''));
  table('Links', q.getLinks(), ['id', 'srcNodeName', 'srcPortId', 'sinkNodeName', 'sinkPortId', 'format']);

  if (own.length > 0) {
    console.log(`\nRemoving the ${own.length} link(s) made above:`);
    console.log(`  ${await unlinkOwn(q, own, 3000)} removed`);
    await new Promise((resolve) => setTimeout(resolve, 50));
  }
  q.off('link-created');
  q.off('link-destroyed');
}

async function main() {
  let privateDaemon = null;
  if (!daemonReachable()) {
    const { startDaemon } = require('../scripts/private-daemon');
    privateDaemon = startDaemon();
    console.log(`No PipeWire daemon was reachable: started a private one (${privateDaemon.dir})`);
    console.log('with a few virtual nodes, for this demo only.');
  }
  // Loaded once the environment points at the daemon to use.
  const q = require('..');
  try {
    q.createPwThread();
    table('Nodes', q.getNodes(), ['id', 'name', 'type', 'isInput', 'isOutput']);
    table('Ports', q.getPorts(), ['id', 'nodeId', 'name', 'direction']);
    table('Links', q.getLinks(), ['id', 'srcNodeName', 'srcPortId', 'sinkNodeName', 'sinkPortId', 'format']);
    await linkDemo(q);
  } finally {
    q.destroyPwThread();
    if (privateDaemon) privateDaemon.stop();
  }
}

main().catch((e) => {
  console.error(e);
  process.exitCode = 1;
});
