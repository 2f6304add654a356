'use strict';
// Virtual devices the Graph creates (null-audio-sink nodes through the
// daemon's "adapter" factory) and their removal. Nodes made by this package
// carry the property CREATED_BY; destroyNode removes no other node.
const addon = require('../connection/addon');
const { refusal } = require('../connection/refusal');
const { serialOf } = require('../connection/serial');
const nodeRequests = require('../connection/node-requests');
const { checkOptions: checkKnown, checkTimeout, checkBoolean } = require('../core/arguments');
const { resolveNode } = require('./resolve-node');

const { createdByKey: CREATED_BY, nodeOutcomes: OUTCOME, limits } = addon.constants;
const MEDIA_CLASSES = ['Audio/Sink', 'Audio/Source/Virtual', 'Audio/Duplex'];
// Set by createNode itself; `props` may not set them.
const RESERVED = new Set([
  'factory.name',
  'media.class',
  'audio.position',
  'audio.channels',
  'audio.format',
  'audio.rate',
  'object.linger',
  'adapter.auto-port-config',
  CREATED_BY,
]);
const OPTIONS = new Set(['name', 'mediaClass', 'channels', 'description', 'props', 'linger', 'timeoutMs']);
const CHANNEL = /^[A-Za-z0-9_]{1,16}$/;
const MAX_CHANNELS = limits.volumeChannels;
const MAX_PROPS = 256;
const MAX_KEY = 256;
const MAX_VALUE = 4096;
const MAX_NAME = 256;

let created = false; // whether this process ever asked for a node

const isText = (s, max) => typeof s === 'string' && s.length > 0 && s.length <= max && !s.includes('\0');

function checkOptions(options) {
  const what = 'createNode';
  if (options === undefined) throw new TypeError(`${what} requires an options object ({ name, mediaClass, channels, ... })`);
  checkKnown(options, OPTIONS, what);
  const {
    name,
    mediaClass = 'Audio/Sink',
    channels = ['FL', 'FR'],
    description,
    props = {},
    linger = false,
    timeoutMs = 5000,
  } = options;
  if (!isText(name, MAX_NAME)) throw new TypeError(`${what}: name must be a non-empty string (at most ${MAX_NAME} characters)`);
  if (!MEDIA_CLASSES.includes(mediaClass)) {
    throw new TypeError(`${what}: mediaClass must be one of ${MEDIA_CLASSES.map((c) => `'${c}'`).join(', ')}`);
  }
  if (
    !Array.isArray(channels) ||
    channels.length === 0 ||
    channels.length > MAX_CHANNELS ||
    !channels.every((c) => typeof c === 'string' && CHANNEL.test(c)) ||
    new Set(channels).size !== channels.length
  ) {
    throw new TypeError(`${what}: channels must be 1 to ${MAX_CHANNELS} distinct channel names such as ['FL', 'FR']`);
  }
  if (description !== undefined && !isText(description, MAX_VALUE)) {
    throw new TypeError(`${what}: description must be a non-empty string`);
  }
  checkBoolean(linger, what, 'linger');
  checkTimeout(timeoutMs, what);
  if (props === null || typeof props !== 'object' || Array.isArray(props)) {
    throw new TypeError(`${what}: props must be an object of property names to values`);
  }
  const keys = Object.keys(props);
  if (keys.length > MAX_PROPS) throw new TypeError(`${what}: props has more than ${MAX_PROPS} properties`);
  const extra = [];
  for (const key of keys) {
    const raw = props[key];
    const value = typeof raw === 'number' || typeof raw === 'boolean' ? String(raw) : raw;
    if (!isText(key, MAX_KEY) || typeof value !== 'string' || value.length > MAX_VALUE || value.includes('\0')) {
      throw new TypeError(`${what}: props[${JSON.stringify(key)}] must be a string, number or boolean (keys and values without NUL, bounded)`);
    }
    if (RESERVED.has(key)) throw new TypeError(`${what}: props may not set ${JSON.stringify(key)}; createNode sets it`);
    if (key === 'node.name' && value !== name) throw new TypeError(`${what}: props["node.name"] must equal name`);
    if (key === 'node.description' && description !== undefined) {
      throw new TypeError(`${what}: give the description either as description or as props["node.description"]`);
    }
    if (key !== 'node.name') extra.push(key, value);
  }
  const flat = [
    'node.name', name,
    'media.class', mediaClass,
    // A JSON array: PipeWire 1.4 leaves a comma list's third channel on unknown.
    'audio.position', `[ ${channels.join(' ')} ]`,
    'audio.channels', String(channels.length),
    'node.description', description ?? name,
    ...extra,
  ]; // prettier-ignore
  return { name, channels, linger, timeoutMs, flat, allowSameName: Object.hasOwn(props, 'node.name') };
}

