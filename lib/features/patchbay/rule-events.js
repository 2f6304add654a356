'use strict';
// The Graph's events for the rules of one patchbay, as on/off: one internal
// listener of the Graph per event (out of user code's reach, called before the
// listeners of on()), handed on to each rule that listens. As with an
// EventEmitter, a listener added while an event is emitted gets the next one.
class RuleEvents {
  #listen;
  #sets = new Map(); // event name -> Set of listeners
  #unlisten = [];

  // `listen(name, fn)` adds an internal listener and returns what removes it.
  constructor(listen) {
    this.#listen = listen;
  }

  on(name, fn) {
    let set = this.#sets.get(name);
    if (!set) {
      this.#sets.set(name, (set = new Set()));
      this.#unlisten.push(
        this.#listen(name, (...args) => {
          for (const f of [...set]) if (set.has(f)) f(...args);
        }),
      );
    }
    set.add(fn);
    return this;
  }

  off(name, fn) {
    this.#sets.get(name)?.delete(fn);
    return this;
  }

  close() {
    for (const unlisten of this.#unlisten) unlisten();
    this.#unlisten = [];
    this.#sets.clear();
  }
}

module.exports = { RuleEvents };
