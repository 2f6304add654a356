'use strict';
// A route keeps links from the output ports of every node that matches
// `from` to the input ports of every node that matches `to`, for as long as
// both exist: it links nodes as they come (once their ports are all there),
// links again what anyone removes, and, when exclusive, removes what others
// link from its sources elsewhere. It only ever removes links it made, or,
// when exclusive, links from its own sources.
const { EventEmitter } = require('node:events');
const { compileMatcher } = require('./match');
const { pairPorts } = require('./pairing');
const { kRoundTrip } = require('./graph');
const { Handback } = require('./handback');

// Pairs of ports some route of a Graph is linking right now: two routes that
// want the same pair never both ask for it.
const inFlightByGraph = new WeakMap();

const pairKey = (out, inp) => `${out}:${inp}`;

class Route extends EventEmitter {
  #graph;
  #from;
  #to;
  #channels;
  #exclusive;
  #closed = false;
  #nodes = new Map(); // id -> { node, source, sink, ports: [] }
  #portOwner = new Map(); // port id -> node id, for the nodes of this route
  #links = new Map(); // link id -> { out, in } for links touching our ports
  #linkByPair = new Map(); // 'out:in' -> link id
  #made = new Map(); // link id -> link, for links this route made
  #removing = new Set(); // link ids this route asked to remove
  #dirty = new Set(); // node ids to look at after the next round trip
  #syncing = false;
  #listeners;
  #handback = null; // exclusive: what was taken from others, to give back

