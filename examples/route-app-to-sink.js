// Routes a named application's output to a sink and follows the events:
//   node examples/route-app-to-sink.js APP_NODE_NAME [SINK_NODE_NAME]
// Without a sink name, the first "Audio/Sink" is used. The links are removed
// again after a few seconds (they belong to this script's connection anyway).
const q = require('..');

const [appName, sinkName] = process.argv.slice(2);
if (!appName) {
  console.error('usage: route-app-to-sink.js APP_NODE_NAME [SINK_NODE_NAME]');
  process.exit(2);
}
const holdMs = Number(process.env.HOLD_MS ?? 3000);

q.createPwThread();
const sink = q.getNodes().find((n) => (sinkName ? n.name === sinkName : n.type === 'Audio/Sink'));
if (!sink) {
  console.error('no such sink');
  q.destroyPwThread();
  process.exit(1);
}
const before = new Set(q.getLinks().map((l) => l.id));
let made = 0;
let removed = 0;
q.on('link-created', (l) => {
  if (before.has(l.id)) return;
  made++;
  console.log(`linked port ${l.srcPortId} -> port ${l.sinkPortId} (link ${l.id})`);
});
q.on('link-destroyed', (id) => {
  removed++;
  console.log(`unlinked ${id}`);
});

const requested = q.linkNodesNameToId(appName, sink.id);
console.log(`routing ${appName} to ${sink.name}: ${requested} link(s) requested`);
setTimeout(() => {
  const queued = q.unlinkNodesNameToId(appName, sink.id);
  console.log(`removing ${queued} link(s)`);
  const done = setInterval(() => {
    if (removed >= queued) {
      clearInterval(done);
      console.log(`made ${made}, removed ${removed}`);
      q.destroyPwThread();
    }
  }, 10);
}, holdMs);
