'use strict';
// Standard output for the quorvane tool. A reader that goes away (`quorvane
// monitor | head -1`) is a normal end: the tool stops quietly with exit 0
// instead of dying on EPIPE.

let closedHandler = () => process.exit(0);
let closed = false;

process.stdout.on('error', (e) => {
  if (e.code !== 'EPIPE') throw e;
  if (closed) return;
  closed = true;
  closedHandler();
});
// Messages on a closed standard error are lost; that is no reason to crash.
process.stderr.on('error', () => {});

// What to do when the reader has gone (the entry point closes the
// connection there before exiting).
function onOutputClosed(handler) {
  closedHandler = handler;
}

function say(line) {
  if (!closed) process.stdout.write(`${line}\n`);
}

// Resolves once what was written to standard output has left the process
// (a pipe takes it asynchronously, and process.exit would cut it short), or
// after `limitMs` for a reader that has stopped reading.
function flushOutput(limitMs = 5000) {
  if (closed || process.stdout.writableLength === 0) return Promise.resolve();
  return new Promise((resolve) => {
    const timer = setTimeout(resolve, limitMs);
    process.stdout.write('', () => {
      clearTimeout(timer);
      resolve();
    });
  });
}

function warn(line) {
  process.stderr.write(`quorvane: ${line}\n`);
}

function table(rows, columns) {
  if (rows.length === 0) return '(none)';
  const cells = rows.map((r) => columns.map((c) => String(r[c] ?? '-')));
  const widths = columns.map((c, i) => Math.max(c.length, ...cells.map((row) => row[i].length)));
  const line = (values) => values.map((v, i) => v.padEnd(widths[i])).join('  ').trimEnd();
  return [line(columns), line(widths.map((w) => '-'.repeat(w))), ...cells.map(line)].join('\n');
}

function printRows(rows, columns, json) {
  say(json ? JSON.stringify(rows, null, 2) : table(rows, columns));
}

module.exports = { say, warn, table, printRows, onOutputClosed, flushOutput };
