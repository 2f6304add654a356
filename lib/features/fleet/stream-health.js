'use strict';
// The underruns of this host's stream ends, from the daemon's profiler (what
// pw-top reads), counted from an end's first look: the xruns of the graph
// its node runs in (its driver's count: an ALSA device's underruns) and its
// node's own (pw-top's ERR of the node: a starved bridge, a late network
// thread). The daemon keeps whole counts of both on 1.x, so a look every
// LOOK_MS counts them all; on 0.3 it keeps a driver's alone, and a node's
// errors are only those seen in the looks' LOOK_WINDOW_MS (a fifth of the
// cycles). Bound the whole time, the profiler would have the daemon write
// and send a profile every cycle (1.3 % of a core more for the daemon at a
// quantum of 1024 on this project's machine); the looks cost a fifth of it.
// What a stream lost on the network neither line's modules tell their
// client (0.3's RTP source logs its gaps, libroc keeps its counters): that
// is not here.
const LOOK_MS = 5000;
const LOOK_WINDOW_MS = 1000;

class StreamHealth {
  #graph;
  #names;
  #changed;
  #counts = new Map(); // node name → { at: 'DRIVER/NODE' ids, base: the whole counts at the first look, since: their growth, before: the rest }
  #timer;
  #soon = null;
  #looking = false;
  #closed = false;

  // names(): the node names of the ends; changed(): told when a count changed.
  constructor(graph, names, changed) {
    this.#graph = graph;
    this.#names = names;
    this.#changed = changed;
    this.#timer = setInterval(() => this.#look(), LOOK_MS);
    this.#timer.unref();
  }

  /** The underruns counted for the end whose node is `name`, or null before its first look (or without a profiler). */
  underruns(name) {
    const c = this.#counts.get(name);
    return c ? c.before + c.since : null;
  }

  /** A look half a second from now (an end's node came), unless one is due sooner. */
  soon() {
    if (this.#soon) return;
    this.#soon = setTimeout(() => {
      this.#soon = null;
      this.#look();
    }, 500);
    this.#soon.unref();
  }

  close() {
    this.#closed = true;
    clearInterval(this.#timer);
    clearTimeout(this.#soon);
  }

  async #look() {
    const names = this.#names();
    for (const name of this.#counts.keys()) if (!names.includes(name)) this.#counts.delete(name);
    if (this.#closed || this.#looking || names.length === 0 || this.#graph.state !== 'connected') return;
    let profiler;
    try {
      profiler = this.#graph.profiler();
    } catch {
      return; // no profiler in the daemon's configuration: the counts stay unknown
    }
    this.#looking = true;
    const seen = new Map(); // node name → what a profile said of it (see below)
    profiler.on('profile', ({ drivers }) => {
      for (const d of drivers) {
        for (const name of names) {
          const f = d.name === name ? null : d.followers.find((x) => x.name === name);
          if (f === undefined) continue;
          // The node's errors since the profiler was bound (by this look, or by another of this
          // process' Profilers before it): those of this look are the growth from its first profile.
          const errors = f?.errors ?? 0;
          const at = `${d.id}/${f?.id ?? d.id}`;
          const first = seen.get(name)?.at === at ? seen.get(name).first : errors;
          seen.set(name, { at, driverXruns: d.xruns, nodeXruns: f?.xruns ?? null, first, errors: errors - first });
        }
      }
    });
    await new Promise((resolve) => setTimeout(resolve, LOOK_WINDOW_MS).unref());
    profiler.close();
    this.#looking = false;
    // Whole counts where the daemon keeps them (a driver's xruns; a node's on 1.x), counted from
    // the first look; the errors seen in the looks where it does not (a node's on 0.3).
    let changed = false;
    for (const [name, now] of seen) {
      const whole = now.driverXruns + (now.nodeXruns ?? 0);
      const seenNow = now.nodeXruns === null ? now.errors : 0;
      const c = this.#counts.get(name);
      if (!c || c.at !== now.at || whole < c.base) {
        // First seen, or another node or driver (the end loaded again, moved, the daemon restarted).
        this.#counts.set(name, { at: now.at, base: whole, before: (c ? c.before + c.since : 0) + seenNow, since: 0 });
        changed ||= !c || seenNow > 0;
      } else {
        if (whole - c.base !== c.since || seenNow > 0) changed = true;
        Object.assign(c, { since: whole - c.base, before: c.before + seenNow });
      }
    }
    if (changed && !this.#closed) this.#changed();
  }
}

module.exports = { StreamHealth };
