'use strict';
// quorvane link / unlink. `link` holds the links it makes (they belong to its
// connection) and, at the end, removes those and only those: links that were
// there before, or that other clients make meanwhile, are not its business.
// With --linger it makes lingering links, which outlive it, and exits at once.
const { EXIT, CliError, UsageError, parse, idArg } = require('./args');
const { say, warn } = require('./output');
const { openSession, hold } = require('./session');
const resolve = require('./resolve');

const STOP_UNLINK_MS = 2000;
const UNLINK_MS = 5000;

const describe = (l) => `${l.id} ${l.srcNodeId}:${l.srcPortId} -> ${l.sinkNodeId}:${l.sinkPortId}`;

// Numbers given for ports (OUT IN) or nodes (--from, --to) are checked
// before connecting: one that is not an id is a usage error (exit 2).
function checkIds(o) {
  for (const text of o._) idArg(text, 'port');
  for (const text of [o.from, o.to]) if (text !== undefined) idArg(text, 'node');
}

async function link(argv) {
  const o = parse(argv, { from: 'value', to: 'value', reconnect: 'flag', linger: 'flag' });
  const byNode = o.from !== undefined || o.to !== undefined;
  if (byNode && (o.from === undefined || o.to === undefined || o._.length)) {
    throw new UsageError('link --from NODE --to SINK_NODE');
  }
  if (!byNode && o._.length !== 2) throw new UsageError('link needs OUT_PORT IN_PORT, or --from and --to');
  const reconnect = Boolean(o.reconnect);
  const linger = Boolean(o.linger);
  if (linger && reconnect) throw new UsageError('link --linger makes links that stay by themselves: --reconnect has nothing to hold');
  checkIds(o);
  const graph = await openSession({ reconnect });
  const wanted = () =>
    byNode ? resolve.nodePairs(graph, o.from, o.to) : [[resolve.port(graph, o._[0], 0), resolve.port(graph, o._[1], 1)]];

  const mine = new Map(); // id -> link, the links made by this run
  graph.on('link-destroyed', (id) => {
    if (mine.delete(id)) say(`link-destroyed ${id}`);
  });

  // Requests every pair and reports each outcome. A pair the daemon already
  // links (EEXIST) is fine: it is reported, and not ours to remove.
  async function establish(pairs) {
    const outcomes = await Promise.allSettled(pairs.map(([out, inp]) => graph.link(out.id, inp.id, { linger })));
    let refused = 0;
    let already = 0;
    outcomes.forEach((r, i) => {
      const names = pairs[i].map((p) => resolve.portName(graph, p)).join(' -> ');
      if (r.status === 'fulfilled') {
        mine.set(r.value.id, r.value);
        say(`link-created ${describe(r.value)}`);
      } else if (r.reason.code === 'EEXIST') {
        already++;
        say(`already linked ${names}`);
      } else {
        refused++;
        warn(`refused ${names}: ${r.reason.message}`);
      }
    });
    return { refused, already };
  }

  const pairs = wanted();
  const { refused, already } = await establish(pairs);
  if (refused) {
    // The links made here go with the connection when the tool ends.
    throw new CliError(`${refused} of ${pairs.length} link(s) refused`);
  }
  if (linger) return EXIT.OK; // they stay: nothing to hold
  if (mine.size === 0) return EXIT.OK; // all there already: nothing to hold

  // With --reconnect, links lost with the daemon are made again once it is
  // back and both ends are there with all their ports.
  let pending = false;
  let busy = false;
  const retry = async () => {
    if (!pending || busy || graph.state !== 'connected') return;
    let again;
    try {
      again = wanted();
    } catch {
      return; // not there yet
    }
    if (again.length < pairs.length) return;
    pending = false;
    busy = true;
    await establish(again);
    busy = false;
  };
  graph.on('port-created', retry);

  // Heard before the tool says it holds them: Ctrl-C from then on removes them.
  const held = hold(graph, {
    reconnect,
    onLost: () => {
      mine.clear();
      pending = true;
    },
    onBack: retry,
    onStop: async () => {
      if (graph.state !== 'connected') return; // gone with the connection already
      await Promise.allSettled([...mine.keys()].map((id) => graph.unlink(id, { timeoutMs: STOP_UNLINK_MS })));
    },
  });
  say(`holding ${mine.size} link(s) until interrupted${already ? ` (${already} already linked, left alone)` : ''}`);
  return held;
}

async function unlink(argv) {
  const o = parse(argv, { from: 'value', to: 'value' });
  const byNode = o.from !== undefined || o.to !== undefined;
  if (byNode && (o.from === undefined || o.to === undefined || o._.length)) {
    throw new UsageError('unlink --from NODE --to SINK_NODE');
  }
  if (!byNode && (o._.length < 1 || o._.length > 2)) {
    throw new UsageError('unlink needs LINK_ID, OUT_PORT IN_PORT, or --from and --to');
  }
  if (o._.length !== 1) checkIds(o);
  const linkId = !byNode && o._.length === 1 ? idArg(o._[0], 'link') : undefined;
  if (linkId === null) throw new UsageError(`LINK_ID must be a number, got ${JSON.stringify(o._[0])}`);
  const graph = await openSession();
  let targets;
  if (byNode) {
    const sources = new Set(resolve.nodes(graph, o.from).map((n) => n.id));
    const sinks = new Set(resolve.nodes(graph, o.to).map((n) => n.id));
    targets = graph.links().filter((l) => sources.has(l.srcNodeId) && sinks.has(l.sinkNodeId));
    if (targets.length === 0) throw new CliError(`no links from ${JSON.stringify(o.from)} to ${JSON.stringify(o.to)}`);
  } else if (linkId !== undefined) {
    targets = graph.links().filter((l) => l.id === linkId);
    if (targets.length === 0) throw new CliError(`no link ${linkId}`);
  } else {
    const out = resolve.port(graph, o._[0], 0);
    const inp = resolve.port(graph, o._[1], 1);
    targets = graph.links().filter((l) => l.srcPortId === out.id && l.sinkPortId === inp.id);
    if (targets.length === 0) throw new CliError(`no link from ${o._[0]} to ${o._[1]}`);
  }
  say(`removing ${targets.length} link(s)`);
  const outcomes = await Promise.allSettled(targets.map((l) => graph.unlink(l.id, { timeoutMs: UNLINK_MS })));
  let failed = 0;
  outcomes.forEach((r, i) => {
    if (r.status === 'fulfilled') say(`link-destroyed ${targets[i].id}`);
    else {
      failed++;
      warn(`link ${targets[i].id} not removed: ${r.reason.message}`);
    }
  });
  if (failed) throw new CliError(`${failed} of ${targets.length} link(s) not removed`);
}

module.exports = { link, unlink };
