'use strict';
// quorvane eq / loopback: an equaliser from a ParametricEQ.txt file, and a
// loopback between two nodes, held until Ctrl-C (they go with the tool).
const fs = require('node:fs');
const { EXIT, UsageError, CliError, parse, asCliError } = require('./args');
const { say, warn } = require('./output');
const { openSession, hold } = require('./session');
const { parseParametricEq } = require('../features/effects/parametric-eq');
const { clockRate } = require('../features/effects/bands');

const MEDIA_CLASSES = ['Audio/Sink', 'Audio/Source', 'Stream'];

// Holds `what` until Ctrl-C, then closes it; prints its node ids first.
function holdIt(graph, made, label) {
  const held = hold(graph, { onStop: () => made.close() });
  say(`${made.nodes.capture.id} ${made.nodes.playback.id}`);
  warn(`holding ${label} until Ctrl-C`);
  return held;
}

async function eq(argv) {
  const o = parse(argv, { 'from-file': 'value', target: 'value', 'media-class': 'value', channels: 'value' });
  const [name, ...more] = o._;
  if (!name) throw new UsageError('eq needs a NAME');
  if (more.length) throw new UsageError(`unexpected argument ${more[0]}`);
  if (!o['from-file']) throw new UsageError('eq needs --from-file ParametricEQ.txt');
  if (o['media-class'] !== undefined && !MEDIA_CLASSES.includes(o['media-class'])) {
    throw new UsageError(`eq: --media-class must be one of ${MEDIA_CLASSES.join(', ')}`);
  }
  let text;
  try {
    text = fs.readFileSync(o['from-file'], 'utf8');
  } catch (e) {
    throw new CliError(`cannot read ${o['from-file']}: ${e.message}`, EXIT.FAILED);
  }
  // Read before connecting, then checked against the graph's rate (a band's
  // frequency below half of it), each refusal with the file's line.
  const read = (rate) => {
    try {
      return parseParametricEq(text, { rate });
    } catch (e) {
      throw new UsageError(`${o['from-file']}: ${e.message}`);
    }
  };
  read(Infinity);
  const channels = o.channels === undefined ? undefined : Number(o.channels);
  const graph = await openSession();
  const options = read(clockRate(graph)); // the rate createFilter checks against
  let filter;
  try {
    filter = await graph.createFilter({ name, ...options, mediaClass: o['media-class'], channels, target: o.target });
  } catch (e) {
    throw asCliError(e);
  }
  return holdIt(graph, filter, `equaliser "${name}" (${options.filters.length} bands)`);
}

async function loopback(argv) {
  const o = parse(argv, { latency: 'value', name: 'value', channels: 'value' });
  const [from, to, ...more] = o._;
  if (!from || !to) throw new UsageError('loopback needs FROM and TO');
  if (more.length) throw new UsageError(`unexpected argument ${more[0]}`);
  const latencyMs = o.latency === undefined ? undefined : Number(o.latency);
  const channels = o.channels === undefined ? undefined : Number(o.channels);
  const graph = await openSession();
  let made;
  try {
    made = await graph.createLoopback({ from, to, latencyMs, channels, name: o.name });
  } catch (e) {
    throw asCliError(e);
  }
  return holdIt(graph, made, `loopback from ${from} to ${to}`);
}

module.exports = { eq, loopback };
