// Waits for a device (a node of a given name) to appear, then links it to a
// sink by name: the "plug in the USB microphone" case.
//   node examples/wait-and-link.js DEVICE_NODE_NAME SINK_NODE_NAME [TIMEOUT_MS]
const q = require('..');

const [device, sinkName, timeout = '10000'] = process.argv.slice(2);
if (!device || !sinkName) {
  console.error('usage: wait-and-link.js DEVICE_NODE_NAME SINK_NODE_NAME [TIMEOUT_MS]');
  process.exit(2);
}

q.createPwThread();
console.log(`waiting for ${device}...`);
const found = q.waitForNewNode(device, 'Input', Number(timeout));
if (!found.found) {
  console.log(`${device} did not appear`);
  q.destroyPwThread();
  process.exit(1);
}
const sink = q.getNodes().find((n) => n.name === sinkName);
console.log(`${device} is node ${found.id}; linking it to ${sinkName} (node ${sink.id})`);
q.on('link-created', (l) => {
  if (l.srcNodeId !== found.id) return;
  console.log(`link ${l.id} made: state ${q.getLinkState(l.id)?.state}, format ${q.getLinkFormat(l.id).format}`);
  q.off('link-created');
  q.destroyPwThread(); // the link goes with the connection
});
q.linkNodesNameToId(device, sink.id);
