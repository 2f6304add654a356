'use strict';
// Volume, mute, the default devices and moving streams, for the Graph.
// Volume and mute are the node's own "Props" param; defaults and moves are
// entries of the "default" metadata, which the session manager keeps and
// acts on.
const addon = require('../connection/addon');
const { newToken } = require('../connection/tokens');
const { refusal } = require('../connection/refusal');
const { serialOf } = require('../connection/serial');
const { checkNodeReference, checkOptions, checkTimeout } = require('../core/arguments');
const { resolveNode } = require('./resolve-node');

// The audio converter takes channel volumes up to 10 (linear).
const MAX_LINEAR = addon.constants.limits.linearVolume;
const SCALES = new Set(['cubic', 'linear']);
const { name: DEFAULT_METADATA, kinds: DEFAULT_KEYS } = addon.constants.defaultMetadata;
// What a default of each kind may be, by "media.class".
const DEFAULT_CLASSES = {
  audioSink: /^Audio\/(Sink|Duplex)/,
  audioSource: /^Audio\/(Source|Duplex)/,
  videoSource: /^Video\/Source/,
};

// Listings carry each node's volume and mute from the add-on's mirror: the
// volume as WirePlumber shows it (`wpctl get-volume`), the cube root of the
// first channel's linear volume.
function withControls(nodes) {
  const controls = addon.graphNodeControls();
  if (controls.length === 0) return nodes;
  const byId = new Map(controls.map((c) => [c.id, c]));
  for (const node of nodes) {
    const c = byId.get(node.id);
    if (!c) continue;
    if (c.volume !== undefined) {
      node.volume = c.volume;
      node.channelVolumes = c.channelVolumes;
    }
    if (c.mute !== undefined) node.mute = c.mute;
  }
  return nodes;
}

// theNode(features, nodes, node, what) → the one node `node` names among `nodes`,
// a default's name ('@default-audio-sink') included; throws as resolveNode does.
const theNode = (features, nodes, node, what) => resolveNode(nodes, node, what, { defaults: () => features.graph.defaults });

// controlledNode(features, node, what) → the node `node` names (resolveNode's
// arguments), as far as volume and mute go: for an id or a node object,
// from the few nodes that have them (a listing with every node's properties
// costs far more on a large graph); else, and for matchers, from the
// listing. Throws as resolveNode does.
function controlledNode(features, node, what) {
  const id = checkNodeReference(node, what);
  const found = id !== undefined ? addon.graphNodeControls(id)[0] : undefined;
  return found ?? theNode(features, features.graph.nodes(), node, what);
}

const label = (node) => `node ${node.id} (${JSON.stringify(node.name)})`;

// The linear channel volumes for `volume` (a number for every channel, or
// one per channel) on `scale`.
function linearVolumes(node, volume, scale, what) {
  if (!SCALES.has(scale)) throw new TypeError(`${what}: scale must be 'cubic' or 'linear'`);
  let list;
  if (typeof volume === 'number') list = null;
  else if (Array.isArray(volume)) list = volume;
  else throw new TypeError(`${what}: volume must be a number or an array of numbers, one per channel`);
  for (const v of list ?? [volume]) {
    if (typeof v !== 'number') throw new TypeError(`${what}: volume must be a number or an array of numbers, one per channel`);
    if (!Number.isFinite(v) || v < 0) throw new RangeError(`${what}: a volume must be a finite number >= 0, not ${v}`);
    const linear = scale === 'cubic' ? v ** 3 : v;
    if (linear > MAX_LINEAR) {
      const most = scale === 'cubic' ? Math.cbrt(MAX_LINEAR).toFixed(4) : MAX_LINEAR;
      throw new RangeError(`${what}: volume ${v} is above the most a node takes (${most} on the ${scale} scale)`);
    }
  }
  const channels = node.channelVolumes?.length;
  if (!channels) throw new Error(`${what}: ${label(node)} has no volume`);
  if (list && list.length !== channels) {
    throw new RangeError(`${what}: ${label(node)} has ${channels} channels; ${list.length} volumes given`);
  }
  const toLinear = (v) => (scale === 'cubic' ? v ** 3 : v);
  return list ? list.map(toLinear) : new Array(channels).fill(toLinear(volume));
}

// Whether the node shows the values asked for (the daemon keeps floats).
function shows(node, volumes, mute) {
  if (!node) return false;
  if (mute !== null && node.mute !== mute) return false;
  if (volumes === null) return true;
  const now = node.channelVolumes;
  return now?.length === volumes.length && volumes.every((v, i) => now[i] === Math.fround(v));
}

// A session manager takes a new node up a moment after it appears, and
// restores what it keeps of it then (WirePlumber 0.5 restores a new sink's
// volume, and a stream's, from what it stored for the name): Props set on a
// node younger than SETTLE_MS, beside a session manager, count only once the
// node is that old and still shows them. Until then each report of the node
// that shows other values sends them again (MAX_RESENDS times at most), and
// once it is that old they are sent once more if it does not show them.
const SETTLE_MS = 1000;
const MAX_RESENDS = 3;

