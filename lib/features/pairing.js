'use strict';
// Which output port goes to which input port when two nodes are linked.

const channelOf = (port) => port.props?.['audio.channel'];

// The port types, in the order pairs are made and shown.
const PORT_TYPES = ['audio', 'midi', 'video', 'control'];
const TYPE_LABEL = { audio: 'audio', midi: 'MIDI', video: 'video', control: 'control' };

// portType(port, node) → 'audio', 'midi', 'video' or 'control': what the
// port says it carries (its `type`, from "format.dsp" or its format), else
// what its node's media class says ("Audio/Sink", "Video/Source",
// "Midi/Bridge"); null when neither tells.
function portType(port, node) {
  if (port.type) return port.type;
  const mediaClass = node?.type || node?.props?.['media.class'] || '';
  if (/Audio/.test(mediaClass)) return 'audio';
  if (/Video/.test(mediaClass)) return 'video';
  if (/Midi/.test(mediaClass)) return 'midi';
  return null;
}

// Port order: the first output to the first input, and so on.
function positional(outputs, inputs) {
  const n = Math.min(outputs.length, inputs.length);
  const pairs = [];
  for (let i = 0; i < n; i++) pairs.push([outputs[i], inputs[i]]);
  return pairs;
}

// A side that is one audio port of no channel but MONO (a JACK client's
// mono output carries no "audio.channel" at all).
const mono = (ports) => ports.length === 1 && (channelOf(ports[0]) === undefined || channelOf(ports[0]) === 'MONO');

// Audio ports: by "audio.channel" (FL to FL, FR to FR, ...); a side that is
// one mono port links to every port of the other (a mono output to each
// channel of a stereo input, as PipeWire's session managers link them);
// where no channel pairs up (channels missing or all different), by port
// order among the audio ports. 'positional': by port order alone.
function pairAudio(outputs, inputs, mode) {
  if (mode === 'positional') return positional(outputs, inputs);
  if (mono(outputs)) return inputs.map((inp) => [outputs[0], inp]);
  if (mono(inputs)) return outputs.map((out) => [out, inputs[0]]);
  const byChannel = new Map();
  for (const inp of inputs) {
    const ch = channelOf(inp);
    if (ch !== undefined && !byChannel.has(ch)) byChannel.set(ch, inp);
  }
  const pairs = [];
  for (const out of outputs) {
    const ch = channelOf(out);
    if (ch !== undefined && byChannel.has(ch)) pairs.push([out, byChannel.get(ch)]);
  }
  return pairs.length > 0 ? pairs : positional(outputs, inputs);
}

// byType(ports, node) → Map of port type to the ports of that type, in
// order; a port nothing tells the type of counts as audio (PipeWire's
// default media: an adapter's ports before their format is set).
function byType(ports, node) {
  const groups = new Map();
  for (const p of ports) {
    const type = portType(p, node) ?? 'audio';
    (groups.get(type) ?? groups.set(type, []).get(type)).push(p);
  }
  return groups;
}

// pairPorts(outputs, inputs, mode, { source, sink }) → [output, input]
// pairs: the one pairing of two nodes' ports every entry point uses
// (linkNodes, the command line, the web page, MQTT, link rules and the
// patchbay). A port pairs only with a port of its type (portType; `source`
// and `sink`, the nodes, tell the type of ports that do not say it): audio
// by channel, then by order among the audio ports (pairAudio); MIDI, video
// and control ports by order among the ports of their type. Mode 'auto'
// (the default) or 'positional' (a link rule's choice: audio by port order
// too). Ports with no partner of their type are left out
// (unpairedPorts tells them).
function pairPorts(outputs, inputs, mode = 'auto', { source, sink } = {}) {
  if (outputs.length === 0 || inputs.length === 0) return [];
  const outs = byType(outputs, source);
  const ins = byType(inputs, sink);
  const pairs = [];
  for (const [type, o] of outs) {
    const i = ins.get(type);
    if (!i) continue;
    pairs.push(...(type === 'audio' ? pairAudio(o, i, mode) : positional(o, i)));
  }
  return pairs;
}

// unpairedPorts(outputs, pairs, { source }) → [{ port, type }]: the outputs
// no pair takes, with their type, so that a caller can say why ("no MIDI
// input"). Inputs left free are no one's concern: a sink takes what comes.
function unpairedPorts(outputs, pairs, { source } = {}) {
  const taken = new Set(pairs.map(([o]) => o.id));
  return outputs.filter((p) => !taken.has(p.id)).map((p) => ({ port: p, type: portType(p, source) ?? 'audio' }));
}

// typesText(ports, node) → the types of `ports` in words: "MIDI", "audio
// and MIDI".
function typesText(ports, node) {
  const types = new Set(ports.map((p) => portType(p, node) ?? 'audio'));
  return PORT_TYPES.filter((t) => types.has(t)).map((t) => TYPE_LABEL[t]).join(' and ');
}

// Pairs named by the caller: [output, input] port names, else "port.alias"es
// (as qpwgraph names ports), else "audio.channel"s. A pair whose ports are
// not both there yet is left out.
function pairByNames(outputs, inputs, names) {
  const find = (ports, n) =>
    ports.find((p) => p.name === n) ?? ports.find((p) => p.props?.['port.alias'] === n) ?? ports.find((p) => channelOf(p) === n);
  const pairs = [];
  for (const [o, i] of names) {
    const out = find(outputs, o);
    const inp = find(inputs, i);
    if (out && inp) pairs.push([out, inp]);
  }
  return pairs;
}

module.exports = { pairPorts, pairByNames, unpairedPorts, portType, typesText, PORT_TYPES, TYPE_LABEL };
