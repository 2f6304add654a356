'use strict';
// Drives the pw-fixture client (test/fixtures/pw-fixture.cpp): nodes with
// chosen names, media classes and port counts, created and removed on demand.
const { spawn, spawnSync } = require('node:child_process');
const { once } = require('node:events');
const path = require('node:path');
const readline = require('node:readline');

const BIN_DIR = path.join(__dirname, '..', '..', 'build-native');

/** A fixture program `name` of build-native/: lines of tab-separated fields in, a JSON line out for each. */
class FixtureProcess {
  constructor(name, env = process.env) {
    this.proc = spawn(path.join(BIN_DIR, name), [], { env, stdio: ['pipe', 'pipe', 'inherit'] });
    this.name = name;
    this.waiting = [];
    this.exited = false;
    readline.createInterface({ input: this.proc.stdout }).on('line', (line) => this.waiting.shift()?.resolve(JSON.parse(line)));
    const gone = (why) => {
      this.exited = true;
      for (const w of this.waiting.splice(0)) w.reject(new Error(`${name} ${why}`));
    };
    this.proc.on('exit', () => gone('exited'));
    // Its input closed (EPIPE) before its exit is reported: the commands
    // waiting, and those after, fail at once instead of waiting for an answer.
    this.proc.stdin.on('error', (e) => gone(`cannot be written to (${e.code ?? e.message})`));
  }

  // Sends the commands (arrays of fields) in one write, so that the fixture
  // runs them together even while JavaScript is busy; resolves to their answers.
  commands(...commands) {
    if (this.exited) return Promise.reject(new Error(`${this.name} exited, or cannot be written to`));
    const answers = commands.map(() => new Promise((resolve, reject) => {
      this.waiting.push({ resolve, reject });
    }));
    this.proc.stdin.write(commands.map((fields) => fields.join('\t') + '\n').join(''));
    return Promise.all(answers);
  }

  async command(...fields) { return (await this.commands(fields))[0]; }

  async close() {
    if (this.exited) return;
    this.proc.stdin.end();
    await once(this.proc, 'exit');
  }
}

class Fixture extends FixtureProcess {
  constructor(env = process.env) { super('pw-fixture', env); }

  /**
   * Resolves to { id, name, inputs: [portIds], outputs: [portIds] } once the fixture's own registry shows them
   * (another client may not have heard them yet: heardBy()); `dsp`: the ports' "format.dsp" (e.g. '8 bit raw midi').
   */
  async add(name, mediaClass, inputs = 0, outputs = 0, dsp = undefined) {
    return { ...(await this.command('add', name, mediaClass ?? '-', inputs, outputs, ...(dsp ? [dsp] : []))), name };
  }

  /** Creates `count` nodes named `${prefix}-${i}` in batches; resolves to their ids. */
  async addMany(count, prefix, mediaClass, inputs = 0, outputs = 0) {
    return (await this.command('add-many', count, prefix, mediaClass ?? '-', inputs, outputs)).ids;
  }

  /** Links held by the fixture client, for [outPort, inPort] pairs; resolves to their ids. */
  async link(pairs) { return (await this.command('link', ...pairs.map(([o, i]) => `${o}:${i}`))).ids; }

  remove(...ids) { return this.command('remove', ...ids); }
  /** Sets properties of one of the fixture's nodes ({ key: value }). */
  setProps(nodeId, props) { return this.command('set-props', nodeId, ...Object.entries(props).map(([k, v]) => `${k}=${v}`)); }
  /** `count` updates of node `nodeId`'s "storm.value" (numbered from 0 across calls), a round trip every few dozen. */
  propsStorm(nodeId, count) { return this.command('props-storm', nodeId, count); }
  sync() { return this.command('sync'); }
  /** A metadata object named `name` ("default": as a session manager keeps it), held until close(). */
  addMetadata(name) { return this.command('metadata', name); }
}