// graph.createNode(options): see the README ("Virtual devices").
async function createNode(g, options) {
  const { graph } = g;
  const spec = checkOptions(options);
  if (graph.state !== 'connected') throw new Error('PipeWire not connected');
  if (!spec.allowSameName) {
    const same = graph.nodes().find((n) => n.name === spec.name);
    if (same) {
      throw new Error(
        `a node named ${JSON.stringify(spec.name)} exists already (node ${same.id}); ` +
          `to make another one all the same, pass props: { 'node.name': ${JSON.stringify(spec.name)} }`,
      );
    }
  }
  const deadline = performance.now() + spec.timeoutMs; // monotonic: a wall-clock step cuts no wait short
  created = true;
  let token;
  const id = await new Promise((resolve, reject) => {
    const timer = setTimeout(() => {
      nodeRequests.forget(token);
      addon.graphAbandonNode(token); // a late answer's node is destroyed at once
      reject(new Error(`node ${JSON.stringify(spec.name)}: no answer within ${spec.timeoutMs} ms`));
    }, spec.timeoutMs);
    token = nodeRequests.expect((kind, nodeId, res, message) => {
      nodeRequests.forget(token);
      clearTimeout(timer);
      if (kind === OUTCOME.created) resolve(nodeId);
      else reject(refusal(res, message));
    });
    if (!addon.graphCreateNode(spec.flat, spec.linger, token)) {
      nodeRequests.forget(token);
      clearTimeout(timer);
      reject(new Error('PipeWire not connected'));
    }
  });
  try {
    await whole(g, spec, id, Math.max(1, deadline - performance.now()));
  } catch (e) {
    addon.graphAbandonNode(token); // nobody gets the node: it is destroyed
    throw e;
  }
  const node = graph.nodes().find((n) => n.id === id);
  if (!node) throw new Error(`node ${id} was removed while it was being made`);
  return node;
}

