#!/usr/bin/env node
'use strict';
// quorvane: the PipeWire graph from the command line, built on the add-on's
// nineteen functions.
const q = require('..');

const HELP = {
  main: `Usage: quorvane <command> [options]

Commands:
  nodes [--input|--output] [--json]      list nodes (all, input-side or output-side)
  ports [--node NAME|ID] [--json]        list ports (of one node)
  links [--json]                         list links
  monitor [--json]                       print graph events as they happen, until Ctrl-C
  wait NAME [--direction Input|Output] [--timeout MS]
                                         wait for a node; prints its id (exit 1 on time-out)
  link OUT_PORT IN_PORT                  link two ports and hold the link until Ctrl-C
  link --from NODE_NAME --to SINK_ID     link a node to a sink by name, held until Ctrl-C
  unlink --from NODE_NAME --to SINK_ID   remove the links from a node to a sink

Run "quorvane <command> --help" for one command. Exit codes: 0 success, 1 nothing
matching or time-out, 2 bad arguments, 3 no PipeWire daemon reachable.`,
  nodes: `Usage: quorvane nodes [--input|--output] [--json]
Lists the graph's nodes: id, name, media class and side. --input/--output lists
only the input-side/output-side nodes. --json prints the add-on's objects.`,
  ports: `Usage: quorvane ports [--node NAME|ID] [--json]
Lists ports: id, owning node, name, direction. --node keeps the ports of the node
with that id, or of the nodes with that exact name.`,
  links: `Usage: quorvane links [--json]
Lists links: id, source node and port, sink node and port, format.`,
  monitor: `Usage: quorvane monitor [--json]
Prints "node-created", "node-destroyed", "link-created" and "link-destroyed" events,
one line each, as they happen (starting with every existing node and link), until
Ctrl-C. --json prints one JSON object a line.`,
  wait: `Usage: quorvane wait NAME [--direction Input|Output] [--timeout MS]
Waits until a node named exactly NAME is present (default time-out 5000 ms) and
prints its id. Exit code 1 when the time-out passes first.`,
  link: `Usage: quorvane link OUT_PORT IN_PORT
       quorvane link --from NODE_NAME --to SINK_ID
Links an output port to an input port, or the output ports of the named node
pairwise to the input ports of node SINK_ID. Links belong to the connection
that made them, so the command stays running, reports each "link-created" event,
and removes the links when interrupted (Ctrl-C).`,
  unlink: `Usage: quorvane unlink --from NODE_NAME --to SINK_ID
Removes every link from the named node to node SINK_ID and reports each removal.`,
};

class UsageError extends Error {}

function parse(argv, spec) {
  const opts = { _: [] };
  for (let i = 0; i < argv.length; i++) {
    const a = argv[i];
    if (!a.startsWith('--')) {
      opts._.push(a);
      continue;
    }
    const name = a.slice(2);
    if (!(name in spec)) throw new UsageError(`unknown option ${a}`);
    if (spec[name] === 'flag') opts[name] = true;
    else {
      if (i + 1 >= argv.length) throw new UsageError(`${a} needs a value`);
      opts[name] = argv[++i];
    }
  }
  return opts;
}

function intArg(text, what) {
  if (!/^\d+$/.test(text ?? '')) throw new UsageError(`${what} must be a number, got ${JSON.stringify(text)}`);
  return Number(text);
}

function table(rows, columns) {
  if (rows.length === 0) return '(none)';
  const cells = rows.map((r) => columns.map((c) => String(r[c])));
  const widths = columns.map((c, i) => Math.max(c.length, ...cells.map((row) => row[i].length)));
  const line = (values) => values.map((v, i) => v.padEnd(widths[i])).join('  ').trimEnd();
  return [line(columns), line(widths.map((w) => '-'.repeat(w))), ...cells.map(line)].join('\n');
}

// Connected means the core is up: the link functions say so without a request
// (port 0 is never a port, so a connected call fails on the port check).
function isConnected() {
  try {
    q.linkPorts(0, 0);
  } catch (e) {
    return e.message !== 'PipeWire not connected';
  }
  return true;
}

