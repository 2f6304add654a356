'use strict';
// Loading the add-on: the export table, and nothing started at load time.
const test = require('node:test');
const assert = require('node:assert/strict');
const fs = require('node:fs');

const threadsBefore = fs.readdirSync('/proc/self/task').length;
const q = require('./helpers/addon');

const NINETEEN = [
  'createPwThread', 'destroyPwThread', 'getNodes', 'getPorts', 'getLinks',
  'getOutputNodes', 'getInputNodes', 'getInputNodesName', 'getOutputNodesName',
  'linkPorts', 'unlinkPorts', 'linkNodesNameToId', 'unlinkNodesNameToId',
  'waitForNewNode', 'getLinkFormat', 'getLinkStats', 'getLinkState', 'on', 'off',
];

test('the add-on exports the nineteen functions first, in table order; the package adds connect', () => {
  assert.deepEqual(Object.keys(q).slice(0, 19), NINETEEN);
  for (const fn of Object.values(q)) assert.equal(typeof fn, 'function');
  const pkg = require('..');
  assert.deepEqual(Object.keys(pkg), [...NINETEEN, 'connect']);
  for (const name of NINETEEN) assert.equal(pkg[name], q[name]);
});

test('loading starts no thread and connects to nothing', () => {
  assert.equal(fs.readdirSync('/proc/self/task').length, threadsBefore);
  assert.deepEqual(q.getNodes(), []);
});
