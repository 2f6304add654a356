'use strict';
// Run under valgrind by exits.js: holds a device (and a lingering one), a link, a route, pending requests
// and every object's info proxies, then ends as argv[2] says (exits.js kills a "sigterm" run).
const q = require('../helpers/addon');

async function main(mode) {
  const graph = await require('../..').connect({ timeoutMs: 120000 });
  const sink = await graph.createNode({ name: `mc-exit-${mode}` });
  await graph.createNode({ name: `mc-exit-${mode}-linger`, linger: true });
  const out = graph.ports().find((p) => p.nodeId === graph.find('demo-microphone')[0].id && p.direction === 0);
  await graph.link(out.id, graph.ports().find((p) => p.nodeId === sink.id && p.direction === 1).id);
  graph.linkRule({ from: 'demo-microphone', to: sink.name });
  q.createPwThread(); // the script's hold beside the Graph's
  // Pending as the process ends.
  graph.createNode({ name: `mc-exit-${mode}-pending` }).catch(() => {});
  graph.setVolume(sink.id, 0.5).catch(() => {});
  graph.link(out.id, graph.ports().filter((p) => p.nodeId === sink.id && p.direction === 1)[1].id).catch(() => {});
  if (mode === 'exit') process.exit(0);
  if (mode === 'uncaught') setImmediate(() => { throw new Error('uncaught on purpose'); });
  if (mode === 'sigterm') console.log('ready');
  // Nothing holds the event loop once the holds are let go, unawaited.
  if (mode === 'normal') (q.destroyPwThread(), graph.close());
}

main(process.argv[2]).catch((e) => (console.error(e), process.exit(3)));
