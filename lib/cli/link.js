'use strict';
// quorvane link / unlink. `link` holds the links it makes (they belong to its
// connection) and, at the end, removes those and only those: links that were
// there before, or that other clients make meanwhile, are not its business.
// With --linger it makes lingering links, which outlive it, and exits at once.
const { EXIT, CliError, UsageError, parse, idArg, asCliError } = require('./args');
const { say, warn } = require('./output');
const { openSession, hold } = require('./session');
const resolve = require('./resolve');
const links = require('../features/links');

const STOP_UNLINK_MS = 2000;
const UNLINK_MS = 5000;

const describe = (l) => `${l.id} ${l.srcNodeId}:${l.srcPortId} -> ${l.sinkNodeId}:${l.sinkPortId}`;

// Numbers given for ports (OUT IN) or nodes (--from, --to) are checked
// before connecting: one that is not an id is a usage error (exit 2).
function checkIds(o) {
  for (const text of o._) idArg(text, 'port');
  for (const text of [o.from, o.to]) if (text !== undefined) idArg(text, 'node');
}

// A port left without a partner of its type, in words.
const TYPE_WORD = { audio: 'audio', midi: 'MIDI', video: 'video', control: 'control' };

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
  // Ends given by name are looked up again when they come back (a client
  // restarted); an id names whatever object has it later.
  const byName = (byNode ? [o.from, o.to] : o._).every((text) => idArg(text, byNode ? 'node' : 'port') === null);

  const mine = new Map(); // id -> link, the links made by this run
  const endNodes = new Set(); // ids of the nodes the links join
  let endLink = null; // set once holding: ends the tool with a code and a message
  let failed = null; // a failure heard before that, told once holding
  graph.on('link-destroyed', (id) => {
    if (mine.delete(id)) say(`link-destroyed ${id}`);
  });
  // A link of ours the daemon failed (formats that do not meet): a requested
  // link that does not stand.
  graph.on('link-changed', (l) => {
    if (l.state !== 'error' || !mine.has(l.id)) return;
    failed ??= `link ${l.id} failed: ${l.error || 'no reason given'}`;
    endLink?.(EXIT.FAILED, failed);
  });

  // Links what was asked for (the operation every face uses) and reports
  // each pair: made, there already (not ours to remove), refused, or a port
  // left without a partner of its type.
  async function establish() {
    let result;
    try {
      result = byNode
        ? await links.linkNodes(graph, resolve.nodeRef(o.from), resolve.nodeRef(o.to), { linger }, null)
        : await links.linkPorts(graph, resolve.portRef(o._[0]), resolve.portRef(o._[1]), { linger }, null);
    } catch (e) {
      if (!(e instanceof AggregateError)) throw asCliError(e);
      result = e;
    }
    const ports = graph.ports();
    const port = (id) => ports.find((p) => p.id === id) ?? { nodeId: '?', name: String(id) };
    const name = (l) => `${resolve.portName(graph, port(l.srcPortId))} -> ${resolve.portName(graph, port(l.sinkPortId))}`;
    for (const l of [...result.made, ...result.existing]) endNodes.add(l.srcNodeId).add(l.sinkNodeId);
    for (const l of result.made) {
      mine.set(l.id, l);
      say(`link-created ${describe(l)}`);
    }
    for (const l of result.existing) say(`already linked ${name(l)}`);
    for (const { port: p, type } of result.unpaired ?? []) warn(`not linked ${resolve.portName(graph, p)}: no ${TYPE_WORD[type]} input on the other node pairs with it`);
    const refused = result.errors ?? [];
    for (const e of refused) warn(`refused ${e.pair.map((p) => resolve.portName(graph, p)).join(' -> ')}: ${e.message}`);
    return { refused: refused.length, already: result.existing.length, total: result.made.length + result.existing.length + refused.length };
  }

  const { refused, already, total } = await establish();
  if (refused) {
    // The links made here go with the connection when the tool ends.
    throw new CliError(`${refused} of ${total} link(s) refused`);
  }
  if (linger) return EXIT.OK; // they stay: nothing to hold
  if (mine.size === 0) return EXIT.OK; // all there already: nothing to hold

  // With --reconnect, links lost with the daemon, or with an end that went
  // away (a client that quit), are made again once both ends are there with
  // all their ports.
  let pending = false;
  let busy = false;
  const expected = mine.size + already;
  const retry = async () => {
    if (!pending || busy || graph.state !== 'connected') return;
    // Both ends back with all their ports: as many pairs as at first.
    try {
      const pairs = byNode ? links.nodePairs(graph, resolve.nodeRef(o.from), resolve.nodeRef(o.to), null).pairs : [[resolve.port(graph, o._[0], 0), resolve.port(graph, o._[1], 1)]];
      if (pairs.length < expected) return;
    } catch {
      return; // not there yet
    }
    pending = false;
    busy = true;
    await establish().catch((e) => warn(e.message));
    busy = false;
    retry(); // an end that went again meanwhile
  };
  if (reconnect) {
    graph.on('port-created', retry);
    // A node at an end gone (a client that quit): its links went with it,
    // made again when a node of its name is back. A link of ours someone
    // removed while both ends stay is left alone.
    graph.on('node-destroyed', (id) => {
      if (!byName || !endNodes.has(id)) return;
      endNodes.delete(id);
      pending = true;
      retry();
    });
  }

  // Heard before the tool says it holds them: Ctrl-C from then on removes them.
  const held = hold(graph, {
    reconnect,
    onLost: () => {
      mine.clear();
      pending = true;
    },
    onBack: retry,
    onHold: (end) => {
      endLink = end;
      if (failed) end(EXIT.FAILED, failed);
    },
    onStop: async () => {
      if (graph.state !== 'connected') return; // gone with the connection already
      await Promise.allSettled([...mine.keys()].map((id) => graph.unlink(id, { timeoutMs: STOP_UNLINK_MS })));
    },
  });
  if (reconnect && !byName) warn('the ends are given by id: links are made again after a daemon restart, not for a client that comes back');
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
    say('removing the links between them');
    let result;
    try {
      result = await links.unlinkNodes(graph, resolve.nodeRef(o.from), resolve.nodeRef(o.to), { timeoutMs: UNLINK_MS }, null);
    } catch (e) {
      if (!(e instanceof AggregateError)) throw asCliError(e);
      for (const id of e.unlinked) say(`link-destroyed ${id}`);
      for (const x of e.errors) warn(`link ${x.link.id} not removed: ${x.message}`);
      throw new CliError(`${e.errors.length} of ${e.errors.length + e.unlinked.length} link(s) not removed`);
    }
    for (const id of result.unlinked) say(`link-destroyed ${id}`);
    return EXIT.OK;
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
