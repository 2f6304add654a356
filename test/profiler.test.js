'use strict';
// The daemon's profiler, from a daemon that loads module-profiler (the other files' daemons do not:
// meter.test.js checks the refusal).
const test = require('node:test');
const assert = require('node:assert/strict');
const { privateDaemon } = require('./helpers/setup');
const { waitFor, heard } = require('./helpers/fixture');
const { playTone } = require('./helpers/tone');
const { loadedLibrary, major } = require('../lib/features/fleet/line');

const { daemon } = privateDaemon({ objects: [], profiler: true });

test('the profiler gives each driver its quantum, rate, times and load, and the nodes it drives', async () => {
  const graph = await require('..').connect();
  const sink = await graph.createNode({ name: 'profiled-sink' });
  const tone = await playTone(graph, daemon, 'profiled-tone', sink);
  test.after(() => tone.child.kill('SIGKILL'));
  const profiler = graph.profiler();
  // A cycle the driver and the tone both ran whole (their first may not be).
  const whole = (d) => d.name === 'profiled-sink' && d.busyUs !== null
    && d.followers.some((f) => f.name === 'profiled-tone' && f.busyUs !== null);
  const profile = await waitFor(() => profiler.latest?.drivers.find(whole), 5000, 'a profile of the sink driving the tone');
  const follower = profile.followers.find((f) => f.name === 'profiled-tone');
  assert.deepEqual([profile.id, profile.rate, follower.id], [sink.id, 48000, tone.node.id]);
  assert.ok(profile.quantum >= 32 && profile.quantum <= 8192, `quantum ${profile.quantum}`);
  for (const row of [profile, follower])
    assert.ok(row.busyUs >= 0 && row.waitUs >= 0 && row.busyRatio < 1 && row.waitRatio < 1, JSON.stringify(row));
  assert.ok(profile.load.fast >= 0 && profile.load.fast < 1 && Number.isInteger(profile.xruns));

  // A follower that stops (SIGSTOP: it never finishes its cycles) is told as "xrun" events of that node, its
  // count growing, as its errors show.
  const xruns = heard(profiler, 'xrun');
  tone.child.kill('SIGSTOP');
  await waitFor(() => xruns.length >= 2 && profiler.latest.drivers.some((d) => d.followers.some((f) => f.errors >= xruns[1].count)), 5000, 'two xrun events of the tone');
  await waitFor(() => xruns.length >= 10, 10000, 'ten xrun events of the stopped tone');
  // The daemon's own count of the node's xruns: 1.x sends it (the errors are its growth), 0.3 does not.
  const stopped = profiler.latest.drivers.flatMap((d) => d.followers).find((f) => f.id === tone.node.id);
  assert.ok(major(loadedLibrary().version) >= 1 ? stopped.xruns >= stopped.errors : stopped.xruns === null, JSON.stringify(stopped));
  tone.child.kill('SIGKILL');
  assert.ok(xruns.every((x) => x.node === tone.node.id && x.role === 'follower' && x.t > 0), JSON.stringify(xruns));
  assert.ok(xruns[0].count >= 1 && xruns[1].count > xruns[0].count, JSON.stringify(xruns));
  // A node that comes after it under its id (PipeWire gives ids again at once) starts with no errors of its
  // own, not the stopped one's.
  await waitFor(() => !graph.nodes().some((n) => n.name === 'profiled-tone'), 5000, 'the stopped tone gone');
  const before = xruns.at(-1).count;
  for (let i = 0; i < 8; i++) {
    const next = await playTone(graph, daemon, `profiled-next-${i}`, sink); // ends with the daemon
    const row = await waitFor(() => profiler.latest?.drivers.flatMap((d) => d.followers).find((f) => f.id === next.node.id && f.name === `profiled-next-${i}` && f.busyUs !== null), 5000, `a profile of profiled-next-${i}`);
    if (next.node.id !== tone.node.id) continue;
    assert.ok(row.errors < before, `the node with id ${next.node.id} inherited the errors of the one before (${row.errors}, the stopped one ${before})`);
    break;
  }
  let ends = 0;
  profiler.on('end', () => ends++);
  await graph.close();
  assert.equal(ends, 1);
});
