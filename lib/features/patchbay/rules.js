'use strict';
// The patchbay's rules file, version 1: checked whole before anything is
// applied. A file is any user's text: bounded in size and in rules, every
// field checked for its type, and every mistake named with the rule's index
// and field (and, read from a file, its line and column).
//
//   { "version": 1,
//     "routes":   [{ from, to, channels, exclusive, ports: [[out, in], ...] }],
//                 (a side may be { "first": [matcher, ...] }: the first that
//                 takes some node decides, see first-of.js)
//     "never":    [{ from, to }],
//     "volumes":  [{ node, volume, mute }],
//     "defaults": { audioSink: [names], audioSource: [...], videoSource: [...] },
//     "devices":  [{ name, mediaClass, channels, description }],
//     "profiles": [{ device, profile }],
//     "filters":  [{ name, description, mediaClass, channels, filters, preamp, target }],
//     "loopbacks": [{ from, to, latencyMs, name, channels }] }
//
// A matcher is a node name, a default name ('@default-audio-sink'), or an
// object of property patterns; a pattern "/text/FLAGS" is a RegExp, which may
// capture, and texts of the other side of the rule may use the captures as
// "${1}" or "${name}".
const jsonc = require('jsonc-parser');
const { isDefaultName, compileMatcher } = require('../match');
const { templateNames, captureNames } = require('../link-rules/captures');
const { checkBands, checkGain } = require('../effects/bands');
const { checkPattern } = require('../../core/arguments');
const { LinearRegExp } = require('../../core/linear-regexp');
const { FirstOf } = require('./first-of');

const MAX_FILE_BYTES = 1 << 20;
const MAX_RULES = 1024; // per section
const MAX_TEXT = 4096; // a pattern, a name
const MAX_NODE_NAME = 256; // the name of a node the rules make, as createNode, createFilter and createLoopback take it
const MAX_PORT_PAIRS = 64;
// The cost of all the rules' regular expressions together (LinearRegExp's
// cost: steps a character): a node's name is tested against each, at a cost
// of (its length) × (their cost), which this bounds (at most about 50 ms for
// a name of 60 characters, all the rules together, on a 2-core machine).
const MAX_PATTERN_COST = 32768;
const MAX_VOLUME = 10; // linear, the audio converter's limit (as setVolume)

const SECTIONS = ['version', 'routes', 'never', 'volumes', 'defaults', 'devices', 'profiles', 'filters', 'loopbacks'];
const ROUTE_KEYS = ['from', 'to', 'channels', 'exclusive', 'ports'];
const NEVER_KEYS = ['from', 'to'];
const VOLUME_KEYS = ['node', 'volume', 'mute'];
const DEFAULT_KINDS = ['audioSink', 'audioSource', 'videoSource'];
const DEVICE_KEYS = ['name', 'mediaClass', 'channels', 'description'];
const DEVICE_CLASSES = ['Audio/Sink', 'Audio/Source/Virtual', 'Audio/Duplex'];
const PROFILE_KEYS = ['device', 'profile'];
const FILTER_KEYS = ['name', 'description', 'mediaClass', 'channels', 'filters', 'preamp', 'target'];
const FILTER_CLASSES = ['Audio/Sink', 'Audio/Source', 'Stream'];
const LOOPBACK_KEYS = ['from', 'to', 'latencyMs', 'name', 'channels'];
const MAX_EFFECT_CHANNELS = 32;

/** A refused rules file: `path` names the rule and field ("routes[0].from"); `line`/`column` where the file says it. */
class RulesError extends TypeError {
  constructor(message, { path = [], file, line, column } = {}) {
    const where = pathText(path);
    const at = file === undefined ? '' : `${file}${line !== undefined ? `:${line}:${column}` : ''}: `;
    super(`${at}${where ? `${where}: ` : ''}${message}`);
    this.detail = message;
    this.segments = path;
    this.path = where;
    this.rule = typeof path[1] === 'number' ? `${path[0]}[${path[1]}]` : path[0] === 'defaults' ? 'defaults' : undefined;
    this.field = path.length > 2 ? String(path[2]) : undefined;
    if (file !== undefined) this.file = file;
    if (line !== undefined) Object.assign(this, { line, column });
  }
}

const pathText = (path) => path.reduce((s, p) => (typeof p === 'number' ? `${s}[${p}]` : s ? `${s}.${p}` : p), '');

