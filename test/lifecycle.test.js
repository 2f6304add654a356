'use strict';
// Start, stop and restart of the connection and what they leave behind, also over long runs of cycles
// (events under load: events.test.js); no daemon at all, and one that dies under a script.
const test = require('node:test');
const assert = require('node:assert/strict');
const fs = require('node:fs');
const net = require('node:net');
const path = require('node:path');
const { startDaemon } = require('./helpers/daemon');
const { Fixture, waitFor } = require('./helpers/fixture');
const { privateDaemon } = require('./helpers/setup');
const { runChild } = require('./helpers/child');

// Threads and descriptors: a leak of one per cycle shows after a few cycles.
const usage = () => [fs.readdirSync('/proc/self/task').length, fs.readdirSync('/proc/self/fd').length];
const threads = () => usage()[0];
const threadsBefore = threads();
const q = require('./helpers/addon');
const { connect } = require('..');
const { fixture } = privateDaemon({}, { after: () => q.destroyPwThread() });

test('loading starts nothing; start and destroy fill and empty the mirror', async () => {
  // Loading starts no thread; a second start makes none either.
  assert.deepEqual([threads(), q.getNodes(), q.getPorts(), q.getLinks(), q.destroyPwThread(), q.createPwThread()], [threadsBefore, [], [], [], true, true]);
  const during = threads();
  assert.ok(during > threadsBefore, 'the PipeWire thread runs');
  assert.deepEqual([q.createPwThread('yes'), threads()], [true, during]);

  const node = await fixture.add('restart-node', 'Audio/Sink', 1, 0);
  await waitFor(() => q.getNodes().some((n) => n.id === node.id));
  assert.deepEqual([q.destroyPwThread(), q.getNodes(), q.getPorts(), q.destroyPwThread(), q.createPwThread()], [true, [], [], true, true]);
  // The new registry announces the whole graph before the start returns.
  assert.ok(q.getNodes().some((n) => n.id === node.id && n.name === 'restart-node') && q.getPorts().some((p) => p.id === node.inputs[0]));
  await fixture.remove(node.id); // the daemon's own nodes only, for the scripts that follow
});

test('scripts end by themselves, a throwing listener\'s error reaching uncaughtException as dispatch goes on; PipeWire logs only at the level asked for', async () => {
  const cases = [
    // [script, standard output, standard error, environment]
    [`let calls = 0;
      process.on('uncaughtException', (e) => console.log('caught ' + e.message));
      q.on('node-created', (n) => { calls++; throw new Error('boom ' + n.name); });
      q.createPwThread(1), q.destroyPwThread(); // 1 is not true: no debug log
      setTimeout(() => console.log('calls ' + calls), 100);`,
    'caught boom demo-speakers\ncaught boom demo-microphone\ncalls 2', /^$/],
    ['q.createPwThread(true); q.destroyPwThread();', '', /\[D\]/],
    ['q.createPwThread(); q.destroyPwThread();', '', /^\[I\]/m, { PIPEWIRE_DEBUG: '3' }],
    // An exit with events and a link request in flight.
    [`q.on('node-created', () => {}); q.on('link-created', () => {}); q.createPwThread();
      const [mic, sink] = ['demo-microphone', q.getNodes().find((n) => n.name === 'demo-speakers').id];
      console.log(q.linkNodesNameToId(mic, sink)); q.unlinkNodesNameToId(mic, sink);
      process.exit(0);`, '2', /^$/],
  ];
  for (const [script, out, err, env] of cases) {
    const r = await runChild(script, { env: { ...process.env, ...env } });
    assert.deepEqual([r.code, r.signal, r.timedOut, r.stdout.trim()], [0, null, false, out], `${script}\n${r.stderr}`);
    assert.match(r.stderr, err, script);
  }
});

const SCALE = process.env.QUORVANE_LONG === '1' ? 10 : 1;

test('start/stop and connect()/close() cycles leak no threads or descriptors', async () => {
  q.createPwThread(), q.destroyPwThread(), await (await connect()).close(); // what stays after a first use
  const before = usage();
  for (let i = 0; i < 20 * SCALE; i++) assert.ok(q.createPwThread() && q.getNodes().length > 0 && q.destroyPwThread(), `cycle ${i}: mirror filled`);
  for (let i = 0; i < 200 * SCALE; i++) {
    const graph = await connect();
    assert.ok(graph.nodes().some((n) => n.name === 'demo-speakers'), `cycle ${i}: mirror filled`);
    await graph.close();
  }
  assert.deepEqual([usage(), q.getNodes()], [before, []]);
});

