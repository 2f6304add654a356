// Deliberate misuses: every line marked "error" must fail to type-check.
import * as q from '../..';

q.linkPorts('5', 6); // error
q.unlinkNodesNameToId('mic'); // error
q.getLinkFormat('12'); // error
q.waitForNewNode('mic', 'input'); // error
q.on('node-destroyed', (n: { id: number }) => void n); // error
q.off(); // error
const id: number = q.waitForNewNode('mic').id; // error
const s: string = q.getLinkState(1).state; // error
async function misuse(): Promise<void> {
  const graph = await q.connect({ timeoutMs: '1000' }); // error
  graph.on('node-created', (id: number) => void id); // error
  graph.on('no-such-event', () => {}); // error
  await graph.waitForPorts(1, { direction: 'sideways' }); // error
  graph.linkRule({ from: 'a', to: 'b', channels: 'stereo' }); // error
  await graph.link(1, 2, { until: 'soon' }); // error
  await graph.link(1, 2, { timeout: 100 }); // error
  graph.metadata(0); // error
  await graph.createNode({ name: 'x', mediaClass: 'Video/Sink' }); // error
  await graph.destroyNode({ id: 1 }); // error
  const f: string = graph.links()[0].format; // error
  graph.meter('x').on('state', (state: string) => void state); // error
  await (await graph.createFilter({ name: 'eq' })).set({ volume: '0.5' }); // error
}
