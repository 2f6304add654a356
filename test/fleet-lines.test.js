'use strict';
// A stream between a host on this machine's PipeWire and one on another line, both ways: alpha's daemon
// and bridge are this machine's, beta's run in the Debian 13 root QUORVANE_LINE_ROOT (this tree copied
// to /work/quorvane there and built, as scripts/debian13-test.sh leaves it) through
// test/helpers/line-host.js. Skipped without that root. On Debian 12 beside Debian 13 this is 0.3.65
// beside 1.4 or 1.6: 1.x sends 0.3 RTP, announced by SAP, and takes none from it.
const test = require('node:test');
const assert = require('node:assert/strict');
const fs = require('node:fs');
const path = require('node:path');
const { spawn } = require('node:child_process');
const { startFleet, canMakeNamespaces } = require('./helpers/fleet');
const { listen } = require('./helpers/broker');
const { waitFor } = require('./helpers/fixture');
const { writeTone } = require('./helpers/tone');
const { streamId } = require('../lib/mqtt/streams');

const ROOT = process.env.QUORVANE_LINE_ROOT;
const why = canMakeNamespaces() ?? (ROOT && fs.existsSync(path.join(ROOT, 'work/quorvane/build/Release/Quorvane.node')) ? null : 'QUORVANE_LINE_ROOT is no root with this tree built at /work/quorvane');
const LEVEL = -6.02; // the tones' peak, dBFS

// The median of the last `count` peaks of `levels` (dBFS; null for silence).
const median = (levels, count) => {
  const list = levels.slice(-count).map((l) => l ?? -Infinity).sort((a, b) => a - b);
  return list[list.length >> 1];
};

// Host `h` of `fleet` from the root: line-host.js in h's namespace, { ask(o), nodes() (its node names,
// as it answers) }.
async function startElsewhere(t, fleet, h) {
  const config = JSON.stringify({ broker: fleet.broker, host: h.name, address: h.address });
  const run = 'cd /work/quorvane && exec node test/helpers/line-host.js "$1"';
  const child = spawn('ip', ['netns', 'exec', h.ns, 'bash', path.join(__dirname, '..', 'scripts', 'debian13-chroot.sh'), ROOT, 'sh', '-c', run, 'sh', config], { stdio: ['pipe', 'pipe', 'pipe'] });
  fleet.processes.add(child);
  t.after(() => child.stdin.end());
  const host = { answers: [], err: '' };
  child.stderr.on('data', (d) => (host.err += d));
  let rest = '';
  const ready = new Promise((resolve, reject) => {
    child.stdout.on('data', (d) => {
      const lines = (rest + d).split('\n');
      rest = lines.pop();
      for (const line of lines) {
        if (line === 'ready') resolve();
        else if (line.startsWith('{')) host.answers.push(JSON.parse(line));
      }
    });
    child.once('exit', (code) => reject(new Error(`${h.name} in ${ROOT} exited (${code}): ${host.err}`)));
  });
  host.ask = (o) => child.stdin.write(`${JSON.stringify(o)}\n`);
  host.nodes = async () => {
    const n = host.answers.length;
    host.ask({ nodes: true });
    await waitFor(() => host.answers.length > n, 5000, `${h.name}'s nodes`);
    return host.answers[n].nodes;
  };
  await ready;
  return host;
}

