'use strict';
// Listeners called one by one: a listener that throws does not keep the
// event from the others. Its exception is thrown again on its own, as soon
// as the caller returns, and reaches 'uncaughtException' as a throwing
// EventEmitter listener's would.

function rethrowLater(err) {
  process.nextTick(() => {
    throw err;
  });
}

// Calls `call(fn)` for every listener of a list as it is now.
function callEach(listeners, call) {
  for (const fn of [...listeners]) {
    try {
      call(fn);
    } catch (err) {
      rethrowLater(err);
    }
  }
}

// emitter.emit(name, ...args), each listener called as callEach calls it.
function emitEach(emitter, name, args) {
  if (emitter.listenerCount(name) === 0) return;
  for (const fn of emitter.rawListeners(name)) {
    try {
      Reflect.apply(fn, emitter, args);
    } catch (err) {
      rethrowLater(err);
    }
  }
}

module.exports = { callEach, emitEach };
