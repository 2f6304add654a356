'use strict';
// What an exclusive route took, given back when it closes: each link of
// another client that the route removed from one of its sources is linked
// again, when both ends still exist.
//
// Beside a session manager, re-making its links ourselves goes wrong: it
// still believes the stream linked where it was (it never noticed the
// removal), so when it later moves the stream it removes only its own, long
// gone, links, and ours stay: the stream is heard on both sinks. Asking it to
// link the stream again to the same target does nothing either (it thinks
// that is done). So the session manager is asked to move the stream away
// (to the route's sink, where it was heard until now) through the "default"
// metadata's "target.object", and the stream's metadata is then put back as
// it was: the session manager links it back where its own policy says, which
// is where it was, with links it knows, and later moves stay clean.
// Links of any other client (or with no session manager) are made again as
// lingering links, which outlive this process as `pw-link` links do.
//
// The metadata is read and written in-process, through the connection's own
// binding of the "default" metadata; the lingering links are asked for on the
// connection too, with "object.linger", as pw-link asks for them.
const { serialOf } = require('../../connection/serial');

const LINK_MS = 3000;
const METADATA_MS = 1000; // how long a write's report is waited for, in the background
const SETTLE_MS = 1000; // how long the session manager may take to follow a move
const MAX_RECORDS = 1024;

// The session manager is the client that made the "default" metadata. Where
// the connection cannot tell which that is, any other client may be: the
// session manager is asked, and a stream it does not move is linked again.
const ownerOf = (view) => (Number.isInteger(view.owner) ? view.owner : undefined);
const byManager = (meta, client) => meta.owner === undefined || Number(client) === meta.owner;

// Resolves true once `test()` holds, false after `ms`; checked on every
// link event.
function linksSettle(listen, test, ms) {
  if (test()) return Promise.resolve(true);
  return new Promise((resolve) => {
    const check = () => {
      if (!test()) return;
      finish(true);
    };
    const finish = (ok) => {
      clearTimeout(timer);
      unlisten();
      resolve(ok);
    };
    const timer = setTimeout(() => finish(test()), ms);
    const unlisten = listen('link-created', check);
  });
}

class GiveBack {
  #graph;
  #connection;
  #listen;
  #records = new Map(); // 'outSerial:inSerial' -> what was removed
  #unlisten; // a new daemon's ids and serials mean other things: forgotten on a disconnect

  // `listen(name, fn)`: the Graph's internal listeners (see route.js).
  constructor(graph, connection, listen) {
    this.#graph = graph;
    this.#connection = connection;
    this.#listen = listen;
    this.#unlisten = listen('disconnected', () => this.#records.clear());
  }

