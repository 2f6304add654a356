'use strict';
// connect(): the one Graph of the process, opened on first use.
const addon = require('./addon');
const { Graph } = require('./graph');

let current = null; // the open Graph, and the Promise of its first connect
let currentReady = null;

function connect(options = {}) {
  if (options === null || typeof options !== 'object') {
    return Promise.reject(new TypeError('connect: options must be an object'));
  }
  const { timeoutMs = 3000, reconnect = false } = options;
  if (typeof timeoutMs !== 'number' || !(timeoutMs > 0)) {
    return Promise.reject(new TypeError('connect: timeoutMs must be a positive number'));
  }
  if (typeof reconnect !== 'boolean') return Promise.reject(new TypeError('connect: reconnect must be a boolean'));
  // While a Graph is open, every connect() answers with it.
  if (current) return currentReady;
  addon.setClientName(addon.clientName()); // the title the script has set by now
  const graph = new Graph({ reconnect }, (closed) => {
    if (current === closed) current = currentReady = null;
  });
  current = graph;
  currentReady = graph.start(timeoutMs);
  return currentReady;
}

module.exports = { connect };
