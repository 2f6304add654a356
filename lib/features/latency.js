'use strict';
// Port latency (graph.latency): what each port's "Latency" params say, one
// range per direction, as pw-link -t prints them. The mirror keeps the params
// as the daemon announces them; this reads them for one port or a node's.
const addon = require('../connection/addon');
const { checkNodeReference } = require('../core/arguments');
const { resolveNode } = require('./resolve-node');

const isPort = (x) => x !== null && typeof x === 'object' && 'nodeId' in x && 'direction' in x;

// latencyOf(graph, target) → for a port (a port object, or an id no node
// has): { input, output }, each { minQuantum, maxQuantum, minRate, maxRate,
// minNs, maxNs } or null where the port gave none; for a node (an id, a node
// object or a matcher): { id, name, ports: [{ id, name, direction: 'in' |
// 'out', input, output }] }. A TypeError / RangeError for what names neither,
// an Error for a port or node the graph does not have.
function latencyOf(graph, target) {
  const portGiven = isPort(target) || (typeof target === 'number' && !graph.nodes().some((n) => n.id === target));
  if (portGiven) {
    const id = checkNodeReference(isPort(target) ? target.id : target, 'latency');
    const [found] = addon.graphPortLatency([id]);
    if (!found) throw new Error(`latency: no node or port ${id}`);
    return { input: found[0], output: found[1] };
  }
  const node = resolveNode(graph.nodes(), target, 'latency', { defaults: () => graph.defaults });
  const ports = graph.ports().filter((p) => p.nodeId === node.id);
  const found = addon.graphPortLatency(ports.map((p) => p.id));
  return {
    id: node.id,
    name: node.name,
    ports: ports.map((p, i) => ({
      id: p.id,
      name: p.name,
      direction: p.direction === 1 ? 'in' : 'out',
      input: found[i]?.[0] ?? null,
      output: found[i]?.[1] ?? null,
    })),
  };
}

module.exports = { latencyOf };