  /** The route is removing link `linkId`; it is kept to be given back once `removal` resolves. */
  take(linkId, removal) {
    const graph = this.#graph;
    const link = graph.links().find((l) => l.id === linkId);
    if (!link) return;
    const ports = new Map(graph.ports().map((p) => [p.id, p]));
    const nodes = new Map(graph.nodes().map((n) => [n.id, n]));
    const end = (portId, nodeId) => ({
      port: portId,
      portSerial: serialOf(ports.get(portId)),
      node: nodeId,
      nodeSerial: serialOf(nodes.get(nodeId)),
      mediaClass: nodes.get(nodeId)?.props['media.class'] ?? '',
    });
    const record = { out: end(link.srcPortId, link.srcNodeId), in: end(link.sinkPortId, link.sinkNodeId), client: link.props['client.id'] };
    if (record.out.portSerial === undefined || record.in.portSerial === undefined) return;
    removal.then(
      () => {
        // Kept in the order taken: the last is the latest.
        const key = `${record.out.portSerial}:${record.in.portSerial}`;
        this.#records.delete(key);
        if (this.#records.size < MAX_RECORDS) this.#records.set(key, record);
      },
      () => {},
    );
  }

  /**
   * Gives back what was taken; `preferred` are node ids to move streams to on
   * the way (the route's sinks). Resolves with one entry per source and
   * former peer: { from, to, by: 'session-manager' | 'link', error? }.
   */
  async giveBack(preferred = []) {
    const graph = this.#graph;
    this.#unlisten();
    const records = [...this.#records.values()];
    this.#records.clear();
    if (records.length === 0 || graph.state !== 'connected') return [];

    // Only what still exists, checked by serial: ids are handed out again.
    const ports = new Map(graph.ports().map((p) => [p.id, p]));
    const nodes = new Map(graph.nodes().map((n) => [n.id, n]));
    const alive = (e) =>
      serialOf(ports.get(e.port)) === e.portSerial && serialOf(nodes.get(e.node)) === e.nodeSerial && ports.get(e.port).nodeId === e.node;
    const live = records.filter((r) => alive(r.out) && alive(r.in));
    if (live.length === 0) return [];

    // No "default" metadata, no session manager: links only.
    const view = this.#connection.metadata('default');
    const meta = view && { view, owner: ownerOf(view) };
    // The session manager's links go back through it, one move per stream,
    // to the target it had last (it may have been moved during the route);
    // every other link taken is made again, per pair of nodes.
    const isStream = (e) => e.mediaClass.startsWith('Stream/');
    const streamOf = (r) => (isStream(r.out) === isStream(r.in) ? undefined : isStream(r.out) ? r.out : r.in);
    const bySessionManager = (r) => meta !== null && byManager(meta, r.client) && streamOf(r) !== undefined;
    const peerOf = (r) => (streamOf(r) === r.out ? r.in : r.out).node;
    const lastTarget = new Map(); // stream node -> its latest peer node
    for (const r of live) if (bySessionManager(r)) lastTarget.set(streamOf(r).node, peerOf(r));
    const groups = new Map();
    for (const r of live) {
      const viaManager = bySessionManager(r);
      if (viaManager && lastTarget.get(streamOf(r).node) !== peerOf(r)) continue;
      const key = `${r.out.node}:${r.in.node}:${viaManager}`;
      if (!groups.has(key)) groups.set(key, { viaManager, records: [] });
      groups.get(key).records.push(r);
    }
    return Promise.all(
      [...groups.values()].map(async ({ viaManager, records: group }) => {
        const result = { from: group[0].out.node, to: group[0].in.node, by: 'link' };
        try {
          if (viaManager && (await this.#askSessionManager(group, meta, preferred))) result.by = 'session-manager';
          else await this.#relink(group);
        } catch (e) {
          result.error = e;
        }
        return result;
      }),
    );
  }

  // Moves the stream away and puts its metadata back: the session manager
  // then links it to its target again itself. False when that cannot be
  // done here (no stream end, nowhere to move it, or the session manager
  // does not follow), leaving the metadata as it was.
  async #askSessionManager(group, meta, preferred) {
    const graph = this.#graph;
    const { out, in: inp } = group[0];
    const [stream, target] = out.mediaClass.startsWith('Stream/') ? [out, inp] : [inp, out];
    const nodes = graph.nodes();
    const candidates = nodes.filter((n) => n.id !== target.node && n.props['media.class'] === target.mediaClass);
    const via = candidates.find((n) => preferred.includes(n.id)) ?? candidates[0];
    if (!via) return false;

    // Moved once the session manager has linked the stream to `via`.
    const ends = [stream.node, via.id].sort().join();
    const movedThere = () =>
      graph
        .links()
        .some((l) => byManager(meta, l.props['client.id']) && !this.#connection.ownLinks.has(l.id) && [l.srcNodeId, l.sinkNodeId].sort().join() === ends);
    const had = meta.view.get(stream.node, 'target.object');
    // A write is judged by what the session manager does with it, not by the
    // metadata's report of it: the daemon does not always pass that report on
    // to listeners (PipeWire 0.3.65 beside WirePlumber 0.4.13, now and then),
    // while the session manager, which keeps the metadata, always has it.
    const setTarget = (type, value) => {
      this.#connection.setMetadata(stream.node, 'target.object', type, value, { timeoutMs: METADATA_MS }).catch(() => {});
    };
    let moved = false;
    try {
      setTarget('Spa:Id', String(serialOf(via)));
      moved = await linksSettle(this.#listen, movedThere, SETTLE_MS);
    } finally {
      setTarget(had?.type ?? null, had?.value ?? null);
    }
    if (!moved) return false;
    const pairs = group.map((r) => [r.out.port, r.in.port]);
    const back = () => {
      const links = graph.links();
      return pairs.every(([o, i]) => links.some((l) => l.srcPortId === o && l.sinkPortId === i));
    };
    if (!(await linksSettle(this.#listen, back, SETTLE_MS))) throw new Error('the session manager did not link it back');
    return true;
  }

  // Lingering links, as `pw-link` makes them: they stay after this process.
  async #relink(group) {
    const outcomes = await Promise.allSettled(group.map((r) => this.#graph.link(r.out.port, r.in.port, { linger: true, timeoutMs: LINK_MS })));
    // Linked again meanwhile (by its owner): given back all the same.
    const refused = outcomes.find((o) => o.status === 'rejected' && o.reason.code !== 'EEXIST');
    if (refused) throw refused.reason;
  }
}

module.exports = { GiveBack };
