'use strict';
// quorvane route: routes that keep themselves until Ctrl-C, from the command
// line or from a rules file. The links the routes made are removed at the end,
// and exclusive routes give back what they took.
const fs = require('node:fs');
const { EXIT, CliError, UsageError, parse, noPositional } = require('./args');
const { say, warn } = require('./output');
const { openSession, hold } = require('./session');
const { portName } = require('./resolve');
const { isDefaultName } = require('../features/match');
const { parseRules, pattern: rulesPattern } = require('../features/patchbay/rules');

// "/text/" or "/text/FLAGS" is a regular expression, as in a rules file;
// anything else an exact text, so that a path such as /x/y stays a path.
function pattern(text) {
  try {
    return rulesPattern(text, []);
  } catch (e) {
    throw new UsageError(e.message);
  }
}

// KEY=VALUE terms (all must match) as a matcher; a term without "=" is a
// node name. A key given twice could only be meant as "either": refused.
// A default name ('@default-audio-sink', '@DEFAULT_AUDIO_SINK@') follows the
// default, alone.
function matcherFromTerms(typed, what) {
  if (typed.length === 0) throw new UsageError(`route needs at least one ${what}`);
  const terms = typed;
  const named = terms.find(isDefaultName);
  if (named !== undefined) {
    if (terms.length > 1) throw new UsageError(`${what} ${named} stands alone: it is the one node that is that default`);
    return named;
  }
  const props = {};
  for (const term of terms) {
    const eq = term.indexOf('=');
    const key = eq <= 0 ? 'node.name' : term.slice(0, eq);
    if (Object.prototype.hasOwnProperty.call(props, key)) {
      throw new UsageError(`${what} gives "${key}" twice; every term must match, so give each key once (a /regexp/ can say "either")`);
    }
    props[key] = pattern(eq <= 0 ? term : term.slice(eq + 1));
  }
  return props;
}

// The rules file as the patchbay reads it (its errors with line and
// column); the route command keeps its routes alone.
function readRules(file) {
  let rules;
  try {
    rules = parseRules(fs.readFileSync(file, 'utf8'), file);
  } catch (e) {
    throw new CliError(e.code === 'ENOENT' || e.code === 'EACCES' || e.code === 'EISDIR' ? `cannot read rules from ${file}: ${e.message}` : e.message, EXIT.USAGE);
  }
  const others = ['never', 'volumes', 'devices', 'profiles'].filter((k) => rules[k].length).concat(Object.keys(rules.defaults).length ? ['defaults'] : []);
  if (others.length) throw new CliError(`${file} holds ${others.map((k) => `"${k}"`).join(', ')} beside its routes: run it with quorvane patchbay ${file}`, EXIT.USAGE);
  if (rules.routes.length === 0) throw new CliError(`${file}: expected { "routes": [ ... ] }`, EXIT.USAGE);
  return rules.routes;
}

function parseRouteArgs(argv) {
  const o = parse(argv, { from: 'list', to: 'list', exclusive: 'flag', channels: 'value', rules: 'value' });
  noPositional(o);
  const channels = o.channels ?? 'auto';
  if (!['auto', 'positional'].includes(channels)) throw new UsageError('--channels is auto or positional');
  if (o.rules !== undefined) {
    if (o.from.length || o.to.length) throw new UsageError('route takes --rules or --from/--to, not both');
    return readRules(o.rules);
  }
  return [{ from: matcherFromTerms(o.from, '--from'), to: matcherFromTerms(o.to, '--to'), channels, exclusive: o.exclusive === true }];
}

async function route(argv) {
  const rules = parseRouteArgs(argv);
  // Routes carry on across a daemon restart.
  const graph = await openSession({ reconnect: true });
  let routes;
  try {
    routes = rules.map((r) => graph.linkRule(r));
  } catch (e) {
    throw new CliError(e.message, EXIT.USAGE);
  }
  const label = (i) => (routes.length > 1 ? `route ${i + 1}: ` : '');
  const names = (l) => {
    const port = (id) => graph.ports().find((p) => p.id === id);
    const out = port(l.srcPortId);
    const inp = port(l.sinkPortId);
    return out && inp ? `${portName(graph, out)} -> ${portName(graph, inp)}` : `${l.srcPortId} -> ${l.sinkPortId}`;
  };
  routes.forEach((r, i) => {
    r.on('linked', (l) => say(`${label(i)}linked ${names(l)} (link ${l.id})`));
    r.on('unlinked', (l) => say(`${label(i)}unlinked link ${l.id}`));
    r.on('error', (e) => warn(`${label(i)}${e.message}`));
  });
  // Heard before the tool says it keeps them: Ctrl-C from then on gives back.
  const held = hold(graph, {
    reconnect: true,
    onStop: async () => {
      if (graph.state !== 'connected') return; // the links went with the connection
      const given = (await Promise.all(routes.map((r) => r.close()))).flat();
      const name = (id) => graph.nodes().find((n) => n.id === id)?.name ?? String(id);
      for (const g of given) {
        const what = `${name(g.from)} -> ${name(g.to)}`;
        if (g.error) warn(`could not give back ${what}: ${g.error.message}`);
        else say(`gave back ${what} (${g.by === 'session-manager' ? 'through the session manager' : 'lingering links'})`);
      }
    },
  });
  say(`keeping ${routes.length} route(s) until interrupted`);
  return held;
}

module.exports = { route };
