'use strict';
// The drivers' quantum, rate and xrun count for the pages' status bar, from
// the daemon's profiler while some page is open; where the daemon has no
// profiler, a page is told so once (drivers: null) and shows nothing. A page gets the drivers at most once a second, and
// only when they changed.

const EVERY_MS = 1000;
const GONE_MS = 5000; // a driver in no profile for this long is left out
const MAX_DRIVERS = 8;

class DriverStatus {
  #graph;
  #publish; // (msg) -> sent to every page
  #profiler = null;
  #drivers = new Map(); // id -> { id, name, quantum, rate, xruns, seen }
  #timer = null;
  #last = null; // the last message sent, for a new page
  #pages = 0;
  // The daemon back (perhaps another, with or without the profiler): its
  // profiler listened to anew.
  #onConnected = () => {
    if (this.#pages === 0) return;
    const had = this.#profiler !== null;
    this.#profiler?.close();
    this.#profiler = null;
    this.#drivers.clear();
    this.#open();
    if (had && !this.#profiler) {
      this.#last = { type: 'status', drivers: null };
      this.#publish(this.#last);
    }
  };

  constructor(graph, publish) {
    this.#graph = graph;
    this.#publish = publish;
    graph.on('connected', this.#onConnected);
  }

  /**
   * A page came: the profiler opened for the first. Returns the latest
   * status, { drivers: null } where the daemon has no profiler (nothing to
   * show), or null (one follows within a second).
   */
  attach() {
    if (this.#pages++ === 0) this.#open();
    return this.#last ?? (this.#profiler ? null : { type: 'status', drivers: null });
  }

  /** A page went: the profiler closed with the last. */
  detach() {
    if (--this.#pages === 0) this.#stop();
  }

  close() {
    this.#graph.off('connected', this.#onConnected);
    this.#stop();
  }

  #open() {
    if (this.#profiler || this.#pages === 0) return;
    try {
      this.#profiler = this.#graph.profiler();
    } catch {
      return; // no profiler in this daemon: nothing shown
    }
    const profiler = this.#profiler;
    profiler.on('profile', ({ drivers }) => {
      const seen = Date.now();
      for (const d of drivers) this.#drivers.set(d.id, { id: d.id, name: d.name, quantum: d.quantum, rate: d.rate, xruns: d.xruns, seen });
    });
    // Closed with the connection; opened again once it is back.
    profiler.on('end', () => {
      if (this.#profiler === profiler) this.#profiler = null;
    });
    this.#timer ??= setInterval(() => this.#send(), EVERY_MS);
  }

  #stop() {
    clearInterval(this.#timer);
    this.#timer = null;
    const p = this.#profiler;
    this.#profiler = null;
    p?.close();
    this.#drivers.clear();
    this.#last = null;
  }

  #send() {
    if (!this.#profiler) return;
    const now = Date.now();
    for (const [id, d] of this.#drivers) if (now - d.seen > GONE_MS) this.#drivers.delete(id);
    const drivers = [...this.#drivers.values()]
      .sort((a, b) => a.id - b.id)
      .slice(0, MAX_DRIVERS)
      .map(({ seen, ...d }) => d);
    const msg = { type: 'status', drivers };
    if (this.#last && JSON.stringify(this.#last) === JSON.stringify(msg)) return;
    if (!this.#last && drivers.length === 0) return;
    this.#last = msg;
    this.#publish(msg);
  }
}

module.exports = { DriverStatus };
