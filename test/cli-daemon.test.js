'use strict';
// The quorvane tool when its reader goes away and when the daemon dies under
// it: quiet ends with documented codes, and with --reconnect a tool that
// carries on once a daemon is back in the same runtime directory.
const test = require('node:test');
const assert = require('node:assert/strict');
const { spawnSync } = require('node:child_process');
const { restartDaemon } = require('./helpers/cli');
const { startDaemon } = require('./helpers/daemon');
const { Fixture, waitFor } = require('./helpers/fixture');
const { startScript, CLI } = require('./helpers/child');

const daemon = startDaemon({ setEnv: false });
const run = (args, options) => startScript(CLI, args, { env: daemon.env, ...options });
test.after(() => daemon.stop());

test('tools end cleanly when their reader or the daemon goes; --reconnect carries on', async (t) => {
  let fixture = new Fixture(daemon.env);
  const first = await fixture.add('back-app', 'Stream/Output/Audio', 0, 2);
  const firstSink = await fixture.add('back-sink', 'Audio/Sink', 2, 0);
  await fixture.add('gone-sink', 'Audio/Sink', 1, 0);
  const commands = [['nodes', '--props'], ['ports'], ['links', '--json'], ['wait', 'back-app'], ['monitor'],
    ['link', String(first.outputs[0]), String(firstSink.inputs[0])]];
  for (const r of commands.map((args) => run(args, { closeOutput: true }))) assert.deepEqual([await r.exited, r.err], [{ code: 0, signal: null }, ''], r.child.spawnargs.join(' '));
  const ending = [run(['monitor']), run(['link', '--from', 'back-app', '--to', 'gone-sink']), run(['wait', 'never-there', '--timeout', '60000'])];
  const [monitor, held] = [run(['monitor', '--reconnect']), run(['link', '--from', 'back-app', '--to', 'back-sink', '--reconnect'])];
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
    // One line saying why, no stack trace.
    assert.deepEqual([r.err.split('\n').filter((l) => l.startsWith('quorvane:')).map((l) => l.split(' (')[0]), /\n\s+at /.test(r.err)], [['quorvane: PipeWire went away'], false], r.err);
  }
  await waitFor(() => [monitor, held].every((r) => r.err.includes('PipeWire went away')), 10000, 'the tools to notice');

  // A new daemon where the killed one was; ids come round again, so only output from here on counts.
  const [monitorSeen, heldSeen] = [monitor.out.length, held.out.length];
  const second = await restartDaemon(daemon);
  t.after(() => second.kill('SIGKILL'));
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
});
