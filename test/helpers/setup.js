'use strict';
// What most test files set up: a private daemon (started as the file loads, before
// the add-on connects), a fixture client on it, and a Graph connected before the tests.
const test = require('node:test');
const { startDaemon } = require('./daemon');
const { Fixture } = require('./fixture');

// `graph(g)` is handed the Graph connected before the tests (a file's own test.before does not wait for
// it: set-up that needs the Graph goes there); `after()` runs after them, before the Graph, the fixture
// (the result's current `fixture`) and the daemon close.
function privateDaemon(options, { graph, after } = {}) {
  const daemon = startDaemon(options);
  const set = { daemon, fixture: new Fixture(daemon.env) };
  let connected;
  if (graph) test.before(async () => graph((connected = await require('../..').connect())));
  test.after(async () => {
    await after?.();
    await connected?.close();
    await set.fixture.close();
    daemon.stop();
  });
  return set;
}

module.exports = { privateDaemon };
