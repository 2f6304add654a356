'use strict';
// Capture groups across a route's two sides: a RegExp of one side may capture
// ({ 'node.name': /^(.*)-capture$/ }), and the exact texts of the other side
// may use what it captured ('${1}-sink', '${name}' for a named group), so one
// route pairs "a-capture" with "a-sink" and "b-capture" with "b-sink".
// Numbered groups count on across the side's RegExps, in the order written.

const { LinearRegExp } = require('../../core/linear-regexp');

const TEMPLATE = /\$\{([A-Za-z_][A-Za-z0-9_]*|[1-9][0-9]{0,2})\}/g;
const hasTemplate = (v) => typeof v === 'string' && /\$\{/.test(v);
const isPlainObject = (m) => m !== null && typeof m === 'object' && !(m instanceof RegExp) && !Array.isArray(m);

// The side's patterns as [property, pattern] pairs (a bare name or RegExp is
// one on "node.name"); [] for a function or a default name.
function entriesOf(m) {
  if (typeof m === 'string') return m.startsWith('@default-') ? [] : [['node.name', m]];
  if (m instanceof RegExp) return [['node.name', m]];
  return isPlainObject(m) ? Object.entries(m) : [];
}

/** The capture names a side's texts use ("1", "name"), in order, each once. */
function templateNames(m) {
  const names = new Set();
  for (const [, v] of entriesOf(m)) if (hasTemplate(v)) for (const t of v.matchAll(TEMPLATE)) names.add(t[1]);
  return [...names];
}

/** The captures a side offers: "1", "2", ... and its group names. */
function captureNames(m) {
  const names = new Set();
  let n = 0;
  for (const [, re] of entriesOf(m)) {
    if (!(re instanceof RegExp)) continue;
    // Made as `re` was (a LinearRegExp from outside stays one).
    const groups = new re.constructor(`${re.source}|`, re.flags.replace(/[gy]/g, '')).exec('');
    for (let i = 1; i < groups.length; i++) names.add(String(++n));
    for (const name of Object.keys(groups.groups ?? {})) names.add(name);
  }
  return names;
}

// What a node gave the side's RegExps, by capture name; null when one fails.
function capturesOf(m, node) {
  const caps = Object.create(null);
  let n = 0;
  for (const [key, re] of entriesOf(m)) {
    if (!(re instanceof RegExp)) continue;
    const value = node.props?.[key] ?? (key === 'node.name' ? node.name : undefined);
    if (typeof value !== 'string') return null;
    re.lastIndex = 0;
    const found = re.exec(value);
    if (!found) return null;
    for (let i = 1; i < found.length; i++) caps[String(++n)] = found[i] ?? '';
    for (const [name, v] of Object.entries(found.groups ?? {})) caps[name] = v ?? '';
  }
  return caps;
}

const escape = (s) => s.replace(/[.*+?^${}()|[\]\\]/g, '\\$&');

// The side with its templates loosened to "anything there": a node that
// could be the partner of some node of the other side.
function loosen(m) {
  // split() keeps the names between the literal parts: every other entry.
  const literals = (v) => v.split(TEMPLATE).filter((_, i) => i % 2 === 0);
  // A text's templates come from outside: matched in linear time whatever their number.
  const loose = (v) => (hasTemplate(v) ? new LinearRegExp(`^${literals(v).map(escape).join('(?:.*)')}$`, 's') : v);
  if (typeof m === 'string') return { 'node.name': loose(m) };
  return Object.fromEntries(Object.entries(m).map(([k, v]) => [k, loose(v)]));
}

// fill(v, caps) → the text `v` with each "${name}" replaced by that capture
// of `caps` (an empty text for one not captured).
function fill(v, caps) {
  return v.replace(TEMPLATE, (_, name) => caps[name] ?? '');
}

/**
 * A route's sides with captures: { from, to } as matchers that take every node that may take part, and
 * `fits(sourceNode, sinkNode)`, true when the two belong together. Without templates `fits` is always true.
 * Throws a TypeError for a template that names no capture, or templates on both sides.
 */
function bindSides(from, to, what = 'route') {
  const uses = { from: templateNames(from), to: templateNames(to) };
  if (uses.from.length === 0 && uses.to.length === 0) return { from, to, fits: () => true };
  if (uses.from.length && uses.to.length) throw new TypeError(`${what}: only one side may use captures ("\${...}")`);
  const templated = uses.to.length ? 'to' : 'from';
  const capturing = templated === 'to' ? from : to;
  const offered = captureNames(capturing);
  const missing = uses[templated].find((n) => !offered.has(n));
  if (missing !== undefined) throw new TypeError(`${what}: "${templated}" uses \${${missing}}, which "${templated === 'to' ? 'from' : 'to'}" does not capture`);
  const side = templated === 'to' ? to : from;
  const filled = entriesOf(side).filter(([, v]) => hasTemplate(v));
  const fits = (source, sink) => {
    const [capNode, tmplNode] = templated === 'to' ? [source, sink] : [sink, source];
    const caps = capturesOf(capturing, capNode);
    if (!caps) return false;
    return filled.every(([key, v]) => (tmplNode.props?.[key] ?? (key === 'node.name' ? tmplNode.name : undefined)) === fill(v, caps));
  };
  return templated === 'to' ? { from, to: loosen(to), fits } : { from: loosen(from), to, fits };
}

module.exports = { bindSides, templateNames, captureNames };
