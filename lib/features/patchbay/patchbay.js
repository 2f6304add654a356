'use strict';
// A patchbay: a set of rules (rules.js) kept applied on a Graph for as long
// as it is open. Routes keep their links, "never" rules remove links,
// volumes and defaults are set as nodes come, devices are owned. update()
// applies the difference to new rules: a rule that stays the same keeps what
// it holds untouched. Everything it does is emitted as one "action" each:
//   { kind: 'linked' | 'unlinked', rule, link, out, in }      a route's link
//   { kind: 'removed', rule, link, out, in }                  a "never" rule's removal
//   { kind: 'volume', rule, node, id, volume?, mute? }        a volume set
//   { kind: 'default', rule, defaultKind, node }              a default set
//   { kind: 'created' | 'destroyed', rule, node, id }         a device, a filter or a loopback
//   { kind: 'gave-back', rule, from, to, by }                 what an exclusive route took, given back
//   { kind: 'profile', rule, device, id, profile }            a device's profile set
// `rule` names it as the file does: 'routes[0]', 'never[1]', 'defaults.audioSink'.
const { EventEmitter } = require('node:events');
const { checkRules, rulesToJSON } = require('./rules');
const { clockRate } = require('../effects/bands');
const { ForbiddenLinks } = require('./forbidden-links');
const { VolumePreset, DefaultPreset } = require('./presets');
const { OwnedDevice } = require('./owned-device');
const { RuleEvents } = require('./rule-events');
const { ProfilePreset } = require('./profile-preset');
const { OwnedEffect } = require('./owned-effect');
const { reportUnheard } = require('../../core/unheard');
const { plainName } = require('../resolve-node');
const { FirstOf } = require('./first-of');

const SECTION_OF = { route: 'routes', never: 'never', volume: 'volumes', device: 'devices', profile: 'profiles', filter: 'filters', loopback: 'loopbacks' };

// One rule of each kind as the entries of a patchbay hold them, with the key
// that tells two rules apart: the rule as the file would write it.
function entriesOf(rules) {
  const json = rulesToJSON(rules);
  const out = [];
  for (const [kind, section] of Object.entries(SECTION_OF)) {
    rules[section].forEach((rule, i) => out.push({ kind, rule, label: `${section}[${i}]`, key: `${kind}:${JSON.stringify(json[section][i])}` }));
  }
  for (const [defaultKind, names] of Object.entries(rules.defaults)) {
    out.push({ kind: 'default', rule: { kind: defaultKind, names }, label: `defaults.${defaultKind}`, key: `default:${defaultKind}:${JSON.stringify(names)}` });
  }
  return out;
}

