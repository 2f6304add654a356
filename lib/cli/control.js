'use strict';
// quorvane volume / mute / default / move: what scripts would otherwise ask
// wpctl, pactl or pw-metadata for. Arguments are checked before connecting,
// so that bad input changes nothing.
const { EXIT, UsageError, CliError, parse, asCliError } = require('./args');
const { say, printRows } = require('./output');
const { openSession, openView } = require('./session');
const resolve = require('./resolve');

// The most a node takes, on wpctl's scale: the cube root of the audio
// converter's largest channel volume (about 215%), which the add-on reports
// (loaded here on first use, so that requiring this file, for --help, does
// not load it). A VALUE above it is refused before anything is written; a
// step up stops there.
const maxLinear = () => require('../features/control').MAX_LINEAR;
const mostCubic = () => Math.cbrt(maxLinear());

// volumeLimit() → the limit in words, as the help and the refusal give it;
// throws the loader's Error when the add-on cannot be loaded.
function volumeLimit() {
  const most = mostCubic();
  return `${Math.floor(most * 100)}% (${most.toFixed(4)}, the cube root of ${maxLinear()}: the audio converter's largest channel volume)`;
}
const DEFAULT_KINDS = { 'audio-sink': 'audioSink', 'audio-source': 'audioSource', 'video-source': 'videoSource' };
const MUTE_WORDS = { on: true, 1: true, off: false, 0: false, toggle: 'toggle' };

// printf("%.2f"), as wpctl prints: an exact tie (a multiple of 1/8) rounds
// to the even hundredth, where toFixed would round it up.
function printf2f(v) {
  const eighths = v * 8;
  if (!Number.isInteger(eighths) || eighths % 2 === 0) return v.toFixed(2);
  const down = Math.floor(v * 100);
  return ((down % 2 === 0 ? down : down + 1) / 100).toFixed(2);
}

// What `wpctl get-volume` prints.
const volumeLine = (n) => `Volume: ${printf2f(n.volume)}${n.mute ? ' [MUTED]' : ''}`;
const volumeJson = (n) => JSON.stringify({ id: n.id, name: n.name, volume: n.volume, channelVolumes: n.channelVolumes, mute: n.mute });
const nodeLabel = (n) => `${JSON.stringify(n.name)} (${n.id})`;

// 0.5 or 50% sets the volume; a sign before or after, as wpctl writes it
// (+5%, 5%+, -0.05, 0.05-), changes it by that much.
function parseVolume(text) {
  const m = /^(?:([+-]?)(\d+(?:\.\d+)?|\.\d+)(%?)|(\d+(?:\.\d+)?|\.\d+)(%?)([+-]))$/.exec(text);
  if (!m) throw new UsageError(`VALUE is like 0.5, 50%, +5%, -5%, 5%+ or 5%-, not ${JSON.stringify(text)}`);
  const [sign, number, percent] = m[2] !== undefined ? [m[1], m[2], m[3]] : [m[6], m[4], m[5]];
  const amount = Number(number) / (percent ? 100 : 1);
  if (!sign && amount > mostCubic()) {
    throw new UsageError(`volume ${text} is above the most a node takes, ${volumeLimit()}`);
  }
  return { change: sign === '-' ? -amount : sign === '+' ? amount : undefined, amount };
}

function withVolume(node) {
  if (node.volume === undefined) throw new CliError(`node ${nodeLabel(node)} has no volume`);
  return node;
}

async function volume(argv) {
  const o = parse(argv, { json: 'flag' });
  const [text, value, ...more] = o._;
  if (text === undefined) throw new UsageError('volume needs a NODE');
  if (more.length) throw new UsageError(`unexpected argument ${more[0]}`);
  const wanted = value === undefined ? undefined : parseVolume(value);
  const graph = wanted ? await openSession() : await openView({ info: ['node'] });
  let node = withVolume(resolve.node(graph, text));
  if (wanted) {
    // A change never goes below 0, nor above the most a node takes (set on
    // the linear scale: the cube of the cube root rounds above the limit).
    const to = wanted.change === undefined ? wanted.amount : Math.max(0, node.volume + wanted.change);
    const set = to >= mostCubic() ? graph.setVolume(node.id, maxLinear(), { scale: 'linear' }) : graph.setVolume(node.id, to);
    node = await set.catch((e) => {
      throw asCliError(e);
    });
  }
  say(o.json ? volumeJson(node) : volumeLine(node));
}

async function mute(argv) {
  const o = parse(argv, { json: 'flag' });
  const [text, value = 'toggle', ...more] = o._;
  if (text === undefined) throw new UsageError('mute needs a NODE');
  if (more.length) throw new UsageError(`unexpected argument ${more[0]}`);
  if (!Object.hasOwn(MUTE_WORDS, value)) throw new UsageError(`mute takes on, off or toggle, not ${JSON.stringify(value)}`);
  const graph = await openSession();
  let node = withVolume(resolve.node(graph, text));
  const to = MUTE_WORDS[value] === 'toggle' ? !node.mute : MUTE_WORDS[value];
  node = await graph.setMute(node.id, to).catch((e) => {
    throw asCliError(e);
  });
  say(o.json ? volumeJson(node) : volumeLine(node));
}

function defaultRow(graph, kind) {
  const key = DEFAULT_KINDS[kind];
  const name = graph.defaults?.[key] ?? null;
  const present = name === null ? [] : graph.nodes().filter((n) => n.name === name);
  return { kind, name, id: present.length === 1 ? present[0].id : null, configured: graph.defaults?.configured?.[key] ?? null };
}

async function defaults(argv) {
  const o = parse(argv, { json: 'flag' });
  const [kind, text, ...more] = o._;
  if (kind !== undefined && !Object.hasOwn(DEFAULT_KINDS, kind)) {
    throw new UsageError(`default takes audio-sink, audio-source or video-source, not ${JSON.stringify(kind)}`);
  }
  if (more.length) throw new UsageError(`unexpected argument ${more[0]}`);
  const graph = text === undefined ? await openView() : await openSession();
  if (kind === undefined) {
    const rows = Object.keys(DEFAULT_KINDS).map((k) => defaultRow(graph, k));
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
  await graph.setDefault(DEFAULT_KINDS[kind], node.id).catch((e) => {
    throw asCliError(e);
  });
  say(`default ${kind} set to ${nodeLabel(node)}`);
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
    throw asCliError(e);
  });
  say(target ? `moving ${nodeLabel(stream)} to ${nodeLabel(target)}` : `${nodeLabel(stream)} left to the session manager`);
}

module.exports = { volume, mute, default: defaults, move, volumeLimit };
