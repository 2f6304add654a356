'use strict';
// Presets of a patchbay: a volume (and/or mute) set once on each matching
// node as it appears, after which the user may change it (a session manager
// that starts later restores its own state over it, so what was set before
// one ran is set once more as it comes); and default
// devices chosen from a list of preference, made the configured default
// again whenever one of them is added or removed.
const { nodeMatcher, plainName } = require('../resolve-node');

const SET_MS = 3000;
// How long after a session manager appears its restore of a node's volume is
// waited for, to be set over once.
const RESTORE_MS = 10000;
// How long before its "default" metadata a session manager's restore may
// come: WirePlumber 0.5 sets a node's "Props" a few milliseconds before it
// makes the metadata, so a change that close before it is taken as its
// restore, not as the user's choice.
const BEFORE_MS = 3000;
// How long a matching node's "Props" are waited for before it is reported
// as having none.
const PROPS_MS = 3000;

// 'volume' or 'mute' when the preset `rule` sets what `node` does not have
// (yet: its "Props" come a moment after it); else null.
function presetMissing(rule, node) {
  if (rule.volume !== undefined && node.channelVolumes === undefined) return 'volume';
  if (rule.mute !== undefined && node.mute === undefined) return 'mute';
  return null;
}

class VolumePreset {
  #graph;
  #rule;
  #emitAction;
  #emitError;
  #match;
  #done = new Set(); // node ids set, until the node is removed (an id then names another node)
  #unmanaged = new Set(); // of those, the ids set while no session manager ran (and not changed since)
  #changedAt = new Map(); // of those, id -> when another value showed (the user's, or a restore coming)
  #applied = new Set(); // ids the node has reported the preset of
  #restoring = new Set(); // ids whose restore by a session manager that just came is awaited
  #restoreTimer = null;
  #waiting = new Map(); // node id -> timer: its "Props" awaited
  #managed; // () => whether a session manager runs (its "default" metadata is there)
  #listeners;
  #events;

