'use strict';
// The quorvane tool when its reader goes away and when the daemon dies under
// it: quiet ends with documented codes, and with --reconnect a tool that
// carries on once a daemon is back in the same runtime directory.
const test = require('node:test');
const assert = require('node:assert/strict');
const path = require('node:path');
const { spawn, spawnSync } = require('node:child_process');
const { startDaemon } = require('./helpers/daemon');
const { Fixture, waitFor } = require('./helpers/fixture');
const { startScript, CLI } = require('./helpers/child');


const run = (args, env, options) => startScript(CLI, args, { env, ...options });

const daemon = startDaemon({ setEnv: false });
test.after(() => daemon.stop());

test('tools end cleanly when their reader or the daemon goes; --reconnect carries on', async () => {
  let fixture = new Fixture(daemon.env);
  const first = await fixture.add('back-app', 'Stream/Output/Audio', 0, 2);
  const firstSink = await fixture.add('back-sink', 'Audio/Sink', 2, 0);
  await fixture.add('gone-sink', 'Audio/Sink', 1, 0);
  const commands = [['nodes', '--props'], ['ports'], ['links', '--json'], ['wait', 'back-app'], ['monitor'],
    ['link', String(first.outputs[0]), String(firstSink.inputs[0])]];
  for (const args of commands) {
    const r = run(args, daemon.env, { closeOutput: true });
    assert.deepEqual([await r.exited, r.err], [{ code: 0, signal: null }, ''], args[0]);
  }
  const ending = [run(['monitor'], daemon.env), run(['link', '--from', 'back-app', '--to', 'gone-sink'], daemon.env),
    run(['wait', 'never-there', '--timeout', '60000'], daemon.env)];
  const monitor = run(['monitor', '--reconnect'], daemon.env);
  const held = run(['link', '--from', 'back-app', '--to', 'back-sink', '--reconnect'], daemon.env);
  await waitFor(() => {
    const clients = spawnSync('pw-dump', ['-N'], { env: daemon.env, encoding: 'utf8' }).stdout;
    return [...ending, monitor, held].every((r) => clients.includes(`"application.process.id": ${r.child.pid},`));
  }, 10000, 'the tools to connect');
  await waitFor(() => [ending[0], monitor].every((r) => r.out.includes('back-sink')) &&
    [ending[1], held].every((r) => r.out.includes('holding')), 10000, 'the tools to run');
  await fixture.close();
  daemon.kill();
  for (const r of ending) {
    assert.deepEqual(await r.exited, { code: 4, signal: null }, r.err);
    const ours = r.err.split('\n').filter((l) => l.startsWith('quorvane:'));
    assert.deepEqual(ours.map((l) => l.split(' (')[0]), ['quorvane: PipeWire went away'], r.err);
    assert.doesNotMatch(r.err, /\n\s+at /, 'no stack trace');
  }
  await waitFor(() => [monitor, held].every((r) => r.err.includes('PipeWire went away')), 10000, 'the tools to notice');

  // Ids come round again on a new daemon: only output from here on counts.
  const [monitorSeen, heldSeen] = [monitor.out.length, held.out.length];
  // A new daemon in the runtime directory of the killed one: clients looking
  // for it find it where the old one was.
  const second = spawn('setpriv', ['--pdeathsig', 'KILL', 'pipewire', '-c', path.join(daemon.dir, 'daemon.conf')], { env: daemon.env, stdio: 'ignore' });
  await waitFor(() => spawnSync('pw-cli', ['info', '0'], { env: daemon.env, timeout: 2000 }).status === 0, 10000, 'the new daemon');
  fixture = new Fixture(daemon.env);
  const app = await fixture.add('back-app', 'Stream/Output/Audio', 0, 2);
  const sink = await fixture.add('back-sink', 'Audio/Sink', 2, 0);
  await waitFor(() => monitor.out.slice(monitorSeen).includes(`node-created ${sink.id} "back-sink"`), 10000, 'monitor to print the new graph');
  // The links it held are made again on the new daemon, once both ends are whole.
  const again = () => held.out.slice(heldSeen);
  await waitFor(() => (again().match(/^link-created/gm) || []).length === 2, 10000, 'the links to be made again');
  assert.match(again(), new RegExp(`^link-created \\d+ ${app.id}:${app.outputs[1]} -> ${sink.id}:${sink.inputs[1]}$`, 'm'));
  for (const r of [monitor, held]) {
    r.child.kill('SIGINT');
    assert.deepEqual(await r.exited, { code: 0, signal: null }, r.err);
    assert.match(r.err, /PipeWire is back/);
  }
  await fixture.close();
  second.kill('SIGKILL');
});
