'use strict';
// The level meters the pages show: one graph.meter per node, shared by every
// page that shows the node (counted), closed once no page shows it any more.
// Each page gets the latest peak of its meters at most RATE_HZ times a
// second, one frame for all of them, as soon as a level comes after a quiet
// interval (no wait for a clock of ours), and nothing while its connection has
// more than a few frames queued: a slow page skips levels, it never gets a
// backlog of them.

const RATE_HZ = 15;
const PER_PAGE = 64; // meters one page may have on
const TOTAL = 128; // meters on for all pages together (half of what one Graph may have)
const QUEUED_MAX = 16 * 1024; // bytes queued for a page past which levels skip it

// A peak in dBFS to one decimal; silence (-Infinity) as null, which JSON has.
const rounded = (db) => (Number.isFinite(db) ? Math.round(db * 10) / 10 : null);

class MeterPool {
  #graph;
  #hub; // sends to a page: trySend(client, msg, queuedMax) -> whether sent
  #meters = new Map(); // node id -> { meter, pages: Set<client>, peak, seq }
  #pages = new Map(); // client -> { ids: Set<node id>, sent: Map<node id, seq> }
  #timer = null;
  #sent = 0; // when levels were last sent
  #opened = 0;
  #perPage;
  #total;

  // `limits`: { perPage, total } instead of PER_PAGE and TOTAL; a total
  // past what one Graph may have is that.
  constructor(graph, hub, { perPage = PER_PAGE, total = TOTAL } = {}) {
    this.#graph = graph;
    this.#hub = hub;
    this.#perPage = perPage;
    // The add-on's bound, read here: the server's module loads without the add-on (`quorvane web --help`).
    this.#total = Math.min(total, require('../features/meters/meter').METERS_PER_GRAPH);
  }

  /**
   * The nodes a page shows now (ids, distinct, in the page's order of
   * preference): meters on for the first PER_PAGE of them that can be
   * measured while fewer than TOTAL run (or the limits given), off for the page's other nodes.
   * Returns { on: [ids], off: [{ node, reason }] }; the page's meters of
   * nodes it no longer shows are let go of.
   */
  show(client, ids) {
    const page = this.#pages.get(client) ?? { ids: new Set(), sent: new Map() };
    this.#pages.set(client, page);
    const on = [];
    const off = [];
    const wanted = new Set();
    const nodes = new Set(this.#graph.nodes().map((n) => n.id));
    for (const id of ids) {
      if (!nodes.has(id)) {
        off.push({ node: id, reason: `no node ${id}` });
        continue;
      }
      if (on.length >= this.#perPage) {
        off.push({ node: id, reason: `at most ${this.#perPage} meters a page` });
        continue;
      }
      const reason = this.#take(client, id);
      if (reason) off.push({ node: id, reason });
      else (on.push(id), wanted.add(id));
    }
    for (const id of page.ids) if (!wanted.has(id)) this.#release(client, id);
    page.ids = wanted;
    for (const id of page.sent.keys()) if (!wanted.has(id)) page.sent.delete(id);
    return { on, off };
  }

  /** A page gone: its meters let go of. */
  remove(client) {
    const page = this.#pages.get(client);
    if (!page) return;
    this.#pages.delete(client);
    for (const id of page.ids) this.#release(client, id);
  }

  /** Meters running, pages with meters, meters made so far. */
  stats() {
    return { meters: this.#meters.size, pages: this.#pages.size, opened: this.#opened };
  }

  close() {
    for (const client of [...this.#pages.keys()]) this.remove(client);
    clearTimeout(this.#timer);
    this.#timer = null;
  }

  // The page's share of the node's meter, made if none runs: null, or why not.
  #take(client, id) {
    let entry = this.#meters.get(id);
    if (!entry) {
      if (this.#meters.size >= this.#total) return `at most ${this.#total} meters at once`;
      let meter;
      try {
        meter = this.#graph.meter(id, { rateHz: RATE_HZ });
      } catch (e) {
        return e.message;
      }
      this.#opened++;
      entry = { meter, pages: new Set(), peak: null, seq: 0 };
      this.#meters.set(id, entry);
      meter.on('level', ({ peak }) => {
        entry.peak = peak.map(rounded);
        entry.seq++;
        this.#due();
      });
      // Ended by itself (its node removed, the stream failed): its pages
      // hear it as a null level, and may ask again.
      meter.on('end', () => {
        if (this.#meters.get(id) !== entry) return;
        this.#meters.delete(id);
        for (const c of entry.pages) {
          const page = this.#pages.get(c);
          page?.ids.delete(id);
          page?.sent.set(id, -1);
        }
        this.#due();
      });
    }
    entry.pages.add(client);
    return null;
  }

  #release(client, id) {
    const entry = this.#meters.get(id);
    if (!entry) return;
    entry.pages.delete(client);
    if (entry.pages.size > 0) return;
    this.#meters.delete(id);
    entry.meter.close();
  }

  // A send at once, or once RATE_HZ allows: the levels that came meanwhile
  // go together.
  #due() {
    if (this.#timer) return;
    this.#timer = setTimeout(() => {
      this.#timer = null;
      this.#sent = Date.now();
      this.#send();
    }, Math.max(0, this.#sent + 1000 / RATE_HZ - Date.now()));
  }

  // To each page: the levels newer than what it got, only the latest; a
  // meter that ended as null (once).
  #send() {
    for (const [client, page] of this.#pages) {
      const levels = {};
      let any = false;
      for (const [id, seq] of page.sent) {
        if (seq === -1) (levels[id] = null), (any = true);
      }
      for (const id of page.ids) {
        const entry = this.#meters.get(id);
        if (!entry || entry.peak === null || page.sent.get(id) === entry.seq) continue;
        levels[id] = entry.peak;
        any = true;
      }
      if (!any || !this.#hub.trySend(client, { type: 'levels', levels }, QUEUED_MAX)) continue;
      for (const id of Object.keys(levels)) {
        const n = Number(id);
        if (levels[id] === null) page.sent.delete(n);
        else page.sent.set(n, this.#meters.get(n).seq);
      }
    }
  }
}

module.exports = { MeterPool, RATE_HZ, PER_PAGE, TOTAL };
