'use strict';
// The plumbing every Graph wait shares: a Promise that settles once, with a
// time-out, an AbortSignal, and its own clean-up whichever way it ends.

// Node.js fires timers of more than 2^31 - 1 ms at once (with a warning):
// longer waits are that long, which is over 24 days.
const MAX_TIMER_MS = 2 ** 31 - 1;

// setTimeout for any non-negative delay; Infinity never fires (null).
function setLongTimeout(fn, ms) {
  if (ms === Infinity) return null;
  return setTimeout(fn, Math.min(ms, MAX_TIMER_MS));
}

// Starts a wait. `start(settle)` registers what the wait listens to and
// returns its clean-up; `settle.resolve` / `settle.reject` end the wait. The
// time-out rejects with `timeoutError()`; an abort rejects with the signal's
// reason.
function abortableWait({ timeoutMs, signal, timeoutError }, start) {
  return new Promise((resolve, reject) => {
    if (signal?.aborted) {
      reject(signal.reason);
      return;
    }
    let done = false;
    let cleanup = () => {};
    let timer = null;
    const onAbort = () => finish(reject, signal.reason);
    function finish(how, value) {
      if (done) return;
      done = true;
      if (timer) clearTimeout(timer);
      signal?.removeEventListener('abort', onAbort);
      cleanup();
      how(value);
    }
    const settle = { resolve: (v) => finish(resolve, v), reject: (e) => finish(reject, e) };
    signal?.addEventListener('abort', onAbort, { once: true });
    if (timeoutMs !== undefined) timer = setLongTimeout(() => finish(reject, timeoutError()), timeoutMs);
    const c = start(settle);
    if (done) c?.();
    else if (c) cleanup = c;
  });
}

module.exports = { abortableWait, setLongTimeout, MAX_TIMER_MS };