/** Polls `condition` every `intervalMs` (letting the event loop run) until it is truthy; rejects after `timeoutMs`. */
// `what` names the condition in the time-out's message: a text, or a function
// giving one then (the state that did not come).
async function waitFor(condition, timeoutMs = 5000, what = 'condition', intervalMs = 5) {
  const end = performance.now() + timeoutMs;
  for (;;) {
    const value = await condition(); // an async condition's Promise is not the answer
    if (value) return value;
    if (performance.now() > end) throw new Error(`timed out waiting for ${typeof what === 'function' ? what() : what}`);
    await new Promise((r) => setTimeout(r, intervalMs));
  }
}

// Resolves to the fixture node `node` (from add()) once `graph`, a client of its own, has heard it and all
// its ports. Ids come round again at once: the Graph may hold an older node of that id: the name is checked.
async function heardBy(graph, node) {
  await graph.waitForNode((n) => n.id === node.id && n.name === node.name);
  const count = node.inputs.length + node.outputs.length;
  if (count > 0) await graph.waitForPorts(node.id, { count });
  return node;
}

/** The daemon's own view, from pw-dump. */
function pwDump(env = process.env) {
  // While the graph changes under it, pw-dump may print an update after its
  // snapshot: the snapshot is the first JSON array.
  const r = spawnSync('pw-dump', [], { env, encoding: 'utf8', timeout: 10000, maxBuffer: 1 << 28 });
  if (r.status !== 0) throw new Error(`pw-dump failed: ${r.stderr}`);
  const end = r.stdout.search(/^\]$/m);
  return JSON.parse(end < 0 ? r.stdout : r.stdout.slice(0, end + 1));
}

/** [output, input] port pairs in order. */
const sorted = (pairs) => [...pairs].sort((a, b) => a[0] - b[0] || a[1] - b[1]);

/** `dump` without level meters (a web page's, say): their nodes, ports and links are not the graph shown. */
function withoutMeters(dump) {
  const meters = new Set(dump.filter((o) => o.type === 'PipeWire:Interface:Node' && /^quorvane\.meter\./.test(o.info?.props?.['node.name'])).map((o) => o.id));
  return dump.filter((o) => !meters.has(o.id) && !meters.has(o.info?.['input-node-id']) && !meters.has(Number(o.info?.props?.['node.id'])));
}

/** The daemon's links from any of `outputPorts`, as [output port, input port] pairs. */
function linksFrom(outputPorts, env = process.env) {
  return sorted(withoutMeters(pwDump(env))
    .filter((o) => o.type === 'PipeWire:Interface:Link' && outputPorts.includes(o.info.props['link.output.port']))
    .map((o) => [o.info.props['link.output.port'], o.info.props['link.input.port']]));
}

/** Lines of `pw-link -l -I` (links with ids), for cross-checks. */
function pwLinkList(env = process.env) {
  return spawnSync('pw-link', ['-l', '-I'], { env, encoding: 'utf8', timeout: 10000 }).stdout;
}

/** "OUT -> IN" for every link from `nodeName`'s ports, from `pw-link -l`. */
function pwLinkPairs(nodeName, env = process.env) {
  const pairs = [];
  let out = null;
  for (const line of spawnSync('pw-link', ['-l'], { env, encoding: 'utf8', timeout: 5000 }).stdout.split('\n')) {
    const peer = /^\s+\|->\s+(.*)$/.exec(line);
    if (peer && out) pairs.push(`${out} -> ${peer[1]}`);
    else if (!/^\s/.test(line)) out = line.startsWith(`${nodeName}:`) ? line : null;
  }
  return pairs.sort();
}

/** `pw-metadata -n NAME ARGS...`: its output, or a thrown Error with its standard error. */
function pwMetadata(args, { name = 'default', env = process.env } = {}) {
  const r = spawnSync('pw-metadata', ['-n', name, ...args.map(String)], { env, encoding: 'utf8', timeout: 5000 });
  if (r.status !== 0) throw new Error(`pw-metadata ${args.join(' ')} failed: ${r.stderr}`);
  return r.stdout;
}

// What `emitter` tells as `event`, from now on.
const heard = (emitter, event, all = []) => (emitter.on(event, (x) => all.push(x)), all);

module.exports = {
  FixtureProcess, Fixture, waitFor, heard, heardBy, pwDump, sorted, pwLinkList, pwLinkPairs, linksFrom,
  withoutMeters, pwMetadata,
};
