'use strict';
// connect(), the Graph's events, waits and link requests, beside the nineteen; the work handed to the
// PipeWire thread in bursts, requests given up, and removals that reach only what was meant.
const test = require('node:test');
const assert = require('node:assert/strict');
const path = require('node:path');
const util = require('node:util');
const { waitFor, pwDump, pwLinkList, pwMetadata } = require('./helpers/fixture');
const { privateDaemon } = require('./helpers/setup');
const { runChild } = require('./helpers/child');

const ROOT = path.join(__dirname, '..');
const { daemon, fixture } = privateDaemon();
const quorvane = require('..');
const { connect } = quorvane;

const ids = (list) => list.map((o) => o.id).sort((a, b) => a - b);
const dumped = (type) => pwDump().filter((o) => o.type === `PipeWire:Interface:${type}`);
const linksOf = (nodeId) => dumped('Link').filter((o) => o.info.props['link.output.node'] === nodeId);
// A script in a child, its errors printed, its stderr read whole.
const child = (script) => runChild(
  `const quorvane = require(${JSON.stringify(ROOT)}), { spawnSync } = require('node:child_process');
   const { waitUntilSync } = require('${__dirname}/helpers/daemon'), { Fixture, waitFor, pwDump } = require('${__dirname}/helpers/fixture');
   const daemonLinks = () => pwDump().filter((o) => o.type === 'PipeWire:Interface:Link');
   (async () => { ${script} })().catch((e) => { console.log(e.stack); process.exit(1); });`,
  { env: daemon.env, preload: false, timeoutMs: 60000 });
// pw-dump prints values that read as JSON (numbers, true) as such; ours are the texts.
const sameValue = (ours, theirs) => (typeof theirs === 'string' ? ours === theirs : util.isDeepStrictEqual(JSON.parse(ours), theirs));

test('connect: at once, with the whole graph as pw-dump shows it, a handle per caller', async () => {
  // Records of different key sequences in turn: nodes with other keys, ports with a channel or none.
  const [src, sink] = [await fixture.add('g-conn-src', '-;node.description=Described', 0, 2), await fixture.add('g-conn-sink', 'Audio/Sink', 'FL,FR', 0)];
  const [theirs] = await fixture.link([[src.outputs[1], sink.inputs[1]]]);
  const graph = await connect();
  for (const [list, type] of [[graph.nodes(), 'Node'], [graph.ports(), 'Port'], [graph.links(), 'Link']]) {
    const dump = dumped(type);
    assert.deepEqual(ids(list), ids(dump));
    for (const o of list) {
      const theirs = dump.find((d) => d.id === o.id).info.props;
      assert.deepEqual([Object.keys(o.props).sort(), Object.entries(o.props).filter(([k, v]) => !sameValue(v, theirs[k]))], [Object.keys(theirs).sort(), []], `global ${o.id}`);
    }
  }
  const node = graph.nodes().find((n) => n.id === src.id);

  // Another caller's handle: its close() ends its waits and links, not this Graph's.
  const lib = await connect({ timeoutMs: Infinity });
  const libWait = assert.rejects(lib.waitForNode('g-conn-never', { timeoutMs: Infinity }), { message: 'Graph closed' });
  const mine = graph.waitForNode('g-conn-later', { timeoutMs: Infinity });
  const link = await lib.link(src.outputs[0], sink.inputs[0]);
  assert.ok(lib.links().some((l) => l.id === link.id) && linksOf(src.id).some((o) => o.id === link.id), 'in the mirror when it resolves');
  await assert.rejects(lib.link(sink.inputs[0], src.outputs[0]), { message: 'Could not find matching ports or nodes' });
  // Both pairs linked already (one by another client): nothing asked of the daemon, the links there the result.
  const before = pwLinkList();
  assert.deepEqual(ids(await lib.linkNodes('g-conn-src', 'g-conn-sink')), ids([link, { id: theirs }]));
  // Ids that are not ids, misspelt options: refused at once, nothing asked of the daemon either.
  for (const bad of [2 ** 32 + src.outputs[0], src.outputs[0] + 0.75, -1, NaN]) for (const p of [lib.link(bad, sink.inputs[0]), lib.setVolume(bad, 0.5)]) await assert.rejects(p, RangeError);
  await assert.rejects(lib.link(src.outputs[0], sink.inputs[0], { timeout: 100 }),
    { name: 'TypeError', message: `link: unknown option "timeout" (known: 'timeoutMs', 'until', 'linger')` });
  assert.throws(() => lib.snapshot({ al: true }), TypeError);
  assert.throws(() => lib.linkRule({ from: 'g-conn-src', to: sink.id, exclusiv: true }), TypeError);
  assert.equal(pwLinkList(), before);
  await lib.unlink(link.id);
  // A default's name is a matcher like the others (a wait for one: cli.test.js).
  await fixture.addMetadata('default');
  pwMetadata([0, 'default.audio.source', '{"name":"g-conn-src"}', 'Spa:String:JSON']);
  await waitFor(() => lib.defaults.audioSource === 'g-conn-src', 5000, 'the default source');
  const made = await lib.linkNodes('@default-audio-source', sink);
  assert.deepEqual(made.map((l) => l.sinkPortId), [sink.inputs[0], sink.inputs[1]], 'the free pair made, the other there already');
  await lib.close();
  await libWait;
  // The closed handle took its link along.
  assert.deepEqual([lib.state, graph.state, ids(linksOf(src.id))], ['closed', 'connected', [theirs]]);
  const later = await fixture.add('g-conn-later', 'Audio/Sink', 1, 0);
  assert.equal((await mine).id, later.id, 'the other handle still waits and hears the graph');

  // The nineteen see the same mirror; createPwThread joins the connection.
  assert.equal(quorvane.createPwThread(), true);
  const { props, state, error, ...plain } = node;
  assert.deepEqual(quorvane.getNodes().find((n) => n.id === src.id), plain);

  // destroyPwThread closes the connection for both: the Graph hears why, once.
  const heard = [];
  graph.on('disconnected', (e) => heard.push(e.message));
  quorvane.destroyPwThread();
  await waitFor(() => graph.state === 'closed', 5000, 'the Graph to close');
  assert.deepEqual([heard, graph.nodes()], [['destroyPwThread() closed the connection'], []]);
  await assert.rejects(graph.waitForNode('g-conn-src'), { message: 'Graph closed' });

  // A Graph closed while the script holds the connection: devices.test.js. close() is idempotent.
  const again = await connect();
  assert.notEqual(again, graph);
  for (let i = 0; i < 2; i++) await again.close();
});

