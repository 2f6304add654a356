'use strict';
// JACK clients, as a studio runs them under PipeWire (pw-jack): linked by the names JACK applications show,
// port types respected, nodes without a media class judged by their ports, links kept as clients come and go.
const test = require('node:test');
const assert = require('node:assert/strict');
const fs = require('node:fs');
const path = require('node:path');
const { privateDaemon } = require('./helpers/setup');
const { waitFor, linksFrom, sorted } = require('./helpers/fixture');
const { cli, startScript, CLI } = require('./helpers/child');
const { scratch } = require('./helpers/cli');
const { missing, jackClient, jackClientLater, jackExample } = require('./helpers/jack');

const skip = missing();
let graph;
// The clients are set up once the Graph is connected (in its hook: a file's own test.before does not wait for it).
const { daemon, fixture } = privateDaemon({}, { graph: (g) => ((graph = g), setUp()) });
const started = [];
test.after(() => Promise.all(started.map((c) => c.stop())));

// A client started by `start` (a JACK client of the tests, or one of JACK's examples), with the node
// PipeWire made for it named `name` (not there before: ids come round again at once, serials do not),
// once its `count` ports are there (the fixture's: as many as it said).
const serial = (n) => n.props['object.serial'];
async function withNode(name, start, count) {
  const known = new Set(graph.nodes().filter((n) => n.name === name).map(serial));
  const c = await start();
  started.push(c);
  const fits = (n) => n.name === name && !known.has(serial(n)) && portsOf(n.id).length === (count ?? c.ports);
  c.node = await waitFor(() => graph.nodes().find(fits), 10000, `the node of JACK client ${name}`);
  return c;
}
const client = (name, ...ports) => withNode(name, () => jackClient(daemon.env, name, ...ports));
const example = (name, count, ...command) => withNode(name, () => jackExample(daemon.env, ...command), count);
// The tool, run until stopped (at the end, whatever happened).
function tool(...args) {
  const run = startScript(CLI, args);
  started.push({ stop: () => (run.child.exitCode === null && run.child.signalCode === null ? run.stop() : null) });
  return run;
}
const portsOf = (nodeId) => graph.ports().filter((p) => p.nodeId === nodeId);
const port = (node, name) => portsOf(node.id).find((p) => p.name === name).id;
const outputsOf = (node) => portsOf(node.id).filter((p) => p.direction === 0).map((p) => p.id);
const linked = (node) => linksFrom(outputsOf(node), daemon.env);

let studio, daw, synth; // studio: a sound card's sink, "Studio Out" to JACK applications (its description)
async function setUp() {
  if (skip) return;
  studio = await fixture.add('alsa_output.studio', 'Audio/Sink;node.description=Studio Out;node.nick=Studio', 'FL,FR', 0);
  // A DAW's outputs and a synth's inputs, MIDI listed first among the synth's: by port order alone, audio would go to MIDI.
  daw = await client('DAW Out', 'out:audio:out_L', 'out:audio:out_R', 'out:midi:midi_out');
  synth = await client('Synth', 'in:midi:midi_in', 'in:audio:in_L', 'in:audio:in_R');
}


test('two nodes link port to port of one type (audio by channel, then order; a mono output to every channel; MIDI to MIDI), from the Graph and the tool; what pairs with nothing is said', { skip }, async () => {
  const [outL, outR, midiOut] = ['out_L', 'out_R', 'midi_out'].map((n) => port(daw.node, n));
  const [midiIn, inL, inR] = ['midi_in', 'in_L', 'in_R'].map((n) => port(synth.node, n));
  const [fl, fr] = studio.inputs;

  await graph.linkNodes('DAW Out', 'Synth');
  assert.deepEqual(linked(daw.node), sorted([[outL, inL], [outR, inR], [midiOut, midiIn]]));
  await graph.unlinkNodes('DAW Out', 'Synth');

  // To a sound card by the name JACK shows it by: audio by channel; the MIDI output has no partner there.
  const r = cli('link', '--from', 'DAW Out', '--to', 'Studio Out', '--linger');
  assert.equal(r.status, 0, r.stderr);
  assert.match(r.stderr, /not linked DAW Out:midi_out: no MIDI input on the other node pairs with it/);
  assert.deepEqual(linked(daw.node), sorted([[outL, fl], [outR, fr]]));
  assert.equal(cli('unlink', '--from', 'DAW Out', '--to', 'Studio Out').status, 0);

  // jack_midisine's one audio output (no channel) to both channels; jack_midiseq's MIDI to a sink: nothing pairs.
  const sine = await example('midisine', 2, 'jack_midisine');
  const seq = await example('seq', 1, 'jack_midiseq', 'seq', '24000', '0', '60', '8000');
  assert.equal(cli('link', '--from', 'midisine', '--to', 'Studio Out', '--linger').status, 0);
  assert.deepEqual(linked(sine.node), sorted([[port(sine.node, 'audio_out'), fl], [port(sine.node, 'audio_out'), fr]]));
  const none = cli('link', '--from', 'seq', '--to', 'Studio Out');
  assert.deepEqual([none.status, linked(seq.node)], [1, []]);
  assert.match(none.stderr, /no port of node "seq" has a partner of its type on node "alsa_output\.studio": MIDI outputs, audio inputs/);
  await assert.rejects(graph.linkNodes('seq', studio.id), { code: 'EINVAL' });
  assert.equal(cli('unlink', '--from', 'midisine', '--to', 'Studio Out').status, 0);

  // A held link the daemon fails (a MIDI port to an audio one, named by hand) ends the tool with 1.
  const [keys, rec] = [await fixture.add('jk-keys', 'Midi/Source', 0, 1, '8 bit raw midi'), await fixture.add('jk-rec', 'Stream/Input/Audio', 1, 0)];
  const held = tool('link', 'jk-keys:out_1', 'jk-rec:in_1');
  assert.equal((await held.exited).code, 1, held.out + held.err);
  assert.match(held.err, /(link \d+ failed|refused jk-keys:out_1 -> jk-rec:in_1): \S/);
  await waitFor(() => linksFrom(keys.outputs, daemon.env).length === 0, 5000, 'the failed link gone');
  await fixture.remove(keys.id, rec.id);

  const many = await client('Many Out', 'out:audio:out_%d*64');
  const into = await client('Many In', 'in:audio:in_%d*64');
  await graph.linkNodes('Many Out', 'Many In');
  assert.deepEqual(linked(many.node), sorted(Array.from({ length: 64 }, (_, i) => [port(many.node, `out_${i + 1}`), port(into.node, `in_${i + 1}`)])));
  await Promise.all([many.stop(), into.stop()]);
});

