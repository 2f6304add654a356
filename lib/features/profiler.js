'use strict';
// The daemon's profiler (graph.profiler()), as pw-top shows it: per driver
// and per node it drives, the quantum, rate, wait and busy times, their
// share of the period, the driver's load, the driver's xruns and the
// followers' errors. The add-on listens
// to the daemon's "Profiler" while some Profiler of this process is open.
const { EventEmitter } = require('node:events');
const addon = require('../connection/addon');

let open = 0;

// One node's cycle: times in µs, the shares of the driver's period; null
// where the cycle's clock readings are not in order (a node that has not run
// a whole cycle yet, or did not finish this one), rather than a difference of
// unrelated readings. A driver's quantum and rate are its clock's (the
// period: quantum / rate seconds, 2048 / 48000 = 42.7 ms); a follower's, as
// pw-top shows them, the latency it asks for (its "node.latency", as
// quantum/rate) where it asks for one, else its driver's.
function row(block, driver, periodNs, follower = false) {
  const timed = block.signal > 0 && block.signal <= block.awake && block.awake <= block.finish;
  const waitNs = timed ? block.awake - block.signal : null;
  const busyNs = timed ? block.finish - block.awake : null;
  const share = (ns) => (ns !== null && periodNs > 0 ? ns / periodNs : null);
  const own = follower && block.latency[1] > 0;
  return {
    id: block.id,
    name: block.name,
    quantum: own ? block.latency[0] : driver.quantum,
    rate: own ? block.latency[1] : driver.rate[1],
    waitUs: timed ? waitNs / 1000 : null,
    busyUs: timed ? busyNs / 1000 : null,
    waitRatio: share(waitNs),
    busyRatio: share(busyNs),
    latency: block.latency[1] ? `${block.latency[0]}/${block.latency[1]}` : null,
  };
}

// Emits "profile" ({ t, drivers: [{ ...row, load: { fast, medium, slow },
// xruns, followers: [{ ...row, errors }] }] }) for each profile the daemon
// sends (a driver's xruns: the daemon's count for its graph; a follower's
// errors: since the profiler opened, pw-top's ERR: the xruns the daemon
// counted for it on 1.x, the cycles it did not finish on 0.3; xruns: the
// daemon's whole count of its xruns on 1.x, null on 0.3), "xrun" ({ node, role, count, t }) when either grows (`role`:
// 'driver', `count` its xruns; 'follower', `count` its errors), and "end"
// once closed.
class Profiler extends EventEmitter {
  #hooks;
  #closed = false;
  latest = null;

  constructor(hooks) {
    super();
    if (!addon.graphHasProfiler()) {
      throw new Error('profiler: the daemon has no profiler (libpipewire-module-profiler is not loaded in its configuration)');
    }
    if (open++ === 0 && !addon.graphProfiler(true)) {
      open--;
      throw new Error('profiler: PipeWire not connected');
    }
    this.#hooks = hooks;
  }

  hear(kind, payload) {
    if (this.#closed) return;
    if (kind === 'profiler-xrun') return this.emit('xrun', { node: payload.id, role: payload.res === 1 ? 'follower' : 'driver', count: payload.token, t: Date.now() });
    const drivers = payload.drivers.map((d) => {
      const periodNs = d.rate[1] ? (d.quantum * 1e9 * d.rate[0]) / d.rate[1] : 0;
      const followers = d.followers.map((f) => ({ ...row(f, d, periodNs, true), errors: f.errors, xruns: f.xrunCount >= 0 ? f.xrunCount : null }));
      return { ...row(d, d, periodNs), load: { fast: d.load[0], medium: d.load[1], slow: d.load[2] }, xruns: d.xruns, followers };
    });
    this.latest = { t: payload.t, drivers };
    this.emit('profile', this.latest);
  }

  close() {
    if (!this.#closed) {
      this.#closed = true;
      if (--open === 0) addon.graphProfiler(false);
      this.#hooks.onClose(this);
      this.emit('end');
    }
    return Promise.resolve();
  }
}

module.exports = { Profiler };
