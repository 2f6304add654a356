'use strict';
// The connection's mirror of the daemon's metadata objects, and
// graph.defaults read from the "default" one. Changes come from the add-on
// numbered, and a snapshot taken on connecting holds every change up to its
// number.
const addon = require('./addon');
const { abortableWait } = require('./abortable');
const { checkTimeout } = require('../core/arguments');
const { newToken } = require('./tokens');
const { refusal } = require('./refusal');
const { checkId, checkOptions } = require('../core/arguments');

// The keys of the "default" metadata behind graph.defaults: the current
// default (chosen by the session manager) and the one the user configured.
const { name: DEFAULT_METADATA, kinds: DEFAULT_KINDS } = addon.constants.defaultMetadata;
// What the metadata binding bounds on the native side: keys, and values.
const { metadataKeyBytes: METADATA_MAX_KEY_BYTES, metadataValueBytes: METADATA_MAX_VALUE_BYTES } = addon.constants.limits;

// The node name in a default's JSON value ({ "name": "..." }); null for
// anything else. The value is any client's text.
function defaultName(entry) {
  if (!entry) return null;
  try {
    const v = JSON.parse(entry.value);
    return v !== null && typeof v === 'object' && typeof v.name === 'string' ? v.name : null;
  } catch {
    return null;
  }
}

function checkMetadataText(text, what, max) {
  if (typeof text !== 'string') throw new TypeError(`setMetadata: ${what} must be a string`);
  if (text.includes('\0')) throw new TypeError(`setMetadata: ${what} must not contain NUL`);
  if (Buffer.byteLength(text) > max) throw new RangeError(`setMetadata: ${what} is longer than ${max} bytes`);
}

class MetadataMirror {
  // The daemon's metadata objects, by registry id, in the order announced:
  // { name, subjects: Map<subject, Map<key, { type, value }>> }. Changes
  // numbered up to #generation are in.
  #objects = new Map();
  #generation = 0;
  #defaults = null; // as graph.defaults gives it, kept with the metadata
  #watchers = new Set(); // (name, payload) => void, for the mirror's own waits
  #deliver; // (name, payload): to every handle

  constructor(deliver) {
    this.#deliver = deliver;
  }

  // The metadata named `name` (the first of that name), as a read-only view
  // that stays current; null when there is none.
  metadata(name = DEFAULT_METADATA) {
    if (!this.#findMetadata(name)) return null;
    const current = () => this.#findMetadata(name);
    return Object.freeze({
      name,
      // The "client.id" of the client that made it (the session manager
      // for "default"), when the daemon said.
      get owner() {
        return current()?.owner;
      },
      get(subject, key) {
        const entry = current()?.subjects.get(subject)?.get(key);
        return entry && { type: entry.type, value: entry.value };
      },
      entries(subject) {
        const keys = current()?.subjects.get(subject);
        return keys ? [...keys].map(([key, e]) => ({ key, type: e.type, value: e.value })) : [];
      },
      // How many entries other clients set that the add-on's bounds left
      // out (the package's own keys always fit).
      get dropped() {
        const m = current();
        return addon.graphMetadataDropped().find((d) => d.name === name && m?.id === d.id)?.dropped ?? 0;
      },
    });
  }

  // Whether there is a metadata object named `name`: its appearance is no
  // event (a change of one of its entries is).
  has(name = DEFAULT_METADATA) {
    return this.#findMetadata(name) !== undefined;
  }

  // graph.defaults: node names (or null) from the "default" metadata.
  defaults() {
    const d = this.#defaults ?? this.#computeDefaults();
    return { ...d, configured: { ...d.configured } };
  }

  // Sets (value null: deletes) `key` of `subject` in the metadata `name`;
  // resolves once the metadata reports it.
  setMetadata(subject, key, type, value, options) {
    let entry, name, timeoutMs;
    try {
      checkId(subject, 'setMetadata', 'subject');
      ({ name = DEFAULT_METADATA, timeoutMs = 3000 } = checkOptions(options, ['name', 'timeoutMs'], 'setMetadata'));
      checkMetadataText(key, 'key', METADATA_MAX_KEY_BYTES);
      if (key === '') throw new TypeError('setMetadata: key must not be empty');
      if (type !== null) checkMetadataText(type, 'type', METADATA_MAX_KEY_BYTES);
      if (value !== null) checkMetadataText(value, 'value', METADATA_MAX_VALUE_BYTES);
      if (typeof name !== 'string' || name === '') throw new TypeError('setMetadata: name must be a metadata name');
      checkTimeout(timeoutMs, 'setMetadata');
      const m = this.#findMetadata(name);
      if (!m) {
        const hint = name === DEFAULT_METADATA ? ': the session manager keeps it; is one running?' : '';
        throw new Error(`no "${name}" metadata${hint}`);
      }
      entry = m.subjects.get(subject)?.get(key);
    } catch (e) {
      return Promise.reject(e);
    }
    // The value it has already (with no type given, whatever its type): the
    // metadata reports no change for it.
    const done = value === null ? !entry : entry?.value === value && (!type || entry.type === type);
    return abortableWait(
      { timeoutMs, timeoutError: () => new Error(`metadata "${name}": "${key}" of ${subject} was not set within ${timeoutMs} ms`) },
      (settle) => {
        const token = newToken();
        let sent;
        try {
          sent = addon.graphSetMetadata(name, subject, key, value === null ? null : type, value, token);
        } catch (e) {
          return settle.reject(e);
        }
        if (!sent) return settle.reject(new Error('PipeWire not connected'));
        if (done) return settle.resolve();
        const watch = (event, p) => {
          if (event === 'metadata-changed' && p.name === name && p.subject === subject && p.key === key && p.value === value) {
            settle.resolve();
          } else if (event === 'control-failed' && p.token === token) {
            settle.reject(refusal(p.res, `metadata "${name}": ${p.message}`));
          } else if (event === 'metadata-removed' && p === name && !this.#findMetadata(name)) {
            settle.reject(new Error(`the "${name}" metadata went away`));
          }
        };
        this.#watchers.add(watch);
        return () => this.#watchers.delete(watch);
      },
    );
  }

  #findMetadata(name) {
    for (const m of this.#objects.values()) if (m.name === name) return m;
    return undefined;
  }

  #computeDefaults() {
    const keys = this.#findMetadata(DEFAULT_METADATA)?.subjects.get(0);
    const d = {};
    const configured = {};
    for (const [kind, suffix] of Object.entries(DEFAULT_KINDS)) {
      d[kind] = defaultName(keys?.get(`default.${suffix}`));
      configured[kind] = defaultName(keys?.get(`default.configured.${suffix}`));
    }
    d.configured = configured;
    return d;
  }

