'use strict';
// A side of a rule that names its nodes in more than one way, the preferred
// way first: the rules file's { "first": [matcher, matcher, ...] }. The nodes
// it takes are those of the first matcher that takes some node of the graph
// now; the next ones count only while the earlier ones take none. An
// imported qpwgraph file names a node by a text that is either its whole
// description (which may hold "/") or "application.name/description": the
// whole text is tried first.
const { compileMatcher, describeMatcher } = require('../match');

class FirstOf {
  #alternatives;

  /** `alternatives`: matchers as rules.js keeps them (property patterns, names), at least one. */
  constructor(alternatives) {
    this.#alternatives = alternatives;
  }

  get alternatives() {
    return [...this.#alternatives];
  }

  /**
   * (node) => boolean for the nodes of `nodes()` (the graph's listing now): the first alternative that takes one
   * of them decides. The listing is read once per turn of the event loop, however many nodes are judged in it.
   */
  bind(nodes, what = 'matcher') {
    const tests = this.#alternatives.map((m) => compileMatcher(m, what));
    let chosen = null;
    const test = (node) => {
      if (!chosen) {
        const listed = nodes();
        chosen = tests.find((t) => listed.some(t)) ?? tests[0];
        setImmediate(() => (chosen = null));
      }
      return chosen(node);
    };
    // As messages name it.
    return Object.defineProperty(test, 'name', { value: `first of ${this.#alternatives.map(describeMatcher).join(', ')}` });
  }
}

module.exports = { FirstOf };
