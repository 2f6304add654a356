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

function main() {
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
  } finally {
    q.destroyPwThread();
    if (privateDaemon) privateDaemon.stop();
  }
}

main();
