#!/usr/bin/env node
'use strict';
// Benchmark of the MQTT bridge against a private daemon and a private
// mosquitto (test/helpers/broker.js), the bridge in this process:
// 1. a graph change to its message on the broker: a fixture node's
//    "node.description" changed (the Graph's "node-changed"), timed from the
//    change sent by the fixture to the node's retained state arriving at a
//    subscriber; p50 / p99 over N changes, paced above the bridge's per-topic
//    rate so that none is merely coalesced.
// 2. a 200-node host at rest: the messages the broker carries to a subscriber
//    of quorvane/# and homeassistant/# over a minute with nothing changing
//    (the target: zero), after the bridge has published the graph.
//   node bench/mqtt.js [--changes N] [--rest-ms MS]
const os = require('node:os');
const { startDaemon } = require('../test/helpers/daemon');
const { Fixture, waitFor } = require('../test/helpers/fixture');
const { startBroker, listen } = require('../test/helpers/broker');
const { fmt } = require('./common');

const arg = (name, dflt) => (process.argv.includes(name) ? Number(process.argv[process.argv.indexOf(name) + 1]) : dflt);
const CHANGES = arg('--changes', 200);
const REST_MS = arg('--rest-ms', 60000);
const pct = (xs, p) => [...xs].sort((a, b) => a - b)[Math.min(xs.length - 1, Math.floor((p / 100) * xs.length))];
const sleep = (ms) => new Promise((r) => setTimeout(r, ms));

async function main() {
  const daemon = startDaemon();
  const broker = await startBroker();
  const fixture = new Fixture(daemon.env);
  const graph = await require('..').connect();
  const sub = await listen(broker.url, ['quorvane/#', 'homeassistant/#']);
  try {
    await fixture.addMany(198, 'bench-sink', 'Audio/Sink', 2, 2);
    await waitFor(() => graph.nodes().length >= 200, 30000, 'the nodes');
    const bridge = await graph.mqtt({ broker: broker.url, hostName: 'bench', homeassistant: true, maxRate: 10 });
    await sub.until(() => [...sub.retained.keys()].filter((t) => t.startsWith('quorvane/bench/node/')).length === graph.nodes().length, 30000, 'the graph on the broker');

    // 1. change → message.
    const node = await fixture.add('bench-target', 'Audio/Sink', 1, 0);
    const topic = 'quorvane/bench/node/bench-target';
    await sub.until(() => sub.retained.has(topic), 10000, 'the target node');
    const latencies = [];
    for (let i = 0; i < CHANGES; i++) {
      const description = `change ${i}`;
      const seen = sub.heard.length;
      const t0 = process.hrtime.bigint();
      await fixture.setProps(node.id, { 'node.description': description });
      const m = await sub.until(() => sub.heard.slice(seen).find((x) => x.topic === topic && x.text.includes(`"${description}"`)), 10000, description);
      latencies.push(Number(m.at - t0) / 1e6);
      await sleep(110); // past the per-topic interval (10 a second)
    }
    console.log(`graph change to broker message, ${CHANGES} changes on a 200-node host: p50 ${fmt(pct(latencies, 50))} ms, p99 ${fmt(pct(latencies, 99))} ms`);

    // 2. at rest.
    await sleep(500);
    const before = sub.heard.length;
    const published = bridge.stats().published;
    await sleep(REST_MS);
    const carried = sub.heard.length - before;
    console.log(`at rest, ${graph.nodes().length} nodes, ${bridge.stats().topics} retained topics: ${fmt((carried * 60000) / REST_MS)} messages a minute on the broker (${bridge.stats().published - published} published by the bridge)`);
    console.log(`load average ${os.loadavg()[0].toFixed(1)} on ${os.cpus().length} cores`);
    await bridge.close();
  } finally {
    await sub.client.endAsync(true);
    await graph.close();
    await fixture.close();
    await broker.close();
    daemon.stop();
  }
}

main().then(() => process.exit(0), (e) => {
  console.error(e);
  process.exit(1);
});
