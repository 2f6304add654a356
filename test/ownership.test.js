'use strict';
// Links are removed only through what this process owns: its own links
// through their proxies, other clients' links by registry id only while the
// id still names the link that was meant (the daemon hands freed ids out
// again at once). In a child process, whose standard error is read whole.
const test = require('node:test');
const assert = require('node:assert/strict');
const path = require('node:path');
const { startDaemon } = require('./helpers/daemon');
const { Fixture, pwDump, pwLinkList } = require('./helpers/fixture');
const { runChild } = require('./helpers/child');

const ROOT = path.join(__dirname, '..');
const daemon = startDaemon();
const fixture = new Fixture();

test.after(async () => {
  await fixture.close();
  daemon.stop();
});

const child = (script) =>
  runChild(
    `const quorvane = require(${JSON.stringify(ROOT)});
     const { spawnSync } = require('node:child_process');
     const { waitUntilSync } = require(${JSON.stringify(path.join(__dirname, 'helpers', 'daemon'))});
     const { Fixture, waitFor } = require(${JSON.stringify(path.join(__dirname, 'helpers', 'fixture'))});
     const daemonLinks = () => JSON.parse(spawnSync('pw-dump', { encoding: 'utf8' }).stdout)
       .filter((o) => o.type === 'PipeWire:Interface:Link');
     // Someone else removes link ID and links OUT -> IN anew, while this thread is held.
     const reuse = (id, out, inp) => spawnSync('sh', ['-c', \`pw-link -d \${id} && pw-link \${out} \${inp}\`]);
     (async () => { ${script} })().catch((e) => { console.log(e.stack); process.exit(1); });`,
    { env: daemon.env, preload: false, timeoutMs: 60000 },
  );

const linksOf = (nodeId) =>
  pwDump().filter((o) => o.type === 'PipeWire:Interface:Link' && o.info.props['link.output.node'] === nodeId);

test('removals reach only what was meant: own links through their proxy, reused ids left alone by the Graph, by routes closed as their application dies and by the nineteen at exit; nothing printed', async () => {
  const src = await fixture.add('own-src', 'Audio/Source', 0, 3);
  const sink = await fixture.add('own-sink', 'Audio/Sink', 3, 0);
  const [theirs] = await fixture.link([[src.outputs[2], sink.inputs[2]]]);
  const [o0, o1, o2] = src.outputs;
  const [i0, i1, i2] = sink.inputs;
  // For the nineteen: another client's link from the second port.
  const src9 = await fixture.add('own-src9', 'Audio/Source', 0, 2);
  const sink9 = await fixture.add('own-sink9', 'Audio/Sink', 2, 0);
  await fixture.link([[src9.outputs[1], sink9.inputs[0]]]);
  const r = await child(`
    const graph = await quorvane.connect();
    const r = {};
    const mine = await graph.link(${o0}, ${i0});
    // Asked twice at once, by id and by the link: one removal, both resolve.
    await Promise.all([graph.unlink(mine), graph.unlink(mine.id)]);
    r.mineGone = !graph.links().some((l) => l.id === mine.id) && !daemonLinks().some((o) => o.id === mine.id);
    await graph.unlink(mine.id);
    r.node = await graph.unlink(${src.id}).catch((e) => e.message);

    // The other client's link is removed by someone else and its id handed
    // out again before our removal, asked for just before, goes out.
    const old = graph.links().find((l) => l.id === ${theirs});
    const stale = graph.unlink(${theirs});
    reuse(${theirs}, ${o2}, ${i2});
    waitUntilSync(() => graph.links().some((l) => l.id === ${theirs} && l.props['object.serial'] !== old.props['object.serial']),
      5000, 'the id to be handed out again');
    await stale;
    await graph.unlink(old); // the old link object: pinned by its serial, gone
    // A request made after the removals has been answered: the daemon has seen them.
    await graph.unlink(await graph.link(${o1}, ${i1}));
    r.newSerial = daemonLinks().find((o) => o.id === ${theirs})?.info.props['object.serial'];
    r.oldSerial = old.props['object.serial'];

    // A route closed right after its application was killed: the removals
    // queued before the kill and carried out once the daemon has removed
    // everything, or asked for at once.
    for (let i = 0; i < 6; i++) {
      // The route first: it hears the application only through the events.
      const route = graph.route({ from: 'own-app-' + i, to: 'own-sink' });
      const app = new Fixture();
      const node = await app.add('own-app-' + i, 'Stream/Output/Audio', 0, 2);
      await waitFor(() => route.links.length === 2, 5000, 'the route links');
      if (i % 2 === 0) {
        const closing = route.close();
        app.proc.kill('SIGKILL');
        waitUntilSync(() => !graph.links().some((l) => l.srcNodeId === node.id), 5000, 'the links to go');
        await closing;
      } else {
        app.proc.kill('SIGKILL');
        await route.close();
      }
    }
    // Still connected: no error of those removals was taken for the connection's end.
    await graph.unlink(await graph.link(${o0}, ${i0}));
    r.state = graph.state;

    // The nineteen, on the same connection: theirs and ours by node.
    quorvane.createPwThread();
    const from = (port) => quorvane.getLinks().filter((l) => l.srcPortId === port);
    const [p0, p1] = [${src9.outputs[0]}, ${src9.outputs[1]}];
    r.made = quorvane.linkNodesNameToId('own-src9', ${sink9.id});
    await waitFor(() => from(p0).length === 1 && from(p1).length === 2, 5000, 'the links by name');
    r.byNodes = quorvane.unlinkNodesNameToId('own-src9', ${sink9.id});
    await waitFor(() => from(p0).length + from(p1).length === 0, 5000, 'the links to go');
    r.daemon = daemonLinks().filter((o) => o.info.props['link.output.node'] === ${src9.id}).length;
    // Someone else's link, queued for removal; its id goes to a new link
    // before the exit sends the removal.
    spawnSync('pw-link', [String(p1), '${sink9.inputs[0]}']);
    await waitFor(() => from(p1).length === 1, 5000, 'the other link');
    const id = from(p1)[0].id;
    r.queued = quorvane.unlinkNodesNameToId('own-src9', ${sink9.id});
    reuse(id, p0, ${sink9.inputs[1]});
    waitUntilSync(() => quorvane.getLinks().some((l) => l.id === id && l.srcPortId === p0), 5000, 'the id to be handed out again');
    r.reusedId = id;
    console.log(JSON.stringify(r));
    process.exit(0);
  `);
  assert.deepEqual([r.timedOut, r.code, r.stderr], [false, 0, ''], r.stdout);
  const out = JSON.parse(r.stdout);
  assert.equal(out.mineGone, true);
  assert.equal(out.node, `unlink: ${src.id} names a node or a port, not a link`);
  assert.ok(out.newSerial, `the link that took id ${theirs} survives`);
  assert.notEqual(out.newSerial, out.oldSerial);
  assert.deepEqual([out.state, out.made, out.byNodes, out.daemon, out.queued], ['connected', 2, 3, 0, 1]);
  // The daemon and pw-link agree: only the links that took the ids are left
  // (another client's), the second one surviving the exit.
  assert.deepEqual(linksOf(src.id).map((o) => o.id), [theirs]);
  assert.deepEqual(linksOf(src9.id).map((o) => [o.id, o.info.props['link.output.port'], o.info.props['link.input.port']]),
    [[out.reusedId, src9.outputs[0], sink9.inputs[1]]]);
  for (const id of [theirs, out.reusedId]) assert.match(pwLinkList(), new RegExp(`^\\s*${id}\\s`, 'm'));
  await fixture.remove(src.id, sink.id, src9.id, sink9.id);
});
