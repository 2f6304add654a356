'use strict';
// Written to the module's own contract: requires the shared object named on its command line, nothing of
// the package, and reports what the nineteen functions and four events gave before, during and after a
// connection. test/helpers/nineteen.js starts it, makes its nodes, removes one when asked, checks the report.
const q = require(process.argv[2]);
const { waitFor } = require('../helpers/fixture'); // events arrive while the event loop runs: a wait lets it
const { source, sink, gone } = JSON.parse(process.argv[3]);

const entries = (list) => list.map((o) => (o !== null && typeof o === 'object' ? Object.entries(o) : o));
const thrown = (fn) => { try { fn(); return null; } catch (e) { return [e.constructor.name, e.message]; } };
const listings = () => ({
  nodes: entries(q.getNodes()), ports: entries(q.getPorts()), links: entries(q.getLinks()),
  inputs: entries(q.getInputNodes()), outputs: entries(q.getOutputNodes()),
  inputNames: q.getInputNodesName(), outputNames: q.getOutputNodesName() });
const ask = (request) => new Promise((resolve) => (process.once('message', resolve), process.send(request)));
const until = (condition, what) => waitFor(condition, 10000, what);

async function main() {
  const report = { exports: Object.keys(q).slice(0, 19) };
  report.typeErrors = [
    () => q.linkPorts(5), () => q.linkPorts('5', 6), () => q.unlinkPorts(5), () => q.linkNodesNameToId(45, 46),
    () => q.unlinkNodesNameToId('mic'), () => q.getLinkFormat(), () => q.getLinkStats('12'), () => q.getLinkState(),
    () => q.on('node-created'), () => q.on('node-created', {}), () => q.off(), () => q.off(1),
  ].map(thrown);
  report.before = {
    ...listings(),
    wait: Object.entries(q.waitForNewNode(source.name, 'Input', 0)),
    inspection: [q.getLinkFormat(-1), q.getLinkStats(12.8), q.getLinkState(5)].map((o) => (o === undefined ? 'undefined' : Object.entries(o))),
    refused: [() => q.linkPorts(1, 2), () => q.unlinkPorts(1, 2), () => q.linkNodesNameToId('x', 1), () => q.unlinkNodesNameToId('x', 1)].map(thrown),
  };

  // Listeners registered before the start hear every node and link there is.
  const events = { 'node-created': [], 'node-destroyed': [], 'link-created': [], 'link-destroyed': [] };
  const live = new Map(); // link id -> link, while it stands (ids come round again at once)
  for (const name of ['node-created', 'node-destroyed']) q.on(name, (payload) => events[name].push(payload));
  q.on('link-created', (l) => (events['link-created'].push(l), live.set(l.id, l)));
  q.on('link-destroyed', (id) => (events['link-destroyed'].push(id), live.delete(id)));
  q.on('not-an-event', () => events['node-created'].push('not-an-event')); // if ever called, a node too many
  report.started = q.createPwThread();
  report.connected = listings();
  report.waits = [q.waitForNewNode(source.name), q.waitForNewNode(source.name, 'Output', 1), q.waitForNewNode(`${source.name}-`, undefined, 0)].map(Object.entries);
  await until(() => events['node-created'].some((n) => n.id === gone.id), 'the nodes there were');

  // Port to port; swapped or missing ports refused.
  const [[out0, out1], [in0, in1]] = [source.outputs, sink.inputs];
  const linkOf = (o, i) => [...live.values()].find((l) => l.srcPortId === o && l.sinkPortId === i);
  report.linkPorts = q.linkPorts(out0, in0);
  await until(() => linkOf(out0, in0), 'the link of linkPorts');
  const byPorts = linkOf(out0, in0).id;
  report.byPorts = {
    listed: entries(q.getLinks().filter((l) => l.id === byPorts)),
    inspection: [q.getLinkFormat(byPorts), q.getLinkStats(byPorts), q.getLinkState(byPorts)].map(Object.entries),
    unlinked: q.unlinkPorts(out0, in0), // not made by name: left alone
    refused: [() => q.linkPorts(in0, out0), () => q.linkPorts(out0, out0), () => q.linkNodesNameToId(sink.name, source.id)].map(thrown),
  };
  report.byPorts.removed = q.unlinkNodesNameToId(source.name, sink.id);
  await until(() => !live.has(byPorts), 'the removal by name');

  // By name: pairwise, formats "dynamic"; removed port by port and by name.
  report.linkNodes = q.linkNodesNameToId(source.name, sink.id);
  await until(() => linkOf(out0, in0) && linkOf(out1, in1), 'the links by name');
  const [first, second] = [linkOf(out0, in0).id, linkOf(out1, in1).id];
  report.byName = {
    listed: entries(q.getLinks().filter((l) => l.id === first || l.id === second)),
    formats: [q.getLinkFormat(first), q.getLinkFormat(second)].map(Object.entries),
    unlinked: [q.unlinkPorts(out0, in0), q.unlinkNodesNameToId(source.name, sink.id), q.unlinkNodesNameToId(source.name, source.id)],
  };
  await until(() => live.size === 0, 'the removals');
  report.byName.after = [q.getLinkState(first) === undefined, q.getLinks().some((l) => l.id === first || l.id === second)];

  // A node the parent removes.
  await ask({ remove: gone.id });
  await until(() => events['node-destroyed'].includes(gone.id), 'node-destroyed');
  q.off('node-destroyed'), q.off('never-registered');

  report.stopped = q.destroyPwThread();
  report.after = { ...listings(), refused: [() => q.linkPorts(out0, in0), () => q.unlinkNodesNameToId(source.name, sink.id)].map(thrown) };
  report.events = Object.fromEntries(Object.entries(events).map(([name, list]) => [name, entries(list)]));
  process.send({ report });
  process.disconnect(); // and the process ends by itself: nothing of the module holds it
}

main().catch((e) => {
  process.send({ error: e.stack }, () => process.exit(1));
});