test('a stream between PipeWire lines', { skip: why ?? false, timeout: 240000 }, async (t) => {
  const fleet = await startFleet(['alpha', 'beta'], { elsewhere: ['beta'] });
  t.after(() => fleet.stop());
  const { alpha, beta } = fleet.hosts;
  const [remote] = await Promise.all([startElsewhere(t, fleet, beta), alpha.startBridge()]);
  const broker = await listen(`mqtt+unix://${fleet.socket}`, ['quorvane/#', 'test/#']);
  t.after(() => broker.client.endAsync());
  const fleetRecord = (h) => JSON.parse(broker.retained.get(`quorvane/${h}/fleet`) ?? 'null');
  await broker.until(() => fleetRecord('alpha') && fleetRecord('beta'), 20000, 'both hosts\' fleet records');
  const [a, b] = [fleetRecord('alpha'), fleetRecord('beta')];
  t.diagnostic(`alpha: PipeWire ${a.pipewire} (${a.codecs}), beta: PipeWire ${b.pipewire} (${b.codecs})`);
  const ask = (body) => broker.ask('quorvane/alpha/set', JSON.stringify(body), { timeoutMs: 20000 });
  const tone = path.join(fleet.dir, 'tone.wav');
  writeTone(tone, 120, [0.5, 0.5]);
  const ownNodes = (h) => h.dump().filter((o) => o.type === 'PipeWire:Interface:Node').map((o) => o.info.props['node.name']);

  const mixed = /^0\.3\./.test(a.pipewire) && !/^0\./.test(b.pipewire) ? false : `alpha runs PipeWire ${a.pipewire}, beta ${b.pipewire}: not 0.3 and 1.x`;
  const ends = async (id) => [...ownNodes(alpha), ...(await remote.nodes())].filter((n) => n.startsWith(`quorvane-stream-${id}`));

  await t.test('from 1.x to 0.3: RTP, the tone at its level at the receiver, both ends unloaded after', { skip: mixed }, async () => {
    remote.ask({ play: 'tone-beta' });
    await waitFor(async () => (await remote.nodes()).includes('tone-beta'), 10000, 'the tone on beta', 100);
    const meter = alpha.meter(alpha.sink);
    const peak = () => median(meter.levels.map((l) => (Number.isFinite(l.peak[0]) ? l.peak[0] : null)), 60);
    // Through alpha's bridge, sent on to beta's, the sender.
    const answer = await ask({ op: 'stream', from: 'beta:tone-beta', to: 'alpha:alpha-speakers' });
    assert.deepEqual([answer.ok, answer.result?.codec], [true, 'rtp'], JSON.stringify(answer));
    await waitFor(() => Math.abs(peak() - LEVEL) <= 0.5, 15000, () => `the tone at alpha at ${LEVEL} dBFS (median ${peak()}): ${meter.err}`);
    t.diagnostic(`rtp from beta (${b.pipewire}) to alpha (${a.pipewire}): ${peak().toFixed(2)} dBFS at alpha`);
    // alpha's bridge killed and started again: its source goes and comes back, and beta's sender,
    // seeing the receiver loaded again, announces the session to it again.
    const id = streamId('beta:tone-beta', 'alpha:alpha-speakers');
    await alpha.bridge.kill();
    await waitFor(() => !ownNodes(alpha).includes(`quorvane-stream-${id}.receive`), 10000, 'alpha\'s source gone with its bridge', 50);
    const since = Date.now();
    await alpha.startBridge();
    await waitFor(() => meter.levels.filter((l) => l.at > since && Math.abs(l.peak[0] - LEVEL) <= 0.5).length > 30, 15000, 'the tone at alpha again');
    t.diagnostic(`alpha's bridge restarted: the tone back at alpha after ${Date.now() - since} ms`);
    const gone = await ask({ op: 'unstream', stream: id });
    assert.equal(gone.ok, true, JSON.stringify(gone));
    let left = [];
    await waitFor(async () => (left = await ends(id)).length === 0, 10000, () => `both ends unloaded: ${left}`, 100);
    await waitFor(() => !broker.retained.has(`quorvane/alpha/stream/${id}`) && !broker.retained.has(`quorvane/beta/stream/${id}`), 10000, 'the records emptied');
  });

  await t.test('from 0.3 to 1.x: refused, saying why, nothing loaded on either end', { skip: mixed }, async () => {
    alpha.play('tone-alpha', tone);
    await waitFor(() => ownNodes(alpha).includes('tone-alpha'), 10000, 'the tone on alpha');
    const answer = await ask({ op: 'stream', from: 'alpha:tone-alpha', to: 'beta:beta-speakers' });
    assert.equal(answer.ok, false, JSON.stringify(answer));
    assert.match(answer.error, /no transport both hosts have \(alpha sends rtp; beta takes roc, PipeWire 1\./);
    const id = streamId('alpha:tone-alpha', 'beta:beta-speakers');
    await waitFor(() => !broker.retained.has(`quorvane/alpha/stream/${id}`) && !broker.retained.has(`quorvane/beta/stream/${id}`), 15000, 'no record left');
    assert.deepEqual(await ends(id), []);
  });
});