// "/text/" or "/text/FLAGS" (of i, m, s, u) is a RegExp, matched in time
// linear in the text it is tested on (a LinearRegExp: no backreferences, no
// lookaround); anything else an exact text.
function pattern(text, path) {
  try {
    return checkPattern(text, 'rules', 'a pattern', { max: MAX_TEXT, empty: true });
  } catch (e) {
    throw new RulesError(e.message.replace(/^rules: a pattern: /, ''), { path });
  }
}

const isObject = (v) => v !== null && typeof v === 'object' && !Array.isArray(v);

// text(v, path, { empty }) → v, a bounded text without NUL (empty only with
// `empty`); a RulesError naming `path` otherwise. The checks below are alike:
// each returns the rule as it is kept, or throws a RulesError at its path.
function text(v, path, { empty = false, max = MAX_TEXT } = {}) {
  if (typeof v !== 'string') throw new RulesError('must be a text', { path });
  if (!empty && v === '') throw new RulesError('must not be empty', { path });
  if (v.length > max || v.includes('\0')) throw new RulesError(`must be a text of at most ${max} characters, without NUL`, { path });
  return v;
}

// onlyKeys(obj, keys, path): obj is an object of no other keys than `keys`.
function onlyKeys(obj, keys, path) {
  if (!isObject(obj)) throw new RulesError('must be an object', { path });
  for (const k of Object.keys(obj)) {
    if (!keys.includes(k)) throw new RulesError(`unknown key ${JSON.stringify(k)} (known: ${keys.join(', ')})`, { path: [...path, k] });
  }
}

// list(v, path) → the rules of a section (none when absent), at most MAX_RULES.
function list(v, path) {
  if (v === undefined) return [];
  if (!Array.isArray(v)) throw new RulesError('must be a list', { path });
  if (v.length > MAX_RULES) throw new RulesError(`holds more than ${MAX_RULES} rules`, { path });
  return v;
}

// A matcher as the file writes it, as graph.linkRule() takes it: a node name
// (a "/regexp/" tested on "node.name"), a default name, or property patterns.
function matcher(v, path) {
  if (v instanceof RegExp) return { 'node.name': v };
  if (typeof v === 'string') {
    text(v, path);
    return isDefaultName(v) ? v : { 'node.name': pattern(v, path) };
  }
  if (!isObject(v)) throw new RulesError('must be a node name or an object of property patterns', { path });
  const keys = Object.keys(v);
  if (keys.length === 0) throw new RulesError('needs at least one property', { path });
  if (keys.length > 64) throw new RulesError('has more than 64 properties', { path });
  const props = Object.create(null);
  for (const k of keys) props[k] = v[k] instanceof RegExp ? v[k] : pattern(text(v[k], [...path, k], { empty: true }), [...path, k]);
  return { ...props };
}

const MAX_ALTERNATIVES = 8;

// A side of a route: a matcher, or { "first": [matcher, ...] } (no captures).
function routeSide(v, path) {
  if (v instanceof FirstOf) return v; // checked already
  if (!isObject(v) || !Object.hasOwn(v, 'first')) return matcher(v, path);
  onlyKeys(v, ['first'], path);
  const list = v.first;
  if (!Array.isArray(list) || list.length === 0 || list.length > MAX_ALTERNATIVES) {
    throw new RulesError(`must be a list of 1 to ${MAX_ALTERNATIVES} matchers, the preferred first`, { path: [...path, 'first'] });
  }
  const alternatives = list.map((m, i) => matcher(m, [...path, 'first', i]));
  alternatives.forEach((m, i) => {
    if (templateNames(m).length || captureNames(m).size) throw new RulesError('captures do not go with "first"', { path: [...path, 'first', i] });
  });
  return new FirstOf(alternatives);
}

// "${1}"/"${name}" in one side must name captures of the other side's
// patterns; only one side may use them.
function checkCaptures(from, to, path) {
  const uses = { from: templateNames(from), to: templateNames(to) };
  if (uses.from.length && uses.to.length) throw new RulesError('only one side may use captures ("${...}")', { path: [...path, 'to'] });
  const side = uses.to.length ? 'to' : uses.from.length ? 'from' : null;
  if (!side) return;
  const other = side === 'to' ? from : to;
  const have = captureNames(other);
  for (const name of uses[side]) {
    if (!have.has(name)) {
      throw new RulesError(
        `uses \${${name}}, but "${side === 'to' ? 'from' : 'to'}" captures ${have.size ? [...have].map((n) => `\${${n}}`).join(', ') : 'nothing'}`,
        { path: [...path, side] },
      );
    }
  }
}

