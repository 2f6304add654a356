// Lists the PipeWire graph: nodes with their ports, then the links.
const q = require('..');

q.createPwThread();
const ports = q.getPorts();
for (const node of q.getNodes()) {
  const side = [node.isInput && 'input', node.isOutput && 'output'].filter(Boolean).join('/') || '-';
  console.log(`node ${node.id} ${node.name} (${node.type || 'no media class'}, ${side})`);
  for (const port of ports.filter((p) => p.nodeId === node.id)) {
    console.log(`  ${port.direction === 1 ? 'in ' : 'out'} port ${port.id} ${port.name}`);
  }
}
for (const link of q.getLinks()) {
  console.log(`link ${link.id}: ${link.srcNodeName}:${link.srcPortId} -> ${link.sinkNodeName}:${link.sinkPortId}`);
}
q.destroyPwThread();
