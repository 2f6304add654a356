'use strict';
// A host's bridge for the fleet tests, run inside the host's namespace:
// `node fleet-bridge.js OPTIONS` (the bridge's options as JSON). Prints
// "ready" once connected to the broker, and each warning on standard error.
const { connect } = require(process.env.QUORVANE_ROOT);

(async () => {
  const graph = await connect({ reconnect: true });
  const bridge = await graph.mqtt(JSON.parse(process.argv[2]));
  bridge.on('warning', (e) => process.stderr.write(`warning: ${e.message}\n`));
  process.stdout.write('ready\n');
})().catch((e) => {
  process.stderr.write(`${e.stack}\n`);
  process.exit(1);
});
