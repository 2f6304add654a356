'use strict';
// quorvane meter / top: levels and the daemon's profiler in the terminal. On
// a terminal each redraws in place; into a pipe or file each period is
// printed whole, as lines or (--json) one JSON object a line.
const { EXIT, UsageError, CliError, parse, noPositional, asCliError } = require('./args');
const { say, warn } = require('./output');
const { openSession, hold } = require('./session');
const resolve = require('./resolve');

const BAR_WIDTH = 40;
const FLOOR_DB = -60; // the bar's left end
const TOP_METERED = 5; // the busiest nodes `top` measures
const TOP_REFRESH_MS = 1000;
const ONCE_LIMIT_MS = 3000; // `top --once` with no profile by then prints an empty one

// The API's argument errors are the user's (exit 2); anything else a failure.

// dBFS as JSON carries it: silence (-Infinity) as null, a tenth of a dB.
const jsonDb = (db) => (Number.isFinite(db) ? Math.round(db * 10) / 10 : null);
const dbText = (db) => (Number.isFinite(db) ? `${db.toFixed(1)} dB` : '-inf dB');

function bar(db) {
  const filled = Number.isFinite(db) ? Math.round((Math.min(Math.max(db, FLOOR_DB), 0) / -FLOOR_DB + 1) * BAR_WIDTH) : 0;
  return `[${'#'.repeat(filled)}${' '.repeat(BAR_WIDTH - filled)}]`;
}

// Draws `lines` over what the last call drew (a terminal), else prints them.
function painter(tty) {
  let drawn = 0;
  return (lines) => {
    if (tty && drawn) process.stdout.write(`\x1b[${drawn}F`);
    for (const line of lines) say(tty ? `\x1b[2K${line}` : line);
    if (tty && lines.length < drawn) process.stdout.write('\x1b[J');
    drawn = lines.length;
  };
}

function rateArg(text) {
  if (text === undefined) return 10;
  const rate = Number(text);
  if (!/^\d+(\.\d+)?$/.test(text) || !(rate >= 1 && rate <= 60)) throw new UsageError(`--rate must be from 1 to 60 (levels a second), not ${JSON.stringify(text)}`);
  return rate;
}

// quorvane meter NODE... [--rate HZ] [--json]: until Ctrl-C (0), the reader
// going away (0), the daemon going away (4), or the last measured node going
// (4; while others remain, a line on standard error and the rest go on). A
// meter that measures nothing for a second says why on standard error.
async function meter(argv) {
  const o = parse(argv, { rate: 'value', json: 'flag' });
  if (o._.length === 0) throw new UsageError('meter needs at least one NODE');
  const rateHz = rateArg(o.rate);
  const graph = await openSession();
  const meters = [];
  for (const text of o._) {
    const node = resolve.node(graph, text);
    try {
      meters.push({ node, meter: graph.meter(node.id, { rateHz }), level: null });
    } catch (e) {
      throw asCliError(e);
    }
  }
  const tty = Boolean(process.stdout.isTTY) && !o.json;
  const paint = painter(tty);
  const nameWidth = Math.max(...meters.flatMap((m) => m.meter.channels.map((c) => `${m.node.name} ${c}`.length)));
  const draw = () =>
    paint(
      meters.flatMap(({ node, meter: mt, level }) =>
        mt.channels.map((c, i) => {
          const db = level ? level.peak[i] : -Infinity;
          return `${`${node.name} ${c}`.padEnd(nameWidth)} ${bar(db)} ${dbText(db)}${mt.ended ? ' (gone)' : ''}`;
        }),
      ),
    );
  let live = meters.length;
  let lastGone;
  const lastGoneWaiter = new Promise((resolveGone) => (lastGone = resolveGone));
  for (const m of meters) {
    m.meter.on('level', (level) => {
      m.level = level;
      if (o.json) {
        say(JSON.stringify({ t: level.t, id: m.node.id, name: m.node.name, channels: m.meter.channels, peak: level.peak.map(jsonDb), rms: level.rms.map(jsonDb) }));
      } else if (!tty) {
        say(`${m.node.name} ${m.meter.channels.map((c, i) => `${c} ${dbText(level.peak[i])}`).join('  ')}`);
      }
    });
    // A meter that measures nothing says why, on standard error (once per change).
    m.meter.on('state', ({ state, reason }) => state !== 'measuring' && warn(`${JSON.stringify(m.node.name)} (${m.node.id}): not measuring: ${reason}`));
    m.meter.on('end', (reason) => {
      if (reason === 'closed' || graph.state === 'closed') return;
      warn(`${JSON.stringify(m.node.name)} (${m.node.id}): ${reason}`);
      if (--live === 0) lastGone(EXIT.DAEMON_GONE);
    });
  }
  const timer = tty ? setInterval(draw, 1000 / rateHz) : null;
  if (tty) draw();
  const code = await Promise.race([hold(graph), lastGoneWaiter]);
  if (timer) clearInterval(timer);
  return code;
}

// Level meters' own nodes (this tool's and others'), hidden as the Graph hides them.
const isMeter = (n) => n.name.startsWith('quorvane.meter.');

// A profile's drivers as pw-top lists them: each driver's latest cycle of the
// profile (it may hold several), its followers but meters.
function latestCycles(profile) {
  const byDriver = new Map();
  for (const d of profile.drivers) byDriver.set(d.id, { ...d, followers: d.followers.filter((f) => !isMeter(f)) });
  return [...byDriver.values()];
}

