'use strict';
// Hosts on an MQTT broker: two private daemons stand for two hosts, each with
// a bridge (one in this process through graph.mqtt, one as `quorvane mqtt`),
// and a private mosquitto between them; an MQTT.js client that hears
// everything is the ground truth beside pw-dump.
const test = require('node:test');
const assert = require('node:assert/strict');
const { spawn } = require('node:child_process');
const fs = require('node:fs');
const { restartDaemon } = require('./helpers/cli');
const { startDaemon } = require('./helpers/daemon');
const { Fixture, pwDump, waitFor } = require('./helpers/fixture');
const { startBroker, listen, available } = require('./helpers/broker');
const { CLI } = require('./helpers/child');

const skip = !available() && 'no mosquitto';
const alphaDaemon = startDaemon(); // this process's Graph
const betaDaemon = startDaemon({ setEnv: false });
// alpha: graph.mqtt's bridge; beta: the CLI's process; sub hears quorvane/# and homeassistant/#.
let broker, graph, alpha, beta, sub, fixture;

const cv = (node) => node.info.params?.Props?.find((x) => x.channelVolumes);
// A host's nodes as pw-dump shows them, as the bridge's node topics hold them.
function dumped(env) {
  return Object.fromEntries(pwDump(env).filter((o) => o.type === 'PipeWire:Interface:Node').map((o) => {
    const p = cv(o);
    return [o.info.props['node.name'], { class: o.info.props['media.class'] ?? null, state: o.info.state, volume: p ? Number(Math.cbrt(p.channelVolumes[0]).toFixed(3)) : null, mute: p ? p.mute : null }];
  }));
}
const retainedNodes = (host) => Object.fromEntries([...sub.retained].filter(([t]) => new RegExp(`^quorvane/${host}/node/[^/]+$`).test(t)).map(([, text]) => {
  const s = JSON.parse(text);
  return [s.name, { class: s.class, state: s.state, volume: s.volume === null ? null : Number(s.volume.toFixed(3)), mute: s.mute }];
}));
const sameAsDump = (host, env) => {
  assert.deepEqual(retainedNodes(host), dumped(env));
  return true;
};
const props = (env, name) => {
  const p = cv(pwDump(env).find((o) => o.info?.props?.['node.name'] === name));
  return [Number(p.channelVolumes[0].toFixed(4)), p.mute];
};

// A command and its answer: published as MQTT 5 with a response topic and correlation data (or, with
// `v4`, by that MQTT 3.1.1 client); answered there, or on PREFIX/HOST/reply where the bridge or the
// client speaks MQTT 3.1.1.
let asked = 0;
async function ask(topic, payload, { v4 = null, timeoutMs = 10000 } = {}) {
  const correlation = `c${++asked}`;
  const seen = sub.heard.length;
  if (v4) v4.publish(topic, payload);
  else sub.client.publish(topic, payload, { properties: { responseTopic: 'test/replies', correlationData: Buffer.from(correlation) } });
  const isReply = (m) => (m.topic === 'test/replies' ? String(m.packet.properties?.correlationData) === correlation : m.topic.endsWith('/reply') && JSON.parse(m.text).topic === topic);
  return JSON.parse((await sub.until(() => sub.heard.slice(seen).find(isReply), timeoutMs, `the reply to ${topic}`)).text);
}

test.before(async () => {
  if (skip) return;
  broker = await startBroker();
  sub = await listen(broker.url, ['quorvane/#', 'homeassistant/#', 'test/#']);
  fixture = new Fixture(alphaDaemon.env);
  graph = await require('..').connect({ reconnect: true });
  alpha = await graph.mqtt({ broker: broker.url, hostName: 'alpha', homeassistant: true, forgetAfterMs: 300, maxRate: 20 });
  beta = spawn(process.execPath, [CLI, 'mqtt', '--broker', broker.url, '--host-name', 'beta', '--homeassistant', '--mqtt-version', '3.1.1'], { env: betaDaemon.env, stdio: 'ignore' });
});

test.after(async () => {
  beta?.kill('SIGKILL');
  await sub?.client.endAsync(true);
  for (const o of [alpha, graph, fixture, broker]) await o?.close();
  alphaDaemon.stop();
  betaDaemon.stop();
});

