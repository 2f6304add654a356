'use strict';
// A link rule keeps links from the output ports of every node that matches
// `from` to the input ports of every node that matches `to`, for as long as
// both exist: it links nodes as they come (once their ports are all there),
// links again what anyone removes, and, when exclusive, removes what others
// link from its sources elsewhere. It only ever removes links it made, or,
// when exclusive, links from its own sources that no route of the process
// wants. Routes of one process never fight: they see each other through
// what the connection keeps for all of them (`shared`).
const { EventEmitter } = require('node:events');
const { describeMatcher, isDefaultName } = require('../match');
const { nodeMatcher } = require('../resolve-node');
const { pairPorts, pairByNames } = require('../pairing');
const { bindSides } = require('./captures');
const { Contention, CONTEST_LIMIT_MS } = require('./contention');
const { GiveBack } = require('./give-back');
const { emitEach } = require('../../connection/call-each');
const { serialOf } = require('../../connection/serial');
const { reportUnheard } = require('../../core/unheard');

const pairKey = (out, inp) => `${out}:${inp}`;

// A view's ports and links by node id, made once per view.
const viewIndex = new WeakMap();
// byNode(view) → { ports, links }: Maps of node id to its ports and links.
function byNode(view) {
  let index = viewIndex.get(view);
  if (index) return index;
  const ports = new Map();
  const links = new Map();
  const put = (map, id, x) => (map.get(id) ?? map.set(id, []).get(id)).push(x);
  for (const p of view.ports) put(ports, p.nodeId, p);
  for (const l of view.links) {
    put(links, l.srcNodeId, l);
    if (l.sinkNodeId !== l.srcNodeId) put(links, l.sinkNodeId, l);
  }
  viewIndex.set(view, (index = { ports, links }));
  return index;
}

class LinkRule extends EventEmitter {
  #graph;
  #shared; // { routes, linking, ownLinks }: the connection's, shared by every route of the process
  #roundTrip;
  #unlink;
  #onClose;
  #description;
  #from;
  #to;
  #channels;
  #exclusive;
  #ports; // [[output, input] port names or channels], or undefined: by `channels`
  #fits; // (source node, sink node) => whether they belong together (captures)
  #captures; // whether a node's properties decide its partners
  #closed = false;
  #looking = false; // during the first look at the graph
  #nodes = new Map(); // id -> { node, source, sink, ports: [] }
  #portOwner = new Map(); // port id -> node id, for the nodes of this route
  #links = new Map(); // link id -> { out, in, serial } for links touching our ports
  #linkByPair = new Map(); // 'out:in' -> link id
  #made = new Map(); // link id -> link, for links this route made
  #removing = new Set(); // link ids this route asked to remove
  #wanted = new Map(); // source node id -> Set of 'out:in' this route wants
  #heldElsewhere = new Map(); // source node id -> the exclusive route that holds it
  #contention = new Contention(); // 'out:in' pairs others keep removing
  #lost = new Set(); // 'out:in' of links of ours that someone else removed, until asked for again
  #failed = new Map(); // 'out:in' -> the daemon's error, for pairs not asked for again until a node changes
  #busyTold = new Set(); // 'from:to' node ids whose exclusive ports were reported, while both nodes stay
  #dirty = new Set(); // node ids to look at after the next round trip
  #syncing = false;
  #pending = new Set(); // link requests not answered yet
  #listeners;
  #unlisten = []; // removes the listeners
  #giveBack = null; // exclusive: what was taken from others, to give back
  #namesLooked = false; // named ports some nodes lack: looked at again after a round trip, once
  #namesTold = false; // and reported (once for the route)

