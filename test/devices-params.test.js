'use strict';
// Devices as a session manager exports them (the fixture's sound card): their profiles and routes listed as
// the daemon shows them, selected, refused.
const test = require('node:test');
const assert = require('node:assert/strict');
const { once } = require('node:events');
const path = require('node:path');
const fs = require('node:fs');
const { privateDaemon } = require('./helpers/setup');
const { startSessionManager } = require('./helpers/session-manager');
const { DeviceFixture } = require('./helpers/device-fixture');
const { pwDump, waitFor } = require('./helpers/fixture');
const { restartDaemon } = require('./helpers/cli');
const { cli } = require('./helpers/child');

let graph;
const { daemon } = privateDaemon(undefined, { graph: (g) => (graph = g), after: () => card.close() });
const card = new DeviceFixture(daemon.env);

const dumped = (id) => pwDump(daemon.env).find((o) => o.id === id).info.params;
const listed = (id) => waitFor(() => graph.devices().find((d) => d.id === id && d.activeRoutes.output), 5000, `device ${id}`);
const pick = (o, keys) => Object.fromEntries(keys.map((k) => [k, o[k]]));
const PROFILE_KEYS = ['index', 'name', 'description', 'priority', 'available'];
// A test that fails leaves no device behind for the next (the fixture holds one at a time).
const removedAfter = (t) => t.after(() => card.remove().catch(() => {}));
const ROUTE_KEYS = [...PROFILE_KEYS, 'profiles'];

test('a device is listed with its profiles and routes as pw-dump shows them, and its removal is an event', async (t) => {
  removedAfter(t);
  const created = once(graph, 'device-created');
  const id = await card.add('alsa_card.listed');
  assert.equal((await created)[0].id, id);
  const device = await listed(id);
  const params = dumped(id);
  assert.deepEqual(pick(device, ['name', 'description', 'api']),
    { name: 'alsa_card.listed', description: 'Fixture Card', api: 'alsa' });
  assert.deepEqual(device.profiles.map((p) => pick(p, PROFILE_KEYS)), params.EnumProfile.map((p) => pick(p, PROFILE_KEYS)));
  assert.deepEqual(device.profiles[1].classes, [{ mediaClass: 'Audio/Sink', count: 1 }]);
  assert.equal(device.profile.index, params.Profile[0].index);
  const routes = params.EnumRoute.map((r) => ({ ...pick(r, ROUTE_KEYS), direction: r.direction.toLowerCase(), devices: r.devices }));
  assert.deepEqual(device.routes.map((r) => ({ ...pick(r, ROUTE_KEYS), direction: r.direction, devices: r.devices })), routes);
  assert.deepEqual(pick(device.activeRoutes.output, ['index', 'device']), pick(params.Route[0], ['index', 'device']));
  assert.equal(device.activeRoutes.input, null);
  const sink = await card.node('card-sink');
  await graph.waitForNode('card-sink');
  assert.deepEqual(graph.devices().find((d) => d.id === id).nodes, [sink]);
  // The device changing by itself is heard too.
  const changed = new Promise((resolve) => graph.on('device-changed', (d) => d.id === id && d.profile?.index === 0 && resolve(d)));
  await card.switchProfile(0);
  assert.equal((await changed).activeRoutes.output, null);
  const destroyed = once(graph, 'device-destroyed');
  await card.remove();
  assert.deepEqual([await destroyed, graph.devices().some((d) => d.id === id)], [[id], false]);
});