// Home Assistant's MQTT discovery schema, as documented, for the keys a bridge may use: each key
// in its full or abbreviated form, its type, and what each component requires.
const ABBREVIATIONS = { avty: 'availability', avty_t: 'availability_topic', cmd_t: 'command_topic', dev: 'device', ic: 'icon', ops: 'options',
  pl_on: 'payload_on', pl_off: 'payload_off', stat_t: 'state_topic', uniq_id: 'unique_id', val_tpl: 'value_template', obj_id: 'object_id' };
const DEVICE_ABBREVIATIONS = { ids: 'identifiers', mf: 'manufacturer', mdl: 'model', sw: 'sw_version' };
const str = (v) => typeof v === 'string' && v.length > 0;
const topicOk = (v) => str(v) && !/[+#]/.test(v);
const COMMON = {
  availability: (v) => Array.isArray(v) && v.length > 0 && v.every((a) => topicOk(a.topic) && Object.keys(a).every((k) => ['topic', 'payload_available', 'payload_not_available', 'value_template'].includes(k))),
  availability_topic: topicOk, device: null, icon: (v) => /^mdi:[a-z-]+$/.test(v), name: (v) => v === null || str(v), object_id: str,
  unique_id: str, value_template: str, state_topic: topicOk,
};
const COMPONENTS = {
  number: { required: ['command_topic'], keys: { command_topic: topicOk, min: Number.isFinite, max: Number.isFinite, step: (v) => v >= 0.001, mode: (v) => ['auto', 'box', 'slider'].includes(v) } },
  switch: { required: ['command_topic'], keys: { command_topic: topicOk, payload_on: str, payload_off: str, state_on: str, state_off: str } },
  select: { required: ['command_topic', 'options'], keys: { command_topic: topicOk, options: (v) => Array.isArray(v) && v.length > 0 && v.every(str) } },
  sensor: { required: ['state_topic'], keys: { unit_of_measurement: str, device_class: str, state_class: str } },
};
function checkDiscovery(topic, text, uniqueIds) {
  const m = topic.match(/^homeassistant\/([a-z_]+)\/([A-Za-z0-9_-]+)\/([A-Za-z0-9_-]+)\/config$/);
  assert.ok(m && COMPONENTS[m[1]], `discovery topic ${topic}`);
  const schema = COMPONENTS[m[1]];
  const config = Object.fromEntries(Object.entries(JSON.parse(text)).map(([k, v]) => [ABBREVIATIONS[k] ?? k, v]));
  for (const [key, value] of Object.entries(config)) {
    const check = schema.keys[key] ?? COMMON[key];
    assert.ok(check !== undefined, `${topic}: ${key} is not a ${m[1]} key`);
    if (check) assert.ok(check(value), `${topic}: ${key} = ${JSON.stringify(value)}`);
  }
  for (const key of [...schema.required, 'unique_id', 'device']) assert.ok(key in config, `${topic}: ${key} missing`);
  const device = Object.fromEntries(Object.entries(config.device).map(([k, v]) => [DEVICE_ABBREVIATIONS[k] ?? k, v]));
  assert.ok(Array.isArray(device.identifiers) && device.identifiers.every(str) && str(device.name) &&
    Object.keys(device).every((k) => ['identifiers', 'name', 'manufacturer', 'model', 'sw_version', 'via_device'].includes(k)), `${topic}: device ${JSON.stringify(device)}`);
  assert.ok(uniqueIds.size < uniqueIds.add(config.unique_id).size, `${topic}: unique_id ${config.unique_id} used twice`);
  return config;
}

test('each host\'s retained state is its pw-dump; a command on one host changes that host only and is answered (MQTT 5 and 3.1.1); discovery passes the schema and goes with its node', { skip }, async (t) => {
  await fixture.add('app-stream', 'Stream/Output/Audio', 0, 2);
  await sub.until(() => sameAsDump('alpha', alphaDaemon.env) && sameAsDump('beta', betaDaemon.env), 15000, 'both hosts on the broker');
  assert.deepEqual(['alpha', 'beta'].map((h) => sub.retained.get(`quorvane/${h}/status`)), ['online', 'online']);

  // Volume on beta's speakers: beta's Props change, alpha's do not; the retained state follows.
  const before = props(alphaDaemon.env, 'demo-speakers');
  assert.deepEqual(await ask('quorvane/beta/node/demo-speakers/volume/set', '0.5'), { topic: 'quorvane/beta/node/demo-speakers/volume/set', ok: true, result: { volume: 0.5 } });
  assert.deepEqual([props(betaDaemon.env, 'demo-speakers'), props(alphaDaemon.env, 'demo-speakers')], [[0.125, false], before]);
  await sub.until(() => JSON.parse(sub.retained.get('quorvane/beta/node/demo-speakers')).volume === 0.5);

  // Link and unlink by names on alpha over MQTT 3.1.1, answered on the reply topic with the command's id.
  const v4 = (await listen(broker.url, [], { protocolVersion: 4 })).client;
  const pairs = [['demo-microphone:capture_FL', 'demo-speakers:playback_FL'], ['demo-microphone:capture_FR', 'demo-speakers:playback_FR']];
  t.after(() => v4.endAsync());
  const linked = await ask('quorvane/alpha/set', JSON.stringify({ op: 'link', from: 'demo-microphone', to: 'demo-speakers', id: 'l1' }), { v4 });
  assert.deepEqual([linked.id, linked.ok, linked.result.links.length], ['l1', true, 2], JSON.stringify(linked));
  await sub.until(() => sub.retained.get('quorvane/alpha/links') === JSON.stringify(pairs), 5000, 'the links on the broker');
  assert.deepEqual([(await ask('quorvane/alpha/node/demo-speakers/mute/set', 'ON', { v4 })).ok, props(alphaDaemon.env, 'demo-speakers')[1]], [true, true]);
  assert.equal((await ask('quorvane/alpha/set', JSON.stringify({ op: 'unlink', from: 'demo-microphone', to: 'demo-speakers' }), { v4 })).ok, true);
  await sub.until(() => sub.retained.get('quorvane/alpha/links') === '[]', 5000, 'the links gone from the broker');
  // A rule set kept applied by the bridge, then dropped: its links come and go with it.
  assert.equal((await ask('quorvane/alpha/rules/set', JSON.stringify({ routes: [{ from: 'demo-microphone', to: 'demo-speakers' }] }))).ok, true);
  await sub.until(() => sub.retained.get('quorvane/alpha/links') === JSON.stringify(pairs), 5000, 'the rule\'s links');
  assert.deepEqual(await ask('quorvane/alpha/rules/set', 'null'), { topic: 'quorvane/alpha/rules/set', ok: true, result: { rules: null } });
  await sub.until(() => sub.retained.get('quorvane/alpha/links') === '[]', 5000, 'the rule\'s links gone');

  // Discovery: every config passes the schema; each sink and source is a device with volume, mute and state.
  const uniqueIds = new Set();
  const configs = [...sub.retained].filter(([t]) => t.startsWith('homeassistant/')).map(([t, text]) => [t, checkDiscovery(t, text, uniqueIds)]);
  const kinds = (host, name) => configs.filter(([, c]) => c.unique_id.startsWith(`quorvane:${host}:${name}:`)).map(([t]) => t.split('/')[1]).sort();
  assert.deepEqual(['alpha:demo-speakers', 'alpha:demo-microphone', 'beta:demo-speakers', 'beta:demo-microphone'].map((n) => kinds(...n.split(':'))),
    Array(4).fill(['number', 'sensor', 'switch']));
  const select = (id) => ((c) => [c.options, c.command_topic])(configs.find(([, c]) => c.unique_id === id)[1]);
  assert.deepEqual([select('quorvane:beta:default:audioSink'), select('quorvane:alpha:app-stream:target')],
    [[['demo-speakers'], 'quorvane/beta/defaults/audioSink/set'], [['default', 'demo-speakers'], 'quorvane/alpha/node/app-stream/target/set']]);

  // A sink that comes gets its device; gone for good, its configs are emptied (after forgetAfterMs).
  const extra = await fixture.add('extra-sink', 'Audio/Sink', 1, 0);
  const extraTopics = () => [...sub.retained.keys()].filter((t) => t.startsWith('homeassistant/') && JSON.parse(sub.retained.get(t)).unique_id.startsWith('quorvane:alpha:extra-sink:'));
  await sub.until(() => extraTopics().length === 1 && sub.retained.has('quorvane/alpha/node/extra-sink'), 5000, 'the new sink');
  const removed = extraTopics();

  // Only what differs goes out, each topic at most maxRate (20) times a second, ending on the last
  // state: a burst of descriptions is coalesced, a storm of a property the state does not show sends nothing.
  const description = (from) => sub.heard.slice(from).filter((m) => m.topic === 'quorvane/alpha/node/extra-sink').map((m) => JSON.parse(m.text).description);
  let from = sub.heard.length;
  const t0 = Date.now();
  for (let i = 0; i < 40; i++) await fixture.setProps(extra.id, { 'node.description': `d${i}` });
  await sub.until(() => description(from).at(-1) === 'd39', 5000, 'the last description');
  assert.ok(description(from).length <= 2 + (Date.now() - t0) / 50, `${description(from).length} messages in ${Date.now() - t0} ms`);
  const quiet = Date.now() + 60; // past the topic's interval: a change now would go out at once
  await waitFor(() => Date.now() > quiet, 1000, 'the interval');
  from = sub.heard.length;
  await fixture.propsStorm(extra.id, 200);
  await fixture.setProps(extra.id, { 'node.description': 'final' });
  await sub.until(() => description(from).includes('final') && sub.heard.slice(from).some((m) => m.topic === removed[0]), 5000, 'the final description');
  assert.deepEqual(description(from), ['final']);
  const sent = sub.heard.slice(from).map((m) => m.topic).filter((t) => /^(quorvane\/alpha\/|homeassistant\/)/.test(t));
  assert.deepEqual(sent.sort(), [...removed, 'quorvane/alpha/node/extra-sink'].sort(), 'only its state and config (the device\'s name)');
  await fixture.remove(extra.id);
  await sub.until(() => !sub.retained.has('quorvane/alpha/node/extra-sink'), 5000, 'the node state emptied');
  await sub.until(() => removed.every((t) => !sub.retained.has(t)), 5000, 'the config emptied');
  assert.ok(sameAsDump('alpha', alphaDaemon.env));
});

test('bad commands (wrong type, unknown node or op, "__proto__", 1 MiB, a flood) are answered with an error and change nothing', { skip }, async () => {
  await sub.until(() => retainedNodes('beta')['demo-speakers'], 15000, 'beta on the broker');
  const before = props(betaDaemon.env, 'demo-speakers');
  const refused = [
    ['quorvane/beta/node/demo-speakers/volume/set', 'loud', /volume must be a number from 0 to/],
    ['quorvane/beta/node/demo-speakers/volume/set', '7', /volume must be a number from 0 to/],
    ['quorvane/beta/node/demo-speakers/mute/set', '"maybe"', /mute must be true or false/],
    ['quorvane/beta/node/no-such-node/volume/set', '0.1', /no node "no-such-node"/],
    ['quorvane/beta/set', JSON.stringify({ op: 'volume', node: 'nowhere', volume: 0.1 }), /no node named "nowhere"/],
    ['quorvane/beta/set', JSON.stringify({ op: 'volume', node: 'demo-speakers', volume: 0.1, extra: 1 }), /unknown option "extra"/],
    ['quorvane/beta/set', JSON.stringify({ op: 'shutdown' }), /unknown op/],
    ['quorvane/beta/set', '{"op":"volume","node":"demo-speakers","volume":0.1,"__proto__":{"polluted":1}}', /may not hold a "__proto__" key/],
    ['quorvane/beta/set', JSON.stringify({ op: 'volume', node: 'demo-speakers', volume: 0.1, pad: 'x'.repeat(1 << 20) }), /at most 65536 bytes/],
    ['quorvane/beta/set', '{"op":', /must be JSON/],
    ['quorvane/beta/rules/set', JSON.stringify({ routes: 5 }), /routes/],
  ];
  for (const [topic, payload, error] of refused) {
    const reply = await ask(topic, payload);
    assert.deepEqual([reply.ok, error.test(reply.error)], [false, true], `${payload.slice(0, 80)}: ${JSON.stringify(reply)}`);
  }
  assert.equal({}.polluted, undefined);
  // A flood: answered "too many" past the bridge's rate, the answers themselves bounded.
  const seen = sub.heard.length;
  for (let i = 0; i < 200; i++) sub.client.publish('quorvane/beta/node/demo-speakers/volume/set', 'loud');
  const answers = () => sub.heard.slice(seen).filter((m) => m.topic === 'quorvane/beta/reply');
  await sub.until(() => answers().some((m) => /too many commands/.test(m.text)), 10000, 'a rate refusal');
  // Once a later command is taken again, every answer to the flood has come (one connection, in order).
  // Past both limits a command goes unanswered, so an ask may time out.
  let later;
  for (let i = 0; i < 50 && !/volume must be/.test(later?.error); i++) later = await ask('quorvane/beta/node/demo-speakers/volume/set', '"loud"', { timeoutMs: 1000 }).catch(() => undefined);
  assert.match(later.error, /volume must be/);
  assert.deepEqual([answers().length < 100, props(betaDaemon.env, 'demo-speakers')], [true, before], `${answers().length} answers to 200 flooded commands`);
  assert.ok(sameAsDump('beta', betaDaemon.env));
});

test('over TLS with a password: the broker\'s certificate checked against the CA given, a wrong password refused at start and never shown, the right one puts the host on', { skip }, async (t) => {
  const secure = await startBroker({ users: { bridge: 'right-pass' }, tls: true });
  let gamma, watcher;
  t.after(async () => (await watcher?.client.endAsync(true), await gamma?.close(), await secure.close()));
  const ca = fs.readFileSync(secure.ca, 'utf8');
  const base = { broker: secure.url, hostName: 'gamma', ca, username: 'bridge', connectTimeoutMs: 10000 };
  await assert.rejects(graph.mqtt({ ...base, password: 'wrong-pass' }), (e) => /refused the bridge: .*(Not authorized|Bad User Name or Password)/i.test(e.message) && !e.message.includes('wrong-pass'));
  await assert.rejects(graph.mqtt({ ...base, ca: undefined, password: 'right-pass' }), /certificate/);
  gamma = await graph.mqtt({ ...base, password: 'right-pass' });
  watcher = await listen(secure.url, ['quorvane/gamma/#'], { ca, username: 'bridge', password: 'right-pass' });
  await watcher.until(() => watcher.retained.get('quorvane/gamma/status') === 'online' && watcher.retained.has('quorvane/gamma/node/demo-speakers'), 10000, 'gamma over TLS');
});

test('the bridge follows its daemon (offline while it is away, the state of the new one after) and the broker (whole again after a restart); killed, the broker says "offline"', { skip }, async () => {
  await sub.until(() => sub.retained.get('quorvane/alpha/status') === 'online' && retainedNodes('alpha')['demo-speakers'], 15000, 'alpha on the broker');
  await fixture.close();
  alphaDaemon.kill();
  await sub.until(() => sub.retained.get('quorvane/alpha/status') === 'offline', 10000, 'alpha offline with its daemon');
  const second = await restartDaemon(alphaDaemon);
  try {
    fixture = new Fixture(alphaDaemon.env);
    await fixture.add('after-restart', 'Audio/Sink', 1, 0);
    await sub.until(() => sub.retained.get('quorvane/alpha/status') === 'online' && sameAsDump('alpha', alphaDaemon.env), 15000, 'alpha\'s new graph');

    // The broker restarted without its retained messages: both bridges publish them again.
    await broker.stop();
    sub.retained.clear();
    await broker.start();
    await sub.until(() => sameAsDump('alpha', alphaDaemon.env) && sameAsDump('beta', betaDaemon.env) &&
      sub.retained.get('quorvane/alpha/status') === 'online' && sub.retained.get('quorvane/beta/status') === 'online', 20000, 'the state whole again');
    assert.ok([...sub.retained.keys()].some((t) => t.startsWith('homeassistant/sensor/')));

    beta.kill('SIGKILL');
    await sub.until(() => sub.retained.get('quorvane/beta/status') === 'offline', 10000, 'the last will');
  } finally {
    await fixture.close();
    second.kill('SIGKILL');
  }
});
