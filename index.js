'use strict';
// Entry point: the nineteen functions of the add-on, in their order, then the
// asynchronous API. Every name is assigned on its own line, so that Node.js
// finds them for ES module named imports too.
const addon = require('./lib/connection/addon');
const { connect: connectGraph } = require('./lib/graph/connect');

exports.createPwThread = addon.createPwThread;
exports.destroyPwThread = addon.destroyPwThread;
exports.getNodes = addon.getNodes;
exports.getPorts = addon.getPorts;
exports.getLinks = addon.getLinks;
exports.getOutputNodes = addon.getOutputNodes;
exports.getInputNodes = addon.getInputNodes;
exports.getInputNodesName = addon.getInputNodesName;
exports.getOutputNodesName = addon.getOutputNodesName;
exports.linkPorts = addon.linkPorts;
exports.unlinkPorts = addon.unlinkPorts;
exports.linkNodesNameToId = addon.linkNodesNameToId;
exports.unlinkNodesNameToId = addon.unlinkNodesNameToId;
exports.waitForNewNode = addon.waitForNewNode;
exports.getLinkFormat = addon.getLinkFormat;
exports.getLinkStats = addon.getLinkStats;
exports.getLinkState = addon.getLinkState;
exports.on = addon.on;
exports.off = addon.off;
// The Graph lends the faces above it: graph.mqtt() is the MQTT bridge, loaded with the first.
const FACES = { mqtt: (graph, options) => require('./lib/mqtt/bridge').bridge(graph, options) };
exports.connect = function connect(options) {
  return connectGraph(options, { faces: FACES });
};
