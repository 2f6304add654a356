'use strict';
// quorvane volume / mute / default / move: what scripts would otherwise ask
// wpctl, pactl or pw-metadata for. Arguments are checked before connecting,
// so that bad input changes nothing.
const { EXIT, UsageError, CliError, parse } = require('./args');
const { say, printRows } = require('./output');
const { openSession } = require('./session');
const resolve = require('./resolve');

// Above this a VALUE is refused: a "50" meant as "50%" would set 50 on the
// cubic scale, 125000 times the full channel volume.
const MAX_VOLUME = 10;
const KINDS = { 'audio-sink': 'audioSink', 'audio-source': 'audioSource', 'video-source': 'videoSource' };
const MUTE = { on: true, 1: true, off: false, 0: false, toggle: 'toggle' };

// The API's argument errors are the user's (exit 2); anything else a failure.
function failure(e) {
  return e instanceof TypeError || e instanceof RangeError ? new UsageError(e.message) : new CliError(e.message, EXIT.FAILED);
}

// printf("%.2f"), as wpctl prints: an exact tie (a multiple of 1/8) rounds
// to the even hundredth, where toFixed would round it up.
function fixed2(v) {
  const eighths = v * 8;
  if (!Number.isInteger(eighths) || eighths % 2 === 0) return v.toFixed(2);
  const down = Math.floor(v * 100);
  return ((down % 2 === 0 ? down : down + 1) / 100).toFixed(2);
}

// What `wpctl get-volume` prints.
const volumeLine = (n) => `Volume: ${fixed2(n.volume)}${n.mute ? ' [MUTED]' : ''}`;
const volumeJson = (n) => JSON.stringify({ id: n.id, name: n.name, volume: n.volume, channelVolumes: n.channelVolumes, mute: n.mute });
const shown = (n) => `${JSON.stringify(n.name)} (${n.id})`;

// 0.5 or 50% sets the volume; a sign (+5%, -0.05) changes it by that much.
function parseVolume(text) {
  const m = /^([+-]?)(\d+(?:\.\d+)?|\.\d+)(%?)$/.exec(text);
  if (!m) throw new UsageError(`VALUE is like 0.5, 50%, +5% or -5%, not ${JSON.stringify(text)}`);
  const amount = Number(m[2]) / (m[3] ? 100 : 1);
  if (!m[1] && amount > MAX_VOLUME) throw new UsageError(`volume ${text} is above the limit, ${MAX_VOLUME * 100}%`);
  return { change: m[1] === '-' ? -amount : m[1] === '+' ? amount : undefined, amount };
}

function withVolume(node) {
  if (node.volume === undefined) throw new CliError(`node ${shown(node)} has no volume`);
  return node;
}

async function volume(argv) {
  const o = parse(argv, { json: 'flag' });
  const [text, value, ...more] = o._;
  if (text === undefined) throw new UsageError('volume needs a NODE');
  if (more.length) throw new UsageError(`unexpected argument ${more[0]}`);
  const wanted = value === undefined ? undefined : parseVolume(value);
  const graph = await openSession();
  let node = withVolume(resolve.node(graph, text));
  if (wanted) {
    // A change never goes below 0, and raises no further than the limit.
    const to =
      wanted.change === undefined
        ? wanted.amount
        : Math.min(Math.max(0, node.volume + wanted.change), Math.max(node.volume, MAX_VOLUME));
    node = await graph.setVolume(node.id, to).catch((e) => {
      throw failure(e);
    });
  }
  say(o.json ? volumeJson(node) : volumeLine(node));
}

async function mute(argv) {
  const o = parse(argv, { json: 'flag' });
  const [text, value = 'toggle', ...more] = o._;
  if (text === undefined) throw new UsageError('mute needs a NODE');
  if (more.length) throw new UsageError(`unexpected argument ${more[0]}`);
  if (!Object.hasOwn(MUTE, value)) throw new UsageError(`mute takes on, off or toggle, not ${JSON.stringify(value)}`);
  const graph = await openSession();
  let node = withVolume(resolve.node(graph, text));
  const to = MUTE[value] === 'toggle' ? !node.mute : MUTE[value];
  node = await graph.setMute(node.id, to).catch((e) => {
    throw failure(e);
  });
  say(o.json ? volumeJson(node) : volumeLine(node));
}

function defaultRow(graph, kind) {
  const key = KINDS[kind];
  const name = graph.defaults?.[key] ?? null;
  const present = name === null ? [] : graph.nodes().filter((n) => n.name === name);
  return { kind, name, id: present.length === 1 ? present[0].id : null, configured: graph.defaults?.configured?.[key] ?? null };
}

async function defaults(argv) {
  const o = parse(argv, { json: 'flag' });
  const [kind, text, ...more] = o._;
  if (kind !== undefined && !Object.hasOwn(KINDS, kind)) {
    throw new UsageError(`default takes audio-sink, audio-source or video-source, not ${JSON.stringify(kind)}`);
  }
  if (more.length) throw new UsageError(`unexpected argument ${more[0]}`);
  const graph = await openSession();
  if (kind === undefined) {
    const rows = Object.keys(KINDS).map((k) => defaultRow(graph, k));
    printRows(rows, ['kind', 'name', 'id', 'configured'], o.json);
    return;
  }
  if (text === undefined) {
    // The one in effect, else the configured one, as @default-… names it.
    const row = defaultRow(graph, kind);
    if (o.json) say(JSON.stringify(row));
    else if ((row.name ?? row.configured) === null) throw new CliError(`there is no default ${kind}`);
    else say(row.name ?? row.configured);
    return;
  }
  const node = resolve.node(graph, text);
  await graph.setDefault(KINDS[kind], node.id).catch((e) => {
    throw failure(e);
  });
  say(`default ${kind} set to ${shown(node)}`);
}

async function move(argv) {
  const o = parse(argv, { clear: 'flag' });
  const [streamText, targetText, ...more] = o._;
  if (streamText === undefined || (o.clear ? targetText !== undefined : targetText === undefined)) throw new UsageError('move needs STREAM and TARGET, or STREAM --clear');
  if (more.length) throw new UsageError(`unexpected argument ${more[0]}`);
  const graph = await openSession();
  const stream = resolve.node(graph, streamText);
  const target = o.clear ? null : resolve.node(graph, targetText);
  await graph.move(stream.id, target && target.id).catch((e) => {
    throw failure(e);
  });
  say(target ? `moving ${shown(stream)} to ${shown(target)}` : `${shown(stream)} left to the session manager`);
}

module.exports = { volume, mute, default: defaults, move };
