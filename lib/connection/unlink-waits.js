'use strict';
// Removals of links, each settled when the registry withdraws the link or
// the daemon refuses.
const addon = require('./addon');
const { abortableWait } = require('./abortable');

class UnlinkWaits {
  #isClosed;
  #unlinks = new Map(); // link id -> Map of the settles waiting for it to go -> the serial each waits for

  constructor(isClosed) {
    this.#isClosed = isClosed;
  }

  // Resolves when the link is gone: at once when it is gone already (or its
  // id names a newer object than the `serial` given); rejects with the
  // daemon's refusal when it stays.
  unlink(linkId, timeoutMs, serial) {
    return abortableWait(
      { timeoutMs, timeoutError: () => new Error(`link ${linkId} was not removed within ${timeoutMs} ms`) },
      (settle) => {
        if (this.#isClosed()) return settle.resolve(); // gone with the connection
        let state;
        try {
          state = addon.graphUnlink(linkId, serial);
        } catch (e) {
          return settle.reject(e);
        }
        if (state === 'gone') return settle.resolve();
        if (state === 'not-a-link') return settle.reject(new Error(`unlink: ${linkId} names a node or a port, not a link`));
        // The serial of the link being removed: an older link of this id may
        // still be reported removed first.
        if (!this.#unlinks.has(linkId)) this.#unlinks.set(linkId, new Map());
        const waiting = this.#unlinks.get(linkId);
        waiting.set(settle, state);
        return () => {
          waiting.delete(settle);
          if (waiting.size === 0 && this.#unlinks.get(linkId) === waiting) this.#unlinks.delete(linkId);
        };
      },
    );
  }

  // The link of that id is gone (err: the daemon refused to remove it). With
  // `serial` (not 0: known), only the waits for that link are settled.
  settle(id, err, serial) {
    const waiting = this.#unlinks.get(id);
    if (!waiting) return;
    // Each wait's clean-up takes it out of `waiting`, and the id out of the map with the last.
    for (const [settle, waitsFor] of [...waiting]) {
      if (serial && waitsFor && serial !== waitsFor) continue;
      err ? settle.reject(err) : settle.resolve();
    }
  }

  // Every link goes with the connection.
  settleAll() {
    for (const id of [...this.#unlinks.keys()]) this.settle(id);
  }
}

module.exports = { UnlinkWaits };
