'use strict';
// The links of the graph now, as a rules file: one route per pair of nodes,
// with its port pairs by name, so that the patchbay of it makes the same links
// again on a graph with the same applications. The session manager's own
// links (made by the client that keeps the "default" metadata) are its
// policy, not the user's: left out unless `all`.
// A node name as a rules file's matcher: the name itself, unless the file
// would read it as something else (a "/regexp/", a default name, a capture).
function nameMatcher(name) {
  if (!/^\/.*\/[imsu]*$|^@default-|\$\{/s.test(name)) return name;
  return `/^${name.replace(/[.*+?^${}()|[\]\\/]/g, '\\$&')}$/`;
}

/** { version: 1, routes: [{ from, to, ports }] } for the links now; `manager`: the session manager's "client.id". */
function snapshot(graph, { all = false, manager } = {}) {
  const nodes = new Map(graph.nodes().map((n) => [n.id, n]));
  const ports = new Map(graph.ports().map((p) => [p.id, p]));
  const routes = new Map(); // 'from\0to' -> route
  for (const l of graph.links()) {
    if (!all && manager !== undefined && l.props?.['client.id'] === String(manager)) continue;
    const out = ports.get(l.srcPortId);
    const inp = ports.get(l.sinkPortId);
    const from = nodes.get(l.srcNodeId)?.name;
    const to = nodes.get(l.sinkNodeId)?.name;
    if (!out || !inp || !from || !to) continue;
    const key = `${from}\0${to}`;
    if (!routes.has(key)) routes.set(key, { from: nameMatcher(from), to: nameMatcher(to), ports: [] });
    const pairs = routes.get(key).ports;
    if (!pairs.some(([o, i]) => o === out.name && i === inp.name)) pairs.push([out.name, inp.name]);
  }
  return { version: 1, routes: [...routes.values()] };
}

module.exports = { snapshot, nameMatcher };
