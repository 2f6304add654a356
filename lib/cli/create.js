'use strict';
// quorvane create / destroy: virtual devices made, and removed, by this package.
const { EXIT, UsageError, CliError, parse, idArg, asCliError } = require('./args');
const { say, warn } = require('./output');
const { openSession, hold } = require('./session');
const resolve = require('./resolve');

const DEVICE_CLASSES = { sink: 'Audio/Sink', mic: 'Audio/Source/Virtual', duplex: 'Audio/Duplex' };

async function create(argv) {
  const o = parse(argv, { channels: 'value', description: 'value', linger: 'flag' });
  const [kind, name, ...more] = o._;
  const kinds = Object.keys(DEVICE_CLASSES).join(', ');
  if (kind === undefined) throw new UsageError(`create needs a kind (${kinds}) and a NAME`);
  if (!Object.hasOwn(DEVICE_CLASSES, kind)) throw new UsageError(`create: unknown kind ${JSON.stringify(kind)} (known: ${kinds})`);
  if (!name) throw new UsageError('create needs a NAME');
  if (more.length) throw new UsageError(`unexpected argument ${more[0]}`);
  const channels = o.channels === undefined ? undefined : o.channels.split(',').map((c) => c.trim());
  const graph = await openSession();
  let node;
  try {
    node = await graph.createNode({ name, mediaClass: DEVICE_CLASSES[kind], channels, description: o.description, linger: !!o.linger });
  } catch (e) {
    throw asCliError(e);
  }
  if (o.linger) {
    say(String(node.id));
    return EXIT.OK;
  }
  let stopping = false;
  // Removed by someone else ("quorvane destroy"): nothing is left to hold.
  const removed = new Promise((resolve) => {
    graph.on('node-destroyed', (id) => {
      if (id !== node.id || stopping) return;
      warn(`${kind} "${name}" (node ${node.id}) was removed`);
      resolve(EXIT.OK);
    });
  });
  // Closing the session removes the node too; asking first makes Ctrl-C
  // wait until it is gone. Heard before the id is printed: from then on
  // Ctrl-C removes the device and ends the tool with 0.
  const held = hold(graph, {
    onStop: () => {
      stopping = true;
      return graph.destroyNode(node.id).catch(() => {});
    },
  });
  say(String(node.id));
  warn(`holding ${kind} "${name}" (node ${node.id}) until Ctrl-C`);
  return Promise.race([held, removed]);
}

async function destroy(argv) {
  const o = parse(argv, {});
  if (o._.length !== 1) throw new UsageError('destroy needs one NAME or ID');
  idArg(o._[0], 'node'); // a number that is no id: refused before connecting
  const graph = await openSession();
  // A default name is the node that is that default now.
  const target = resolve.node(graph, o._[0]);
  try {
    await graph.destroyNode(target);
  } catch (e) {
    throw asCliError(e);
  }
  say(`removed node ${o._[0]}`);
  return EXIT.OK;
}

module.exports = { create, destroy };