  // One change from the add-on, unless the snapshot taken since holds it.
  apply(c) {
    if (c.generation <= this.#generation) return;
    this.#generation = c.generation;
    this.#applyMetadata(c);
    this.#checkDefaults();
  }

  // `tell`: whether the change is told (not while a snapshot is read in).
  #applyMetadata(c, tell = true) {
    if (c.kind === 'added') {
      this.#objects.set(c.id, { id: c.id, name: c.name, owner: c.owner, subjects: new Map() });
      return;
    }
    const m = this.#objects.get(c.id);
    if (!m) return;
    if (c.kind === 'removed') {
      this.#objects.delete(c.id);
      if (!tell) return;
      for (const [subject, keys] of m.subjects) {
        for (const key of keys.keys()) this.#tell('metadata-changed', { name: m.name, subject, key, type: null, value: null });
      }
      this.#tell('metadata-removed', m.name);
      return;
    }
    let keys = m.subjects.get(c.subject);
    if (c.kind === 'set') {
      if (!keys) m.subjects.set(c.subject, (keys = new Map()));
      keys.set(c.key, { type: c.type, value: c.value });
    } else if (keys?.delete(c.key)) {
      if (keys.size === 0) m.subjects.delete(c.subject);
    } else {
      return;
    }
    if (tell) this.#tell('metadata-changed', { name: m.name, subject: c.subject, key: c.key, type: c.type, value: c.value });
  }

  // The add-on's whole metadata as of now, in place of what this has; the
  // differences are told as changes.
  takeSnapshot() {
    const { generation, changes } = addon.graphMetadata();
    const before = this.#objects;
    this.#objects = new Map();
    for (const c of changes) this.#applyMetadata(c, false);
    this.#generation = Math.max(this.#generation, generation);
    const entries = (all) => {
      const out = new Map();
      for (const m of all.values()) {
        for (const [subject, keys] of m.subjects) {
          for (const [key, e] of keys) {
            const k = JSON.stringify([m.name, subject, key]);
            if (!out.has(k)) out.set(k, { name: m.name, subject, key, type: e.type, value: e.value });
          }
        }
      }
      return out;
    };
    const old = entries(before);
    const now = entries(this.#objects);
    for (const [k, e] of old) if (!now.has(k)) this.#tell('metadata-changed', { ...e, type: null, value: null });
    for (const [k, e] of now) {
      const was = old.get(k);
      if (!was || was.type !== e.type || was.value !== e.value) this.#tell('metadata-changed', e);
    }
    for (const m of before.values()) if (!this.#findMetadata(m.name)) this.#tell('metadata-removed', m.name);
    this.#checkDefaults();
  }

  #checkDefaults() {
    const before = this.#defaults;
    const now = this.#computeDefaults();
    this.#defaults = now;
    if (before && JSON.stringify(before) === JSON.stringify(now)) return;
    if (!before && Object.values(now).every((v) => v === null) && Object.values(now.configured).every((v) => v === null)) return;
    this.#tell('defaults-changed', this.defaults());
  }

  // A change of the metadata, to the mirror's waits and every handle.
  #tell(name, payload) {
    for (const watch of [...this.#watchers]) watch(name, payload);
    if (name === 'metadata-removed') return;
    this.#deliver(name, payload);
  }

  // A refusal of a request, for the waits of setMetadata.
  controlFailed(payload) {
    for (const watch of [...this.#watchers]) watch('control-failed', payload);
  }
}

module.exports = { MetadataMirror };
