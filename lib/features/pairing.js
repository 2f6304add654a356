'use strict';
// Which output port goes to which input port when two nodes are linked.

const channelOf = (port) => port.props?.['audio.channel'];

// Port order: the first output to the first input, and so on (the pairing
// of linkNodesNameToId).
function positional(outputs, inputs) {
  const n = Math.min(outputs.length, inputs.length);
  const pairs = [];
  for (let i = 0; i < n; i++) pairs.push([outputs[i], inputs[i]]);
  return pairs;
}

// pairPorts(outputs, inputs, mode) → [output, input] pairs: the one pairing
// of two nodes' ports every entry point uses (linkNodes, the command line,
// the web page, MQTT, link rules and the patchbay). 'auto' (the default): by
// "audio.channel" (FL to FL, FR to FR, ...); a side that is one MONO port
// links to every port of the other; where no channel pairs up (channels
// missing or all different), by port order. 'positional' (a link rule's
// choice): by port order alone.
function pairPorts(outputs, inputs, mode = 'auto') {
  if (outputs.length === 0 || inputs.length === 0) return [];
  if (mode === 'positional') return positional(outputs, inputs);
  const mono = (ports) => ports.length === 1 && channelOf(ports[0]) === 'MONO';
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

module.exports = { pairPorts, pairByNames };
