'use strict';
// A desktop-like graph of medium size for the pictures: devices, applications, recorders, a filter, and two
// virtual devices made by the Graph, linked the way a session manager and a user would link them.
const { Fixture, waitFor } = require('./fixture');

const ST = 'FL,FR';

async function buildScene(fixture, graph) {
  const add = (...spec) => fixture.add(...spec);
  const n = {
    mic: await add('alsa_input.usb-headset-mic', 'Audio/Source', 0, ST), webcam: await add('alsa_input.webcam-mic', 'Audio/Source', 0, 'MONO'),
    speakers: await add('alsa_output.pci-speakers', 'Audio/Sink', ST, 0), headset: await add('alsa_output.usb-headset', 'Audio/Sink', ST, 0),
    hdmi: await add('alsa_output.hdmi-surround', 'Audio/Sink', 'FL,FR,FC,LFE,RL,RR', 0),
    firefox: await add('Firefox', 'Stream/Output/Audio', 0, ST), spotify: await add('Spotify', 'Stream/Output/Audio', 0, ST),
    mpv: await add('mpv', 'Stream/Output/Audio', 0, ST), game: await add('game', 'Stream/Output/Audio', 0, ST),
    voice: await add('Discord voice', 'Stream/Output/Audio', 0, ST),
    eq: await add('equalizer', 'Audio/Sink', ST, ST), echo: await add('echo-cancel', 'Audio/Source', ST, ST),
    obs: await add('OBS', 'Stream/Input/Audio', ST, 0), zoom: await add('Zoom', 'Stream/Input/Audio', ST, 0),
    discordIn: await add('Discord input', 'Stream/Input/Audio', 'MONO', 0), arecord: await add('arecord', 'Stream/Input/Audio', ST, 0),
  };
  const mix = await graph.createNode({ name: 'stream-mix', description: 'Stream mix' });
  const vmic = await graph.createNode({ name: 'virtual-mic', mediaClass: 'Audio/Source/Virtual' });
  const portsOf = (id, dir) => graph.ports().filter((p) => p.nodeId === id && p.direction === dir).map((p) => p.id);
  const ins = (x) => (x.inputs ?? portsOf(x.id, 1));
  const outs = (x) => (x.outputs ?? portsOf(x.id, 0));
  const pairs = [];
  const link = (from, to) => {
    const [o, i] = [outs(from), ins(to)];
    // Channel by channel; a single port goes to (or from) every one.
    const count = o.length === 1 || i.length === 1 ? Math.max(o.length, i.length) : Math.min(o.length, i.length);
    for (let k = 0; k < count; k++) pairs.push([o[Math.min(k, o.length - 1)], i[Math.min(k, i.length - 1)]]);
  };
  // Who plays into what, "from>to" by the names above.
  const routes = 'firefox>eq spotify>eq eq>speakers mpv>hdmi game>headset voice>headset mic>echo echo>zoom webcam>discordIn mic>arecord spotify>mix mic>mix mix>vmic vmic>obs';
  const all = { ...n, mix, vmic };
  for (const [from, to] of routes.split(' ').map((r) => r.split('>'))) link(all[from], all[to]);
  await fixture.link(pairs);
  await waitFor(() => graph.links().length >= pairs.length, 5000, 'the scene links in the mirror');
  return { nodes: n, mix, vmic, links: pairs.length };
}

// For the scripts that draw it: `draw(graph, scene)` on the scene in a private daemon,
// everything closed after; a failure is printed and ends the process.
function drawScene(draw) {
  const daemon = require('./daemon').startDaemon({ objects: [] });
  const fixture = new Fixture();
  let graph;
  (async () => {
    graph = await require('../..').connect();
    await draw(graph, await buildScene(fixture, graph));
  })().finally(async () => (await graph?.close(), await fixture.close(), daemon.stop()))
    .catch((e) => (console.error(e), process.exit(1)));
}

module.exports = { buildScene, drawScene };
