'use strict';
// The Graph: one caller's handle on the mirror of the PipeWire graph, as an
// EventEmitter, with waits and link requests that settle as Promises. Every
// handle shares the process's one connection (and mirror) with the others
// and with createPwThread / destroyPwThread.
const { EventEmitter } = require('node:events');
const addon = require('../connection/addon');
const { abortableWait } = require('../connection/abortable');
const { describeMatcher } = require('../features/match');
const { nodeMatcher } = require('../features/resolve-node');
const links = require('../features/links');
const { nodeSides, legacySides } = require('../features/node-sides');
const virtualNodes = require('../features/virtual-nodes');
const control = require('../features/control');
const { MIRROR_EVENTS } = require('../connection/event-kinds');
const { callEach, emitEach } = require('../connection/call-each');
const { serialOf } = require('../connection/serial');
const { checkId, checkOptions, checkTimeout, checkBoolean, checkDirection, checkSignal, deprecated } = require('../core/arguments');

const LINK_UNTIL = new Set(['announced', 'ready']);
// Told by the connection beside the mirror's events.
const CONTROL_EVENTS = new Set(['metadata-changed', 'defaults-changed']);
// How long close() waits for each link of the handle to go.
const CLOSE_UNLINK_MS = 2000;
// How long close() waits for each node the handle made to go: longer than
// destroyNode's default, since a daemon that has just been told to remove
// hundreds of the handle's meters and streams answers after all of them
// (seconds on a loaded machine).
const CLOSE_NODE_MS = 10000;
// Why a round trip could not be asked for (graphSync's -1 or -2).
const syncError = (seq) =>
  new Error(seq === -2 ? `the PipeWire thread did not answer within ${addon.constants.limits.handoffDeadlineMs} ms` : 'PipeWire not connected');

// The options each method takes: any other key is refused, not ignored.
const OPTIONS = {
  waitForNode: ['direction', 'timeoutMs', 'signal'],
  waitForPorts: ['direction', 'count', 'timeoutMs', 'signal'],
  link: ['timeoutMs', 'until', 'linger'],
  linkNodes: ['timeoutMs', 'linger'],
  unlinkNodes: ['timeoutMs'],
  unlink: ['timeoutMs'],
  snapshot: ['all'],
  linkRule: ['from', 'to', 'channels', 'exclusive', 'ports'],
};

// waitForNode's direction: 'in' or 'out', the way the node's data goes
// (nodeSides); `ports()` lists the ports, asked for only for a node whose
// class says nothing. 'Input' and 'Output', as waitForNewNode takes them,
// keep their sense there (the capture and the playback side), deprecated.
const LEGACY_NODE_SIDE = { Input: 'isInput', Output: 'isOutput' };
function nodeDirectionFilter(direction, what, ports) {
  if (direction === undefined) return () => true;
  if (typeof direction === 'string' && Object.hasOwn(LEGACY_NODE_SIDE, direction)) {
    deprecated(`${what}:${direction}`, `${what}: direction '${direction}' selects by isInput/isOutput, as waitForNewNode does; 'out' (sources, playing streams) or 'in' (sinks, recording streams) say which way the data goes (see CHANGELOG.md)`);
    const side = LEGACY_NODE_SIDE[direction];
    return (n) => legacySides(n, ports())[side];
  }
  const side = checkDirection(direction, what);
  return (n) => nodeSides(n, ports())[side];
}

// waitForPorts' direction: 'in' or 'out'; 'Input' and 'Output' too.
const PORT_LEGACY = { legacy: { Input: 'in', Output: 'out' } };
function portDirectionFilter(direction, what) {
  const side = checkDirection(direction, what, PORT_LEGACY);
  if (side === undefined) return () => true;
  return side === 'in' ? (p) => p.direction === 1 : (p) => p.direction === 0;
}

class Graph extends EventEmitter {
  #state = 'connecting'; // connecting | connected | disconnected | closed
  #connection;
  #reconnect;
  #waits = new Set(); // (kind, payload) => void, for every event; 'closed' at the end
  #made = new Set(); // ids of the links this handle made and that exist
  #linkRules = new Set();
  #patchbays = new Set();
  #ownNodes = new Set(); // ids of the nodes this handle made without linger
  #meters = new Map(); // id -> Meter, while it runs
  #profilers = new Set();
  #closing = null; // the Promise of close()
  // The package's own listeners (routes, the give-back, destroyNode): event
  // name -> Set of (payload, changed) => void. Told before the listeners of
  // `on`, and out of user code's reach: removeAllListeners() or a listener
  // that throws leaves them hearing every event.
  #internal = new Map();

