'use strict';
// An equaliser or a loopback of a patchbay's "filters" and "loopbacks": made
// once the nodes it names are there (at once, or as they come), closed when
// one of them goes and made again when it is back, closed when the rule
// stops, and made again after a daemon restart. Its nodes are this
// process's: they go with it.
class OwnedEffect {
  #graph;
  #events;
  #kind; // 'filter' | 'loopback'
  #rule;
  #emitAction;
  #emitError;
  #effect = null; // a Filter or a Loopback, once made
  #ends = []; // the ids of the nodes it was made for
  #making = null;
  #told = null; // the last failure told: not told again each time a node comes
  #closed = false;
  #again = () => this.#make();
  #lost = () => ((this.#effect = null), (this.#ends = []));
  #gone = (id) => {
    const effect = this.#effect;
    if (!effect) return;
    const own = Object.values(effect.nodes).map((n) => n.id);
    if (!this.#ends.includes(id) && !own.includes(id)) return;
    // What it was made for went (or its own node): it waits for them again.
    // Not made again before its nodes are gone: their names would clash.
    this.#effect = null;
    this.#ends = [];
    this.#making = effect.close().then(
      () => {
        this.#making = null;
        this.#emitAction({ kind: 'destroyed', node: effect.name, id: effect.nodes.capture.id });
        this.#make();
      },
      (err) => {
        this.#making = null;
        this.#emitError(new Error(`${this.#what()} not closed: ${err.message}`));
      },
    );
  };

  constructor(graph, kind, rule, { events, emitAction, emitError }) {
    this.#graph = graph;
    this.#kind = kind;
    this.#rule = rule;
    this.#events = events;
    this.#emitAction = emitAction;
    this.#emitError = emitError;
    events.on('connected', this.#again).on('disconnected', this.#lost).on('node-created', this.#again).on('node-destroyed', this.#gone);
    this.#make();
  }

  #what() {
    return `${this.#kind} ${JSON.stringify(this.#rule.name ?? `${this.#rule.from} -> ${this.#rule.to}`)}`;
  }

  // The nodes the rule names, by name, or null while one is missing.
  #named() {
    const names = this.#kind === 'filter' ? (this.#rule.target === undefined ? [] : [this.#rule.target]) : [this.#rule.from, this.#rule.to];
    const nodes = this.#graph.nodes();
    const found = names.map((name) => nodes.find((n) => n.name === name));
    return found.every(Boolean) ? found : null;
  }

  #make() {
    if (this.#closed || this.#making || this.#effect || this.#graph.state !== 'connected') return;
    const ends = this.#named();
    if (!ends) return;
    const ids = ends.map((n) => n.id);
    // A node is announced before its ports: made once they are all there.
    const making = Promise.all(ids.map((id) => this.#graph.waitForPorts(id))).then(() =>
      this.#kind === 'filter'
        ? this.#graph.createFilter({ ...this.#rule, ...(ends.length ? { target: ids[0] } : {}) })
        : this.#graph.createLoopback({ ...this.#rule, from: ids[0], to: ids[1] }),
    );
    this.#making = making.then(
      async (effect) => {
        // A node it names went (or came back anew) while it was being made:
        // made for nodes that are not there, it goes (still "making", so
        // that no other is made beside it) and waits for them.
        const now = this.#closed ? null : this.#named();
        if (!now || now.some((n, i) => n.id !== ids[i])) {
          await effect.close().catch(() => {});
          this.#making = null;
          return this.#make();
        }
        this.#making = null;
        this.#effect = effect;
        this.#ends = ids;
        this.#told = null;
        this.#emitAction({ kind: 'created', node: effect.name, id: effect.nodes.capture.id });
      },
      (err) => {
        this.#making = null;
        if (this.#closed) return;
        // A node it names went meanwhile (or came back anew): no error; it
        // waits for it, or is made for the new one.
        const now = this.#named();
        if (!now) return;
        if (now.some((n, i) => n.id !== ids[i])) return this.#make();
        if (this.#told === err.message) return;
        this.#told = err.message;
        this.#emitError(new Error(`${this.#what()} not made: ${err.message}`));
      },
    );
  }

  async close() {
    this.#closed = true;
    this.#events.off('connected', this.#again).off('disconnected', this.#lost).off('node-created', this.#again).off('node-destroyed', this.#gone);
    await this.#making;
    const effect = this.#effect;
    this.#effect = null;
    if (!effect) return;
    try {
      await effect.close();
      this.#emitAction({ kind: 'destroyed', node: effect.name, id: effect.nodes.capture.id });
    } catch (err) {
      this.#emitError(new Error(`${this.#what()} not closed: ${err.message}`));
    }
  }
}

module.exports = { OwnedEffect };
