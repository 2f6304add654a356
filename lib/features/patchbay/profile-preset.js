'use strict';
// A patchbay's profile rule: a device (a headset connecting, a card) set to
// a profile once as it appears, and when the rule loads for the devices
// there; after that the user's choice stands until the device goes and
// comes again.
const { compileMatcher } = require('../match');

const SET_MS = 3000;

class ProfilePreset {
  #graph;
  #rule;
  #match;
  #events;
  #emitAction;
  #emitError;
  // The serial of each device set (or tried), by id, while it exists. Ids
  // come back at once, so a late "device-destroyed" of a device gone may
  // name the new device of its id: only a serial tells them apart.
  #seen = new Map();
  #listeners;
  #closed = false;

  constructor(graph, rule, { events, emitAction, emitError }) {
    this.#graph = graph;
    this.#rule = rule;
    this.#events = events;
    this.#emitAction = emitAction;
    this.#emitError = emitError;
    this.#match = compileMatcher(rule.device, 'profiles: device');
    this.#listeners = {
      'device-created': (d) => this.#apply(d),
      // Its properties may come to match later.
      'device-changed': (d) => this.#apply(d),
      'device-destroyed': (id) => {
        if (!this.#seen.has(id)) return;
        const now = this.#graph.devices().find((d) => d.id === id);
        if (!now || now.serial !== this.#seen.get(id)) this.#seen.delete(id);
      },
    };
    for (const [e, fn] of Object.entries(this.#listeners)) events.on(e, fn);
    for (const d of graph.devices()) this.#apply(d);
  }

  close() {
    this.#closed = true;
    for (const [e, fn] of Object.entries(this.#listeners)) this.#events.off(e, fn);
  }

  #apply(device) {
    if (this.#closed || !device || (this.#seen.has(device.id) && this.#seen.get(device.id) === device.serial) || !this.#match(device)) return;
    this.#seen.set(device.id, device.serial);
    const wanted = this.#rule.profile;
    if (device.profile && (device.profile.name === wanted || device.profile.index === wanted)) return;
    this.#graph.setProfile(device, wanted, { timeoutMs: SET_MS }).then(
      (d) => this.#emitAction({ kind: 'profile', device: d.name, id: d.id, profile: d.profile.name }),
      (err) => {
        if (!this.#closed) this.#emitError(err);
      },
    );
  }
}

module.exports = { ProfilePreset };