  #faces; // { mqtt(graph, options) }: what the package's entry point lends

  constructor(connection, { reconnect, faces = {} }) {
    super();
    this.#connection = connection;
    this.#faces = faces;
    this.#features.connection = connection;
    this.#reconnect = reconnect;
    this.#subscription.reconnect = reconnect;
  }

  get state() {
    return this.#state;
  }

  // Joins the connection; resolves once the mirror holds the daemon's whole
  // graph. Rejected, the handle is closed.
  async start(timeoutMs) {
    this.#connection.attach(this.#subscription);
    try {
      await this.#connection.ready(timeoutMs, this.#reconnect);
    } catch (e) {
      this.#shutdown(new Error('Graph closed'));
      throw e;
    }
    if (this.#state === 'connecting') this.#state = 'connected';
    return this;
  }

  // What the connection calls on this handle.
  #subscription = {
    reconnect: false,
    deliver: (name, payload, changed) => this.#deliver(name, payload, changed),
    lost: (message, wasConnected, keep) => this.#lost(message, wasConnected, keep),
  };

  // --- the mirror -----------------------------------------------------------

  nodes() {
    return control.withControls(addon.graphNodes());
  }

  ports() {
    return addon.graphPorts();
  }

  links() {
    return addon.graphLinks();
  }

  find(matcher) {
    const match = nodeMatcher(matcher, 'find', { defaults: () => this.defaults });
    return this.nodes().filter(match);
  }

  // --- waits ------------------------------------------------------------------

