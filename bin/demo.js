#!/usr/bin/env node
'use strict';
// Demo: connect to PipeWire and print the graph's nodes, ports and links.
// When no PipeWire daemon is reachable, a private one with a few virtual
// nodes is started for the demo and stopped afterwards.
const { spawnSync } = require('node:child_process');
const path = require('node:path');

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
// removes the links again.
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
  const events = [];
  const waitForEvents = (count) =>
    new Promise((resolve) => {
      const end = Date.now() + 3000;
      const poll = () => (events.length >= count || Date.now() > end ? resolve() : setTimeout(poll, 10));
      poll();
    });
  q.on('link-created', (l) => {
    events.push(l);
    console.log(`  event link-created   id ${l.id}: port ${l.srcPortId} -> port ${l.sinkPortId}`);
  });
  q.on('link-destroyed', (id) => {
    events.push(id);
    console.log(`  event link-destroyed id ${id}`);
  });

  console.log(`\nLinking "${source.name}" to "${sink.name}" (node ${sink.id}) by name:`);
  const made = q.linkNodesNameToId(source.name, sink.id);
  console.log(`  ${made} link request(s) made`);
  await waitForEvents(made);
  table('Links', q.getLinks(), ['id', 'srcNodeName', 'srcPortId', 'sinkNodeName', 'sinkPortId', 'format']);

  console.log(`\nUnlinking "${source.name}" from node ${sink.id}:`);
  const queued = q.unlinkNodesNameToId(source.name, sink.id);
  console.log(`  ${queued} link removal(s) queued`);
  await waitForEvents(made + queued);
  q.off('link-created');
  q.off('link-destroyed');
}

async function main() {
  let privateDaemon = null;
  if (!daemonReachable()) {
    const { startDaemon } = require(path.join(__dirname, '..', 'test', 'helpers', 'daemon.js'));
    privateDaemon = startDaemon();
    console.log(`No PipeWire daemon was reachable: started a private one (${privateDaemon.dir})`);
    console.log('with a few virtual nodes, for this demo only.');
  }
  const q = require(path.join(__dirname, '..', 'build', 'Release', 'Quorvane.node'));
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