// portPairs(v, path) → a route's [output, input] port pairs, or undefined.
function portPairs(v, path) {
  if (v === undefined) return undefined;
  if (!Array.isArray(v) || v.length === 0 || v.length > MAX_PORT_PAIRS) {
    throw new RulesError(`must be a list of 1 to ${MAX_PORT_PAIRS} [output, input] pairs of port names or channels`, { path });
  }
  return v.map((pair, i) => {
    if (!Array.isArray(pair) || pair.length !== 2) throw new RulesError('must be an [output, input] pair', { path: [...path, i] });
    return [text(pair[0], [...path, i, 0]), text(pair[1], [...path, i, 1])];
  });
}

// route(r, path) → { from, to, channels, exclusive, ports? }.
function route(r, path) {
  onlyKeys(r, ROUTE_KEYS, path);
  if (r.from === undefined || r.to === undefined) throw new RulesError(`needs "from" and "to"`, { path });
  const from = routeSide(r.from, [...path, 'from']);
  const to = routeSide(r.to, [...path, 'to']);
  checkCaptures(from, to, path);
  const channels = r.channels ?? 'auto';
  if (channels !== 'auto' && channels !== 'positional') throw new RulesError('must be "auto" or "positional"', { path: [...path, 'channels'] });
  const exclusive = r.exclusive ?? false;
  if (typeof exclusive !== 'boolean') throw new RulesError('must be true or false', { path: [...path, 'exclusive'] });
  const ports = portPairs(r.ports, [...path, 'ports']);
  return { from, to, channels, exclusive, ...(ports ? { ports } : {}) };
}

// never(r, path) → { from, to }: links the rule forbids (no captures).
function never(r, path) {
  onlyKeys(r, NEVER_KEYS, path);
  if (r.from === undefined || r.to === undefined) throw new RulesError(`needs "from" and "to"`, { path });
  const from = matcher(r.from, [...path, 'from']);
  const to = matcher(r.to, [...path, 'to']);
  if (templateNames(from).length || templateNames(to).length) throw new RulesError('captures ("${...}") belong to routes', { path: [...path, 'to'] });
  return { from, to };
}

// volume(r, path) → { node, volume?, mute? } (volume on wpctl's scale).
function volume(r, path) {
  onlyKeys(r, VOLUME_KEYS, path);
  if (r.node === undefined) throw new RulesError('needs "node"', { path });
  if (r.volume === undefined && r.mute === undefined) throw new RulesError('needs "volume" or "mute"', { path });
  const node = matcher(r.node, [...path, 'node']);
  if (r.volume !== undefined && !(typeof r.volume === 'number' && r.volume >= 0 && Math.cbrt(MAX_VOLUME) >= r.volume)) {
    throw new RulesError(`must be a number from 0 to ${Math.cbrt(MAX_VOLUME).toFixed(3)} (wpctl's scale: 1.0 is 100%)`, { path: [...path, 'volume'] });
  }
  if (r.mute !== undefined && typeof r.mute !== 'boolean') throw new RulesError('must be true or false', { path: [...path, 'mute'] });
  return { node, ...(r.volume !== undefined ? { volume: r.volume } : {}), ...(r.mute !== undefined ? { mute: r.mute } : {}) };
}

// defaults(d, path) → { audioSink?: [names], ... }, the preferred first.
function defaults(d, path) {
  if (d === undefined) return {};
  onlyKeys(d, DEFAULT_KINDS, path);
  const out = {};
  for (const kind of DEFAULT_KINDS) {
    if (d[kind] === undefined) continue;
    const names = d[kind];
    if (!Array.isArray(names) || names.length === 0 || names.length > 64) throw new RulesError('must be a list of 1 to 64 node names, the preferred first', { path: [...path, kind] });
    out[kind] = names.map((n, i) => text(n, [...path, kind, i]));
  }
  return out;
}