  waitForNode(matcher, options) {
    try {
      var { direction, timeoutMs = 5000, signal } = checkOptions(options, OPTIONS.waitForNode, 'waitForNode');
      var match = nodeMatcher(matcher, 'waitForNode', { defaults: () => this.defaults });
      var wanted = nodeDirectionFilter(direction, 'waitForNode', () => this.ports());
      checkTimeout(timeoutMs, 'waitForNode');
      checkSignal(signal, 'waitForNode');
    } catch (e) {
      return Promise.reject(e);
    }
    const fits = (n) => wanted(n) && match(n);
    return this.#wait(
      { timeoutMs, signal, timeoutError: () => new Error(`node ${describeMatcher(matcher)} did not appear within ${timeoutMs} ms`) },
      (settle) => {
        const present = this.nodes().find(fits);
        if (present) return settle.resolve(present);
        // Nodes of the name whose direction is not known yet: one without a
        // media class (a JACK client's) tells it by its ports, which come
        // after it.
        const named = new Map();
        if (direction !== undefined) for (const n of this.nodes()) if (match(n)) named.set(n.id, n);
        return {
          // A node may come to match later, when its properties change.
          onEvent: (kind, node) => {
            if ((kind === 'node-created' || kind === 'node-changed') && direction !== undefined) {
              if (match(node)) named.set(node.id, node);
              else named.delete(node.id);
            }
            if (kind === 'node-destroyed') named.delete(node);
            else if (kind === 'port-created' && named.has(node.nodeId) && fits(named.get(node.nodeId))) settle.resolve(named.get(node.nodeId));
            if ((kind === 'node-created' || kind === 'node-changed') && fits(node)) settle.resolve(node);
            // A default name comes to match a present node when the default changes.
            else if (kind === 'defaults-changed') {
              const now = this.nodes().find(fits);
              if (now) settle.resolve(now);
            }
          },
        };
      },
      { survivesReconnect: true },
    );
  }

  waitForPorts(nodeId, options) {
    try {
      checkId(nodeId, 'waitForPorts', 'nodeId');
      var { direction, count, timeoutMs = 5000, signal } = checkOptions(options, OPTIONS.waitForPorts, 'waitForPorts');
      var wanted = portDirectionFilter(direction, 'waitForPorts');
      if (count !== undefined && !(Number.isInteger(count) && count >= 1)) {
        throw new TypeError('waitForPorts: count must be a whole number of at least 1');
      }
      checkTimeout(timeoutMs, 'waitForPorts');
      checkSignal(signal, 'waitForPorts');
    } catch (e) {
      return Promise.reject(e);
    }
    const portsNow = () => addon.graphPorts(nodeId).filter(wanted);
    return this.#wait(
      { timeoutMs, signal, timeoutError: () => new Error(`node ${nodeId} did not get its ports within ${timeoutMs} ms`) },
      (settle) => {
        if (!this.nodes().some((n) => n.id === nodeId)) return settle.reject(new Error(`no node ${nodeId}`));
        // Without a count: at least one port, once the daemon has sent all
        // it announced so far (a round trip), so a node's ports come whole.
        let syncSeq = -1;
        const check = () => {
          const ports = portsNow();
          if (count !== undefined ? ports.length >= count : ports.length > 0 && syncSeq < 0) settle.resolve(ports);
        };
        const sync = () => {
          syncSeq = addon.graphSync();
          if (syncSeq < 0) settle.reject(syncError(syncSeq));
        };
        if (count !== undefined) check();
        else sync();
        return {
          onEvent: (kind, payload) => {
            if (kind === 'node-destroyed' && payload === nodeId) settle.reject(new Error(`node ${nodeId} was removed`));
            else if (kind === 'port-created' && payload.nodeId === nodeId && wanted(payload)) {
              if (count !== undefined) check();
              else if (syncSeq < 0) sync();
            } else if (kind === 'sync-done' && payload.id === syncSeq) {
              syncSeq = -1;
              check();
            }
          },
        };
      },
    );
  }

  // --- links ------------------------------------------------------------------

  // until: 'announced' resolves with the link as the registry announces
  // it; 'ready' once its state is "paused" or "active" (rejecting with the
  // daemon's text when it enters "error"). A lingering link ("object.linger")
  // is not this handle's: it stays after close() and the process, until
  // someone unlinks it.
  // Port ids that are not ids (2**32 + 19, 19.75, -1) are refused with a
  // RangeError, never wrapped into another port's id.
  link(outputPortId, inputPortId, options) {
    try {
      checkId(outputPortId, 'link', 'outputPortId');
      checkId(inputPortId, 'link', 'inputPortId');
      var { timeoutMs = 3000, until = 'announced', linger = false } = checkOptions(options, OPTIONS.link, 'link');
      checkTimeout(timeoutMs, 'link');
      if (!LINK_UNTIL.has(until)) throw new TypeError("link: until must be 'announced' or 'ready'");
      checkBoolean(linger, 'link', 'linger');
    } catch (e) {
      return Promise.reject(e);
    }
    let linkId; // once announced, while waiting for 'ready'
    let delivered = false;
    return this.#wait(
      {
        timeoutMs,
        timeoutError: () =>
          new Error(
            linkId === undefined
              ? `link ${outputPortId} -> ${inputPortId}: no answer within ${timeoutMs} ms`
              : `link ${outputPortId} -> ${inputPortId}: not ready within ${timeoutMs} ms`,
          ),
      },
      (settle) => {
        const ready = (link) => {
          if (link.state === 'paused' || link.state === 'active') {
            delivered = true;
            settle.resolve(link);
          } else if (link.state === 'error') settle.reject(new Error(link.error || 'the link failed'));
        };
        // Changes heard before the request learnt its link's id (the
        // announcement may come before the daemon's answer to the request).
        const early = new Map();
        const announced = (link) => {
          if (!linger) this.#made.add(link.id);
          if (until === 'announced') {
            delivered = true;
            return settle.resolve(link);
          }
          linkId = link.id;
          ready(early.get(linkId) ?? link);
          early.clear();
        };
        const forget = this.#connection.requestLink(outputPortId, inputPortId, { resolve: announced, reject: settle.reject }, { linger });
        return {
          onEvent: (kind, payload) => {
            if (until !== 'ready') return;
            if (linkId === undefined) {
              if (kind === 'link-changed') early.set(payload.id, payload);
              return;
            }
            if (kind === 'link-changed' && payload.id === linkId) ready(payload);
            else if (kind === 'link-destroyed' && payload === linkId) settle.reject(new Error(`link ${linkId} was removed`));
          },
          cleanup: () => {
            forget();
            // Made, but not handed to the caller (not ready in time, failed,
            // or the Graph closed): removed, as nobody else will.
            if (linkId !== undefined && !delivered) this.#connection.unlink(linkId, CLOSE_UNLINK_MS).catch(() => {});
          },
        };
      },
    );
  }

  // Every output of `source` linked to its partner input of `sink` of its
  // type (audio by channel, then by position; MIDI, video and control by
  // position; lib/features/links.js): resolves with the links between them,
  // those made and those there already (a port with no partner of its type
  // is left alone); rejects with an Error (code 'EINVAL') when no port pairs
  // up, with an AggregateError of the daemon's refusals (`err.links`: those
  // made).
  async linkNodes(source, sink, options) {
    const { timeoutMs = 3000, linger = false } = checkOptions(options, OPTIONS.linkNodes, 'linkNodes');
    checkTimeout(timeoutMs, 'linkNodes');
    checkBoolean(linger, 'linkNodes', 'linger');
    const { made, existing } = await links.linkNodes(this, source, sink, { timeoutMs, linger }, 'linkNodes');
    return [...made, ...existing];
  }

  // Every link from an output of `source` to an input of `sink`, whoever
  // made it, removed: resolves with { unlinked: [ids] }; rejects with an
  // Error (code 'ENOENT') when none links them.
  async unlinkNodes(source, sink, options) {
    const { timeoutMs = 3000 } = checkOptions(options, OPTIONS.unlinkNodes, 'unlinkNodes');
    checkTimeout(timeoutMs, 'unlinkNodes');
    return links.unlinkNodes(this, source, sink, { timeoutMs }, 'unlinkNodes');
  }

  // A link already gone counts as removed. A link object pins the link by its
  // serial, so that an id the daemon has given to a newer object since is
  // left alone.
  unlink(link, options) {
    let linkId, serial, timeoutMs;
    try {
      if (link !== null && typeof link === 'object') {
        linkId = checkId(link.id, 'unlink', 'link.id');
        serial = serialOf(link);
      } else linkId = checkId(link, 'unlink', 'link');
      ({ timeoutMs = 3000 } = checkOptions(options, OPTIONS.unlink, 'unlink'));
      checkTimeout(timeoutMs, 'unlink');
    } catch (e) {
      return Promise.reject(e);
    }
    return this.#wait({}, (settle) => {
      this.#connection.unlink(linkId, timeoutMs, serial).then(settle.resolve, settle.reject);
    });
  }

  // --- virtual devices --------------------------------------------------------

  // A node made without `linger` belongs to this handle: it goes with close().
  async createNode(options) {
    const node = await virtualNodes.createNode(this.#features, options);
    if (!options.linger) this.#ownNodes.add(node.id);
    return node;
  }

  destroyNode(node, options) {
    return virtualNodes.destroyNode(this.#features, node, options);
  }

  // --- volume, mute, defaults, moves -------------------------------------------

  get defaults() {
    return this.#connection.defaults();
  }

  // The metadata object named `name` as a live read-only view ({ name,
  // owner, get(subject, key), entries(subject), dropped }), or null.
  metadata(name = 'default') {
    if (typeof name !== 'string') throw new TypeError('metadata: name must be a string');
    return this.#connection.metadata(name);
  }

  setVolume(node, volume, options) {
    return control.setVolume(this.#features, node, volume, options);
  }

  setMute(node, mute, options) {
    return control.setMute(this.#features, node, mute, options);
  }

  setDefault(kind, node, options) {
    return control.setDefault(this.#features, kind, node, options);
  }

  move(stream, target, options) {
    return control.move(this.#features, stream, target, options);
  }

  // What lib/features/ works with: waits that end with this handle, and the
  // internal listeners.
  #features = {
    graph: this,
    connection: null, // set by the constructor
    wait: (options, start) => this.#wait(options, start),
    listen: (name, fn) => this.#listen(name, fn),
    setMetadata: (subject, key, type, value, options) =>
      this.#wait({}, (settle) => {
        this.#connection.setMetadata(subject, key, type, value, options).then(settle.resolve, settle.reject);
      }),
  };

  // --- link rules ---------------------------------------------------------------

  // A LinkRule (lib/features/link-rules/link-rule.js): links from the nodes
  // matching `from` to those matching `to`, kept as they come and go.
  // `view` ({ nodes, ports, links } as the Graph lists them now): for code of
  // the package that starts many rules at once, one look at the graph for all.
  linkRule(options, { view } = {}) {
    if (this.#state === 'closed') throw new Error('Graph closed');
    if (options !== null && typeof options === 'object') checkOptions(options, OPTIONS.linkRule, 'linkRule');
    const { LinkRule } = require('../features/link-rules/link-rule'); // loaded with the first rule: a one-shot listing needs none
    const rule = new LinkRule(this, options, {
      shared: this.#connection,
      listen: (name, fn) => this.#listen(name, fn),
      roundTrip: () => this.#roundTrip(),
      unlink: (id, serial) => this.#connection.unlink(id, CLOSE_UNLINK_MS, serial),
      onClose: (r) => this.#linkRules.delete(r),
      view,
    });
    this.#linkRules.add(rule);
    return rule;
  }

  // The name of linkRule() before 0.2: "route" is a device's Route in
  // PipeWire (setRoute()).
  route(options, internal) {
    deprecated('route', 'graph.route() is now graph.linkRule() (see CHANGELOG.md)');
    return this.linkRule(options, internal);
  }

  // --- level meters ------------------------------------------------------------

  // A Meter (lib/features/meters/meter.js) of `node` (a node or a port):
  // "level" events at `rateHz`, "end" once; it ends with close(), with the
  // node and with the handle, and finds its node again after a reconnect.
  meter(node, options) {
    if (this.#state === 'closed') throw new Error('Graph closed');
    const { Meter, checkMeterCount } = require('../features/meters/meter'); // loaded with the first meter
    checkMeterCount(this.#meters.size);
    const meter = new Meter(this, node, options, {
      listen: (name, fn) => this.#listen(name, fn),
      reconnect: this.#reconnect,
      onEnd: (m) => this.#meters.delete(m.id),
    });
    if (!meter.ended) this.#meters.set(meter.id, meter);
    return meter;
  }

  // The daemon's profiler (lib/features/profiler.js): "profile" and "xrun"
  // events until close(). An Error when the daemon has no profiler.
  profiler() {
    if (this.#state === 'closed') throw new Error('Graph closed');
    const { Profiler } = require('../features/profiler');
    const profiler = new Profiler({ onClose: (p) => this.#profilers.delete(p) });
    this.#profilers.add(profiler);
    return profiler;
  }

  // --- the patchbay ------------------------------------------------------------

  // Rules kept applied (lib/features/patchbay): routes, "never" rules,
  // volumes, defaults and devices, changed with update(), ended with close().
  patchbay(rules) {
    if (this.#state === 'closed') throw new Error('Graph closed');
    const { Patchbay } = require('../features/patchbay/patchbay'); // loaded with the first patchbay
    const patchbay = new Patchbay(this, rules, { shared: this.#connection, listen: (name, fn) => this.#listen(name, fn) });
    this.#patchbays.add(patchbay);
    patchbay.once('closed', () => this.#patchbays.delete(patchbay));
    return patchbay;
  }

  // The links now as rules (lib/features/patchbay/snapshot.js); the session
  // manager's own links left out unless `all`.
  snapshot(options) {
    const { all = false } = checkOptions(options, OPTIONS.snapshot, 'snapshot');
    const { snapshot } = require('../features/patchbay/snapshot');
    return snapshot(this, { all, manager: this.#connection.metadata('default')?.owner });
  }

  // Resolves once the daemon has answered a round trip: every change it
  // announced before has been heard.
  #roundTrip() {
    return this.#wait({}, (settle) => {
      const seq = addon.graphSync();
      if (seq < 0) return settle.reject(syncError(seq));
      return {
        onEvent: (kind, payload) => {
          if (kind === 'sync-done' && payload.id === seq) settle.resolve();
        },
      };
    });
  }

  // --- lifecycle --------------------------------------------------------------

  // Ends this handle: its patchbays, meters and link rules close (an
  // exclusive rule gives back what it took, which needs the handle still
  // listening) and the nodes it made without linger go; then its waits
  // reject "Graph closed" and the links it made go. The connection closes
  // with the last handle, unless createPwThread holds it. Resolves once all
  // that is done; rejects, after doing all it can, with an AggregateError
  // of what it could not remove (what went away by itself, or with the
  // connection, is removed). Idempotent.
  close() {
    if (!this.#closing) {
      this.#closing = (async () => {
        const [steps, what] = [[], []];
        const step = (label, promise) => (what.push(label), steps.push(promise));
        for (const p of this.#patchbays) step('a patchbay', p.close());
        for (const m of this.#meters.values()) step(`meter ${m.id}`, m.close());
        for (const r of this.#linkRules) step(String(r), r.close());
        for (const id of this.#ownNodes) step(`node ${id}`, virtualNodes.destroyNode(this.#features, id, { timeoutMs: CLOSE_NODE_MS }));
        const failed = [];
        const settled = await Promise.allSettled(steps);
        const made = [...this.#made];
        const unlinks = [];
        await this.#shutdown(new Error('Graph closed'), () => (unlinks.push(...made.map((id) => this.#connection.unlink(id, CLOSE_UNLINK_MS))), unlinks.map((u) => u.catch(() => {}))));
        settled.forEach((r, i) => r.status === 'rejected' && failed.push([what[i], r.reason]));
        (await Promise.allSettled(unlinks)).forEach((r, i) => r.status === 'rejected' && failed.push([`link ${made[i]}`, r.reason]));
        // Gone by itself, or with the connection: removed all the same.
        const real = failed.filter(([, e]) => e?.code !== 'ENOENT' && !/PipeWire not connected|PipeWire disconnected|Graph closed/.test(e?.message));
        if (real.length) {
          const errors = real.map(([label, e]) => Object.assign(e instanceof Error ? e : new Error(String(e)), { object: label }));
          throw new AggregateError(errors, `close: ${real.length} not removed: ${real.map(([label, e]) => `${label} (${e?.message})`).join('; ')}`);
        }
      })();
    }
    return this.#closing;
  }

  // A wait that also ends when the Graph closes (and, unless it says it
  // survives one, when the connection goes). `start(settle)` returns nothing
  // or { onEvent(kind, payload), cleanup() }.
  #wait(options, start, { survivesReconnect = false } = {}) {
    if (this.#state === 'closed') return Promise.reject(new Error('Graph closed'));
    return abortableWait(options, (settle) => {
      let hooks = {};
      const listener = (kind, payload) => {
        if (kind === 'closed' || (kind === 'disconnected' && !survivesReconnect)) settle.reject(payload);
        else if (kind !== 'disconnected') hooks.onEvent?.(kind, payload);
      };
      this.#waits.add(listener);
      hooks = start(settle) || {};
      return () => {
        this.#waits.delete(listener);
        hooks.cleanup?.();
      };
    });
  }

  // An internal listener; returns what removes it.
  #listen(name, fn) {
    if (!this.#internal.has(name)) this.#internal.set(name, new Set());
    const set = this.#internal.get(name);
    set.add(fn);
    return () => set.delete(fn);
  }

  // An event to the internal listeners, then to those of `on`. Each hears
  // it whatever the others do.
  #emit(name, ...args) {
    const internal = this.#internal.get(name);
    if (internal) callEach(internal, (fn) => fn(...args));
    emitEach(this, name, args);
  }

  #deliver(name, payload, changed) {
    if (this.#state === 'closed') return;
    if (name === 'profile' || name === 'profiler-xrun') {
      if (payload) for (const p of [...this.#profilers]) p.hear(name, payload);
      return;
    }
    if (name === 'meter-level') {
      for (const level of payload) this.#meters.get(level.id)?.hear(name, level); // every meter's at once
      return;
    }
    if (name === 'meter-ended' || name === 'meter-state') {
      if (payload) this.#meters.get(payload.id)?.hear(name, payload);
      return;
    }
    if (name === 'connected') {
      this.#state = 'connected';
      this.#emit('connected');
      return;
    }
    if (name === 'link-destroyed') this.#made.delete(payload);
    else if (name === 'node-destroyed') this.#ownNodes.delete(payload);
    callEach(this.#waits, (wait) => wait(name, payload));
    if (changed !== undefined) this.#emit(name, payload, changed);
    else if (MIRROR_EVENTS.has(name) || CONTROL_EVENTS.has(name)) this.#emit(name, payload);
  }

  #lost(message, wasConnected, keep) {
    const reason = new Error(`PipeWire disconnected: ${message}`);
    for (const wait of [...this.#waits]) wait('disconnected', reason);
    this.#made.clear(); // gone with the connection
    this.#ownNodes.clear();
    if (wasConnected && this.#state === 'connected') {
      this.#state = 'disconnected';
      this.#emit('disconnected', { message });
    }
    if (!keep && this.#state !== 'connecting') this.#shutdown(reason);
  }

  #shutdown(reason, beforeRelease = () => []) {
    if (this.#state === 'closed') return Promise.resolve();
    this.#state = 'closed';
    for (const meter of [...this.#meters.values()]) meter.end(reason.message);
    for (const profiler of [...this.#profilers]) profiler.close();
    for (const wait of [...this.#waits]) wait('closed', reason);
    const pending = beforeRelease();
    return Promise.all(pending).finally(() => this.#connection.detach(this.#subscription));
  }

  // --- MQTT ---------------------------------------------------------------------

  // This host's graph kept on an MQTT broker and commands taken from it
  // (lib/mqtt/bridge.js): resolves with the Bridge once the broker has taken
  // it; rejects with a TypeError/RangeError for bad options.
  mqtt(options) {
    if (this.#state === 'closed') return Promise.reject(new Error('Graph closed'));
    if (!this.#faces.mqtt) return Promise.reject(new Error("mqtt: a Graph of require('quorvane').connect() has the bridge"));
    return this.#faces.mqtt(this, options);
  }

  // --- effects ------------------------------------------------------------------

  // An equaliser (lib/features/effects/filter.js): PipeWire's filter-chain
  // module loaded into this process, its nodes gone with filter.close(),
  // with this handle and with the process.
  createFilter(options) {
    if (this.#state === 'closed') return Promise.reject(new Error('Graph closed'));
    const { createFilter } = require('../features/effects/filter'); // loaded with the first filter
    return createFilter(this.#features, options);
  }

  // A loopback from one node to another (lib/features/effects/loopback.js).
  createLoopback(options) {
    if (this.#state === 'closed') return Promise.reject(new Error('Graph closed'));
    const { createLoopback } = require('../features/effects/loopback'); // loaded with the first loopback
    return createLoopback(this.#features, options);
  }

  // One end of a stream between hosts (lib/features/fleet/stream-end.js):
  // PipeWire's network sink or source loaded into this process, kept linked to
  // a node of this host and loaded again after the daemon comes back. The
  // bridge's streams (lib/mqtt/streams.js) make them; `portRange` ([first,
  // last]) is where a receiver picks its UDP ports.
  streamEnd(options, { portRange } = {}) {
    if (this.#state === 'closed') return Promise.reject(new Error('Graph closed'));
    const { StreamEnd } = require('../features/fleet/stream-end'); // loaded with the first stream
    return StreamEnd.open(this.#features, options, portRange ? { portRange } : undefined);
  }

  // --- devices: profiles and routes ------------------------------------------------

  // The daemon's devices (sound cards, headsets) with their profiles and
  // routes, live (lib/features/cards.js); "device-created", "device-changed"
  // and "device-destroyed" as they change.
  devices() {
    const { withNodes } = require('../features/cards');
    return withNodes(addon.graphDevices(), this.nodes());
  }

  setProfile(device, nameOrIndex, options) {
    return require('../features/cards').setProfile(this.#features, device, nameOrIndex, options);
  }

  setRoute(device, nameOrIndex, options) {
    return require('../features/cards').setRoute(this.#features, device, nameOrIndex, options);
  }

  // --- latency ----------------------------------------------------------------

  // The latency a port's "Latency" params give, per direction, or those of
  // each port of a node (lib/features/latency.js). Entries of links() carry
  // their output port's input latency (up to the link) as `latency`.
  latency(portOrNode) {
    if (this.#state === 'closed') throw new Error('Graph closed');
    return require('../features/latency').latencyOf(this, portOrNode);
  }
}

module.exports = { Graph };
