// Uses every declaration; must type-check.
import * as q from '../..';
import type { PwNode, PwPort, PwLink, PwShortNode, WaitResult, LinkState, LinkCreatedEvent, Graph, GraphNode, CreatedLink, Route } from '../..';

const started: boolean = q.createPwThread();
q.createPwThread(true);
const nodes: PwNode[] = q.getNodes();
const ports: PwPort[] = q.getPorts();
const links: PwLink[] = q.getLinks();
const inputs: PwShortNode[] = q.getInputNodes();
const outputs: PwShortNode[] = q.getOutputNodes();
const names: string[] = [...q.getInputNodesName(), ...q.getOutputNodesName()];
const zero: 0 = q.linkPorts(ports[0].id, ports[1].id);
const removed: boolean = q.unlinkPorts(1, 2);
const made: number = q.linkNodesNameToId('app', nodes[0].id);
const queued: number = q.unlinkNodesNameToId('app', nodes[0].id);
const r: WaitResult = q.waitForNewNode('mic', 'Input', 1000);
if (r.found) {
  const id: number = r.id;
  const name: string = r.name;
  void [id, name];
}
q.waitForNewNode('mic');
const format: string = q.getLinkFormat(links[0].id).format;
const bytes: number = q.getLinkStats(1).bytes;
const state: LinkState | undefined = q.getLinkState(1);
if (state) {
  const active: 'active' = state.state;
  void active;
}
q.on('node-created', (n) => {
  const t: string = n.type;
  void t;
});
q.on('node-destroyed', (id) => {
  const n: number = id;
  void n;
});
q.on('link-created', (l: LinkCreatedEvent) => void l.sinkPortId);
q.on('link-destroyed', (id: number) => void id);
q.on('custom-name', () => {});
q.off('node-created');
q.off('anything');
const stopped: true = q.destroyPwThread();
void [started, nodes, links, inputs, outputs, names, zero, removed, made, queued, format, bytes, stopped];

async function asynchronous(): Promise<void> {
  const graph: Graph = await q.connect({ timeoutMs: 1000, reconnect: true });
  const all: GraphNode[] = graph.nodes();
  const cls: string = all[0].props['media.class'];
  graph.on('node-created', (n) => void n.props['node.name']);
  graph.on('port-destroyed', (id: number) => void id);
  graph.once('disconnected', ({ message }) => void message);
  graph.on('connected', () => {});
  const mic = await graph.waitForNode({ 'media.class': 'Audio/Source', 'node.name': /mic/ }, { direction: 'Input', timeoutMs: Infinity, signal: new AbortController().signal });
  const ports = await graph.waitForPorts(mic.id, { direction: 'out', count: 2 });
  const link: CreatedLink = await graph.link(ports[0].id, 7, { until: 'ready' });
  graph.on('node-changed', (n, changed) => void (changed.state && n.state === 'running'));
  graph.on('link-changed', (l) => void l.format?.positions?.[0]);
  const rate: number | null | undefined = graph.links()[0].format?.rate;
  void rate;
  const made: CreatedLink[] = await graph.linkNodes(/player/, link.sinkNodeId);
  await graph.unlink(made[0].id);
  const route: Route = graph.route({ from: (n) => n.name.startsWith('app'), to: 'sink', channels: 'positional', exclusive: true });
  route.on('linked', (l) => void l.sinkPortId).on('error', (e) => void e.message);
  await route.close();
  const found: GraphNode[] = graph.find('x');
  const device: GraphNode = await graph.createNode({ name: 'vmic', mediaClass: 'Audio/Source/Virtual', channels: ['MONO'], props: { 'node.nick': 'mic', 'priority.session': 1000 }, linger: true });
  await graph.destroyNode(device);
  await graph.destroyNode('vmic', { timeoutMs: 1000 });
  await graph.close();
  void [cls, found];
}
void asynchronous;