  // `listen(name, fn)`: the Graph's internal listeners, which user code
  // cannot remove; returns what removes `fn`. `view`: a look at the graph
  // shared by routes started together.
  constructor(graph, options, { shared, listen, roundTrip, unlink, onClose, view }) {
    super();
    if (options === null || typeof options !== 'object') throw new TypeError('linkRule requires { from, to }');
    const { from, to, channels = 'auto', exclusive = false, ports } = options;
    if (from === undefined || to === undefined) throw new TypeError('linkRule requires { from, to }');
    if (channels !== 'auto' && channels !== 'positional') {
      throw new TypeError("linkRule: channels must be 'auto' or 'positional'");
    }
    if (typeof exclusive !== 'boolean') throw new TypeError('linkRule: exclusive must be true or false');
    if (ports !== undefined && !(Array.isArray(ports) && ports.length > 0 && ports.every((p) => Array.isArray(p) && p.length === 2 && p.every((n) => typeof n === 'string')))) {
      throw new TypeError('linkRule: ports must be a list of [output, input] port names or channels');
    }
    const sides = bindSides(from, to);
    this.#graph = graph;
    this.#shared = shared;
    this.#roundTrip = roundTrip;
    this.#unlink = unlink;
    this.#onClose = onClose;
    // '@default-audio-sink' and the like match whichever node is that default now.
    const defaults = () => graph.defaults;
    // A name fits a node of that name, or of that JACK name or description.
    this.#from = nodeMatcher(sides.from, 'linkRule: from', { defaults });
    this.#to = nodeMatcher(sides.to, 'linkRule: to', { defaults });
    this.#fits = sides.fits;
    this.#captures = sides.from !== from || sides.to !== to;
    this.#ports = ports?.map((p) => [...p]);
    // Told in errors only: written out when one is.
    this.#description = () => `link rule from ${describeMatcher(from)} to ${describeMatcher(to)}${exclusive ? ' (exclusive)' : ''}`;
    this.#channels = channels;
    this.#exclusive = exclusive;
    shared.routes.add(this);
    if (exclusive) this.#giveBack = new GiveBack(graph, shared, listen);

    this.#listeners = {
      'node-created': (node) => this.#addNode(node),
      'node-destroyed': (id) => this.#removeNode(id),
      'port-created': (port) => this.#addPort(port),
      'port-destroyed': (id) => this.#removePort(id),
      'link-created': (link) => this.#addLink(link),
      'link-destroyed': (id) => this.#removeLink(id),
      'node-changed': (node, changed) => this.#changeNode(node, changed),
      'link-changed': (link) => this.#changeLink(link),
    };
    if (isDefaultName(from) || isDefaultName(to)) this.#listeners['defaults-changed'] = () => this.#followDefaults();
    this.#unlisten = Object.entries(this.#listeners).map(([name, fn]) => listen(name, fn));

