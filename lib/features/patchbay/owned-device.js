'use strict';
// A device of a patchbay's "devices": a virtual device made when the rule
// starts and removed when it stops, made again after a daemon restart (the
// new daemon starts without it).
class OwnedDevice {
  #graph;
  #events;
  #rule;
  #emitAction;
  #emitError;
  #node = null; // { id, name } once made
  #making = null;
  #closed = false;
  #again = () => this.#make();
  #lost = () => (this.#node = null);
  #gone = (id) => {
    if (this.#node?.id === id) this.#node = null; // removed by someone else: not ours to remove any more
  };

  constructor(graph, rule, { events, emitAction, emitError }) {
    this.#graph = graph;
    this.#events = events;
    this.#rule = rule;
    this.#emitAction = emitAction;
    this.#emitError = emitError;
    events.on('connected', this.#again).on('disconnected', this.#lost).on('node-destroyed', this.#gone);
    this.#make();
  }

  #make() {
    if (this.#closed || this.#making || this.#node) return;
    const { name, mediaClass, channels, description } = this.#rule;
    this.#making = this.#graph.createNode({ name, mediaClass, ...(channels ? { channels } : {}), ...(description ? { description } : {}) }).then(
      (node) => {
        this.#making = null;
        this.#node = { id: node.id, name };
        this.#emitAction({ kind: 'created', node: name, id: node.id });
      },
      (err) => {
        this.#making = null;
        if (!this.#closed) this.#emitError(new Error(`device ${JSON.stringify(name)} not made: ${err.message}`));
      },
    );
  }

  async close() {
    this.#closed = true;
    this.#events.off('connected', this.#again).off('disconnected', this.#lost).off('node-destroyed', this.#gone);
    await this.#making;
    const node = this.#node;
    this.#node = null;
    if (!node || this.#graph.state !== 'connected') return;
    try {
      await this.#graph.destroyNode(node.id);
      this.#emitAction({ kind: 'destroyed', node: node.name, id: node.id });
    } catch (err) {
      this.#emitError(new Error(`device ${JSON.stringify(node.name)} not removed: ${err.message}`));
    }
  }
}

module.exports = { OwnedDevice };
