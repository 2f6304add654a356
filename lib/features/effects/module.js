'use strict';
// A PipeWire module loaded into the add-on's own context (the filter-chain
// and loopback modules): its load, its nodes and its end. Its streams are
// this process's nodes, on a connection the module makes for itself: they go
// with unloadModule(), with the Graph, with this connection and with the
// process.
const addon = require('../../connection/addon');
const { refusal } = require('../../connection/refusal');
const { newToken } = require('../../connection/tokens');

let lastModuleId = 0;

// SPA JSON: a string, bare when it may be (PipeWire's own readers of some
// nested values, 0.3's adapter among them, take only bare words), else quoted.
const BARE = /^[A-Za-z_][A-Za-z0-9_./-]*$/;
const quote = (s) => (BARE.test(String(s)) ? String(s) : quoted(s));
const quoted = (s) => `"${String(s).replace(/[\\"]/g, (c) => `\\${c}`).replace(/\n/g, '\\n')}"`;

// SPA JSON of a plain value: objects and arrays nested, strings quoted.
function spaJson(value) {
  if (Array.isArray(value)) return `[ ${value.map(spaJson).join(' ')} ]`;
  if (value !== null && typeof value === 'object') {
    return `{ ${Object.entries(value).map(([k, v]) => `${quote(k)} = ${spaJson(v)}`).join(' ')} }`;
  }
  if (typeof value === 'number' || typeof value === 'boolean') return String(value);
  return quote(value);
}

// The channel positions of `count` channels, as PipeWire names them.
function positions(count) {
  if (count === 1) return ['MONO'];
  if (count === 2) return ['FL', 'FR'];
  return Array.from({ length: count }, (_, i) => `AUX${i}`);
}

// Resolves once node `nodeId` has its ports set up one per channel: `count`
// ports, each a DSP port. A node whose ports come otherwise (PipeWire 1.4
// gives a stream whose format is not fixed a single converter port) is set
// up as a session manager would.
async function portsSetUp(g, nodeId, { output, monitor, channels }, timeoutMs) {
  const { graph } = g;
  const count = (monitor ? 2 : 1) * channels;
  const mine = () => graph.ports().filter((p) => p.nodeId === nodeId);
  const ready = () => mine().length === count && mine().every((p) => p.props?.['format.dsp']);
  const timeoutError = () => new Error(`node ${nodeId} did not get its ports within ${timeoutMs} ms`);
  await graph.waitForPorts(nodeId, { timeoutMs });
  if (ready()) return;
  if (mine().some((p) => !p.props?.['format.dsp'])) addon.graphSetPortConfig(newToken(), nodeId, output, monitor, channels);
  await g.wait({ timeoutMs, timeoutError }, (settle) => {
    if (ready()) return settle.resolve();
    return { onEvent: (kind) => /^port-/.test(kind) && ready() && settle.resolve() };
  });
}

// loadModule(g, name, args, ends, { timeoutMs }) → { id, nodes }: loads
// module `name` with `args` (an object, given as SPA JSON) and waits for its
// nodes, `ends`: [{ name, output, monitor, channels }], with their ports set
// up. On failure nothing stays loaded.
async function loadModule(g, name, args, ends, { timeoutMs }) {
  const { graph } = g;
  if (graph.state !== 'connected') throw new Error('PipeWire not connected');
  const id = (lastModuleId = (lastModuleId % 0xffffffff) + 1);
  // On the monotonic clock: a step of the wall clock (NTP, a virtual
  // machine's time set again) cuts no wait short.
  const deadline = performance.now() + timeoutMs;
  const remaining = () => Math.max(1, deadline - performance.now());
  await g.wait({ timeoutMs, timeoutError: () => new Error(`${name}: no answer within ${timeoutMs} ms`) }, (settle) => {
    if (!addon.graphModuleLoad(id, name, spaJson(args))) return settle.reject(new Error('PipeWire not connected'));
    return {
      onEvent: (kind, payload) => {
        if (kind !== 'module-load' || payload.id !== id) return;
        if (payload.res === 0) settle.resolve();
        else settle.reject(refusal(payload.res, payload.message));
      },
    };
  });
  try {
    const nodes = [];
    for (const end of ends) {
      const node = await graph.waitForNode((n) => n.name === end.name, { timeoutMs: remaining() });
      await portsSetUp(g, node.id, end, remaining());
      nodes.push(node);
    }
    return { id, nodes };
  } catch (e) {
    addon.graphModuleUnload(id);
    throw e;
  }
}

// Unloads module `id`; resolves once it is gone and its nodes (`nodeIds`)
// are gone from the graph, or with the connection.
function unloadModule(g, id, nodeIds) {
  const { graph } = g;
  let ended = false;
  const gone = () => ended && !graph.nodes().some((n) => nodeIds.includes(n.id));
  return g
    .wait({ timeoutMs: 3000, timeoutError: () => new Error('the module was not unloaded within 3000 ms') }, (settle) => {
      if (!addon.graphModuleUnload(id)) return settle.resolve(); // gone with the connection
      return {
        onEvent: (kind, payload) => {
          if (kind === 'module-ended' && payload.id === id) ended = true;
          if (gone()) settle.resolve();
        },
      };
    })
    .catch(() => {});
}

// Calls `onEnd(why)` once, when module `id` ends without unloadModule: it
// destroyed itself, or the Graph closed (then it is unloaded) or lost its
// connection (which took it). Returns what stops listening.
function watchModule(g, id, onEnd) {
  let stopWait = null;
  g.wait({}, (settle) => {
    stopWait = settle.resolve;
    return { onEvent: (kind, payload) => kind === 'module-ended' && payload.id === id && settle.reject(new Error(payload.message)) };
  }).catch((e) => {
    if (/Graph closed/.test(e.message)) addon.graphModuleUnload(id);
    onEnd(e.message);
  });
  return () => stopWait?.();
}

module.exports = { loadModule, unloadModule, watchModule, spaJson, positions };
