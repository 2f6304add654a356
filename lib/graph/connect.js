'use strict';
// connect(): a Graph handle of its own for each caller, all on the process's
// one connection, which is opened by the first and closed with the last.
// The one place that puts the connection, the Graph and the virtual nodes together.
const addon = require('../connection/addon');
const { checkOptions, checkTimeout, checkBoolean } = require('../core/arguments');
const { Connection } = require('../connection/connection');
const { Graph } = require('./graph');
const { releaseOwnedNodes } = require('../features/virtual-nodes');

let connection = null;

// connect(options, { faces }): `faces` are what the package's entry point
// lends every Graph from the layers above it (graph.mqtt()).
function connect(options, { faces = {} } = {}) {
  let timeoutMs, reconnect;
  try {
    ({ timeoutMs = 3000, reconnect = false } = checkOptions(options, ['timeoutMs', 'reconnect'], 'connect'));
    checkTimeout(timeoutMs, 'connect');
    checkBoolean(reconnect, 'connect', 'reconnect');
  } catch (e) {
    return Promise.reject(e);
  }
  if (!connection || connection.state === 'closed') {
    addon.setClientName(addon.clientName()); // the title the script has set by now
    connection = new Connection({
      beforeClose: releaseOwnedNodes, // nodes made without linger go with the last handle
      onEnd: (ended) => {
        if (connection === ended) connection = null;
      },
    });
  }
  return new Graph(connection, { reconnect, faces }).start(timeoutMs);
}

module.exports = { connect };