test('events: every event once and in order, to every listener; waits settle when announced, aborted or timed out', async (t) => {
  const graph = await connect();
  const [a, b] = [[], []];
  for (const name of ['node-created', 'node-destroyed', 'link-created', 'link-destroyed', 'port-created', 'port-destroyed']) {
    for (const list of [a, b]) graph.on(name, (p) => list.push(`${name} ${typeof p === 'number' ? p : p.id}`));
  }
  t.after(() => graph.close());
  const [src, sink] = [await fixture.add('g-ev-src', 'Audio/Source', 0, 2), await fixture.add('g-ev-sink', 'Audio/Sink', 2, 0)];
  const [linkId] = await fixture.link([[src.outputs[1], sink.inputs[1]]]);
  await fixture.remove(src.id);
  const expected = [src, sink].flatMap((n) => [`node-created ${n.id}`, ...[...n.outputs, ...n.inputs].map((p) => `port-created ${p}`)])
    .concat(`link-created ${linkId}`);
  await waitFor(() => a.includes(`node-destroyed ${src.id}`), 5000, 'the removal');
  assert.deepEqual(a.slice(0, expected.length), expected);
  // The removal: the link and the ports go with the node, each once.
  assert.deepEqual(a.slice(expected.length).sort(),
    [`link-destroyed ${linkId}`, `node-destroyed ${src.id}`, ...src.outputs.map((p) => `port-destroyed ${p}`)].sort());
  assert.deepEqual(b, a);

  // Waits never block the loop. A time-out beyond what a Node.js timer holds waits as long as it says,
  // and the loop turns meanwhile.
  const pending = graph.waitForNode({ 'node.name': /^g-wait-\d+$/, 'media.class': 'Audio/Sink' }, { direction: 'Output', timeoutMs: 2 ** 32 });
  await new Promise(setImmediate);
  assert.equal(await Promise.race([pending, 'pending']), 'pending');
  const decoy = await fixture.add('g-wait-x', 'Audio/Sink', 1, 0); // name does not match
  const { id } = await fixture.add('g-wait-7', 'Audio/Sink', 3, 0);
  // Then, present already: at once.
  assert.deepEqual([(await pending).id, (await graph.waitForNode((n) => n.id === id)).id], [id, id]);
  assert.deepEqual((await graph.waitForPorts(id, { direction: 'in' })).map((p) => p.nodeId), [id, id, id]);

  const ac = new AbortController();
  const aborted = graph.waitForNode('g-wait-never', { signal: ac.signal, timeoutMs: Infinity });
  ac.abort(new Error('stop waiting'));
  await assert.rejects(aborted, { message: 'stop waiting' });
  await assert.rejects(graph.waitForNode('g-wait-never', { timeoutMs: 20 }), /g-wait-never.*20 ms/);
  await assert.rejects(graph.waitForPorts(id, { direction: 'out', count: 1, timeoutMs: 20 }), /within 20 ms/);
  const gone = assert.rejects(graph.waitForPorts(decoy.id, { count: 5 }), { message: `node ${decoy.id} was removed` });
  await fixture.remove(decoy.id);
  await gone;
});