// device(r, path) → a device of the patchbay's own: { name, mediaClass, ... }.
function device(r, path) {
  onlyKeys(r, DEVICE_KEYS, path);
  const name = text(r.name, [...path, 'name'], { max: MAX_NODE_NAME });
  const mediaClass = r.mediaClass ?? 'Audio/Sink';
  if (!DEVICE_CLASSES.includes(mediaClass)) throw new RulesError(`must be one of ${DEVICE_CLASSES.join(', ')}`, { path: [...path, 'mediaClass'] });
  const out = { name, mediaClass };
  if (r.channels !== undefined) {
    if (!Array.isArray(r.channels) || r.channels.length === 0 || r.channels.length > 64 || !r.channels.every((c) => typeof c === 'string' && /^[A-Za-z0-9_]{1,32}$/.test(c)) || new Set(r.channels).size !== r.channels.length) {
      throw new RulesError('must be 1 to 64 distinct channel names of letters, digits and _', { path: [...path, 'channels'] });
    }
    out.channels = [...r.channels];
  }
  if (r.description !== undefined) out.description = text(r.description, [...path, 'description']);
  return out;
}

// profile(r, path) → { device, profile }: the profile (a name, or an index)
// a device (its "device.name", or property patterns of the device) is set to
// as it appears.
function profile(r, path) {
  onlyKeys(r, PROFILE_KEYS, path);
  if (r.device === undefined || r.profile === undefined) throw new RulesError('needs "device" and "profile"', { path });
  let device;
  if (typeof r.device === 'string') {
    if (isDefaultName(r.device)) throw new RulesError('must be a device name or an object of property patterns, not a default node', { path: [...path, 'device'] });
    device = { 'device.name': pattern(text(r.device, [...path, 'device']), [...path, 'device']) };
  } else device = matcher(r.device, [...path, 'device']);
  const p = r.profile;
  if (!(Number.isInteger(p) && p >= 0 && p <= 0x7fffffff)) text(p, [...path, 'profile']);
  return { device, profile: p };
}

// channelCount(v, path) → a whole number of channels, 1 to 32.
function channelCount(v, path) {
  if (!Number.isInteger(v) || v < 1 || v > MAX_EFFECT_CHANNELS) throw new RulesError(`must be a whole number from 1 to ${MAX_EFFECT_CHANNELS}`, { path });
  return v;
}

// filter(r, path) → an equaliser of the patchbay's own, as graph.createFilter
// takes it; its bands are checked here but for the graph's rate, which the
// making checks.
function filter(r, path, rate) {
  onlyKeys(r, FILTER_KEYS, path);
  const out = { name: text(r.name, [...path, 'name'], { max: MAX_NODE_NAME }) };
  if (r.description !== undefined) out.description = text(r.description, [...path, 'description']);
  if (r.mediaClass !== undefined) {
    if (!FILTER_CLASSES.includes(r.mediaClass)) throw new RulesError(`must be one of ${FILTER_CLASSES.join(', ')}`, { path: [...path, 'mediaClass'] });
    out.mediaClass = r.mediaClass;
  }
  if (r.channels !== undefined) out.channels = channelCount(r.channels, [...path, 'channels']);
  try {
    out.filters = checkBands(r.filters ?? [], rate, 'filters');
  } catch (e) {
    // "filters: filters[2].freq must be ...": at filters[2].freq, "must be ...".
    const at = /^filters: filters\[(\d+)\](?:\.(\w+))?/.exec(e.message);
    const where = at ? [Number(at[1]), ...(at[2] ? [at[2]] : [])] : [];
    throw new RulesError(e.message.replace(/^filters: (filters\[\d+\](\.\w+)?)? ?/, ''), { path: [...path, 'filters', ...where] });
  }
  if (r.preamp !== undefined) {
    try {
      out.preamp = checkGain(r.preamp, 'the preamp');
    } catch (e) {
      throw new RulesError(e.message.replace(/^the preamp /, ''), { path: [...path, 'preamp'] });
    }
  }
  if (r.target !== undefined) out.target = text(r.target, [...path, 'target']);
  return out;
}

// loopback(r, path) → a loopback of the patchbay's own from node `from` to
// node `to` (names), as graph.createLoopback takes it.
function loopback(r, path) {
  onlyKeys(r, LOOPBACK_KEYS, path);
  if (r.from === undefined || r.to === undefined) throw new RulesError('needs "from" and "to"', { path });
  const out = { from: text(r.from, [...path, 'from']), to: text(r.to, [...path, 'to']) };
  if (r.latencyMs !== undefined) {
    if (typeof r.latencyMs !== 'number' || !(r.latencyMs >= 1 && r.latencyMs <= 2000)) throw new RulesError('must be a number of ms from 1 to 2000', { path: [...path, 'latencyMs'] });
    out.latencyMs = r.latencyMs;
  }
  if (r.name !== undefined) out.name = text(r.name, [...path, 'name'], { max: MAX_NODE_NAME });
  if (r.channels !== undefined) out.channels = channelCount(r.channels, [...path, 'channels']);
  return out;
}

