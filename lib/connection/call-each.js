'use strict';
// Calls `call(fn)` for every listener of a list as it is now. A listener
// that throws does not keep the event from the others: its exception is
// thrown again on its own, as soon as this returns, and reaches
// 'uncaughtException' as a throwing EventEmitter listener's would.
function callEach(listeners, call) {
  for (const fn of [...listeners]) {
    try {
      call(fn);
    } catch (err) {
      process.nextTick(() => {
        throw err;
      });
    }
  }
}

module.exports = { callEach };
