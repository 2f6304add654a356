'use strict';
// quorvane snapshot [--all]: the links now as a rules file, for `quorvane
// patchbay` to make again (the session manager's own links left out unless
// --all).
const { parse, noPositional } = require('./args');
const { say } = require('./output');
const { openSession } = require('./session');

async function snapshot(argv) {
  const o = parse(argv, { all: 'flag' });
  noPositional(o);
  const graph = await openSession();
  say(JSON.stringify(graph.snapshot({ all: Boolean(o.all) }), null, 2));
}

module.exports = { snapshot };
