'use strict';
// quorvane route end to end: property matchers on the command line and in a
// rules file, exclusivity beside another client's links (standing in for a
// session manager's), and Ctrl-C removing exactly the route's links.
const test = require('node:test');
const assert = require('node:assert/strict');
const fs = require('node:fs');
const os = require('node:os');
const path = require('node:path');
const { spawnSync } = require('node:child_process');
const { waitFor, linksFrom } = require('./helpers/fixture');
const { privateDaemon } = require('./helpers/setup');
const { startScript, CLI } = require('./helpers/child');

const { fixture } = privateDaemon({ objects: [] });

// The route itself (lib/features/routes/route.js, also behind examples/keep-routed.js) is
// routes.test.js's; here the command line that sets it up and takes it down.
test('route --from/--to --exclusive: only its links from the app, re-linked after a restart, Ctrl-C removes only its links', async () => {
  const vmic = await fixture.add('cr-vmic', 'Audio/Sink', 'FL,FR', '0');
  const speakers = await fixture.add('cr-speakers', 'Audio/Sink', 'FL,FR', '0');
  const other = await fixture.add('cr-other', 'Stream/Output/Audio', '0', 'FL,FR');
  let app = await fixture.add('cr-app-1', 'Stream/Output/Audio', '0', 'FR,FL');
  await fixture.link([[other.outputs[0], vmic.inputs[0]], [app.outputs[0], speakers.inputs[0]]]);
  const run = startScript(CLI, ['route', '--from', 'node.name=/^cr-app-\\d$/', '--from', 'media.class=Stream/Output/Audio', '--to', 'cr-vmic', '--exclusive']);
  // FR,FL outputs pair with the sink's FL,FR inputs by channel.
  const want = (a) => [[a.outputs[0], vmic.inputs[1]], [a.outputs[1], vmic.inputs[0]]].sort((x, y) => x[0] - y[0]);
  try {
    await waitFor(() => String(linksFrom(app.outputs)) === String(want(app)), 5000, 'only the route\'s links from the app');
    await fixture.remove(app.id);
    app = await fixture.add('cr-app-2', 'Stream/Output/Audio', '0', 'FR,FL');
    await waitFor(() => String(linksFrom(app.outputs)) === String(want(app)), 5000, 'the restarted app linked again');
  } finally {
    run.child.kill('SIGINT');
  }
  assert.deepEqual([(await run.exited).code, run.err], [0, '']);
  assert.deepEqual(linksFrom(app.outputs), []);
  assert.deepEqual(linksFrom(other.outputs).map(String), [`${other.outputs[0]},${vmic.inputs[0]}`], 'another client\'s link into the sink stays');
  assert.equal(run.out.split('\n').filter((l) => /^linked cr-app-\d:out_F[LR] -> cr-vmic:in_F[LR] /.test(l)).length, 4, run.out);
  await fixture.remove(app.id, vmic.id, speakers.id, other.id);
});

test('route --rules keeps several routes; a bad rules file is a usage error', async () => {
  const sink = await fixture.add('rr-sink', 'Audio/Sink', 'MONO', '0');
  const a = await fixture.add('rr-a', 'Audio/Source', '0', 'FL,FR');
  const b = await fixture.add('rr-b', 'Audio/Source', '0', '2');
  // A value that only looks like /regexp/flags is a text: a path.
  const c = await fixture.add('rr-c', 'Audio/Source;object.path=/x/y', '0', 'MONO');
  const dir = fs.mkdtempSync(path.join(os.tmpdir(), 'quorvane-rules-'));
  const file = path.join(dir, 'rules.json');
  fs.writeFileSync(file, JSON.stringify({ routes: [
    { from: 'rr-a', to: { 'node.name': 'rr-sink' } },
    { from: { 'node.name': '/^rr-b$/' }, to: 'rr-sink', channels: 'positional' },
    { from: { 'object.path': '/x/y' }, to: 'rr-sink' },
  ] }));
  const run = startScript(CLI, ['route', '--rules', file]);
  const outputs = [...a.outputs, ...b.outputs, ...c.outputs];
  try {
    // Both stereo sides into the one MONO input; b has no channels.
    await waitFor(() => linksFrom(outputs).length === 4, 5000, 'the links of the three routes');
    assert.deepEqual(linksFrom(outputs).map((p) => p[1]), Array(4).fill(sink.inputs[0]));
  } finally {
    run.child.kill('SIGINT');
  }
  assert.equal((await run.exited).code, 0, run.err);
  assert.deepEqual(linksFrom(outputs), []);
  assert.match(run.out, /^route 1: linked rr-a:out_FL -> rr-sink:in_MONO/m);

  fs.writeFileSync(file, JSON.stringify({ routes: [{ from: 5, to: 'x' }] }));
  const r = spawnSync(process.execPath, [CLI, 'route', '--rules', file], { encoding: 'utf8' });
  assert.deepEqual([r.status, r.stderr], [2, `quorvane: ${file}: route 1: "from" must be a node name or an object of property patterns\n`]);
  fs.rmSync(dir, { recursive: true, force: true });
  await fixture.remove(sink.id, a.id, b.id, c.id);
});