test('an unusable daemon socket gives a bounded start and an empty mirror', async () => {
  const dir = require('./helpers/cli').scratch('quorvane-nodaemon-');
  const { PIPEWIRE_REMOTE, ...env } = { ...process.env, XDG_RUNTIME_DIR: dir, PIPEWIRE_RUNTIME_DIR: dir };
  const socket = path.join(dir, 'pipewire-0');
  const script = `const t = Date.now(); const ok = q.createPwThread(); const ms = Date.now() - t;
    const r = { ok, ms, mirror: [q.getNodes(), q.getPorts(), q.getLinks()] };
    try { q.linkNodesNameToId('x', 1); } catch (e) { r.link = e.message; }
    q.destroyPwThread(), process.env.AGAIN && (q.createPwThread(), q.destroyPwThread());
    const c = Date.now();
    require(${JSON.stringify(path.join(__dirname, '..'))}).connect({ timeoutMs: 500 })
      .catch((e) => Object.assign(r, { connect: e.message, connectMs: Date.now() - c }))
      .then(() => console.log(JSON.stringify(r)));`;
  for (const kind of ['none', 'file', 'silent', 'garbage']) {
    if (kind === 'file') fs.writeFileSync(socket, 'not a socket');
    const server = /silent|garbage/.test(kind) && net.createServer((c) => kind === 'garbage' && c.on('error', () => {}).write(Buffer.alloc(64, 0xff)));
    if (server) await new Promise((resolve) => server.listen(socket, resolve));
    const r = await runChild(script, { env: kind === 'none' ? { ...env, AGAIN: '1' } : env });
    if (server) server.close();
    fs.rmSync(socket, { force: true });
    const out = r.code === 0 && !r.timedOut ? JSON.parse(r.stdout) : assert.fail(`${kind}: ${r.code} ${r.stderr}`);
    assert.deepEqual([out.ok, out.mirror], [true, [[], [], []]], kind);
    assert.ok(out.ms < 4000 && (kind !== 'none' || out.ms >= 450) && ['PipeWire not connected', 'Could not find matching ports'].includes(out.link)
      && out.connectMs < (kind === 'none' ? 1000 : 4000) && (kind === 'none' ? /^PipeWire not reachable/ : /./).test(out.connect), `${kind}: ${r.stdout}`);
  }
});

test('a daemon killed during waitForNewNode: the wait returns, the mirror stays', async () => {
  const daemon = startDaemon({ setEnv: false });
  const fixture = new Fixture(daemon.env);
  await fixture.add('dying-a', 'Audio/Sink', 1, 1);
  let killedAt = 0;
  const r = await runChild(
    `q.createPwThread();
     console.log('waiting');
     console.log(JSON.stringify(q.waitForNewNode('never-there', undefined, 6000)) + ' ' + Date.now());
     // Queries still answer; a new start finds nothing.
     const mirror = q.getNodes().filter((n) => n.name.startsWith('dying-')).map((n) => n.name);
     q.destroyPwThread(), q.createPwThread();
     console.log(JSON.stringify({ mirror, again: q.getNodes().length })), q.destroyPwThread();`,
    { env: daemon.env, onStdout: (out) => !killedAt && out.includes('waiting') && (daemon.kill(), (killedAt = Date.now())) });
  await fixture.close().then(() => daemon.stop());
  assert.deepEqual([r.timedOut, r.code, r.signal], [false, 0, null], r.stderr);
  assert.match(r.stderr, /^pipewire error: id 0 seq -?\d+ res -32 \(Broken pipe\): connection error\n$/);
  const [waiting, waited, last] = r.stdout.trim().split('\n');
  const [result, endedAt] = waited.split(' ');
  assert.deepEqual([waiting, result, JSON.parse(last)], ['waiting', '{"found":false}', { mirror: ['dying-a'], again: 0 }]);
  assert.ok(killedAt > 0 && killedAt < Number(endedAt), `the daemon died while the wait went on: killed at ${killedAt}; ${r.stdout}`);
});

test('a reconnecting Graph whose daemon takes the connection and never answers tries again, and carries on with the daemon that comes back', async () => {
  const daemon = startDaemon({ setEnv: false });
  const socket = path.join(daemon.dir, 'pipewire-0');
  let silent, second;
  const accepted = [];
  const r = await runChild(
    `require(${JSON.stringify(path.join(__dirname, '..'))}).connect({ reconnect: true }).then((g) => {
       g.on('connected', () => (console.log('connected ' + g.nodes().length), g.close()));
       console.log('up');
     });`,
    {
      env: daemon.env,
      timeoutMs: 40000,
      onStdout: (out) => {
        if (out === 'up\n' && !silent) {
          // The daemon gone, its socket taken by one that accepts and says nothing, for longer than a
          // reconnect waits for an answer; then a daemon again.
          daemon.kill();
          fs.rmSync(socket, { force: true });
          silent = net.createServer((c) => accepted.push(c)).listen(socket);
          waitFor(() => accepted.length >= 2, 20000, 'a second attempt on the silent socket')
            .then(() => (silent.close(), accepted.forEach((c) => c.destroy()), fs.rmSync(socket, { force: true })))
            .then(() => require('./helpers/cli').restartDaemon(daemon))
            .then((child) => (second = child))
            .catch(() => {});
        }
      },
    },
  );
  second?.kill('SIGKILL');
  daemon.stop();
  assert.ok(accepted.length >= 2, `the silent socket was tried again (${accepted.length} connections)`);
  assert.deepEqual([r.timedOut, r.code], [false, 0], r.stderr);
  assert.match(r.stdout, /^up\nconnected [1-9]\d*\n$/, 'the Graph back with the daemon that came back, and its nodes');
});