  constructor(graph, rule, { shared, view, events, emitAction, emitError }) {
    this.#graph = graph;
    this.#events = events;
    this.#rule = rule;
    this.#emitAction = emitAction;
    this.#emitError = emitError;
    this.#managed = () => shared.hasMetadata('default');
    let managed = this.#managed();
    // A session manager is there once its "default" metadata is. That
    // object's appearance is no event, and it may stay empty a while: it is
    // looked for at each change of metadata or of a node, before the change
    // is taken (a node changed by the manager's restore, or by the user).
    const lookForManager = () => {
      const was = managed;
      managed = this.#managed();
      if (managed && !was) this.#managerCame();
    };
    this.#match = nodeMatcher(plainName(rule.node) ?? rule.node, 'volumes: node');
    this.#listeners = {
      'node-created': (n) => this.#apply(n),
      'node-changed': (n) => {
        lookForManager();
        if (this.#restoring.has(n.id)) return this.#restored(n);
        // Changed since: the user's choice, which a session manager keeps,
        // unless a session manager's metadata follows within BEFORE_MS.
        if (this.#applied.has(n.id) && this.#differs(n) && this.#unmanaged.has(n.id)) {
          this.#changedAt.set(n.id, Date.now());
        }
        this.#apply(n);
      },
      'node-destroyed': (id) => {
        [this.#done, this.#unmanaged, this.#restoring, this.#applied, this.#changedAt].forEach((s) => s.delete(id));
        clearTimeout(this.#waiting.get(id));
        this.#waiting.delete(id);
      },
      'metadata-changed': (m) => m.name === 'default' && lookForManager(),
      'disconnected': () => (managed = false),
    };
    for (const [e, fn] of Object.entries(this.#listeners)) events.on(e, fn);
    for (const n of view.nodes) this.#apply(n);
  }

  close() {
    for (const [e, fn] of Object.entries(this.#listeners)) this.#events.off(e, fn);
    clearTimeout(this.#restoreTimer);
    for (const timer of this.#waiting.values()) clearTimeout(timer);
  }

  // A session manager came after nodes were set: it restores its own state
  // for them. Each is set once more when it shows another value (at once if
  // it does already), within RESTORE_MS; never again after that.
  #managerCame() {
    const since = Date.now() - BEFORE_MS;
    for (const id of this.#unmanaged) if (!(this.#changedAt.get(id) < since)) this.#restoring.add(id);
    this.#unmanaged.clear();
    this.#changedAt.clear();
    clearTimeout(this.#restoreTimer);
    this.#restoreTimer = setTimeout(() => this.#restoring.clear(), RESTORE_MS);
    for (const n of this.#graph.nodes()) if (this.#restoring.has(n.id)) this.#restored(n);
  }

  #restored(node) {
    if (!this.#differs(node)) return;
    this.#restoring.delete(node.id);
    this.#set(node);
  }

  // Whether the node shows a volume or mute other than the preset's.
  #differs(node) {
    const r = this.#rule;
    const volumeOff = r.volume !== undefined && node.volume !== undefined && Math.abs(node.volume - r.volume) > 1e-4;
    return volumeOff || (r.mute !== undefined && node.mute !== undefined && node.mute !== r.mute);
  }

  // A node's "Props" come a moment after the node: it is set once they are there.
  #apply(node) {
    const r = this.#rule;
    if (this.#done.has(node.id) || !this.#match(node)) return;
    if (presetMissing(r, node)) {
      // Reported once when they do not come: the node has no such control.
      if (!this.#waiting.has(node.id)) {
        this.#waiting.set(node.id, setTimeout(() => {
          this.#waiting.delete(node.id);
          const now = this.#graph.nodes().find((n) => n.id === node.id);
          if (!now || this.#done.has(node.id) || !presetMissing(r, now)) return;
          this.#done.add(node.id);
          this.#emitError(new Error(`volume of ${JSON.stringify(node.name)} not set: it has no ${presetMissing(r, now)}`));
        }, PROPS_MS));
      }
      return;
    }
    clearTimeout(this.#waiting.get(node.id));
    this.#waiting.delete(node.id);
    this.#done.add(node.id);
    if (!this.#managed()) this.#unmanaged.add(node.id);
    this.#set(node);
  }

  #set(node) {
    const r = this.#rule;
    const steps = [];
    if (r.volume !== undefined) steps.push(this.#graph.setVolume(node.id, r.volume, { timeoutMs: SET_MS }));
    if (r.mute !== undefined) steps.push(this.#graph.setMute(node.id, r.mute, { timeoutMs: SET_MS }));
    this.#applied.delete(node.id);
    Promise.all(steps).then(
      () => this.#applied.add(node.id) && this.#emitAction({ kind: 'volume', node: node.name, id: node.id, ...(r.volume !== undefined ? { volume: r.volume } : {}), ...(r.mute !== undefined ? { mute: r.mute } : {}) }),
      (err) => this.#emitError(new Error(`volume of ${JSON.stringify(node.name)} not set: ${err.message}`)),
    );
  }
}

class DefaultPreset {
  #graph;
  #kind;
  #names;
  #emitAction;
  #emitError;
  #listeners;
  #events;
  #pending = false;
  #closed = false;
  #reportedMissing = false; // the missing session manager, said once

  constructor(graph, { kind, names }, { events, emitAction, emitError }) {
    this.#graph = graph;
    this.#events = events;
    this.#kind = kind;
    this.#names = names;
    this.#emitAction = emitAction;
    this.#emitError = emitError;
    // Only the listed devices coming and going count: a choice of the user's
    // stands until then.
    const ids = new Set();
    const named = (n) => names.includes(n.name) && ids.add(n.id);
    this.#listeners = {
      'node-created': (n) => named(n) && this.#soon(),
      'node-destroyed': (id) => ids.delete(id) && this.#soon(),
      connected: () => this.#soon(),
      // The session manager's metadata appearing, after a failure for want of it.
      'metadata-changed': (m) => m.name === 'default' && this.#reportedMissing && this.#soon(),
    };
    for (const [e, fn] of Object.entries(this.#listeners)) events.on(e, fn);
    for (const n of graph.nodes()) named(n);
    this.#soon();
  }

  close() {
    this.#closed = true;
    for (const [e, fn] of Object.entries(this.#listeners)) this.#events.off(e, fn);
  }

  // Devices are added and removed in bursts: one pass after the burst.
  #soon() {
    if (this.#pending) return;
    this.#pending = true;
    setImmediate(() => {
      this.#pending = false;
      if (!this.#closed) this.#apply();
    });
  }

  #apply() {
    const present = new Set(this.#graph.nodes().map((n) => n.name));
    const choice = this.#names.find((n) => present.has(n));
    if (choice === undefined || this.#graph.state !== 'connected') return;
    const d = this.#graph.defaults;
    if (d.configured?.[this.#kind] === choice) return;
    this.#graph.setDefault(this.#kind, choice).then(
      () => {
        this.#reportedMissing = false;
        if (!this.#closed) this.#emitAction({ kind: 'default', defaultKind: this.#kind, node: choice });
      },
      (err) => {
        // Without a session manager there is nothing to write to: said once, and
        // tried again when its metadata appears.
        if (this.#closed || this.#reportedMissing) return;
        this.#reportedMissing = /metadata/.test(err.message);
        this.#emitError(new Error(`default ${this.#kind} not set to ${JSON.stringify(choice)}: ${err.message}`));
      },
    );
  }
}

module.exports = { VolumePreset, DefaultPreset, presetMissing };