test('names as JACK shows them: descriptions, aliases, ports holding ":", and "NAME-ID" for one of two clients of one name, which alone is refused with both', { skip }, async () => {
  const a2j = await client('a2j', 'out:midi:Midi Through [14] (capture): Midi Through Port-0');
  const capture = 'a2j:Midi Through [14] (capture): Midi Through Port-0';
  // A port name holding ":" and a port named by its node's description, from the tool (pw-link's words).
  for (const [out, inp, want] of [[capture, 'Synth:midi_in', [port(a2j.node, 'Midi Through [14] (capture): Midi Through Port-0'), port(synth.node, 'midi_in')]],
    ['DAW Out:out_R', 'Studio Out:in_FL', [port(daw.node, 'out_R'), studio.inputs[0]]], ['DAW Out:out_L', 'Studio:in_FR', [port(daw.node, 'out_L'), studio.inputs[1]]]]) {
    const made = cli('link', out, inp, '--linger');
    assert.equal(made.status, 0, made.stderr);
    assert.deepEqual(linksFrom([want[0]], daemon.env), [want], `${out} -> ${inp}`);
    const gone = cli('unlink', out, inp);
    assert.deepEqual([gone.status, linksFrom([want[0]], daemon.env)], [0, []], gone.stderr);
  }

  // A second client named "Synth": JACK tells it apart as "Synth-ID"; the name alone is refused, naming both ways.
  const other = await client('Synth', 'in:midi:midi_in', 'in:audio:in_L', 'in:audio:in_R');
  const refused = cli('link', 'DAW Out:midi_out', 'Synth:midi_in');
  assert.equal(refused.status, 1);
  assert.match(refused.stderr, new RegExp(`2 ports are named "Synth:midi_in" .*"Synth-${synth.node.id}:midi_in", "Synth-${other.node.id}:midi_in"`));
  await assert.rejects(graph.linkNodes('DAW Out', 'Synth'), { code: 'ENOTUNIQ', message: new RegExp(`"Synth-${other.node.id}"`) });
  assert.equal(cli('link', 'DAW Out:midi_out', `Synth-${other.node.id}:midi_in`, '--linger').status, 0);
  await graph.linkNodes('DAW Out', `Synth-${other.node.id}`);
  assert.deepEqual(linked(daw.node), sorted([['out_L', 'in_L'], ['out_R', 'in_R'], ['midi_out', 'midi_in']].map(([o, i]) => [port(daw.node, o), port(other.node, i)])));
  await graph.unlinkNodes('DAW Out', other.node);
  await Promise.all([other.stop(), a2j.stop()]);
});

