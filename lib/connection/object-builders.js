'use strict';
// The functions the add-on makes its listings' objects with, handed to it once
// when it loads (lib/connection/addon.js). Object literals over columns cost
// V8 a fraction of defining each property through the C++ API, and every
// object gets its properties in the listed order.
//
// Each lister fills `out`, an array whose `out.length` elements already
// exist, from `u` (a Uint32Array of the records' numbers, a fixed number a
// record) and arrays of texts, one element a record. They read no globals and
// call no methods, and they store only into elements that exist, so nothing a
// script changed (a setter on Array.prototype, a replaced global) runs inside
// a listing. The variants "WithInfo" are the Graph's: the same object with
// `props` and the live info last.

// u: id, version, input ports, output ports, is input, is output.
function nodes(out, u, names, types) {
  for (let i = 0; i < out.length; i++) {
    const j = i * 6;
    out[i] = { id: u[j], name: names[i], type: types[i], version: u[j + 1], inputPorts: u[j + 2], outputPorts: u[j + 3], isInput: (u[j + 4] & 1) === 1, isOutput: (u[j + 5] & 1) === 1 };
  }
}

function nodesWithInfo(out, u, names, types, states, errors, props) {
  for (let i = 0; i < out.length; i++) {
    const j = i * 6;
    out[i] = { id: u[j], name: names[i], type: types[i], version: u[j + 1], inputPorts: u[j + 2], outputPorts: u[j + 3], isInput: (u[j + 4] & 1) === 1, isOutput: (u[j + 5] & 1) === 1, props: props[i], state: states[i], error: errors[i] };
  }
}

// u: id, node id, direction, port type.
function ports(out, u, names) {
  for (let i = 0; i < out.length; i++) {
    const j = i * 4;
    out[i] = { id: u[j], nodeId: u[j + 1], name: names[i], direction: u[j + 2], portType: u[j + 3] };
  }
}

// types: what the port carries ('audio', 'midi', 'video', 'control'), or null.
function portsWithInfo(out, u, names, formats, types, props) {
  for (let i = 0; i < out.length; i++) {
    const j = i * 4;
    out[i] = { id: u[j], nodeId: u[j + 1], name: names[i], direction: u[j + 2], portType: u[j + 3], type: types[i], props: props[i], format: formats[i] };
  }
}

// u: id, output node, output port, input node, input port.
function links(out, u, srcNames, sinkNames, formats) {
  for (let i = 0; i < out.length; i++) {
    const j = i * 5;
    out[i] = { id: u[j], srcNodeId: u[j + 1], srcPortId: u[j + 2], sinkNodeId: u[j + 3], sinkPortId: u[j + 4], srcNodeName: srcNames[i], sinkNodeName: sinkNames[i], format: formats[i] };
  }
}

// latencies: the output port's output latency, or null.
function linksWithInfo(out, u, srcNames, sinkNames, formats, states, errors, latencies, props) {
  for (let i = 0; i < out.length; i++) {
    const j = i * 5;
    out[i] = { id: u[j], srcNodeId: u[j + 1], srcPortId: u[j + 2], sinkNodeId: u[j + 3], sinkPortId: u[j + 4], srcNodeName: srcNames[i], sinkNodeName: sinkNames[i], format: formats[i], props: props[i], state: states[i], error: errors[i], latency: latencies[i] };
  }
}

// A negotiated format, as ports, links and their events carry it.
function format(mediaType, mediaSubtype, sampleFormat, rate, channels, positions) {
  return { mediaType, mediaSubtype, sampleFormat, rate, channels, positions };
}

// The records of the Graph's created and changed events, one a call: the
// listings' objects with `props` and the live info. A node's volume and
// mute, where its Props carry them, come last; `channelVolumes` is null for
// a node without a volume, and `mute` null for one without mute. Object
// literals only: an assignment would run a setter a script put on
// Object.prototype.
function nodeEvent(id, name, type, version, inputPorts, outputPorts, isInput, isOutput, props, state, error, volume, channelVolumes, mute) {
  if (channelVolumes === null) {
    if (mute === null) return { id, name, type, version, inputPorts, outputPorts, isInput, isOutput, props, state, error };
    return { id, name, type, version, inputPorts, outputPorts, isInput, isOutput, props, state, error, mute };
  }
  if (mute === null) return { id, name, type, version, inputPorts, outputPorts, isInput, isOutput, props, state, error, volume, channelVolumes };
  return { id, name, type, version, inputPorts, outputPorts, isInput, isOutput, props, state, error, volume, channelVolumes, mute };
}

function portEvent(id, nodeId, name, direction, portType, type, props, format) {
  return { id, nodeId, name, direction, portType, type, props, format };
}

function linkEvent(id, srcNodeId, srcPortId, sinkNodeId, sinkPortId, props, state, error, format) {
  return { id, srcNodeId, srcPortId, sinkNodeId, sinkPortId, props, state, error, format };
}

// In the order the add-on takes them.
module.exports = [nodes, ports, links, nodesWithInfo, portsWithInfo, linksWithInfo, format, nodeEvent, portEvent, linkEvent];
