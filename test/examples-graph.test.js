'use strict';
// The routing example on a graph where another client (a session manager
// stand-in) has linked the application elsewhere already.
const test = require('node:test');
const assert = require('node:assert/strict');
const path = require('node:path');
const { spawn } = require('node:child_process');
const { startDaemon } = require('./helpers/daemon');
const { Fixture, waitFor, linksFrom } = require('./helpers/fixture');

const daemon = startDaemon({ objects: [] });
const fixture = new Fixture();

test.after(async () => {
  await fixture.close();
  daemon.stop();
});


test('keep-routed.js: the app goes only into the sink, comes back there after a restart; Ctrl-C removes its links', async () => {
  const vmic = await fixture.add('ex-virtual-mic', 'Audio/Sink', 'FL,FR', '0');
  const speakers = await fixture.add('ex-speakers', 'Audio/Sink', 'FL,FR', '0');
  let app = await fixture.add('ex-player', 'Stream/Output/Audio', '0', 'FL,FR');
  await fixture.link([[app.outputs[0], speakers.inputs[0]], [app.outputs[1], speakers.inputs[1]]]);
  const child = spawn(process.execPath, [path.join(__dirname, '..', 'examples', 'keep-routed.js'), '^ex-player$', 'ex-virtual-mic', '--exclusive'],
    { env: process.env, stdio: ['ignore', 'pipe', 'pipe'] });
  let out = '';
  let err = '';
  child.stdout.on('data', (d) => (out += d));
  child.stderr.on('data', (d) => (err += d));
  const exited = new Promise((resolve) => child.on('exit', (code) => resolve(code)));
  try {
    const want = (a) => [[a.outputs[0], vmic.inputs[0]], [a.outputs[1], vmic.inputs[1]]];
    await waitFor(() => String(linksFrom(app.outputs)) === String(want(app)), 5000, 'only the route\'s links');
    await fixture.remove(app.id);
    app = await fixture.add('ex-player', 'Stream/Output/Audio', '0', 'FL,FR');
    await waitFor(() => String(linksFrom(app.outputs)) === String(want(app)), 5000, 'the links again after a restart');
  } finally {
    child.kill('SIGINT');
  }
  assert.equal(await exited, 0, err);
  assert.deepEqual(linksFrom(app.outputs), []);
  assert.equal(err, '');
  assert.equal(out.split('\n').filter((l) => l.startsWith('linked ')).length, 4, out);
  await fixture.remove(app.id, vmic.id, speakers.id);
});