// The rows with each node's state (as the Graph has it) and the peak of the
// measured nodes.
function profileRows(drivers, peaks, states) {
  const extra = (id) => ({ state: states.get(id) ?? null, ...(peaks.has(id) ? { peak: jsonDb(peaks.get(id)) } : {}) });
  return drivers.map(({ followers, ...d }) => ({
    ...d,
    ...extra(d.id),
    followers: followers.map((f) => ({ ...f, ...extra(f.id) })),
  }));
}

// pw-top's S column: a node's state by its first letter (C creating, S
// suspended, I idle, R running, E error).
const STATE_LETTERS = { creating: 'C', suspended: 'S', idle: 'I', running: 'R', error: 'E' };

const us = (v) => (v === null ? '---' : v >= 1000 ? `${(v / 1000).toFixed(1)}ms` : `${v.toFixed(1)}us`);
const ratio = (v) => (v === null ? '---' : v.toFixed(2));

// pw-top's columns (but its FORMAT), with the peak before the name: S the
// state; QUANT and RATE a driver's clock, a follower's own latency (see
// lib/features/profiler.js); ERR a driver's xruns, a follower's errors.
function topLines(drivers) {
  const header = ['S', 'ID', 'QUANT', 'RATE', 'WAIT', 'BUSY', 'W/Q', 'B/Q', 'ERR', 'PEAK', 'NAME'];
  const rows = [];
  for (const d of drivers) {
    const row = (n, name, err) => [STATE_LETTERS[n.state] ?? '!', n.id, n.quantum, n.rate, us(n.waitUs), us(n.busyUs), ratio(n.waitRatio), ratio(n.busyRatio), err, n.peak === undefined ? '' : n.peak === null ? '-inf' : n.peak.toFixed(1), name].map(String);
    rows.push(row(d, `${d.name}  (load ${d.load.fast.toFixed(2)} ${d.load.medium.toFixed(2)} ${d.load.slow.toFixed(2)})`, d.xruns));
    for (const f of d.followers) rows.push(row(f, ` + ${f.name}`, f.errors));
  }
  const widths = header.map((h, i) => Math.max(h.length, ...rows.map((r) => r[i].length)));
  const line = (cells) => cells.map((c, i) => (i === cells.length - 1 ? c : (i >= 1 && i <= 3) || i === 8 ? c.padStart(widths[i]) : c.padEnd(widths[i]))).join(' ');
  return [line(header), ...rows.map(line), ...(rows.length ? [] : ['(no driver running)'])];
}

// The nodes of a profile's latest cycles, busiest first.
const busiest = (drivers) =>
  drivers
    .flatMap((d) => [d, ...d.followers])
    .filter((n) => n.busyUs !== null)
    .sort((a, b) => b.busyUs - a.busyUs)
    .slice(0, TOP_METERED)
    .map((n) => n.id);

// quorvane top [--json] [--once]: the profiler once a second, with the peak
// of the busiest nodes (meters opened for those alone, closed as they drop
// out). Exit 1 where the daemon has no profiler.
async function top(argv) {
  const o = parse(argv, { json: 'flag', once: 'flag' });
  noPositional(o);
  const graph = await openSession();
  let profiler;
  try {
    profiler = graph.profiler();
  } catch (e) {
    throw new CliError(e.message, EXIT.FAILED);
  }
  const meters = new Map(); // node id -> { meter, peak }
  const measure = (ids) => {
    for (const [id, m] of meters) if (!ids.includes(id)) (m.meter.close(), meters.delete(id));
    for (const id of ids) {
      if (meters.has(id)) continue;
      try {
        const entry = { meter: graph.meter(id, { rateHz: 10 }), peak: -Infinity };
        entry.meter.on('level', ({ peak }) => (entry.peak = Math.max(...peak)));
        meters.set(id, entry);
      } catch {} // no audio outputs (a video or MIDI node), or gone meanwhile
    }
  };
  let first = null;
  profiler.on('profile', (p) => {
    if (!first) (first = p), measure(busiest(latestCycles(p)));
  });
  const tty = Boolean(process.stdout.isTTY) && !o.json;
  const refresh = () => {
    const profile = profiler.latest ?? { t: Date.now(), drivers: [] };
    const cycles = latestCycles(profile);
    if (profiler.latest) measure(busiest(cycles));
    const peaks = new Map([...meters].filter(([, m]) => !m.meter.ended).map(([id, m]) => [id, m.peak]));
    const drivers = profileRows(cycles, peaks, new Map(graph.nodes().map((n) => [n.id, n.state])));
    if (o.json) say(JSON.stringify({ t: profile.t, drivers }));
    else {
      if (tty) process.stdout.write('\x1b[H\x1b[2J');
      for (const line of topLines(drivers)) say(line);
      if (!tty) say('');
    }
  };
  if (o.once) {
    // The first profile, then a refresh's time for the meters to read.
    await new Promise((done) => {
      const limit = setTimeout(done, ONCE_LIMIT_MS);
      profiler.once('profile', () => (clearTimeout(limit), setTimeout(done, TOP_REFRESH_MS)));
    });
    refresh();
    return EXIT.OK;
  }
  const timer = setInterval(refresh, TOP_REFRESH_MS);
  const code = await hold(graph);
  clearInterval(timer);
  return code;
}

module.exports = { meter, top };
