'use strict';
// No daemon at all, and a daemon that dies under a connected script.
const test = require('node:test');
const assert = require('node:assert/strict');
const fs = require('node:fs');
const os = require('node:os');
const path = require('node:path');
const { startDaemon } = require('./helpers/daemon');
const { runChild } = require('./helpers/child');

test('with no daemon reachable the start still returns true, the mirror stays empty', async () => {
  const empty = fs.mkdtempSync(path.join(os.tmpdir(), 'quorvane-nodaemon-'));
  const env = { ...process.env, XDG_RUNTIME_DIR: empty, PIPEWIRE_RUNTIME_DIR: empty };
  delete env.PIPEWIRE_REMOTE;
  const r = await runChild(
    `const t = Date.now(); const ok = q.createPwThread(); const ms = Date.now() - t;
     console.log(JSON.stringify({ ok, ms, nodes: q.getNodes(), ports: q.getPorts(), links: q.getLinks() }));
     q.destroyPwThread(); q.createPwThread(); q.destroyPwThread();`,
    { env },
  );
  fs.rmSync(empty, { recursive: true, force: true });
  assert.equal(r.timedOut, false, 'no hang');
  assert.equal(r.code, 0, r.stderr);
  const out = JSON.parse(r.stdout);
  assert.equal(out.ok, true);
  assert.ok(out.ms >= 450 && out.ms < 3000, `returned after ${out.ms} ms`);
  assert.deepEqual([out.nodes, out.ports, out.links], [[], [], []]);
});

test('a daemon killed mid-session gives one error line, no crash and no hang', async () => {
  const daemon = startDaemon({ setEnv: false });
  let killed = false;
  const r = await runChild(
    `q.createPwThread();
     console.log('connected ' + q.getNodes().length);
     const t = setInterval(() => {
       if (!require('node:fs').existsSync(${JSON.stringify(daemon.dir + '/gone')})) return;
       clearInterval(t);
       // The mirror keeps its last content; queries still answer.
       setTimeout(() => {
         console.log('after ' + q.getNodes().length);
         q.destroyPwThread();
         q.createPwThread();
         console.log('reconnect ' + q.getNodes().length);
         q.destroyPwThread();
       }, 200);
     }, 10);`,
    {
      env: daemon.env,
      onStdout: (out) => {
        if (!killed && out.includes('connected')) {
          killed = true;
          daemon.kill();
          fs.writeFileSync(path.join(daemon.dir, 'gone'), '');
        }
      },
    },
  );
  daemon.stop();
  assert.equal(r.timedOut, false, 'no hang');
  assert.deepEqual([r.code, r.signal], [0, null], r.stderr);
  const lines = r.stderr.split('\n').filter(Boolean);
  assert.equal(lines.length, 1, r.stderr);
  assert.match(lines[0], /^pipewire error: id 0 seq -?\d+ res -32 \(Broken pipe\): connection error$/);
  const [connected, after, reconnect] = r.stdout.trim().split('\n');
  assert.ok(Number(connected.split(' ')[1]) > 0);
  assert.equal(after, connected.replace('connected', 'after'));
  assert.equal(reconnect, 'reconnect 0');
});
