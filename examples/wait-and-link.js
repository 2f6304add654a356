// Waits for a device (a node of a given name) to appear, then links it to a
// sink by name: the "plug in the USB microphone" case. Holds its links until
// Ctrl-C, then removes them (ports another client linked stay as they are).
//   node examples/wait-and-link.js DEVICE_NODE_NAME SINK_NODE_NAME [TIMEOUT_MS]
const q = require('..');
const { linkByName, unlinkOwn, until } = require('./own-links');

async function main() {
  const [device, sinkName, timeout = '10000'] = process.argv.slice(2);
  if (!device || !sinkName) {
    console.error('usage: wait-and-link.js DEVICE_NODE_NAME SINK_NODE_NAME [TIMEOUT_MS]');
    return 2;
  }
  q.createPwThread();
  const sink = q.getNodes().find((n) => n.name === sinkName);
  if (!sink) {
    console.error(`no node named ${sinkName}`);
    return 1;
  }
  console.log(`waiting for ${device}...`);
  const found = q.waitForNewNode(device, 'Input', Number(timeout));
  if (!found.found) {
    console.log(`${device} did not appear`);
    return 1;
  }
  // A node's ports are announced just after the node.
  await until(() => q.getPorts().some((p) => p.nodeId === found.id && p.direction === 0), 2000);
  console.log(`${device} is node ${found.id}; linking it to ${sinkName} (node ${sink.id})`);
  const { already, own, missing } = await linkByName(q, device, sink.id);
  for (const [o, i] of already) console.log(`port ${o} -> port ${i}: already linked, left as it is`);
  for (const l of own) {
    console.log(`link ${l.id} made: port ${l.out} -> port ${l.in}, state ${q.getLinkState(l.id)?.state}, ` +
      `format ${q.getLinkFormat(l.id).format}`);
  }
  if (missing.length > 0) console.error(`the daemon did not make ${missing.length} link(s): refused`);
  if (own.length === 0) return missing.length > 0 ? 1 : 0;

  console.log(`holding ${own.length} link(s); Ctrl-C removes them`);
  await new Promise((resolve) => {
    process.once('SIGINT', resolve);
    process.once('SIGTERM', resolve);
  });
  console.log(`removed ${await unlinkOwn(q, own)} link(s)`);
  return 0;
}

main().then(
  (code) => {
    q.destroyPwThread();
    process.exitCode = code;
  },
  (e) => {
    q.destroyPwThread();
    console.error(e.message);
    process.exitCode = 1;
  },
);