  constructor(graph, options) {
    super();
    if (options === null || typeof options !== 'object') throw new TypeError('route requires { from, to }');
    const { from, to, channels = 'auto', exclusive = false } = options;
    if (from === undefined || to === undefined) throw new TypeError('route requires { from, to }');
    if (channels !== 'auto' && channels !== 'positional') {
      throw new TypeError("route: channels must be 'auto' or 'positional'");
    }
    if (typeof exclusive !== 'boolean') throw new TypeError('route: exclusive must be a boolean');
    this.#graph = graph;
    this.#from = compileMatcher(from, 'route: from');
    this.#to = compileMatcher(to, 'route: to');
    this.#channels = channels;
    this.#exclusive = exclusive;
    if (exclusive) this.#handback = new Handback(graph);
    if (!inFlightByGraph.has(graph)) inFlightByGraph.set(graph, new Set());

    this.#listeners = {
      'node-created': (node) => this.#addNode(node),
      'node-destroyed': (id) => this.#removeNode(id),
      'port-created': (port) => this.#addPort(port),
      'port-destroyed': (id) => this.#removePort(id),
      'link-created': (link) => this.#addLink(link),
      'link-destroyed': (id) => this.#removeLink(id),
    };
    for (const [name, fn] of Object.entries(this.#listeners)) graph.on(name, fn);

    for (const node of graph.nodes()) this.#addNode(node);
    for (const port of graph.ports()) this.#addPort(port);
    for (const link of graph.links()) this.#addLink(link);
  }

  /** The links this route made and holds now. */
  get links() {
    return [...this.#made.values()];
  }

  /**
   * Stops the route and removes the links it made; an exclusive route then
   * links its sources again where others had them (see lib/handback.js).
   * Resolves with what was given back.
   */
  async close() {
    if (this.#closed) return [];
    this.#closed = true;
    for (const [name, fn] of Object.entries(this.#listeners)) this.#graph.off(name, fn);
    const made = [...this.#made.keys()];
    await Promise.all(made.map((id) => this.#graph.unlink(id).catch(() => {})));
    this.#made.clear();
    const sinks = [...this.#nodes].filter(([, e]) => e.sink).map(([id]) => id);
    return this.#handback ? this.#handback.giveBack(sinks) : [];
  }

  // --- following the graph ------------------------------------------------------

  #addNode(node) {
    const source = this.#from(node);
    const sink = this.#to(node);
    if (source || sink) this.#nodes.set(node.id, { node, source, sink, ports: [] });
  }

  #removeNode(id) {
    const entry = this.#nodes.get(id);
    if (!entry) return;
    for (const port of entry.ports) this.#portOwner.delete(port.id);
    this.#nodes.delete(id);
  }

  // A node's ports arrive one by one, each announced before any link to it.
  // Pairs are made as they become possible: pairs by channel or by port
  // order stay right as more ports come, and a pair that a later port makes
  // wrong (a channel that only then finds its partner) is taken back.
  #addPort(port) {
    const entry = this.#nodes.get(port.nodeId);
    if (!entry) return;
    entry.ports.push(port);
    this.#portOwner.set(port.id, port.nodeId);
    this.#reconcile(port.nodeId);
  }

  #removePort(id) {
    const nodeId = this.#portOwner.get(id);
    if (nodeId === undefined) return;
    this.#portOwner.delete(id);
    const entry = this.#nodes.get(nodeId);
    if (entry) entry.ports = entry.ports.filter((p) => p.id !== id);
  }

  #addLink(link) {
    const srcNode = this.#portOwner.get(link.srcPortId);
    const sinkNode = this.#portOwner.get(link.sinkPortId);
    if (srcNode === undefined && sinkNode === undefined) return;
    this.#links.set(link.id, { out: link.srcPortId, in: link.sinkPortId });
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
    this.#removing.delete(id);
    const made = this.#made.get(id);
    if (made) {
      this.#made.delete(id);
      this.emit('unlinked', made);
    }
    // Whoever removed it, the pair is made again if both ends are still
    // there after a round trip: a node that goes takes its links first and
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
    this.#graph[kRoundTrip]().then(
      () => {
        this.#syncing = false;
        const dirty = [...this.#dirty];
        this.#dirty.clear();
        for (const id of dirty) this.#reconcile(id);
      },
      () => {
        // Disconnected: the reconnect announces everything again.
        this.#syncing = false;
        this.#dirty.clear();
      },
    );
  }

  // --- keeping the links ----------------------------------------------------------

  #reconcile(nodeId) {
    if (this.#closed) return;
    const entry = this.#nodes.get(nodeId);
    if (!entry) return;
    if (entry.source) this.#reconcileSource(nodeId, entry);
    if (entry.sink) {
      for (const [id, other] of this.#nodes) if (other.source && id !== nodeId) this.#reconcileSource(id, other);
    }
  }

  // Every pair the source's outputs should have, made where missing; links
  // from them that no pair wants are removed: the route's own always, others'
  // when exclusive.
  #reconcileSource(sourceId, source) {
    const outputs = source.ports.filter((p) => p.direction === 0);
    if (outputs.length === 0) return;
    const wanted = new Set();
    for (const [id, sink] of this.#nodes) {
      if (!sink.sink || id === sourceId) continue;
      const inputs = sink.ports.filter((p) => p.direction === 1);
      for (const [out, inp] of pairPorts(outputs, inputs, this.#channels)) {
        const key = pairKey(out.id, inp.id);
        wanted.add(key);
        if (!this.#linkByPair.has(key)) this.#request(out.id, inp.id, key);
      }
    }
    const mine = new Set(outputs.map((p) => p.id));
    for (const [id, link] of this.#links) {
      if (!mine.has(link.out) || wanted.has(pairKey(link.out, link.in)) || this.#removing.has(id)) continue;
      if (!this.#made.has(id) && !this.#exclusive) continue;
      this.#removing.add(id);
      const removal = this.#graph.unlink(id);
      if (!this.#made.has(id)) this.#handback?.take(id, removal);
      removal.catch((err) => {
        this.#removing.delete(id);
        if (!this.#closed && this.#links.has(id)) this.#fail(err);
      });
    }
  }

  #request(out, inp, key) {
    const inFlight = inFlightByGraph.get(this.#graph);
    if (inFlight.has(key)) return;
    inFlight.add(key);
    this.#graph.link(out, inp).then(
      (link) => {
        inFlight.delete(key);
        if (this.#closed) {
          this.#graph.unlink(link.id).catch(() => {});
          return;
        }
        this.#made.set(link.id, link);
        this.#addLink(link);
        this.emit('linked', link);
      },
      (err) => {
        inFlight.delete(key);
        // Someone made the same link meanwhile, or an end went away: the
        // graph's own events tell the rest.
        if (this.#closed || err.code === 'EEXIST' || !this.#portOwner.has(out) || !this.#portOwner.has(inp)) return;
        this.#fail(err);
      },
    );
  }

  // A failure no event will mend. Reported to "error" listeners; without one
  // it is dropped rather than ending the process.
  #fail(err) {
    if (this.listenerCount('error') > 0) this.emit('error', err);
  }
}

module.exports = { Route };
