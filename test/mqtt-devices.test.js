'use strict';
// A sound card (the device fixture) on a private daemon, bridged to a private
// mosquitto; a client that hears everything is checked against pw-dump and
// what the fixture was sent.
const test = require('node:test');
const assert = require('node:assert/strict');
const { privateDaemon } = require('./helpers/setup');
const { DeviceFixture } = require('./helpers/device-fixture');
const { pwDump } = require('./helpers/fixture');
const { startBroker, listen, available } = require('./helpers/broker');

const skip = !available() && 'no mosquitto';
let graph, broker, bridge, sub;
const { daemon } = privateDaemon(undefined, {
  graph: async (g) => !skip && ((graph = g), (broker = await startBroker()), (sub = await listen(broker.url, ['quorvane/#', 'homeassistant/#', 'test/#'])),
  (bridge = await g.mqtt({ broker: broker.url, hostName: 'alpha', homeassistant: true, forgetAfterMs: 300, maxRate: 20 }))),
  after: async () => [await sub?.client.endAsync(true), ...(await Promise.all([bridge, card, broker].map((o) => o?.close())))],
});
const card = new DeviceFixture(daemon.env);
test('a card\'s topic is what pw-dump shows; its profile and port are set by name, a refused command sends nothing; its topic and selects go with it', { skip }, async () => {
  const [id, topic] = [await card.add('alsa_card.mq/1'), 'quorvane/alpha/device/alsa_card.mq%2F1'];
  const [state, profileSet, outputSet] = [() => JSON.parse(sub.retained.get(topic) ?? 'null'), `${topic}/profile/set`, `${topic}/output/set`];
  const dumped = (p = pwDump(daemon.env).find((o) => o.id === id).info.params, on = p.Profile[0].index, usable = (l) => l.filter((c) => c.available !== 'no').map((c) => c.name)) => {
    const routes = p.EnumRoute.filter((r) => r.direction === 'Output' && r.profiles.includes(on));
    return { profile: p.EnumProfile.find((x) => x.index === on).name, profiles: usable(p.EnumProfile), output: routes.find((r) => r.index === p.Route?.[0]?.index)?.name ?? null, outputs: usable(routes) };
  };
  await sub.until(() => state()?.output, 10000, 'the card on the broker');
  const d = graph.devices().find((x) => x.id === id);
  assert.deepEqual(state(), { id, name: d.name, description: d.description, api: d.api, input: null, inputs: [], ...dumped() });
  const selects = () => [...sub.retained].map(([t, c]) => t.startsWith('homeassistant/select/') && JSON.parse(c)).filter((c) => c?.state_topic === topic);
  await sub.until(() => selects().length === 2, 5000, 'the card\'s selects');
  assert.deepEqual(selects().map((c) => [c.name, c.options, c.command_topic, c.device.via_device]).sort(), [
    ['Output port', ['analog-output-speaker', 'analog-output-headphones'], outputSet, 'quorvane:alpha'],
    ['Profile', ['off', 'output:analog-stereo'], profileSet, 'quorvane:alpha']]);

  assert.deepEqual(await sub.ask(outputSet, 'analog-output-headphones'), { topic: outputSet, ok: true, result: { device: id, route: 'analog-output-headphones' } });
  await sub.until(() => state().output === 'analog-output-headphones', 5000, 'the port on the broker');
  const { sets } = await card.state();
  for (const [t, payload, error] of [[profileSet, 'output:analog-surround-51', /"output:analog-surround-51" .* is not available/],
    [profileSet, '{"__proto__":{"polluted":1}}', /"__proto__"/], ['quorvane/alpha/device/alsa_card.x/profile/set', 'off', /no device "alsa_card.x"/]]) {
    const reply = await sub.ask(t, payload);
    assert.deepEqual([reply.ok, error.test(reply.error)], [false, true], JSON.stringify(reply));
  }
  assert.deepEqual([await card.state(), {}.polluted], [{ ok: true, profile: 1, route: 1, sets }, undefined]);

  // "off" has no ports: the topic shows none, and the port's select goes.
  assert.deepEqual([(await sub.ask(profileSet, 'off')).ok, (await card.state()).profile], [true, 0]);
  await sub.until(() => state().profile === 'off' && state().outputs.length === 0 && selects().length === 1, 5000, 'the profile "off" on the broker');
  const configs = [...sub.retained.keys()].filter((t) => t.startsWith('homeassistant/') && JSON.parse(sub.retained.get(t)).state_topic === topic);
  await card.remove();
  await sub.until(() => !sub.retained.has(topic) && configs.every((t) => !sub.retained.has(t)), 5000, 'the card\'s topic and config emptied');
});