// Node `id`'s age in ms, beside a session manager (one keeps the "default"
// metadata); undefined without one or for a node without controls.
function ageBesideSessionManager(features, id) {
  if (!features.connection.hasMetadata(DEFAULT_METADATA)) return undefined;
  return addon.graphNodeControls(id)[0]?.age;
}

// A session manager slow to take a node up (WirePlumber 0.5 on a loaded
// machine, well past SETTLE_MS) restores it after a set on it was reported
// done, silently undoing the set. So, beside a session manager, the values
// set on a node younger than HOLD_MS are held until it is that old: the
// first report of other values sends them again, once, and ends the hold (a
// session manager restores a node once; a later change by anyone stands).
// A newer set on the node takes over the values it sets; the node's removal
// ends the hold.
const HOLD_MS = 10000;
const holds = new WeakMap(); // the Graph's `features` → Map(node id → hold)

const holdsOf = (features) => holds.get(features) ?? holds.set(features, new Map()).get(features);

// A set of `volumes` and/or `mute` (null: not set) starts on node `id`: the
// hold on it lets those go, and ends if it holds nothing else.
function releaseHeld(features, id, volumes, mute) {
  const hold = holdsOf(features).get(id);
  if (!hold) return;
  if (volumes !== null) hold.volumes = null;
  if (mute !== null) hold.mute = null;
  if (hold.volumes === null && hold.mute === null) hold.end();
}

// Whether `node` reports values other than those `hold` holds (a report
// without them, as before the node's Props are known, is none).
const reportsOther = (node, { volumes, mute }) =>
  (volumes !== null && node.channelVolumes !== undefined && !shows(node, volumes, null)) ||
  (mute !== null && node.mute !== undefined && node.mute !== mute);

// The set of `volumes` and/or `mute` on node `id` was reported done: held
// (with what an earlier set still holds) if the node is young beside a
// session manager.
function holdProps(features, id, volumes, mute) {
  const age = ageBesideSessionManager(features, id);
  if (age === undefined || age >= HOLD_MS) return;
  const byNode = holdsOf(features);
  const earlier = byNode.get(id);
  earlier?.end();
  const hold = { volumes: volumes ?? earlier?.volumes ?? null, mute: mute ?? earlier?.mute ?? null };
  const stops = [
    features.listen('node-changed', (node) => {
      if (node.id !== id || !reportsOther(node, hold)) return;
      hold.end();
      addon.graphSetNodeProps(id, newToken(), hold.volumes, hold.mute);
    }),
    features.listen('node-destroyed', (gone) => gone === id && hold.end()),
  ];
  const timer = setTimeout(() => hold.end(), HOLD_MS - age).unref();
  hold.end = () => {
    clearTimeout(timer);
    for (const stop of stops) stop();
    if (byNode.get(id) === hold) byNode.delete(id);
  };
  byNode.set(id, hold);
}

// How long Props set on `node` now must hold before they count: 0 without a
// session manager or for a node it has had for SETTLE_MS.
function settleMsOf(features, node) {
  const age = ageBesideSessionManager(features, node.id);
  return age === undefined ? 0 : Math.max(0, SETTLE_MS - age);
}

// Sets the node's Props; resolves with the node once it reports them (and,
// for a young node beside a session manager, still does once it is no longer
// young: see SETTLE_MS), and holds them for a while after (see HOLD_MS).
function applyProps(features, node, volumes, mute, timeoutMs, what) {
  return features.wait(
    { timeoutMs, timeoutError: () => new Error(`${what}: ${label(node)} did not report the new value within ${timeoutMs} ms`) },
    (settle) => {
      releaseHeld(features, node.id, volumes, mute);
      const token = newToken();
      const send = () => addon.graphSetNodeProps(node.id, token, volumes, mute) || settle.reject(new Error('PipeWire not connected'));
      if (!send()) return;
      const settleMs = settleMsOf(features, node);
      const settledAt = performance.now() + settleMs; // monotonic, as the timer below
      let shown = null; // the node as it last showed the values, while it does
      let resends = 0;
      const confirm = (shows) => {
        if (performance.now() >= settledAt) settle.resolve(shows);
        else shown = shows;
      };
      // Once the node is old enough: what it shows then, or the values sent once more.
      const timer = settleMs > 0 ? setTimeout(() => (shown ? settle.resolve(shown) : send()), settleMs) : null;
      // A value the node has already is reported by no change: after a round
      // trip, what the node shows then settles it.
      const seq = shows(node, volumes, mute) ? addon.graphSync() : -1;
      return {
        onEvent: (kind, payload) => {
          if (kind === 'node-changed' && payload.id === node.id) {
            if (shows(payload, volumes, mute)) confirm(payload);
            else if (performance.now() < settledAt) {
              // Other values (the session manager taking the node up): sent again.
              shown = null;
              if (resends++ < MAX_RESENDS) send();
            }
          } else if (kind === 'node-destroyed' && payload === node.id) {
            settle.reject(new Error(`${what}: ${label(node)} was removed`));
          } else if (kind === 'control-failed' && payload.token === token) {
            settle.reject(refusal(payload.res, `${what}: ${payload.message}`));
          } else if (kind === 'sync-done' && payload.id === seq && seq >= 0) {
            const [c] = addon.graphNodeControls(node.id);
            if (shows(c, volumes, mute)) confirm(features.graph.nodes().find((n) => n.id === node.id));
          }
        },
        cleanup: () => clearTimeout(timer),
      };
    },
  ).then((shown) => {
    holdProps(features, node.id, volumes, mute);
    return shown;
  });
}