// Far beyond what a fixed ring between the threads would hold.
test('a burst of 10,000 mixed requests settles whole', async () => {
  const graph = await connect();
  const grid = (src, sink) => src.outputs.flatMap((o) => sink.inputs.map((i) => [o, i]));
  const [a, b, c, d] = await Promise.all(['a', 'b'].flatMap((x) =>
    [fixture.add(`burst-src-${x}`, 'Audio/Source', 0, 20), fixture.add(`burst-sink-${x}`, 'Audio/Sink', 20, 0)]));
  const theirs = await fixture.link(grid(a, b)); // 400 links of another client, to remove
  const volumes = await Promise.all([0, 1].map((i) => graph.createNode({ name: `burst-volume-${i}` })));
  await waitFor(() => theirs.every((id) => graph.links().some((l) => l.id === id))
    && volumes.every((v) => graph.nodes().find((n) => n.id === v.id)?.channelVolumes), 30000, 'the links and the volumes');
  const [calls, within] = [[], { timeoutMs: 120000 }];
  grid(c, d).forEach(([o, n], i) => {
    calls.push(graph.unlink(theirs[i], within), graph.link(o, n, within));
    if (i < 200) calls.push(graph.createNode({ name: `burst-node-${i}`, channels: ['MONO'], ...within }));
  });
  // The rest, far more than the loop's own queue ever held: volumes.
  while (calls.length < 10000) calls.push(graph.setVolume(volumes[calls.length % 2].id, 0.5, within));
  const refused = (await Promise.allSettled(calls)).filter((o) => o.status === 'rejected').map((o) => o.reason.message);
  assert.deepEqual([...new Set(refused)], [], `${refused.length} refused`);
  await fixture.sync();
  // Ids are handed out again at once: the links are told by their ends. Every removal reached the daemon.
  assert.deepEqual([linksOf(a.id).length, graph.links().filter((l) => l.srcNodeId === c.id && l.sinkNodeId === d.id).length,
    graph.nodes().filter((n) => n.name.startsWith('burst-node-')).length], [0, 400, 200]);
  await graph.close();
});

test('requests that timed out while the daemon was stopped are undone', async () => {
  const [src, sink] = [await fixture.add('late-src', 'Audio/Source', 0, 'MONO'), await fixture.add('late-sink', 'Audio/Sink', 'MONO', 0)];
  const graph = await connect();
  await graph.waitForPorts(sink.id, { count: 1 });
  const seen = {};
  graph.on('node-created', (n) => n.name === 'late-node' && (seen.node = n.id)).on('node-destroyed', (id) => id === seen.node && (seen.nodeGone = true));
  graph.on('link-created', (l) => l.srcPortId === src.outputs[0] && (seen.link = l.id)).on('link-destroyed', (id) => id === seen.link && (seen.linkGone = true));
  process.kill(daemon.pid, 'SIGSTOP');
  // A lingering node would outlive the process for good.
  const outcomes = await Promise.allSettled([graph.createNode({ name: 'late-node', linger: true, timeoutMs: 200 }),
    graph.link(src.outputs[0], sink.inputs[0], { timeoutMs: 200 })]).finally(() => process.kill(daemon.pid, 'SIGCONT'));
  assert.deepEqual(outcomes.map((o) => o.reason?.message), ['node "late-node": no answer within 200 ms', `link ${src.outputs[0]} -> ${sink.inputs[0]}: no answer within 200 ms`]);
  await waitFor(() => seen.nodeGone && seen.linkGone, 10000, 'the late node and link to be made, then removed');
  assert.deepEqual([dumped('Node').filter((o) => o.info.props['node.name'] === 'late-node'), linksOf(src.id)], [[], []]);
  await graph.close();
});

