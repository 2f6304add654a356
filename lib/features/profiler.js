'use strict';
// The daemon's profiler (graph.profiler()), as pw-top shows it: per driver
// and per node it drives, the quantum, rate, wait and busy times, their
// share of the period, the driver's load and the xruns. The add-on listens
// to the daemon's "Profiler" while some Profiler of this process is open.
const { EventEmitter } = require('node:events');
const addon = require('../connection/addon');

let open = 0;

// One node's cycle: times in µs, the shares of the driver's period; null
// where the cycle's clock readings are not in order (a node that has not run
// a whole cycle yet, or did not finish this one), rather than a difference of
// unrelated readings.
function row(block, driver, periodNs) {
  const timed = block.signal > 0 && block.signal <= block.awake && block.awake <= block.finish;
  const waitNs = timed ? block.awake - block.signal : null;
  const busyNs = timed ? block.finish - block.awake : null;
  const share = (ns) => (ns !== null && periodNs > 0 ? ns / periodNs : null);
  return {
    id: block.id,
    name: block.name,
    quantum: driver.quantum,
    rate: driver.rate[1],
    waitUs: timed ? waitNs / 1000 : null,
    busyUs: timed ? busyNs / 1000 : null,
    waitRatio: share(waitNs),
    busyRatio: share(busyNs),
    latency: block.latency[1] ? `${block.latency[0]}/${block.latency[1]}` : null,
  };
}

// Emits "profile" ({ t, drivers: [{ ...row, load: { fast, medium, slow },
// xruns, followers: [{ ...row, errors }] }] }) for each profile the daemon
// sends (a follower's errors: the cycles it did not finish, pw-top's ERR),
// "xrun" ({ node, count, t }) when a driver's xrun count or a follower's
// errors grow, and "end" once closed.
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
    if (kind === 'profiler-xrun') return this.emit('xrun', { node: payload.id, count: payload.token, t: Date.now() });
    const drivers = payload.drivers.map((d) => {
      const periodNs = d.rate[1] ? (d.quantum * 1e9 * d.rate[0]) / d.rate[1] : 0;
      const followers = d.followers.map((f) => ({ ...row(f, d, periodNs), errors: f.errors }));
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
