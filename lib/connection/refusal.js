'use strict';
// The daemon's refusal (a negative errno, and its text), as Node.js reports
// system errors: `errno` and `code` ('EEXIST', ...) beside the message.
const util = require('node:util');

// The errno's name as Node.js has it; 'EUNKNOWN' for a number it does not know.
function errnoCode(res) {
  try {
    const name = util.getSystemErrorName(res);
    return /^E[A-Z0-9]+$/.test(name) ? name : 'EUNKNOWN';
  } catch {
    return 'EUNKNOWN'; // not a negative whole number
  }
}

function refusal(res, message) {
  const code = errnoCode(res);
  const err = new Error(message || (code === 'EUNKNOWN' ? `error ${-res}` : code));
  err.errno = -res;
  err.code = code;
  return err;
}

module.exports = { refusal };