// Links are removed only through what this process owns: its own through their proxies, others' by id only
// while the id still names the link meant (freed ids are handed out again at once).
test('removals reach only what was meant; refusals reach only their Promises; the last go out', async () => {
  const [src, sink] = [await fixture.add('own-src', 'Audio/Source', 0, 3), await fixture.add('own-sink', 'Audio/Sink', 3, 0)];
  const [theirs] = await fixture.link([[src.outputs[2], sink.inputs[2]]]);
  const [[o0, o1, o2], [i0, i1, i2]] = [src.outputs, sink.inputs];
  const r = await child(`
    process.title = 'my-router';
    const graph = await quorvane.connect();
    const r = {}, serial = (l) => l?.props['object.serial'];
    const mine = await graph.link(${o0}, ${i0});
    // Asked twice at once, by id and by the link: one removal, both resolve.
    await Promise.all([graph.unlink(mine), graph.unlink(mine.id)]);
    r.mineGone = !graph.links().some((l) => l.id === mine.id) && !daemonLinks().some((o) => o.id === mine.id);
    r.node = await graph.unlink(${src.id}).catch((e) => e.message);

    // Another client's link, removed by someone else, its id handed out again before our removal goes out.
    const old = graph.links().find((l) => l.id === ${theirs});
    const stale = graph.unlink(${theirs});
    spawnSync('sh', ['-c', 'pw-link -d ${theirs} && pw-link ${o2} ${i2}']); // while this thread is held
    waitUntilSync(() => graph.links().some((l) => l.id === ${theirs} && serial(l) !== serial(old)), 5000, 'the id to be handed out again');
    await stale;
    await graph.unlink(old); // the old link object: pinned by its serial, gone
    // Once a later request is answered, the daemon has seen the removals.
    await graph.unlink(await graph.link(${o1}, ${i1}));
    r.serial = daemonLinks().find((o) => o.id === ${theirs})?.info.props['object.serial'];
    r.serial = r.serial !== undefined && r.serial !== Number(serial(old)) && r.serial !== serial(old);
    r.pwLink = /^\\s*${theirs}\\s/m.test(spawnSync('pw-link', ['-l', '-I'], { encoding: 'utf8' }).stdout);

    // The reverse: another client's link removed and its id handed out again while this thread is held,
    // the older link's removal not yet heard. Removing the newer one resolves once that one is gone.
    const heard = [];
    let older;
    graph.on('link-created', (l) => (!older && l.srcPortId === ${o1} ? (older = l) : l.id === older?.id && heard.push('created')))
      .on('link-destroyed', (id) => id === older?.id && heard.push('destroyed'));
    spawnSync('pw-link', ['${o1}', '${i1}']);
    await waitFor(() => older, 5000, 'the link of another client');
    spawnSync('sh', ['-c', 'pw-link -d ' + older.id + ' && pw-link ${o0} ${i0}']);
    let newer;
    waitUntilSync(() => (newer = graph.links().find((l) => l.id === older.id && serial(l) !== serial(older))), 5000, 'the id given again');
    await graph.unlink(newer);
    // By then the Graph has told of both removals and the creation between them.
    r.newer = { gone: !graph.links().some((l) => l.id === newer.id), heard: [...heard] };

    // A route closed just as its application is killed: the removals queued
    // before the kill are carried out once the daemon has removed everything.
    for (let i = 0; i < 3; i++) {
      const route = graph.linkRule({ from: 'own-app-' + i, to: 'own-sink' });
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

    // Refused (that pair linked already, that node not ours): only the Promise hears it, nothing printed.
    r.refusals = [(await graph.link(${o2}, ${i2}).catch((e) => e)).code];
    const me = pwDump().find((o) => o.type === 'PipeWire:Interface:Client'
      && Number(o.info.props['application.process.id']) === process.pid).info.props;
    quorvane.createPwThread(); // core errors would be printed now
    r.refusals.push(await graph.destroyNode('demo-speakers').catch((e) => e.code), me['application.name'],
      me['application.process.binary']);
    r.last = quorvane.unlinkNodesNameToId('own-src', ${sink.id});
    console.log(JSON.stringify(r));
    quorvane.destroyPwThread();
  `);
  // No hang; the link that took id ${theirs} survived, with its own serial, until the script's last removal.
  assert.deepEqual([r.timedOut, r.code, r.stderr], [false, 0, ''], r.stdout);
  assert.deepEqual(JSON.parse(r.stdout), {
    mineGone: true, node: `unlink: ${src.id} names a node or a port, not a link`, serial: true, pwLink: true,
    newer: { gone: true, heard: ['destroyed', 'created', 'destroyed'] },
    state: 'connected', refusals: ['EEXIST', 'EPERM', 'my-router', path.basename(process.execPath)], last: 1,
  });
  assert.deepEqual(linksOf(src.id), []);
});

