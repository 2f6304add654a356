// Keeps an application's output in a sink, and (with --exclusive) only there,
// as the application comes and goes: the screen-share and virtual-microphone
// case. Until Ctrl-C, then the links it made are removed.
//   node examples/keep-routed.js APP_NAME_PATTERN SINK_NODE_NAME [--exclusive]
// APP_NAME_PATTERN is a regular expression tested on the node's
// "application.name", or on its "node.name" when it has none.
const { connect } = require('..');

async function main() {
  const [pattern, sinkName] = process.argv.slice(2).filter((a) => !a.startsWith('--'));
  if (!pattern || !sinkName) {
    console.error('usage: keep-routed.js APP_NAME_PATTERN SINK_NODE_NAME [--exclusive]');
    return 2;
  }
  const app = new RegExp(pattern, 'i');
  const graph = await connect({ reconnect: true });
  const route = graph.linkRule({
    from: (node) => app.test(node.props['application.name'] ?? node.name) && node.name !== sinkName,
    to: sinkName,
    exclusive: process.argv.includes('--exclusive'),
  });
  route.on('linked', (l) => console.log(`linked   port ${l.srcPortId} -> port ${l.sinkPortId} (link ${l.id})`));
  route.on('unlinked', (l) => console.log(`unlinked link ${l.id}`));
  route.on('error', (e) => console.error(`error: ${e.message}`));
  graph.on('disconnected', ({ message }) => console.error(`PipeWire went away (${message}); waiting for it`));
  console.log(`keeping ${app} in ${sinkName}; Ctrl-C stops`);
  await new Promise((resolve) => {
    process.once('SIGINT', resolve);
    process.once('SIGTERM', resolve);
  });
  await route.close();
  await graph.close();
  return 0;
}

main().then(
  (code) => (process.exitCode = code),
  (e) => {
    console.error(e.message);
    process.exitCode = 1;
  },
);