test('ports are listed with their type; a node without a media class is judged by its ports in direction filters and waits', { skip }, async () => {
  assert.deepEqual([daw.node.type, synth.node.type], ['', '']); // JACK clients' nodes have no media class
  assert.deepEqual(portsOf(daw.node.id).map((p) => [p.name, p.type]), [['out_L', 'audio'], ['out_R', 'audio'], ['midi_out', 'midi']]);
  const listed = JSON.parse(cli('ports', '--node', 'DAW Out', '--json').stdout);
  assert.deepEqual(listed.map((p) => [p.name, p.type]), [['out_L', 'audio'], ['out_R', 'audio'], ['midi_out', 'midi']]);
  assert.match(cli('ports', '--node', 'Synth').stdout, /Synth:midi_in\s+in\s+midi/);

  const names = (...args) => JSON.parse(cli('nodes', '--json', ...args).stdout).map((n) => n.name);
  const [gives, takes, input, output] = [['--direction', 'out'], ['--direction', 'in'], ['--input'], ['--output']].map((a) => names(...a));
  assert.deepEqual([gives.includes('DAW Out'), gives.includes('Synth'), takes.includes('Synth'), takes.includes('DAW Out')], [true, false, true, false]);
  assert.deepEqual([input.includes('Synth'), input.includes('DAW Out'), output.includes('DAW Out'), output.includes('Synth')], [true, false, true, false]);

  // Waits for a client whose node is there before its ports: the ports, when they come, tell its direction.
  const opened = await jackClientLater(daemon.env, 'late', 'out:midi:out');
  started.push(opened);
  const node = await waitFor(() => graph.nodes().find((n) => n.name === 'late'), 10000, 'the node of the client');
  const waits = [['out', 'wait', 'late', '--direction', 'out', '--timeout', '10000'], ['in', 'wait', 'late', '--direction', 'in', '--timeout', '1500']];
  const tools = waits.map(([, ...args]) => tool(...args));
  const [toOut, toIn] = waits.map(([direction]) => graph.waitForNode('late', { direction, timeoutMs: 1500 }));
  assert.deepEqual(portsOf(node.id), []);
  await opened.go();
  assert.equal((await toOut).id, node.id);
  await assert.rejects(toIn, /did not appear within 1500 ms/);
  const [out, into] = await Promise.all(tools.map((t) => t.exited.then((end) => [end.code, t.out.trim()])));
  assert.deepEqual([out, into], [[0, String(node.id)], [1, '']]);
});

test('patchbay rules by the names JACK shows: --dry-run pairs by type and says why a rule links nothing; a restarted client is linked again, by the patchbay and by a held link --reconnect', { skip }, async () => {
  const file = path.join(scratch('quorvane-jack-'), 'studio.json');
  const rules = { routes: [{ from: 'DAW Out', to: 'Studio Out' }, { from: 'DAW Out', to: 'studio out' }, { from: 'Synth', to: 'Studio Out' }, { from: 'seq', to: 'Studio Out' }] };
  fs.writeFileSync(file, JSON.stringify(rules));
  const dry = cli('patchbay', file, '--dry-run');
  assert.equal(dry.status, 0, dry.stderr);
  assert.deepEqual(dry.stdout.trim().split('\n'), [
    'would link DAW Out:out_L -> alsa_output.studio:in_FL (routes[0])',
    'would link DAW Out:out_R -> alsa_output.studio:in_FR (routes[0])',
    `cannot link DAW Out -> studio out: no node has the name, JACK name, description or nick "studio out"; "Studio Out" (node ${studio.id}) differs in case or spacing ("to") (routes[1])`,
    'cannot link Synth -> Studio Out: "Synth" has no output ports ("from") (routes[2])',
    'cannot link seq -> alsa_output.studio: no port pairs up by type: "seq" has MIDI outputs, "alsa_output.studio" audio inputs (routes[3])',
  ]);
  rules.routes.pop();
  fs.writeFileSync(file, JSON.stringify(rules));

  // Applied: the DAW's audio goes to the card; the DAW quits and comes back, and is linked again.
  const bay = tool('patchbay', file);
  await waitFor(() => linked(daw.node).length === 2, 10000, () => `the patchbay's links: ${bay.out}${bay.err}`);
  // And a held link from the DAW to the synth, made again when the DAW comes back.
  const held = tool('link', '--from', 'DAW Out', '--to', 'Synth', '--reconnect');
  await waitFor(() => /holding 3 link/.test(held.out), 10000, () => `the held links: ${held.out}${held.err}`);
  await daw.stop();
  daw = await client('DAW Out', 'out:audio:out_L', 'out:audio:out_R', 'out:midi:midi_out');
  const [outL, outR, midiOut] = ['out_L', 'out_R', 'midi_out'].map((n) => port(daw.node, n));
  const want = sorted([[outL, studio.inputs[0]], [outR, studio.inputs[1]], [outL, port(synth.node, 'in_L')], [outR, port(synth.node, 'in_R')], [midiOut, port(synth.node, 'midi_in')]]);
  await waitFor(() => linked(daw.node).length === 5, 10000, () => `the links again: ${JSON.stringify(linked(daw.node))}; ${held.out}${held.err}`);
  assert.deepEqual(linked(daw.node), want);
  // Each removes its own at the end.
  assert.deepEqual(await held.stop(), { code: 0, signal: null }, held.err);
  assert.deepEqual(await bay.stop(), { code: 0, signal: null }, bay.err);
  assert.deepEqual(linked(daw.node), []);
});
