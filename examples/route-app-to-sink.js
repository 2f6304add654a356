// Routes a named application's output to a sink and follows the events:
//   node examples/route-app-to-sink.js APP_NODE_NAME [SINK_NODE_NAME]
// Without a sink name, the first "Audio/Sink" is used. The links it made are
// removed again after a few seconds (HOLD_MS); links another client made, say
// the session manager, stay as they are.
const q = require('..');
const { linkByName, unlinkOwn } = require('./own-links');

async function main() {
  const [appName, sinkName] = process.argv.slice(2);
  if (!appName) {
    console.error('usage: route-app-to-sink.js APP_NODE_NAME [SINK_NODE_NAME]');
    return 2;
  }
  const holdMs = Number(process.env.HOLD_MS ?? 3000);
  q.createPwThread();
  const sink = q.getNodes().find((n) => (sinkName ? n.name === sinkName : n.type === 'Audio/Sink'));
  if (!sink) {
    console.error('no such sink');
    return 1;
  }
  const app = q.getNodes().find((n) => n.name === appName);
  if (!app) {
    console.error(`no node named ${appName}`);
    return 1;
  }
  // The events of links between the two nodes, whoever makes them.
  const between = new Set();
  q.on('link-created', (l) => {
    if (l.srcNodeId !== app.id || l.sinkNodeId !== sink.id) return;
    between.add(l.id);
    console.log(`event link-created ${l.id}: port ${l.srcPortId} -> port ${l.sinkPortId}`);
  });
  q.on('link-destroyed', (id) => {
    if (between.delete(id)) console.log(`event link-destroyed ${id}`);
  });

  console.log(`routing ${appName} to ${sink.name}`);
  const { already, own, missing } = await linkByName(q, appName, sink.id);
  for (const [o, i] of already) console.log(`port ${o} -> port ${i}: already linked, left as it is`);
  for (const l of own) console.log(`linked port ${l.out} -> port ${l.in} (link ${l.id})`);
  if (missing.length > 0) console.error(`the daemon did not make ${missing.length} link(s): refused`);

  await new Promise((resolve) => setTimeout(resolve, holdMs));
  const removed = await unlinkOwn(q, own);
  // Let the last events be delivered before disconnecting.
  await new Promise((resolve) => setImmediate(resolve));
  console.log(`made ${own.length}, removed ${removed}, already linked ${already.length}`);
  return missing.length > 0 ? 1 : 0;
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
