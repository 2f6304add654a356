'use strict';
// Back-off for a pair of ports that another client keeps undoing: a route's
// link it keeps removing, a "never" rule's removal it keeps making again (a
// session manager that links a stream back). Undoings closer than
// CONTEST_WINDOW_MS apart count towards the contest; from the second, each
// new try waits twice as long as the one before (CONTEST_FIRST_MS ..
// CONTEST_LIMIT_MS); at the third the contest is reported, once. A pair
// left alone for a window starts again from nothing. Never a loop: at most
// one try per CONTEST_LIMIT_MS once contested.
const CONTEST_WINDOW_MS = 30000;
const CONTEST_FIRST_MS = 100;
const CONTEST_LIMIT_MS = 5000;
const CONTEST_REPORT_AT = 3;

class Contention {
  #pairs = new Map(); // key -> { undone: [times], delay, timer, reported }

  /** Someone undid what was done for `key`; returns { count, seconds } when that is to be reported (once), else null. */
  note(key) {
    const now = Date.now();
    let c = this.#pairs.get(key);
    if (!c) this.#pairs.set(key, (c = { undone: [], delay: 0, timer: null, reported: false }));
    c.undone = c.undone.filter((t) => now - t < CONTEST_WINDOW_MS);
    c.undone.push(now);
    if (c.undone.length < 2) {
      c.delay = 0;
      c.reported = false;
      return null;
    }
    c.delay = c.delay ? Math.min(c.delay * 2, CONTEST_LIMIT_MS) : CONTEST_FIRST_MS;
    if (c.undone.length < CONTEST_REPORT_AT || c.reported) return null;
    c.reported = true;
    return { count: c.undone.length, seconds: Math.ceil((now - c.undone[0]) / 1000) };
  }

  /** Runs `act` now, or after the pair's pause when `still()` holds then; nothing while a try already waits. */
  run(key, act, still) {
    const c = this.#pairs.get(key);
    if (c?.timer) return;
    if (!c?.delay) return act();
    c.timer = setTimeout(() => {
      c.timer = null;
      if (still()) act();
    }, c.delay);
  }

  close() {
    for (const c of this.#pairs.values()) clearTimeout(c.timer);
    this.#pairs.clear();
  }
}

module.exports = { Contention, CONTEST_LIMIT_MS };
