'use strict';
// Loading the add-on: the export table, and nothing started at load time.
const test = require('node:test');
const assert = require('node:assert/strict');
const fs = require('node:fs');

const threadsBefore = fs.readdirSync('/proc/self/task').length;
const q = require('./helpers/addon');

test('exports exactly the nineteen functions, in table order', () => {
  assert.deepEqual(Object.keys(q), [
    'createPwThread', 'destroyPwThread', 'getNodes', 'getPorts', 'getLinks',
    'getOutputNodes', 'getInputNodes', 'getInputNodesName', 'getOutputNodesName',
    'linkPorts', 'unlinkPorts', 'linkNodesNameToId', 'unlinkNodesNameToId',
    'waitForNewNode', 'getLinkFormat', 'getLinkStats', 'getLinkState', 'on', 'off',
  ]);
  for (const fn of Object.values(q)) assert.equal(typeof fn, 'function');
});

test('loading starts no thread and connects to nothing', () => {
  assert.equal(fs.readdirSync('/proc/self/task').length, threadsBefore);
  assert.deepEqual(q.getNodes(), []);
});