// The Graph's requests below take `features`, the Graph's record for
// lib/features/: { graph, connection, wait(options, start), setMetadata(...) }.

// setVolume(features, node, volume, { scale, timeoutMs }) → the node once it
// reports the new volume. node: an id, a node object or a matcher; volume:
// a number for every channel or one per channel, on `scale` ('cubic' as
// wpctl, or 'linear'). Rejects with a TypeError/RangeError for bad input,
// an Error when no one node fits or it has no volume, the daemon's refusal
// as an Error with its code, or a time-out.
async function setVolume(features, node, volume, options) {
  const { scale = 'cubic', timeoutMs = 3000 } = checkOptions(options, ['scale', 'timeoutMs'], 'setVolume');
  checkTimeout(timeoutMs, 'setVolume');
  const target = controlledNode(features, node, 'setVolume');
  const volumes = linearVolumes(target, volume, scale, 'setVolume');
  return applyProps(features, target, volumes, null, timeoutMs, 'setVolume');
}

// setMute(features, node, mute, { timeoutMs }) → the node once it reports
// `mute` (true or false); rejects as setVolume does.
async function setMute(features, node, mute, options) {
  const { timeoutMs = 3000 } = checkOptions(options, ['timeoutMs'], 'setMute');
  checkTimeout(timeoutMs, 'setMute');
  if (typeof mute !== 'boolean') throw new TypeError('setMute: mute must be true or false');
  const target = controlledNode(features, node, 'setMute');
  if (target.mute === undefined) throw new Error(`setMute: ${label(target)} has no mute`);
  return applyProps(features, target, null, mute, timeoutMs, 'setMute');
}

// The "default" metadata, or a clear error naming what needs it.
function requireDefaultMetadata(features, what, why) {
  if (!features.connection.metadata(DEFAULT_METADATA)) {
    throw new Error(`${what}: no "default" metadata (${why} needs a session manager, which keeps it): is one running?`);
  }
}

// Writes "default.configured.<kind>" as the session manager expects it: the
// JSON { "name": ... } of the node's name. Resolves with graph.defaults
// once the metadata reports it.
async function setDefault(features, kind, node, options) {
  const { timeoutMs = 3000 } = checkOptions(options, ['timeoutMs'], 'setDefault');
  checkTimeout(timeoutMs, 'setDefault');
  if (!Object.hasOwn(DEFAULT_KEYS, kind)) throw new TypeError("setDefault: kind must be 'audioSink', 'audioSource' or 'videoSource'");
  const target = theNode(features, features.graph.nodes(), node, 'setDefault');
  const mediaClass = target.props?.['media.class'] ?? target.type;
  if (!DEFAULT_CLASSES[kind].test(mediaClass ?? '')) {
    throw new Error(`setDefault: ${label(target)} is ${mediaClass ? `an "${mediaClass}"` : 'no device'}, not a default for ${kind}`);
  }
  requireDefaultMetadata(features, 'setDefault', 'a default device');
  const value = JSON.stringify({ name: target.name });
  await features.setMetadata(0, `default.configured.${DEFAULT_KEYS[kind]}`, 'Spa:String:JSON', value, { timeoutMs });
  return features.graph.defaults;
}

// Asks the session manager to move a stream: its "target.object" (the
// target's serial) and "target.node" (its id) in the "default" metadata;
// `target` null clears both.
async function move(features, stream, target, options) {
  const { timeoutMs = 3000 } = checkOptions(options, ['timeoutMs'], 'move');
  checkTimeout(timeoutMs, 'move');
  const nodes = features.graph.nodes();
  const source = theNode(features, nodes, stream, 'move');
  let serial = null;
  let to = null;
  if (target !== null) {
    to = theNode(features, nodes, target, 'move');
    if (to.id === source.id) throw new Error(`move: ${label(source)} cannot be moved to itself`);
    if (serialOf(to) === undefined) throw new Error(`move: ${label(to)} has no "object.serial"`);
    serial = String(serialOf(to));
  }
  requireDefaultMetadata(features, 'move', 'moving a stream');
  // "target.object" first: the session manager reads it before "target.node".
  await Promise.all([
    features.setMetadata(source.id, 'target.object', 'Spa:Id', serial, { timeoutMs }),
    features.setMetadata(source.id, 'target.node', 'Spa:Id', to ? String(to.id) : null, { timeoutMs }),
  ]);
  return { stream: source.id, target: to ? to.id : null };
}

module.exports = { withControls, setVolume, setMute, setDefault, move, MAX_LINEAR };