// Resolves once node `id` is whole: announced with all its ports (one in
// and one out, the monitor or capture side, for each channel) and its info
// (every property, its state), and with its volume and mute, so that
// setVolume may follow at once. A node that reports no Props (PipeWire 1.4
// reports none for a null-audio-sink of 52 channels or more: too large for
// it) is whole without them once two round trips after its info have
// brought none: it then has no volume and no mute. Rejects after `ms` with
// an Error naming the node, what it lacks and the time-out given.
function whole(g, spec, id, ms) {
  const { graph } = g;
  const count = 2 * spec.channels.length;
  let node = null;
  let ports = null;
  let trips = 0; // round trips after the info that brought no Props
  const lacks = () =>
    !node ? 'was not announced' : ports.size < count ? `got ${ports.size} of its ${count} ports` : node.state === null ? 'got no info' : 'reported no volume and mute';
  return g.wait(
    { timeoutMs: ms, timeoutError: () => new Error(`createNode: node ${JSON.stringify(spec.name)} (id ${id}) ${lacks()} within the ${spec.timeoutMs} ms given (timeoutMs)`) },
    (settle) => {
      let seq = -1;
      const check = () => {
        if (!node || ports.size < count || node.state === null) return;
        if ((node.volume !== undefined && node.mute !== undefined) || trips >= 2) settle.resolve();
        else if (seq < 0) seq = addon.graphSync();
      };
      node = graph.nodes().find((n) => n.id === id) ?? null;
      ports = new Set(graph.ports().filter((p) => p.nodeId === id).map((p) => p.id));
      check();
      return {
        onEvent: (kind, payload) => {
          if ((kind === 'node-created' || kind === 'node-changed') && payload?.id === id) node = payload;
          else if (kind === 'node-destroyed' && payload === id) return settle.reject(new Error(`node ${id} was removed while it was being made`));
          else if (kind === 'port-created' && payload?.nodeId === id) ports.add(payload.id);
          else if (kind === 'port-destroyed') ports.delete(payload);
          else if (kind === 'sync-done' && seq >= 0 && payload?.id === seq) {
            seq = -1;
            if (node.volume === undefined || node.mute === undefined) trips++;
          } else return;
          check();
        },
      };
    },
  );
}

// findTarget(graph, node) → the node destroyNode's `node` names (an id, a
// node object while its id names that object still, or a name): resolveNode's
// errors for none, or a name several nodes have; a TypeError for anything else.
function findTarget(graph, node) {
  const isNodeObject = node !== null && typeof node === 'object' && typeof node.id === 'number';
  if (typeof node !== 'number' && typeof node !== 'string' && !isNodeObject) {
    throw new TypeError('destroyNode requires a node (as graph.nodes() lists it), a node id or a node name');
  }
  return resolveNode(graph.nodes(), node, 'destroyNode');
}

// graph.destroyNode(node): removes a node this package made; refuses others.
// `g`: what the Graph gives lib/features/ (control.js says).
function destroyNode(g, node, options) {
  const { graph } = g;
  let target;
  let timeoutMs;
  try {
    ({ timeoutMs = 3000 } = checkKnown(options, ['timeoutMs'], 'destroyNode'));
    checkTimeout(timeoutMs, 'destroyNode');
    target = findTarget(graph, node);
  } catch (e) {
    return Promise.reject(e);
  }
  if (graph.state !== 'connected') return Promise.reject(new Error('PipeWire not connected'));
  const { id, name } = target;
  const serial = serialOf(target) ?? 0;
  return g.wait({ timeoutMs, timeoutError: () => new Error(`node ${id} was not removed within ${timeoutMs} ms`) }, (settle) => {
    let removing = false;
    let gone = false;
    const token = nodeRequests.expect((kind, _id, res, message) => {
      if (kind === OUTCOME.removing) {
        removing = true;
        if (gone) settle.resolve();
      } else if (kind === OUTCOME.refused) {
        const err = new Error(`node ${id} (${JSON.stringify(name)}) was not created by quorvane: refusing to remove it`);
        err.code = 'EPERM';
        settle.reject(err);
      } else if (kind === OUTCOME.notFound) {
        settle.reject(Object.assign(new Error(`no node ${id} (it went away)`), { code: 'ENOENT' }));
      } else if (kind === OUTCOME.failed) {
        settle.reject(refusal(res, message));
      }
    });
    if (!addon.graphDestroyNode(id, serial, token)) settle.reject(new Error('PipeWire not connected'));
    return {
      onEvent: (kind, nodeId) => {
        if (kind !== 'node-destroyed' || nodeId !== id) return;
        gone = true;
        if (removing) settle.resolve();
      },
      cleanup: () => nodeRequests.forget(token),
    };
  });
}

// The Graph closes: its nodes made without linger go with it.
function releaseOwnedNodes() {
  if (created) addon.releaseOwnedNodes();
}

module.exports = { createNode, destroyNode, releaseOwnedNodes, CREATED_BY, MEDIA_CLASSES };
