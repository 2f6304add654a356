'use strict';
// One host of a fleet on another PipeWire line than this machine's: run by test/fleet-lines.test.js
// inside a Debian 13 root (scripts/debian13-chroot.sh, the tree built there), in the host's network
// namespace. Its argument (JSON): { broker, host, address }. It starts a private daemon with the sink
// HOST-speakers (with monitor ports) and the host's bridge, prints "ready", then answers each JSON
// line on its standard input:
//   { "play": NAME }   plays a 120 s tone at -6 dBFS as stream NAME (into the sink too)
//   { "nodes": true }  prints { "nodes": [node names] }
// Everything ends with its standard input.
const path = require('node:path');
const readline = require('node:readline');
const { startDaemon } = require('./daemon');
const { configureSink, play } = require('./fleet');
const { writeTone } = require('./tone');
const { connect } = require('../..');

(async () => {
  const { broker, host, address } = JSON.parse(process.argv[2]);
  const sink = `${host}-speakers`;
  const daemon = startDaemon({ objects: [{ name: sink, mediaClass: 'Audio/Sink', positions: ['FL', 'FR'] }] });
  const children = [];
  const end = () => {
    for (const c of children) c.kill('SIGKILL');
    daemon.stop();
    process.exit(0);
  };
  configureSink(daemon.env, sink);
  const graph = await connect({ reconnect: true });
  const bridge = await graph.mqtt({ broker, hostName: host, forgetAfterMs: 2000, streams: { address } });
  bridge.on('warning', (e) => process.stderr.write(`warning: ${e.message}\n`));
  const say = (o) => process.stdout.write(`${JSON.stringify(o)}\n`);
  const tone = path.join(daemon.dir, 'tone.wav');
  writeTone(tone, 120, [0.5, 0.5]);
  readline.createInterface({ input: process.stdin }).on('line', (line) => {
    const ask = JSON.parse(line);
    if (ask.play) children.push(play(daemon.env, sink, ask.play, tone));
    if (ask.nodes) say({ nodes: graph.nodes().map((n) => n.name) });
  }).on('close', end);
  process.stdout.write('ready\n');
})().catch((e) => (process.stderr.write(`${e.stack}\n`), process.exit(1)));
