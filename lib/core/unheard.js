'use strict';
// Failures that no event will mend reach someone: the emitter's "error"
// listeners when it has any, else the process's warnings (once per kind and
// pair of objects, so that a failure that keeps coming does not flood), never
// nowhere and never an uncaught exception.

const MAX_KEYS = 1024; // what is remembered of warnings given, at most
const told = new Set();

// reportUnheard(emitter, err, key = err.message) → emits "error" with `err`
// when `emitter` has an "error" listener; else process.emitWarning(err) the
// first time `key` comes (a failure's kind and the objects it is about).
function reportUnheard(emitter, err, key = err.message) {
  if (emitter.listenerCount('error') > 0) {
    emitter.emit('error', err);
    return;
  }
  if (told.has(key)) return;
  if (told.size >= MAX_KEYS) told.clear();
  told.add(key);
  process.emitWarning(err.message, { code: err.code ?? 'QUORVANE_UNHEARD', detail: 'no "error" listener heard this' });
}

module.exports = { reportUnheard };