test('one kind of argument, one check: time-outs, misspelt options, directions, ids, missing options refused alike', async (t) => {
  const graph = await connect();
  t.after(() => graph.close());
  const node = graph.nodes()[0];
  // Each method with its options (a time-out given as `timeoutMs` in each).
  const calls = {
    waitForNode: (o) => graph.waitForNode('x', o), waitForPorts: (o) => graph.waitForPorts(node.id, o), link: (o) => graph.link(1, 2, o),
    linkNodes: (o) => graph.linkNodes('x', 'y', o), unlinkNodes: (o) => graph.unlinkNodes('x', 'y', o), unlink: (o) => graph.unlink(1, o),
    createNode: (o) => graph.createNode({ name: 'g-args', ...o }), destroyNode: (o) => graph.destroyNode(node.id, o),
    setVolume: (o) => graph.setVolume(node.id, 0.5, o), setMute: (o) => graph.setMute(node.id, true, o),
    setDefault: (o) => graph.setDefault('audioSink', node.id, o), move: (o) => graph.move(node.id, null, o),
    setProfile: (o) => graph.setProfile(1, 0, o), setRoute: (o) => graph.setRoute(1, 0, o),
    createFilter: (o) => graph.createFilter({ name: 'g-args', ...o }), createLoopback: (o) => graph.createLoopback({ from: node.id, to: node.id, ...o }),
    connect: (o) => connect(o),
  };
  const outcome = async (fn) => { try { await fn(); return 'ok'; } catch (e) { return `${e.constructor.name}: ${/timeoutMs/.test(e.message)}`; } };
  const bad = [{ timeoutMs: -1 }, { timeoutMs: NaN }, { timeoutMs: '100' }, { timeout: 1 }];
  for (const [name, call] of Object.entries(calls)) {
    assert.deepEqual(await Promise.all(bad.map((o) => outcome(() => call(o)))),
      ['RangeError: true', 'RangeError: true', 'TypeError: true', 'TypeError: true'], name);
  }
  // 0 is a time-out like any other: nothing waited for, nothing refused as an argument.
  assert.match(await outcome(() => graph.waitForNode('g-args-never', { timeoutMs: 0 })), /^Error/);
  // A number that is no id, wherever a node or a port is taken.
  for (const fn of [() => graph.meter(NaN), () => graph.latency(NaN), () => graph.meter(1.5), () => graph.setVolume(-1, 0.5)]) assert.equal(await outcome(fn), 'RangeError: false');
  // One spelling of a direction; a missing option named.
  await assert.rejects(graph.waitForPorts(node.id, { direction: 'sideways' }), { name: 'TypeError', message: "waitForPorts: direction must be 'in' or 'out'" });
  await assert.rejects(graph.setRoute(1, 0, { direction: 'up' }), { name: 'TypeError', message: "setRoute: direction must be 'in' or 'out'" });
  await assert.rejects(graph.createLoopback({ to: node.id }), { name: 'TypeError', message: 'createLoopback: the option from is required' });
});
