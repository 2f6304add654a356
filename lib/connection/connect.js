'use strict';
// connect(): a Graph handle of its own for each caller, all on the process's
// one connection, which is opened by the first and closed with the last.
// The one place that puts the connection, the Graph and the devices together.
const addon = require('./addon');
const { checkTimeout } = require('../core/arguments');
const { checkOptions } = require('../core/arguments');
const { Connection } = require('./connection');
const { Graph } = require('../graph/graph');
const { releaseOwnedNodes } = require('../features/devices');

let connection = null;

function connect(options) {
  let timeoutMs, reconnect;
  try {
    ({ timeoutMs = 3000, reconnect = false } = checkOptions(options, ['timeoutMs', 'reconnect'], 'connect'));
    checkTimeout(timeoutMs, 'connect');
  } catch (e) {
    return Promise.reject(e);
  }
  if (typeof reconnect !== 'boolean') return Promise.reject(new TypeError('connect: reconnect must be a boolean'));
  if (!connection || connection.state === 'closed') {
    addon.setClientName(addon.clientName()); // the title the script has set by now
    connection = new Connection({
      beforeClose: releaseOwnedNodes, // nodes made without linger go with the last handle
      onEnd: (ended) => {
        if (connection === ended) connection = null;
      },
    });
  }
  return new Graph(connection, { reconnect }).start(timeoutMs);
}

module.exports = { connect };
