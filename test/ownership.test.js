'use strict';
// Links are removed only through what this process owns: its own through
// their proxies, others' by id only while the id still names the link meant
// (freed ids are handed out again at once). In a child, its stderr read whole.
const test = require('node:test');
const assert = require('node:assert/strict');
const path = require('node:path');
const { pwDump, pwLinkList } = require('./helpers/fixture');
const { privateDaemon } = require('./helpers/setup');
const { runChild } = require('./helpers/child');

const ROOT = path.join(__dirname, '..');
const { daemon, fixture } = privateDaemon();

const child = (script) =>
  runChild(
    `const quorvane = require(${JSON.stringify(ROOT)});
     const { spawnSync } = require('node:child_process');
     const { waitUntilSync } = require(${JSON.stringify(path.join(__dirname, 'helpers', 'daemon'))});
     const { Fixture, waitFor } = require(${JSON.stringify(path.join(__dirname, 'helpers', 'fixture'))});
     const daemonLinks = () => JSON.parse(spawnSync('pw-dump', { encoding: 'utf8' }).stdout)
       .filter((o) => o.type === 'PipeWire:Interface:Link');
     (async () => { ${script} })().catch((e) => { console.log(e.stack); process.exit(1); });`,
    { env: daemon.env, preload: false, timeoutMs: 60000 },
  );

const linksOf = (nodeId) =>
  pwDump().filter((o) => o.type === 'PipeWire:Interface:Link' && o.info.props['link.output.node'] === nodeId);

test('removals reach only what was meant: own links through their proxy, reused ids left alone, by routes closed as their application dies; nothing printed', async () => {
  const src = await fixture.add('own-src', 'Audio/Source', 0, 3);
  const sink = await fixture.add('own-sink', 'Audio/Sink', 3, 0);
  const [theirs] = await fixture.link([[src.outputs[2], sink.inputs[2]]]);
  const [o0, o1, o2] = src.outputs;
  const [i0, i1, i2] = sink.inputs;
  const r = await child(`
    const graph = await quorvane.connect();
    const r = {};
    const mine = await graph.link(${o0}, ${i0});
    // Asked twice at once, by id and by the link: one removal, both resolve.
    await Promise.all([graph.unlink(mine), graph.unlink(mine.id)]);
    r.mineGone = !graph.links().some((l) => l.id === mine.id) && !daemonLinks().some((o) => o.id === mine.id);
    r.node = await graph.unlink(${src.id}).catch((e) => e.message);

    // The other client's link is removed by someone else and its id handed
    // out again before our removal, asked for just before, goes out.
    const old = graph.links().find((l) => l.id === ${theirs});
    const stale = graph.unlink(${theirs});
    spawnSync('sh', ['-c', 'pw-link -d ${theirs} && pw-link ${o2} ${i2}']); // while this thread is held
    waitUntilSync(() => graph.links().some((l) => l.id === ${theirs} && l.props['object.serial'] !== old.props['object.serial']),
      5000, 'the id to be handed out again');
    await stale;
    await graph.unlink(old); // the old link object: pinned by its serial, gone
    // Once a later request is answered, the daemon has seen the removals.
    await graph.unlink(await graph.link(${o1}, ${i1}));
    r.newSerial = daemonLinks().find((o) => o.id === ${theirs})?.info.props['object.serial'];
    r.oldSerial = old.props['object.serial'];

    // A route closed just as its application is killed: the removals queued
    // before the kill are carried out once the daemon has removed everything.
    for (let i = 0; i < 3; i++) {
      const route = graph.route({ from: 'own-app-' + i, to: 'own-sink' });
      const app = new Fixture();
      const node = await app.add('own-app-' + i, 'Stream/Output/Audio', 0, 2);
      await waitFor(() => route.links.length === 2, 5000, 'the route links');
      const closing = route.close();
      app.proc.kill('SIGKILL');
      waitUntilSync(() => !graph.links().some((l) => l.srcNodeId === node.id), 5000, 'the links to go');
      await closing;
    }
    // Still connected: no error of those removals was taken for the connection's end.
    await graph.unlink(await graph.link(${o0}, ${i0}));
    r.state = graph.state;

    console.log(JSON.stringify(r));
    process.exit(0);
  `);
  assert.deepEqual([r.timedOut, r.code, r.stderr], [false, 0, ''], r.stdout);
  const out = JSON.parse(r.stdout);
  assert.equal(out.mineGone, true);
  assert.equal(out.node, `unlink: ${src.id} names a node or a port, not a link`);
  assert.ok(out.newSerial, `the link that took id ${theirs} survives`);
  assert.notEqual(out.newSerial, out.oldSerial);
  assert.equal(out.state, 'connected');
  // The daemon and pw-link agree: only the link that took the id is left.
  assert.deepEqual(linksOf(src.id).map((o) => o.id), [theirs]);
  assert.match(pwLinkList(), new RegExp(`^\\s*${theirs}\\s`, 'm'));
  await fixture.remove(src.id, sink.id);
});
