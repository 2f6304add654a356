'use strict';
// The shared object is the module: required alone it serves the nineteen functions and their events as a
// script written to their contract expects, and makes the same objects with or without the loader's builders.
const test = require('node:test');
const assert = require('node:assert/strict');
const path = require('node:path');
const { privateDaemon } = require('./helpers/setup');
const { checkNineteen } = require('./helpers/nineteen');
const { runChild } = require('./helpers/child');
const { file } = require('./helpers/addon'); // the binary this run tests (a source build, or the prebuilt one)

const { daemon } = privateDaemon({ setEnv: false });

test('required alone, the shared object serves the nineteen and the four events', () => checkNineteen(file, daemon.env));

test('the objects are the same with and without the loader\'s builders; a listing narrowed to a node lists it alone', async () => {
  // Every listing, the Graph's with their properties and formats too, over nodes, ports and a link.
  const r = await runChild(`
    const q = require(${JSON.stringify(file)});
    // Keys in order, values as they are; a state the daemon may change between listings (a node suspended,
    // then running; a link's info on its way, then there; a port's format, set as its link negotiates) and
    // the properties with it: by key only.
    const LIVE = new Set(['state', 'error', 'props', 'format']);
    const deep = (v) => Array.isArray(v) ? v.map(deep) : v !== null && typeof v === 'object' ? Object.entries(v).map(([k, x]) => [k, LIVE.has(k) ? 'live' : deep(x)]) : v;
    const all = () => deep([q.getNodes(), q.getPorts(), q.getLinks(), q.graphNodes(), q.graphPorts(), q.graphLinks()]);
    q.createPwThread();
    q.linkNodesNameToId('demo-microphone', q.getNodes().find((n) => n.name === 'demo-speakers').id);
    const poll = () => {
      if (q.getLinks().length < 2) return setTimeout(poll, 5);
      const native = all();
      q.setObjectBuilders(require(${JSON.stringify(path.join(__dirname, '..', 'lib', 'connection', 'object-builders'))}));
      const id = q.getNodes().find((n) => n.name === 'demo-speakers').id;
      const narrowed = deep([q.graphNodes(id), q.graphPorts(id), q.graphNodes(0xfffffff0)]);
      const whole = deep([q.graphNodes().filter((n) => n.id === id), q.graphPorts().filter((p) => p.nodeId === id), []]);
      console.log(JSON.stringify([native, all(), narrowed, whole]));
      q.destroyPwThread();
    };
    poll();`, { env: daemon.env, preload: false });
  assert.equal(r.code, 0, r.stderr);
  const [native, built, narrowed, whole] = JSON.parse(r.stdout);
  assert.ok(native[3].length >= 2 && native[5].length === 2, r.stdout);
  assert.deepEqual(native, built);
  assert.ok(narrowed[0].length === 1 && narrowed[1].length >= 2, r.stdout);
  assert.deepEqual(narrowed, whole);
});