    // The first look takes in the links there are before judging any node:
    // a pair linked already is not asked for again.
    this.#looking = true;
    if (view) {
      // A view shared by many routes: each reads only its own nodes' ports and links.
      const { ports, links } = byNode(view);
      for (const node of view.nodes) this.#addNode(node);
      for (const id of this.#nodes.keys()) for (const port of ports.get(id) ?? []) this.#addPort(port);
      for (const id of this.#nodes.keys()) for (const link of links.get(id) ?? []) this.#addLink(link);
    } else {
      for (const node of graph.nodes()) this.#addNode(node);
      for (const port of graph.ports()) this.#addPort(port);
      for (const link of graph.links()) this.#addLink(link);
    }
    this.#looking = false;
    for (const id of this.#nodes.keys()) this.#reconcile(id);
  }

  /** The links this route made and holds now. */
  get links() {
    return [...this.#made.values()];
  }

  toString() {
    return this.#description();
  }

  /** Whether this route wants the link from port `out` to port `inp` now (a "never" rule leaves such a link alone). */
  claims(out, inp) {
    return !this.#closed && this.#wants(out, inp);
  }

  /**
   * Stops the route and removes the links it made that no other route wants; an exclusive route then
   * links its sources again where others had them (see give-back.js).
   * Resolves with what was given back.
   */
  async close() {
    if (this.#closed) return [];
    this.#closed = true;
    for (const unlisten of this.#unlisten) unlisten();
    this.#contention.close();
    this.#shared.routes.delete(this);
    this.#onClose?.(this);
    const removals = [];
    for (const [id, link] of this.#made) {
      // Another route wants the pair: it holds the link from now on.
      const successor = this.#otherRoutes().find((r) => r.#wants(link.srcPortId, link.sinkPortId));
      if (successor) successor.#adopt(link);
      else removals.push(this.#unlink(id, serialOf(link)).catch(() => {}));
    }
    this.#made.clear();
    // What this route held exclusively, others may now take.
    if (this.#exclusive) for (const r of this.#otherRoutes()) r.#touchAll();
    await Promise.all([...removals, ...this.#pending]);
    const sinks = [...this.#nodes].filter(([, e]) => e.sink).map(([id]) => id);
    return this.#giveBack ? this.#giveBack.giveBack(sinks) : [];
  }

  // --- the other routes of the process ---------------------------------------------

  #otherRoutes() {
    return [...this.#shared.routes].filter((r) => r !== this);
  }

  #wants(out, inp) {
    const owner = this.#portOwner.get(out);
    if (owner === undefined || this.#heldElsewhere.has(owner)) return false;
    return Boolean(this.#wanted.get(owner)?.has(pairKey(out, inp)));
  }

  #holdsExclusively(sourceId) {
    return this.#exclusive && !this.#heldElsewhere.has(sourceId) && this.#wanted.has(sourceId);
  }

  #adopt(link) {
    if (this.#closed) return;
    this.#made.set(link.id, link);
    this.#links.set(link.id, { out: link.srcPortId, in: link.sinkPortId, serial: serialOf(link) });
    this.#linkByPair.set(pairKey(link.srcPortId, link.sinkPortId), link.id);
  }

  #touchAll() {
    for (const [id, entry] of this.#nodes) if (entry.source) this.#touch(id);
  }

  // --- following the graph ------------------------------------------------------

  // The first look at the graph reads the mirror, which may be ahead of the
  // events still on their way: those that tell of what was seen already
  // change nothing.
  #addNode(node) {
    if (this.#nodes.has(node.id)) return;
    const source = this.#from(node);
    const sink = this.#to(node);
    if (source || sink) this.#nodes.set(node.id, { node, source, sink, ports: [] });
  }

  #removeNode(id) {
    const entry = this.#nodes.get(id);
    if (!entry) return;
    for (const port of entry.ports) this.#portOwner.delete(port.id);
    this.#nodes.delete(id);
    this.#wanted.delete(id);
    this.#heldElsewhere.delete(id);
    for (const k of this.#busyTold) if (k.split(':').includes(String(id))) this.#busyTold.delete(k);
  }

  // A node's ports arrive one by one, each announced before any link to it.
  // Pairs are made as they become possible: pairs by channel or by port
  // order stay right as more ports come, and a pair that a later port makes
  // wrong (a channel that only then finds its partner) is taken back.
  #addPort(port) {
    const entry = this.#nodes.get(port.nodeId);
    if (!entry || this.#portOwner.has(port.id)) return;
    entry.ports.push(port);
    this.#portOwner.set(port.id, port.nodeId);
    this.#reconcile(port.nodeId);
  }

  // A node's properties changed: it may come to match, or stop matching.
  // One that stops loses the links this route made for it; one that comes
  // to match is linked like a new one. Any change of a node lets the pairs
  // the daemon failed for it be tried again.
  #changeNode(node, changed) {
    const entry = this.#nodes.get(node.id);
    let retry = false;
    if (entry && this.#failed.size > 0) for (const p of entry.ports) retry = this.#forgetFailures(p.id) || retry;
    if (!changed.props) {
      if (retry) this.#reconcile(node.id);
      return;
    }
    const source = this.#from(node);
    const sink = this.#to(node);
    if (!entry) {
      if (!source && !sink) return;
      const ports = this.#graph.ports().filter((p) => p.nodeId === node.id);
      this.#nodes.set(node.id, { node, source, sink, ports: [] });
      for (const port of ports) this.#addPort(port);
      for (const link of this.#graph.links()) if (ports.some((p) => p.id === link.srcPortId || p.id === link.sinkPortId)) this.#addLink(link);
      this.#reconcile(node.id);
      return;
    }
    const was = { source: entry.source, sink: entry.sink };
    Object.assign(entry, { node, source, sink });
    if (was.source === source && was.sink === sink) {
      if (retry || this.#captures) this.#reconcile(node.id);
      return;
    }
    // What the node no longer is: the links this route made for that role are removed.
    const ports = new Set(entry.ports.map((p) => p.id));
    for (const [id, link] of this.#made) {
      const asSource = ports.has(link.srcPortId) && was.source && !source;
      const asSink = ports.has(link.sinkPortId) && was.sink && !sink;
      if (!asSource && !asSink) continue;
      this.#removing.add(id);
      this.#unlink(id, serialOf(link)).catch(() => this.#removing.delete(id));
    }
    if (!source && !sink) this.#removeNode(node.id);
    else this.#reconcile(node.id);
    // The sources' wanted pairs no longer lead there.
    if (was.sink && !sink) for (const [id, other] of this.#nodes) if (other.source) this.#reconcileSource(id, other);
  }

  // The default changed: the node that was it stops matching and the new one
  // starts, as if their properties had changed; the links move with them.
  #followDefaults() {
    for (const node of this.#graph.nodes()) this.#changeNode(node, { props: true });
  }

  // The daemon failed a link of ours: reported with its text, and the pair
  // is not asked for again until one of its nodes changes.
  #changeLink(link) {
    if (link.state !== 'error' || !this.#made.has(link.id)) return;
    const key = pairKey(link.srcPortId, link.sinkPortId);
    if (this.#failed.has(key)) return;
    this.#failed.set(key, link.error);
    this.#fail(new Error(`${this}: the daemon failed the link from port ${link.srcPortId} to port ${link.sinkPortId}: ${link.error || 'no reason given'}`));
  }

  // The daemon refused the pair as a port of it is exclusive ("port.exclusive",
  // "node.exclusive": PipeWire 1.6) and linked elsewhere already. Like a
  // failed link, not asked for again until one of its nodes changes; reported
  // once for each pair of nodes while both stay, whatever the number of its
  // ports and of the tries.
  #busy(out, inp, key, err) {
    const [from, to] = [this.#portOwner.get(out), this.#portOwner.get(inp)];
    this.#failed.set(key, err.message);
    if (this.#busyTold.has(`${from}:${to}`)) return;
    this.#busyTold.add(`${from}:${to}`);
    const name = (id) => JSON.stringify(this.#nodes.get(id)?.node.name ?? id);
    const busy = new Error(
      `${this}: ${name(from)} -> ${name(to)}: a port is exclusive and linked elsewhere already, so the daemon ` +
        `refuses another link (EBUSY: ${err.message}); asked for again only when one of the two nodes changes`,
    );
    busy.code = 'EBUSY';
    this.#fail(busy);
  }

  #forgetFailures(portId) {
    let forgot = false;
    for (const key of this.#failed.keys()) {
      if (key.startsWith(`${portId}:`) || key.endsWith(`:${portId}`)) forgot = this.#failed.delete(key);
    }
    return forgot;
  }

  #removePort(id) {
    const nodeId = this.#portOwner.get(id);
    if (nodeId === undefined) return;
    this.#portOwner.delete(id);
    const entry = this.#nodes.get(nodeId);
    if (entry) entry.ports = entry.ports.filter((p) => p.id !== id);
    // Its links went with it: not a removal by anyone; and what the daemon
    // refused of it is forgotten, as a new port may get its id at once.
    for (const key of this.#lost) if (key.startsWith(`${id}:`) || key.endsWith(`:${id}`)) this.#lost.delete(key);
    this.#forgetFailures(id);
  }

  #addLink(link) {
    const srcNode = this.#portOwner.get(link.srcPortId);
    const sinkNode = this.#portOwner.get(link.sinkPortId);
    if (srcNode === undefined && sinkNode === undefined) return;
    this.#links.set(link.id, { out: link.srcPortId, in: link.sinkPortId, serial: serialOf(link) });
    this.#linkByPair.set(pairKey(link.srcPortId, link.sinkPortId), link.id);
    // Exclusive: a new link from one of our sources is judged at once.
    if (this.#exclusive && srcNode !== undefined && this.#nodes.get(srcNode)?.source) this.#reconcile(srcNode);
  }

  #removeLink(id) {
    const link = this.#links.get(id);
    if (!link) return;
    this.#links.delete(id);
    const key = pairKey(link.out, link.in);
    if (this.#linkByPair.get(key) === id) this.#linkByPair.delete(key);
    const ownRemoval = this.#removing.delete(id);
    const made = this.#made.get(id);
    if (made) {
      this.#made.delete(id);
      if (!ownRemoval) this.#lost.add(key);
      emitEach(this, 'unlinked', [made]); // a listener's throw keeps nothing from the route
    }
    // Whoever removed it, the pair is made again if both ends are still
    // there after a round trip: a removed node takes its links first and
    // its ports after, and must not be linked again in between.
    for (const port of [link.out, link.in]) {
      const owner = this.#portOwner.get(port);
      if (owner !== undefined) this.#touch(owner);
    }
  }

  #touch(nodeId) {
    if (this.#closed) return;
    this.#dirty.add(nodeId);
    if (this.#syncing) return;
    this.#syncing = true;
    this.#roundTrip().then(
      () => {
        this.#syncing = false;
        const dirty = [...this.#dirty];
        this.#dirty.clear();
        for (const id of dirty) this.#reconcile(id);
      },
      () => {
        // Disconnected or closed: a reconnect announces everything again.
        this.#syncing = false;
        this.#dirty.clear();
      },
    );
  }

  // --- keeping the links ----------------------------------------------------------

  #reconcile(nodeId) {
    if (this.#closed || this.#looking) return;
    const entry = this.#nodes.get(nodeId);
    if (!entry) return;
    if (entry.source) this.#reconcileSource(nodeId, entry);
    if (entry.sink) {
      for (const [id, other] of this.#nodes) if (other.source && id !== nodeId) this.#reconcileSource(id, other);
    }
  }

  // Every pair the source's outputs should have, made where missing; links
  // from them that no pair wants are removed: the route's own always, others'
  // when exclusive, unless another route of the process wants them.
  #reconcileSource(sourceId, source) {
    const outputs = source.ports.filter((p) => p.direction === 0);
    if (outputs.length === 0) return;
    const wanted = new Set();
    const pairs = [];
    for (const [id, sink] of this.#nodes) {
      if (!sink.sink || id === sourceId || !this.#fits(source.node, sink.node)) continue;
      const inputs = sink.ports.filter((p) => p.direction === 1);
      const chosen = this.#ports ? pairByNames(outputs, inputs, this.#ports) : pairPorts(outputs, inputs, this.#channels, { source: source.node, sink: sink.node });
      for (const [out, inp] of chosen) {
        wanted.add(pairKey(out.id, inp.id));
        pairs.push([out.id, inp.id]);
      }
      if (this.#ports && chosen.length < this.#ports.length) this.#lookAtNames(sourceId, id);
    }
    this.#wanted.set(sourceId, wanted);
    if (this.#exclusive && this.#yieldsTo(sourceId, wanted)) return;
    for (const [out, inp] of pairs) if (!this.#linkByPair.has(pairKey(out, inp))) this.#request(out, inp);

    const mine = new Set(outputs.map((p) => p.id));
    const others = this.#otherRoutes();
    for (const [id, link] of this.#links) {
      if (!mine.has(link.out) || wanted.has(pairKey(link.out, link.in)) || this.#removing.has(id)) continue;
      if (!this.#made.has(id) && !this.#exclusive) continue;
      if (others.some((r) => r.#wants(link.out, link.in))) continue;
      this.#removing.add(id);
      const removal = this.#unlink(id, link.serial);
      // Only another client's link is given back, never one of this process.
      if (!this.#shared.ownLinks.has(id)) this.#giveBack?.take(id, removal);
      removal.catch((err) => {
        this.#removing.delete(id);
        // Gone already (its owner or another route removed it): not a failure.
        if (this.#closed || !this.#graph.links().some((l) => l.id === id)) return;
        this.#fail(err);
      });
    }
  }

  // Two exclusive routes that want different links from one source cannot
  // both hold it: the one made first does, the later stands back and says so
  // once, until the first lets go.
  #yieldsTo(sourceId, wanted) {
    const mineFirst = [...this.#shared.routes].indexOf(this);
    const holder = [...this.#shared.routes]
      .slice(0, mineFirst)
      .find((r) => r.#holdsExclusively(sourceId) && !sameSet(r.#wanted.get(sourceId), wanted));
    if (!holder) {
      if (this.#heldElsewhere.delete(sourceId)) this.#touch(sourceId);
      return false;
    }
    if (this.#heldElsewhere.get(sourceId) !== holder) {
      this.#heldElsewhere.set(sourceId, holder);
      const name = this.#nodes.get(sourceId)?.node.name ?? sourceId;
      this.#fail(new Error(`${this}: node ${JSON.stringify(name)} is held by another exclusive ${holder}; this rule leaves it alone until that one closes`));
    }
    return true;
  }

  // A source and a sink are there, but not every port the route names: once
  // a round trip has let the ports still on their way arrive, the ports that
  // are not there are reported, once for the route.
  #lookAtNames(sourceId, sinkId) {
    if (this.#namesLooked || this.#namesTold) return;
    this.#namesLooked = true;
    this.#roundTrip().then(
      () => {
        this.#namesLooked = false;
        const [src, sink] = [this.#nodes.get(sourceId), this.#nodes.get(sinkId)];
        if (this.#closed || this.#namesTold || !src || !sink) return;
        const outputs = src.ports.filter((p) => p.direction === 0);
        const inputs = sink.ports.filter((p) => p.direction === 1);
        const has = (ports, n) => pairByNames(ports, ports, [[n, n]]).length > 0; // a port pairByNames finds by `n`
        const lacking = this.#ports.filter((pair) => pairByNames(outputs, inputs, [pair]).length === 0);
        if (lacking.length === 0) return;
        this.#namesTold = true;
        const why = lacking.map(([o, i]) =>
          has(outputs, o) ? `${JSON.stringify(sink.node.name)} has no input port named ${JSON.stringify(i)}` : `${JSON.stringify(src.node.name)} has no output port named ${JSON.stringify(o)}`,
        );
        this.#fail(new Error(`${this}: ${[...new Set(why)].join('; ')}: ${lacking.length} of its ${this.#ports.length} port pairs are not linked`));
      },
      () => (this.#namesLooked = false),
    );
  }

  #request(out, inp) {
    const key = pairKey(out, inp);
    if (this.#failed.has(key)) return; // until one of its nodes changes
    // Both ends are still there after a round trip: someone removed the link.
    if (this.#lost.delete(key)) this.#noteRemoval(key);
    this.#contention.run(
      key,
      () => this.#send(out, inp, key),
      () => !this.#closed && !this.#linkByPair.has(key) && this.#wants(out, inp),
    );
  }

  #send(out, inp, key) {
    const inFlight = this.#shared.linking;
    if (inFlight.has(key)) return;
    inFlight.add(key);
    const pending = this.#graph.link(out, inp).then(
      (link) => {
        inFlight.delete(key);
        // Made after close(): another route that wants it holds it, else it
        // is removed before close() resolves.
        if (this.#closed) {
          const successor = this.#otherRoutes().find((r) => r.#wants(link.srcPortId, link.sinkPortId));
          return successor ? successor.#adopt(link) : this.#unlink(link.id, serialOf(link)).catch(() => {});
        }
        this.#made.set(link.id, link);
        this.#addLink(link);
        emitEach(this, 'linked', [link]);
        // A later port changed the pairs while it was asked for (a lone
        // mono port's links to every channel, then its partner's port came):
        // looked at again, and taken back.
        if (!this.#wants(out, inp)) this.#touch(this.#portOwner.get(out));
      },
      (err) => {
        inFlight.delete(key);
        // Someone made the same link meanwhile, or an end went away: the
        // graph's own events tell the rest.
        if (this.#closed || err.code === 'EEXIST' || !this.#portOwner.has(out) || !this.#portOwner.has(inp)) return;
        if (err.code === 'EBUSY') this.#busy(out, inp, key, err);
        else this.#fail(err);
      },
    );
    this.#pending.add(pending);
    pending.finally(() => this.#pending.delete(pending));
  }

  // Someone else removed a link of ours while both its ends stayed. Removals that keep coming make the
  // next requests for that pair wait longer and longer.
  #noteRemoval(key) {
    const contested = this.#contention.note(key);
    if (!contested) return;
    const [out, inp] = key.split(':');
    this.#fail(
      new Error(
        `${this}: the link from port ${out} to port ${inp} is contested: another client removed it ` +
          `${contested.count} times in ${contested.seconds} s; asking again at most every ${CONTEST_LIMIT_MS / 1000} s`,
      ),
    );
  }

  // A failure no event will mend. Reported to "error" listeners; without
  // one, as a process warning once per failure (reportUnheard), never an
  // uncaught exception. Told on the next tick, so that a listener added
  // right after the rule was made gets what its first look at the graph
  // found.
  #fail(err) {
    process.nextTick(() => {
      if (!this.#closed) reportUnheard(this, err);
    });
  }
}

// sameSet(a, b) → whether the Sets hold the same values (false for no `a`).
function sameSet(a, b) {
  if (!a || a.size !== b.size) return false;
  for (const x of a) if (!b.has(x)) return false;
  return true;
}

module.exports = { LinkRule };