test('setProfile and setRoute resolve once the daemon shows the selection, as quorvane profile and port do; a bad one is refused with nothing sent; a device object is pinned by its serial', async (t) => {
  removedAfter(t);
  const id = await card.add('alsa_card.selected');
  const device = await listed(id);
  // An unknown or unavailable profile or route, or a bad argument: refused, nothing sent.
  for (const [[method, ...args], error] of [[['setProfile', id, 'a2dp-sink'], /has no profile "a2dp-sink" \(profiles: off, /],
    [['setRoute', id, 'analog-output-lineout'], /route "analog-output-lineout" .* is not available/],
    [['setRoute', id, 'analog-output-speaker', { direction: 'input' }], /has no input route/], [['setProfile', id, -1], RangeError],
    [['setProfile', 'alsa_card.none', 0], /no device "alsa_card.none"/], [['setProfile', id, {}], TypeError],
    [['setProfile', id, 1, { timeout: 5 }], TypeError]]) await assert.rejects(graph[method](...args), error);
  const refused = cli('profile', 'alsa_card.selected', 'output:analog-surround-51');
  assert.deepEqual([refused.status, refused.stderr], [1, `quorvane: profile "output:analog-surround-51" of device ${id} ("alsa_card.selected") is not available\n`]);
  assert.equal((await card.state()).sets, 0);
  // The tool lists the choices, the active one marked.
  const profiles = cli('profile', 'Fixture Card');
  assert.match(`${profiles.status}\n${profiles.stdout}`,
    /^0\n[^]*^\*\s+1\s+output:analog-stereo\s[^]*^\s+2\s+output:analog-surround-51\s.*\bno\b/m, profiles.stderr);

  const routed = await graph.setRoute(device, 'analog-output-headphones');
  assert.equal(routed.activeRoutes.output.name, 'analog-output-headphones');
  assert.deepEqual(pick(dumped(id).Route[0], ['index', 'device']), { index: 1, device: 0 });
  const off = await graph.setProfile('alsa_card.selected', 'off', { timeoutMs: 2000 });
  assert.deepEqual([off.profile.name, dumped(id).Profile[0].index], ['off', 0]);
  assert.equal((await graph.setProfile(id, 1)).profile.name, 'output:analog-stereo');
  assert.deepEqual(await card.state(), { ok: true, profile: 1, route: 0, sets: 3 });
  const port = cli('port', String(id), 'analog-output-headphones', '--direction', 'sink');
  assert.equal(port.stdout, `"alsa_card.selected" (${id}): output port analog-output-headphones\n`);
  assert.deepEqual(JSON.parse(cli('devices', '--json').stdout).map((d) => [d.name, d.activeRoutes.output.name]), [['alsa_card.selected', 'analog-output-headphones']]);
  await card.remove();
  const again = await card.add('alsa_card.selected');
  // The old device may still be listed under the id given again: the new one is told by its serial.
  const renewed = () => graph.devices().some((d) => d.id === again && d.serial !== device.serial);
  await waitFor(renewed, 5000, 'the new device to be listed');
  await assert.rejects(graph.setProfile(device, 'off'), /is gone/);
  assert.equal((await card.state()).sets, 0);
});

test('a patchbay "profiles" rule sets a device once per appearance, one given a reused id too, and leaves the user\'s choice alone', async (t) => {
  removedAfter(t);
  const before = await card.add('alsa_card.before');
  await listed(before);
  // The device replaced while JavaScript is busy: the rule starts with the new one, which has the id of the
  // one gone, and the daemon's events of both come after.
  const replaced = card.replace('alsa_card.ruled');
  const nap = new Int32Array(new SharedArrayBuffer(4));
  for (const end = Date.now() + 5000; !graph.devices().some((d) => d.name === 'alsa_card.ruled' && d.activeRoutes.output) && Date.now() < end; ) Atomics.wait(nap, 0, 0, 2);
  const bay = graph.patchbay({ profiles: [{ device: '/^alsa_card\\.rul/', profile: 'off' }] });
  const actions = [];
  const acted = async () => actions.push((await once(bay, 'action', { signal: AbortSignal.timeout(5000) }))[0]);
  const first = acted();
  t.after(() => bay.close());
  const id = await replaced;
  assert.equal(id, before, 'the daemon gives the id again');
  await first;
  assert.deepEqual(actions[0], { kind: 'profile', rule: 'profiles[0]', device: 'alsa_card.ruled', id, profile: 'off' });
  await graph.setProfile(id, 'output:analog-stereo');
  // A rule that fought back would have sent its profile before this route, on one queue.
  await graph.setRoute(id, 'analog-output-speaker');
  assert.deepEqual(await card.state(), { ok: true, profile: 1, route: 0, sets: 3 });
  await card.remove();
  const again = acted();
  const second = await card.add('alsa_card.ruled');
  await again;
  assert.deepEqual([actions[1].id, (await card.state()).profile], [second, 0]);
  assert.throws(() => graph.patchbay({ profiles: [{ device: '@default-audio-sink', profile: 'off' }] }), /profiles\[0\]\.device: must be a device name/);
});

// Last: WirePlumber stays with the daemon's devices from here on.
test('beside WirePlumber, which picks a new device\'s port itself, a port selected is kept and saved as the user\'s choice', async (t) => {
  removedAfter(t);
  const sm = await startSessionManager(daemon);
  t.after(() => sm.stop());
  const id = await card.add('alsa_card.managed');
  // WirePlumber sets the profile, then the port (0.4 once more): a port selected before it is done would be
  // undone. Done: both set, and nothing more for 20 looks in a row.
  let last, still = 0;
  await waitFor(async () => {
    const s = await card.state();
    still = last && s.sets === last.sets ? still + 1 : 0;
    last = s;
    return s.sets >= 2 && still >= 20;
  }, 5000, () => `WirePlumber to select the new device's profile and port (${JSON.stringify(last)})`);
  await waitFor(() => graph.devices().some((d) => d.id === id && d.name === 'alsa_card.managed'), 5000, 'the Graph to hear of the device');
  const device = await graph.setRoute(id, 'analog-output-headphones');
  assert.equal(device.activeRoutes.output.name, 'analog-output-headphones');
  const saved = path.join(sm.dir, 'state', 'wireplumber', 'default-routes');
  const read = () => (fs.existsSync(saved) ? fs.readFileSync(saved, 'utf8') : '');
  // WirePlumber 0.4 writes "=name;", 0.5 "=["name"]".
  const choice = /^alsa_card\.managed:profile:output:analog-stereo=(analog-output-headphones;|\["analog-output-headphones"\])$/m;
  await waitFor(() => choice.test(read()), 5000, `WirePlumber to save the port (${saved})`);
  assert.equal(dumped(id).Route[0].index, 1);
});

// Last: the daemon is replaced.
test('across a daemon restart, a Graph that reconnects lists the new daemon\'s devices, and a "profiles" rule sets them again', async (t) => {
  const other = await require('..').connect({ reconnect: true });
  t.after(() => other.close());
  const bay = other.patchbay({ profiles: [{ device: 'alsa_card.restarted', profile: 'off' }] });
  const acted = () => once(bay, 'action', { signal: AbortSignal.timeout(5000) });
  const first = acted();
  const before = await card.add('alsa_card.restarted');
  await first;
  const [lost, removed] = ['disconnected', 'device-destroyed'].map((e) => once(other, e, { signal: AbortSignal.timeout(5000) }));
  daemon.kill();
  await lost;
  // Gone with the connection, and said so, as its nodes are.
  assert.deepEqual([(await removed)[0], other.devices()], [before, []]);
  const connected = once(other, 'connected', { signal: AbortSignal.timeout(10000) });
  const child = await restartDaemon(daemon);
  t.after(() => child.kill('SIGKILL'));
  await connected;
  const again = new DeviceFixture(daemon.env);
  t.after(() => again.close());
  const second = acted();
  const id = await again.add('alsa_card.restarted');
  const [action] = await second;
  assert.deepEqual([action.id, other.devices().map((d) => d.id)], [id, [id]]);
  assert.deepEqual(await again.state(), { ok: true, profile: 0, route: -1, sets: 1 });
  await bay.close();
});