function connect() {
  q.createPwThread();
  if (!isConnected()) {
    q.destroyPwThread();
    const e = new Error('no PipeWire daemon reachable (is PipeWire running for this user? XDG_RUNTIME_DIR set?)');
    e.exitCode = 3;
    throw e;
  }
}

function print(rows, columns, json) {
  console.log(json ? JSON.stringify(rows, null, 2) : table(rows, columns));
}

// Runs until SIGINT/SIGTERM, then `cleanup` and a clean exit.
function untilInterrupted(cleanup) {
  return new Promise((resolve) => {
    const stop = () => {
      process.off('SIGINT', stop);
      process.off('SIGTERM', stop);
      Promise.resolve(cleanup()).then(resolve);
    };
    process.on('SIGINT', stop);
    process.on('SIGTERM', stop);
  });
}

// Resolves once `count` events arrived through `counter()` or after `ms`.
function settle(counter, count, ms) {
  return new Promise((resolve) => {
    const end = Date.now() + ms;
    const poll = () => (counter() >= count || Date.now() > end ? resolve() : setTimeout(poll, 10));
    poll();
  });
}

const commands = {
  nodes(argv) {
    const o = parse(argv, { input: 'flag', output: 'flag', json: 'flag' });
    if (o._.length) throw new UsageError(`unexpected argument ${o._[0]}`);
    if (o.input && o.output) throw new UsageError('--input and --output exclude each other');
    connect();
    const rows = o.input ? q.getInputNodes() : o.output ? q.getOutputNodes() : q.getNodes();
    q.destroyPwThread();
    print(rows, ['id', 'name', 'type', 'isInput', 'isOutput'], o.json);
  },

  ports(argv) {
    const o = parse(argv, { node: 'value', json: 'flag' });
    if (o._.length) throw new UsageError(`unexpected argument ${o._[0]}`);
    connect();
    let rows = q.getPorts();
    if (o.node !== undefined) {
      const ids = new Set(q.getNodes().filter((n) => n.name === o.node || String(n.id) === o.node).map((n) => n.id));
      rows = rows.filter((p) => ids.has(p.nodeId));
      if (ids.size === 0) {
        q.destroyPwThread();
        const e = new Error(`no node named or numbered ${JSON.stringify(o.node)}`);
        e.exitCode = 1;
        throw e;
      }
    }
    q.destroyPwThread();
    print(rows, ['id', 'nodeId', 'name', 'direction'], o.json);
  },

  links(argv) {
    const o = parse(argv, { json: 'flag' });
    if (o._.length) throw new UsageError(`unexpected argument ${o._[0]}`);
    connect();
    const rows = q.getLinks();
    q.destroyPwThread();
    print(rows, ['id', 'srcNodeName', 'srcPortId', 'sinkNodeName', 'sinkPortId', 'format'], o.json);
  },

  async monitor(argv) {
    const o = parse(argv, { json: 'flag' });
    if (o._.length) throw new UsageError(`unexpected argument ${o._[0]}`);
    const say = (event, payload) => {
      if (o.json) console.log(JSON.stringify({ event, ...(typeof payload === 'number' ? { id: payload } : payload) }));
      else if (typeof payload === 'number') console.log(`${event} ${payload}`);
      else if (event === 'node-created') console.log(`${event} ${payload.id} ${JSON.stringify(payload.name)} ${payload.type}`);
      else console.log(`${event} ${payload.id} ${payload.srcNodeId}:${payload.srcPortId} -> ${payload.sinkNodeId}:${payload.sinkPortId}`);
    };
    for (const event of ['node-created', 'node-destroyed', 'link-created', 'link-destroyed']) {
      q.on(event, (payload) => say(event, payload));
    }
    connect();
    await untilInterrupted(() => q.destroyPwThread());
  },

  wait(argv) {
    const o = parse(argv, { direction: 'value', timeout: 'value' });
    if (o._.length !== 1) throw new UsageError('wait needs exactly one NAME');
    if (o.direction !== undefined && !['Input', 'Output'].includes(o.direction)) {
      throw new UsageError('--direction must be Input or Output');
    }
    const timeout = o.timeout === undefined ? 5000 : intArg(o.timeout, '--timeout');
    connect();
    const r = q.waitForNewNode(o._[0], o.direction, timeout);
    q.destroyPwThread();
    if (!r.found) {
      console.error(`no node named ${JSON.stringify(o._[0])} within ${timeout} ms`);
      return 1;
    }
    console.log(r.id);
  },

  async link(argv) {
    const o = parse(argv, { from: 'value', to: 'value' });
    const byName = o.from !== undefined || o.to !== undefined;
    if (byName && (o.from === undefined || o.to === undefined || o._.length)) {
      throw new UsageError('link --from NODE_NAME --to SINK_ID');
    }
    if (!byName && o._.length !== 2) throw new UsageError('link needs OUT_PORT IN_PORT, or --from and --to');
    const [out, inp] = byName ? [] : [intArg(o._[0], 'OUT_PORT'), intArg(o._[1], 'IN_PORT')];
    const sink = byName ? intArg(o.to, '--to') : 0;
    let destroyed = 0;
    let existing = new Set();
    q.on('link-created', (l) => {
      // Only the links made here are reported, not the ones already there.
      if (!existing.has(l.id)) console.log(`link-created ${l.id} ${l.srcNodeId}:${l.srcPortId} -> ${l.sinkNodeId}:${l.sinkPortId}`);
    });
    q.on('link-destroyed', (id) => {
      destroyed++;
      console.log(`link-destroyed ${id}`);
    });
    connect();
    existing = new Set(q.getLinks().map((l) => l.id));
    let requested;
    try {
      requested = byName ? q.linkNodesNameToId(o.from, sink) : (q.linkPorts(out, inp), 1);
    } catch (e) {
      q.destroyPwThread();
      e.exitCode = 1;
      throw e;
    }
    console.log(`requested ${requested} link(s); holding them until interrupted`);
    await untilInterrupted(async () => {
      if (byName) {
        const queued = q.unlinkNodesNameToId(o.from, sink);
        await settle(() => destroyed, queued, 2000);
      }
      // Closing the connection removes whatever links it still holds.
      q.destroyPwThread();
    });
  },

  async unlink(argv) {
    const o = parse(argv, { from: 'value', to: 'value' });
    if (o.from === undefined || o.to === undefined || o._.length) throw new UsageError('unlink --from NODE_NAME --to SINK_ID');
    const sink = intArg(o.to, '--to');
    let destroyed = 0;
    q.on('link-destroyed', (id) => {
      destroyed++;
      console.log(`link-destroyed ${id}`);
    });
    connect();
    const queued = q.unlinkNodesNameToId(o.from, sink);
    if (queued === 0) {
      q.destroyPwThread();
      console.error(`no links from ${JSON.stringify(o.from)} to node ${sink}`);
      return 1;
    }
    console.log(`removing ${queued} link(s)`);
    await settle(() => destroyed, queued, 5000);
    q.destroyPwThread();
  },
};

async function main(argv) {
  const [command, ...rest] = argv;
  if (!command || command === '--help' || command === '-h' || command === 'help') {
    console.log(HELP.main);
    return command ? 0 : 2;
  }
  if (!commands[command]) throw new UsageError(`unknown command ${JSON.stringify(command)}`);
  if (rest.includes('--help') || rest.includes('-h')) {
    console.log(HELP[command]);
    return 0;
  }
  return (await commands[command](rest)) ?? 0;
}

main(process.argv.slice(2)).then(
  (code) => {
    process.exitCode = code;
  },
  (e) => {
    if (e instanceof UsageError) {
      console.error(`quorvane: ${e.message}\n(run "quorvane --help" for usage)`);
      process.exitCode = 2;
    } else {
      console.error(`quorvane: ${e.message}`);
      process.exitCode = e.exitCode ?? 1;
    }
  },
);