class Patchbay extends EventEmitter {
  #graph;
  #shared;
  #events; // the Graph's events, handed on to the rules
  #rules;
  #entries = []; // { kind, rule, label, key, impl }
  #closed = null; // the Promise of close()
  // Names for the actions, read once and kept from the events: a look at the
  // whole graph per action would delay the events behind it.
  #portNames = null; // port id -> [node id, port name]
  #nodeNames = null; // node id -> name
  #names = {
    'node-created': (n) => this.#nodeNames?.set(n.id, n.name),
    'node-changed': (n) => this.#nodeNames?.set(n.id, n.name),
    'node-destroyed': (id) => this.#nodeNames?.delete(id),
    'port-created': (p) => this.#portNames?.set(p.id, [p.nodeId, p.name]),
    'port-destroyed': (id) => this.#portNames?.delete(id),
  };

  // `listen(name, fn)`: the Graph's internal listeners (see Route).
  constructor(graph, rules, { shared, listen }) {
    super();
    this.#graph = graph;
    this.#shared = shared;
    this.#rules = checkRules(rules, { rate: clockRate(graph, Infinity) });
    this.#events = new RuleEvents(listen);
    for (const [e, fn] of Object.entries(this.#names)) this.#events.on(e, fn);
    this.#entries = this.#start(entriesOf(this.#rules));
  }

  /** The rules in force, as a rules file writes them. */
  get rules() {
    return rulesToJSON(this.#rules);
  }

  /** Each rule in force: { rule: 'routes[0]', kind, links? (a route's links now) }. */
  list() {
    return this.#entries.map((e) => ({ rule: e.label, kind: e.kind, ...(e.kind === 'route' ? { links: e.impl.links } : {}) }));
  }

  /**
   * Replaces the rules: checked whole first (a RulesError, and nothing changes), then rules no longer there stop
   * (their links are removed, exclusive routes give back), new ones start, and those unchanged keep what they hold.
   * Resolves once the rules gone have let go: with { added, removed, kept } counts.
   */
  async update(rules) {
    if (this.#closed) throw new Error('patchbay closed');
    const next = checkRules(rules, { rate: clockRate(this.#graph, Infinity) });
    const wanted = entriesOf(next);
    const old = new Map(); // key -> entries still free to keep, in order
    for (const e of this.#entries) {
      if (!old.has(e.key)) old.set(e.key, []);
      old.get(e.key).push(e);
    }
    const fresh = [];
    const entries = wanted.map((w) => {
      const kept = old.get(w.key)?.shift();
      if (kept) return Object.assign(kept, { label: w.label });
      fresh.push(w);
      return w;
    });
    const gone = [...old.values()].flat();
    this.#rules = next;
    this.#entries = entries;
    this.#start(fresh);
    await Promise.all(gone.map((e) => this.#stop(e)));
    return { added: fresh.length, removed: gone.length, kept: entries.length - fresh.length };
  }

  /** Stops every rule: removes what they made (lingering links stay), gives back what exclusive routes took. */
  close() {
    if (!this.#closed) {
      const entries = this.#entries;
      this.#entries = [];
      // The rules still listen to the graph while they let go (a give-back waits for links).
      this.#closed = Promise.all(entries.map((e) => this.#stop(e))).then(() => {
        this.#events.close();
        this.emit('closed');
      });
    }
    return this.#closed;
  }

  // --- the rules' workers ---------------------------------------------------------

  #start(entries) {
    // One listing of the graph for all the rules that start together.
    let view;
    const listing = () => (view ??= { nodes: this.#graph.nodes(), ports: this.#graph.ports(), links: this.#graph.links() });
    const events = this.#events;
    for (const e of entries) {
      const emitAction = (action) => this.#emitAction(e, action);
      const emitError = (err) => this.#emitError(e, err);
      if (e.kind === 'route') e.impl = this.#startRoute(e, listing());
      else if (e.kind === 'never') e.impl = new ForbiddenLinks(this.#graph, e.rule, { shared: this.#shared, view: listing(), events, emitAction, emitError, name: (id) => this.#portName(id) });
      else if (e.kind === 'volume') e.impl = new VolumePreset(this.#graph, e.rule, { shared: this.#shared, view: listing(), events, emitAction, emitError });
      else if (e.kind === 'default') e.impl = new DefaultPreset(this.#graph, e.rule, { events, emitAction, emitError });
      else if (e.kind === 'profile') e.impl = new ProfilePreset(this.#graph, e.rule, { events, emitAction, emitError });
      else if (e.kind === 'filter' || e.kind === 'loopback') e.impl = new OwnedEffect(this.#graph, e.kind, e.rule, { events, emitAction, emitError });
      else e.impl = new OwnedDevice(this.#graph, e.rule, { events, emitAction, emitError });
    }
    return entries;
  }

  #startRoute(e, view) {
    const { channels, exclusive, ports } = e.rule;
    // A rule's plain name as a name: it fits a node's JACK name or description too.
    const side = (m, what) => (m instanceof FirstOf ? m.bind(() => this.#graph.nodes(), `${e.label}.${what}`) : plainName(m) ?? m);
    const route = this.#graph.linkRule({ from: side(e.rule.from, 'from'), to: side(e.rule.to, 'to'), channels, exclusive, ports }, { view });
    const link = (kind) => (l) => this.#emitAction(e, { kind, link: l, out: this.#portName(l.srcPortId), in: this.#portName(l.sinkPortId) });
    route.on('linked', link('linked'));
    route.on('unlinked', link('unlinked'));
    route.on('error', (err) => this.#emitError(e, err));
    return route;
  }

  async #stop(e) {
    if (e.kind !== 'route') return e.impl.close();
    const name = (id) => this.#graph.nodes().find((n) => n.id === id)?.name ?? String(id);
    const given = await e.impl.close().catch(() => []);
    for (const back of given) {
      if (back.error) this.#emitError(e, new Error(`could not give back ${name(back.from)} -> ${name(back.to)}: ${back.error.message}`));
      else this.#emitAction(e, { kind: 'gave-back', from: name(back.from), to: name(back.to), by: back.by });
    }
  }

  // The rule's action, emitted as "action" with the rule's name.
  #emitAction(e, action) {
    this.emit('action', { kind: action.kind, rule: e.label, ...action });
  }

  // The rule's error, emitted as "error" with the rule's name; without an
  // "error" listener, a process warning once per failure (reportUnheard).
  #emitError(e, err) {
    err.rule = e.label;
    reportUnheard(this, err, `${e.label}: ${err.message}`);
  }

  #portName(id) {
    if (!this.#portNames?.has(id)) {
      this.#nodeNames = new Map(this.#graph.nodes().map((n) => [n.id, n.name]));
      this.#portNames = new Map(this.#graph.ports().map((p) => [p.id, [p.nodeId, p.name]]));
    }
    const port = this.#portNames.get(id);
    return port ? `${this.#nodeNames.get(port[0]) ?? port[0]}:${port[1]}` : String(id);
  }
}

module.exports = { Patchbay };
