'use strict';
// quorvane monitor: one line per node-, port- or link-changed event, with the
// new state, error and format and the properties that changed.

const OBJECT_OF_EVENT = { 'node-changed': 'node', 'port-changed': 'port', 'link-changed': 'link' };

function formatText(f) {
  if (!f) return '-';
  const parts = [`${f.mediaType ?? '?'}/${f.mediaSubtype ?? '?'}`];
  if (f.sampleFormat) parts.push(f.sampleFormat);
  if (f.rate) parts.push(`${f.rate}Hz`);
  if (f.channels) parts.push(`${f.channels}ch`);
  if (f.positions) parts.push(`[${f.positions.join(',')}]`);
  return parts.join(' ');
}

// Which properties differ: the new value, or null for one that went.
function propsDiff(before = {}, after) {
  const diff = {};
  for (const [k, v] of Object.entries(after)) if (before[k] !== v) diff[k] = v;
  for (const k of Object.keys(before)) if (!Object.hasOwn(after, k)) diff[k] = null;
  return diff;
}

// Prints the changes of `graph` with `say`. The last properties of each
// object are kept (and forgotten when it goes) so that a line shows only
// what changed.
function printChanges(graph, json, say) {
  const last = new Map();
  const keyOf = (kind, id) => `${kind}:${id}`;
  for (const [kind, list] of [['node', graph.nodes()], ['port', graph.ports()], ['link', graph.links()]]) {
    for (const o of list) last.set(keyOf(kind, o.id), o.props);
  }
  for (const kind of ['node', 'port', 'link']) graph.on(`${kind}-destroyed`, (id) => last.delete(keyOf(kind, id)));
  for (const event of Object.keys(OBJECT_OF_EVENT)) {
    graph.on(event, (o, changed) => {
      const key = keyOf(OBJECT_OF_EVENT[event], o.id);
      const entry = { event, id: o.id };
      if (changed.state) entry.state = o.state;
      if (changed.error || (changed.state && o.error)) entry.error = o.error;
      if (changed.format) entry.format = o.format;
      if (changed.props) entry.props = propsDiff(last.get(key), o.props);
      last.set(key, o.props);
      say(json ? JSON.stringify(entry) : changeText(entry));
    });
  }
}

function changeText({ event, id, state, error, format, props }) {
  const parts = [event, String(id)];
  if (state !== undefined) parts.push(`state=${state}`);
  if (error !== undefined) parts.push(`error=${JSON.stringify(error)}`);
  if (format !== undefined) parts.push(`format=${JSON.stringify(formatText(format))}`);
  for (const [k, v] of Object.entries(props || {})) parts.push(v === null ? `-${k}` : `${k}=${JSON.stringify(v)}`);
  return parts.join(' ');
}

module.exports = { printChanges, formatText };