// Whether two patterns can match one and the same text, as far as can be
// checked without running them: two texts must be equal, a text must pass a
// RegExp; two RegExps may always meet.
function patternsMeet(a, b) {
  const test = (re, s) => ((re.lastIndex = 0), re.test(s));
  if (typeof a === 'string') return typeof b === 'string' ? a === b : test(b, a);
  return typeof b === 'string' ? test(a, b) : true;
}

// A "never" that forbids links a route of the same file makes is refused at
// load when that is certain: the route's patterns are all exact texts (no
// RegExp, no default name, no captures) and the never's patterns, on the
// same properties, take them. What only a running graph can tell is left to
// the "never" rules, which never remove a link a route wants.
function checkContradictions(rules) {
  const exact = (m) => typeof m === 'object' && !(m instanceof FirstOf) && Object.values(m).every((v) => typeof v === 'string' && !/\$\{/.test(v));
  const takes = (never, route) => Object.keys(never).every((k) => k in route && patternsMeet(never[k], route[k]));
  rules.never.forEach((n, i) => {
    const j = rules.routes.findIndex((r) => exact(r.from) && exact(r.to) && typeof n.from === 'object' && typeof n.to === 'object' && takes(n.from, r.from) && takes(n.to, r.to));
    if (j >= 0) throw new RulesError(`forbids the links routes[${j}] makes`, { path: ['never', i] });
  });
}

// The rules' regular expressions from outside (LinearRegExps) cost at most
// MAX_PATTERN_COST together; the first past it is refused.
function checkPatternCost(rules) {
  let cost = 0;
  const visit = (m, path) => {
    if (m === null || typeof m !== 'object') return;
    for (const [k, v] of Object.entries(m)) {
      if (!(v instanceof LinearRegExp)) continue;
      cost += v.cost;
      if (cost > MAX_PATTERN_COST) {
        throw new RulesError(`the rules' regular expressions are too costly together (more than ${MAX_PATTERN_COST} steps a character)`, { path: k === 'node.name' ? path : [...path, k] });
      }
    }
  };
  for (const section of ['routes', 'never']) rules[section].forEach((r, i) => (visit(r.from, [section, i, 'from']), visit(r.to, [section, i, 'to'])));
  rules.volumes.forEach((r, i) => visit(r.node, ['volumes', i, 'node']));
  rules.profiles.forEach((r, i) => visit(r.device, ['profiles', i, 'device']));
}

/**
 * Checks rules (the file's object); returns them normalized, the patterns as RegExps. Throws a RulesError.
 * `rate`: the graph's clock rate, below half of which a filter's bands must be (Infinity: not known yet;
 * checked again when the filter is made).
 */
function checkRules(data, { rate = Infinity } = {}) {
  if (!isObject(data) && !Array.isArray(data)) throw new RulesError('the rules must be an object: { "routes": [...], ... }');
  if (Array.isArray(data)) data = { routes: data }; // the route command's shorter form
  onlyKeys(data, SECTIONS, []);
  if (data.version !== undefined && data.version !== 1) throw new RulesError('must be 1', { path: ['version'] });
  const rules = {
    routes: list(data.routes, ['routes']).map((r, i) => route(r, ['routes', i])),
    never: list(data.never, ['never']).map((r, i) => never(r, ['never', i])),
    volumes: list(data.volumes, ['volumes']).map((r, i) => volume(r, ['volumes', i])),
    defaults: defaults(data.defaults, ['defaults']),
    devices: list(data.devices, ['devices']).map((r, i) => device(r, ['devices', i])),
    profiles: list(data.profiles, ['profiles']).map((r, i) => profile(r, ['profiles', i])),
    filters: list(data.filters, ['filters']).map((r, i) => filter(r, ['filters', i], rate)),
    loopbacks: list(data.loopbacks, ['loopbacks']).map((r, i) => loopback(r, ['loopbacks', i])),
  };
  // Each node the rules make has a name of its own.
  const names = new Set();
  for (const section of ['devices', 'filters', 'loopbacks']) {
    rules[section].forEach((d, i) => {
      if (d.name === undefined) return;
      if (names.has(d.name)) throw new RulesError(`a second ${section.slice(0, -1)} named ${JSON.stringify(d.name)}`, { path: [section, i, 'name'] });
      names.add(d.name);
    });
  }
  checkContradictions(rules);
  checkPatternCost(rules);
  // Every matcher compiles as graph.linkRule() will take it.
  for (const r of [...rules.routes, ...rules.never]) for (const m of [r.from, r.to]) for (const one of m instanceof FirstOf ? m.alternatives : [m]) compileMatcher(one);
  return rules;
}

// Line and column (from 1) of an offset in `source`.
function position(source, offset) {
  const before = source.slice(0, offset);
  const line = before.split('\n').length;
  return { line, column: offset - before.lastIndexOf('\n') };
}

/**
 * Parses and checks the text of a rules file: a JSON syntax error is refused with its line and column, a bad rule
 * with its index, field, line and column. `file` names it in the messages; `rate` as checkRules takes it.
 */
function parseRules(source, file = '(rules)', { rate } = {}) {
  if (typeof source !== 'string') throw new TypeError('parseRules requires the text of a rules file');
  if (Buffer.byteLength(source) > MAX_FILE_BYTES) throw new RulesError(`larger than ${MAX_FILE_BYTES} bytes`, { file });
  const errors = [];
  const tree = jsonc.parseTree(source, errors, { disallowComments: true, allowTrailingComma: false, allowEmptyContent: false });
  if (errors.length > 0 || !tree) {
    const e = errors[0] ?? { error: jsonc.ParseErrorCode.ValueExpected, offset: source.length };
    const what = jsonc.printParseErrorCode(e.error).replace(/(?<=[a-z])(?=[A-Z])/g, ' ').toLowerCase(); // "ValueExpected": "value expected"
    throw new RulesError(`not JSON: ${what}`, { file, ...position(source, e.offset) });
  }
  try {
    return checkRules(jsonc.getNodeValue(tree), { rate });
  } catch (e) {
    if (!(e instanceof RulesError)) throw e;
    // Where the file says what is refused: the deepest part of its path there.
    let node;
    for (let n = e.segments.length; n >= 0 && !node; n--) node = jsonc.findNodeAtLocation(tree, e.segments.slice(0, n));
    const at = node ? position(source, node.parent?.type === 'property' ? node.parent.offset : node.offset) : {};
    throw new RulesError(e.detail, { path: e.segments, file, ...at });
  }
}

// The rules as a file writes them (RegExps back to "/text/flags").
function rulesToJSON(rules) {
  const side = (m) => {
    if (m instanceof FirstOf) return { first: m.alternatives.map(side) };
    if (typeof m === 'string') return m;
    const keys = Object.keys(m);
    const show = (v) => (v instanceof RegExp ? `/${v.source}/${v.flags}` : v);
    if (keys.length === 1 && keys[0] === 'node.name' && !(typeof m['node.name'] === 'string' && isDefaultName(m['node.name']))) return show(m['node.name']);
    return Object.fromEntries(keys.map((k) => [k, show(m[k])]));
  };
  const out = { version: 1 };
  if (rules.routes?.length) {
    out.routes = rules.routes.map((r) => ({
      from: side(r.from),
      to: side(r.to),
      ...(r.channels && r.channels !== 'auto' ? { channels: r.channels } : {}),
      ...(r.exclusive ? { exclusive: true } : {}),
      ...(r.ports ? { ports: r.ports } : {}),
    }));
  }
  if (rules.never?.length) out.never = rules.never.map((r) => ({ from: side(r.from), to: side(r.to) }));
  if (rules.volumes?.length) out.volumes = rules.volumes.map((r) => ({ ...r, node: side(r.node) }));
  if (rules.defaults && Object.keys(rules.defaults).length) out.defaults = rules.defaults;
  if (rules.devices?.length) out.devices = rules.devices;
  if (rules.profiles?.length) out.profiles = rules.profiles.map((r) => ({ device: side(r.device), profile: r.profile }));
  if (rules.filters?.length) out.filters = rules.filters;
  if (rules.loopbacks?.length) out.loopbacks = rules.loopbacks;
  return out;
}

module.exports = { parseRules, checkRules, rulesToJSON, RulesError, pattern, MAX_FILE_BYTES, MAX_PATTERN_COST };
