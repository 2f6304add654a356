'use strict';
// The Graph's events for the many rules of one patchbay: one listener per
// event on the Graph, and each rule's listeners added and removed in constant
// time (the Graph's own list costs a scan per removal, and a hundred rules
// come and go at once on a reload). As with an EventEmitter, a listener added
// while an event is told hears the next one.
class Hub {
  #graph;
  #sets = new Map(); // event name -> Set of listeners
  #forwards = new Map(); // event name -> the Graph's listener

  constructor(graph) {
    this.#graph = graph;
  }

  on(name, fn) {
    let set = this.#sets.get(name);
    if (!set) {
      this.#sets.set(name, (set = new Set()));
      const forward = (...args) => {
        for (const f of [...set]) if (set.has(f)) f(...args);
      };
      this.#forwards.set(name, forward);
      this.#graph.on(name, forward);
    }
    set.add(fn);
    return this;
  }

  off(name, fn) {
    this.#sets.get(name)?.delete(fn);
    return this;
  }

  close() {
    for (const [name, forward] of this.#forwards) this.#graph.off(name, forward);
    this.#forwards.clear();
    this.#sets.clear();
  }
}

module.exports = { Hub };
