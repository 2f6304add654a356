'use strict';
// The pages of a web server that shows the hosts on a broker: each page is
// on the hub of the host it picked (a Hub of that host's RemoteGraph, made
// for its first page and closed with its last), and is sent the list of hosts
// whenever one is announced, removed, or goes on or offline.
const { Hub } = require('./hub');
const { RemoteGraph } = require('./remote-hosts');

class RemotePages {
  #hosts;
  #hubs = new Map(); // host name → { hub, graph, pages }
  #pages = new Set();
  #none = new RemoteGraph(''); // the page's host while the broker has none
  #highWater;
  #hostsQueued = false;
  #onHosts = () => {
    if (this.#hostsQueued) return;
    this.#hostsQueued = true;
    setImmediate(() => {
      this.#hostsQueued = false;
      const hosts = this.#hosts.list();
      for (const page of this.#pages) page.hub.send(page.client, { type: 'hosts', hosts, host: page.host });
    });
  };

  // The streams between hosts and the sinks they may go to, the same for every page.
  #onFleet = () => {
    const msg = { type: 'fleet', ...this.#hosts.fleet() };
    for (const page of this.#pages) page.hub.send(page.client, msg);
  };

  /** `hosts`: a started RemoteHosts; `highWater` as for a Hub. */
  constructor(hosts, { highWater } = {}) {
    this.#hosts = hosts;
    this.#highWater = highWater;
    hosts.on('hosts', this.#onHosts);
    hosts.on('fleet', this.#onFleet);
  }

  get size() {
    return this.#pages.size;
  }

  stats() {
    const all = [...this.#hubs.values()].map((h) => h.hub.stats());
    return { clients: this.#pages.size, lagging: all.reduce((n, s) => n + s.lagging, 0), snapshots: all.reduce((n, s) => n + s.snapshots, 0), hosts: this.#hosts.list().length };
  }

  /**
   * Adds a page (a ws WebSocket) on the host it `picked` (a name, or null):
   * that host when the broker has it, else the first online one, else the
   * first. Returns { hub, client, host }: the page's hub and its client there.
   */
  add(ws, picked) {
    const list = this.#hosts.list();
    const chosen = list.find((h) => h.name === picked) ?? list.find((h) => h.online) ?? list[0];
    const name = chosen?.name ?? '';
    const graph = (chosen && this.#hosts.graph(name)) || this.#none;
    let entry = this.#hubs.get(name);
    if (entry && entry.graph !== graph) entry = null; // the host went and came back: a new graph
    if (!entry) {
      const daemon = { connected: graph.state === 'connected', message: graph.state === 'connected' ? null : graph.message };
      entry = { hub: new Hub(graph, null, { highWater: this.#highWater, daemon }), graph, pages: new Set() };
      if (!this.#hubs.has(name)) this.#hubs.set(name, entry);
    }
    const page = { hub: entry.hub, client: entry.hub.add(ws), host: name, entry };
    entry.pages.add(page);
    this.#pages.add(page);
    page.hub.send(page.client, { type: 'hosts', hosts: list, host: name });
    page.hub.send(page.client, { type: 'fleet', ...this.#hosts.fleet() });
    return page;
  }

  /** Removes a page; its hub closes with its last page. */
  remove(page) {
    page.hub.remove(page.client);
    this.#pages.delete(page);
    page.entry.pages.delete(page);
    if (page.entry.pages.size === 0) {
      page.hub.close();
      if (this.#hubs.get(page.host) === page.entry) this.#hubs.delete(page.host);
    }
  }

  close() {
    this.#hosts.off('hosts', this.#onHosts);
    this.#hosts.off('fleet', this.#onFleet);
    for (const { hub } of this.#hubs.values()) hub.close();
    for (const page of this.#pages) page.hub.close();
    this.#hubs.clear();
    this.#pages.clear();
  }
}

module.exports = { RemotePages };
