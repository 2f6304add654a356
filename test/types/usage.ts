// Uses every declaration; must type-check.
import * as q from '../..';
import type { PwNode, PwPort, PwLink, PwShortNode, WaitResult, LinkState, LinkCreatedEvent, Graph, GraphNode, CreatedLink, LinkRule } from '../..';

q.createPwThread() satisfies boolean;
q.createPwThread(true);
const nodes: PwNode[] = q.getNodes();
const ports: PwPort[] = q.getPorts();
const links: PwLink[] = q.getLinks();
[...q.getInputNodes(), ...q.getOutputNodes()] satisfies PwShortNode[];
[...q.getInputNodesName(), ...q.getOutputNodesName()] satisfies string[];
q.linkPorts(ports[0].id, ports[1].id) satisfies 0;
q.unlinkPorts(1, 2) satisfies boolean;
q.linkNodesNameToId('app', nodes[0].id) satisfies number;
q.unlinkNodesNameToId('app', nodes[0].id) satisfies number;
const r: WaitResult = q.waitForNewNode('mic', 'Input', 1000);
if (r.found) [r.id, r.name] satisfies [number, string];
q.waitForNewNode('mic');
q.getLinkFormat(links[0].id).format satisfies string;
q.getLinkStats(1).bytes satisfies number;
const state: LinkState | undefined = q.getLinkState(1);
if (state) state.state satisfies 'active';
q.on('node-created', (n) => void (n.type satisfies string));
q.on('node-destroyed', (id) => void (id satisfies number));
q.on('link-created', (l: LinkCreatedEvent) => void l.sinkPortId);
q.on('link-destroyed', (id: number) => void id);
q.on('custom-name', () => {});
q.off('node-created');
q.off('anything');
q.destroyPwThread() satisfies true;

async function asynchronous(): Promise<void> {
  const graph: Graph = await q.connect({ timeoutMs: 1000, reconnect: true });
  const all: GraphNode[] = graph.nodes();
  all[0].props['media.class'] satisfies string;
  graph.on('node-created', (n) => void n.props['node.name']);
  graph.on('port-destroyed', (id: number) => void id);
  graph.once('disconnected', ({ message }) => void message);
  graph.on('connected', () => {});
  const mic = await graph.waitForNode({ 'media.class': 'Audio/Source', 'node.name': /mic/ }, { direction: 'out', timeoutMs: Infinity, signal: new AbortController().signal });
  const ports = await graph.waitForPorts(mic.id, { direction: 'out', count: 2 });
  const link: CreatedLink = await graph.link(ports[0].id, 7, { until: 'ready' });
  graph.on('node-changed', (n, changed) => void (changed.state && n.state === 'running'));
  graph.on('link-changed', (l) => void l.format?.positions?.[0]);
  graph.links()[0].format?.rate satisfies number | null | undefined;
  graph.ports()[0].type satisfies 'audio' | 'midi' | 'video' | 'control' | null;
  const made: CreatedLink[] = await graph.linkNodes(/player/, link.sinkNodeId);
  await graph.unlink(made[0].id);
  (await graph.unlinkNodes('player', 'speakers')).unlinked satisfies number[];
  const dropped: number | undefined = graph.metadata()?.dropped;
  const route: LinkRule = graph.linkRule({ from: (n) => n.name.startsWith('app'), to: 'sink', channels: 'positional', exclusive: true });
  route.on('linked', (l) => void l.sinkPortId).on('error', (e) => void e.message);
  await route.close();
  graph.find('x') satisfies GraphNode[];
  const device: GraphNode = await graph.createNode({ name: 'vmic', mediaClass: 'Audio/Source/Virtual', channels: ['MONO'], props: { 'node.nick': 'mic', 'priority.session': 1000 }, linger: true });
  await graph.destroyNode(device);
  await graph.destroyNode('vmic', { timeoutMs: 1000 });
  await graph.close();
}
