'use strict';
// The daemon's refusal, as Node.js reports system errors: its own text,
// errno and code.
const os = require('node:os');

const ERRNO_CODES = new Map(Object.entries(os.constants.errno).map(([code, n]) => [n, code]));

function refusal(res, message) {
  const errno = -res;
  const err = new Error(message || os.constants.errno[errno] || `error ${errno}`);
  err.errno = errno;
  err.code = ERRNO_CODES.get(errno) || 'EUNKNOWN';
  return err;
}

module.exports = { refusal };
