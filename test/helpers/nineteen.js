'use strict';
// Runs test/direct/nineteen.js (it requires the shared object alone) against a daemon and checks its
// report: export order, argument errors, results before, during and after a connection, the four events.
const assert = require('node:assert/strict');
const { spawn } = require('node:child_process');
const path = require('node:path');
const { Fixture, pwDump } = require('./fixture');

const SCRIPT = path.join(__dirname, '..', 'direct', 'nineteen.js');
const NINETEEN = ['createPwThread', 'destroyPwThread', 'getNodes', 'getPorts', 'getLinks', 'getOutputNodes', 'getInputNodes',
  'getInputNodesName', 'getOutputNodesName', 'linkPorts', 'unlinkPorts', 'linkNodesNameToId', 'unlinkNodesNameToId', 'waitForNewNode',
  'getLinkFormat', 'getLinkStats', 'getLinkState', 'on', 'off'];
// What each function's TypeError says after "NAME requires " (also test/fuzz.test.js).
const [PORTS, BY_NAME, LINK] = ['two port IDs (outputPortId, inputPortId)', '(srcNodeName, dstNodeId)', 'a link ID'];
const REQUIRES = { linkPorts: PORTS, unlinkPorts: PORTS, linkNodesNameToId: BY_NAME, unlinkNodesNameToId: BY_NAME,
  getLinkFormat: LINK, getLinkStats: LINK, getLinkState: LINK, on: '(eventName, callback)', off: '(eventName)' };
const TYPE_ERRORS = ['linkPorts', 'linkPorts', 'unlinkPorts', 'linkNodesNameToId', 'unlinkNodesNameToId',
  'getLinkFormat', 'getLinkStats', 'getLinkState', 'on', 'on', 'off', 'off']
  .map((n) => ['TypeError', `${n} requires ${REQUIRES[n]}`]);
const NOT_CONNECTED = ['Error', 'PipeWire not connected'];
const EMPTY = { nodes: [], ports: [], links: [], inputs: [], outputs: [], inputNames: [], outputNames: [] };

// The classification by media class: substrings, as the module's contract gives it (Stream/Output: both).
const sides = (c) => [/Stream\/Output|Duplex|Source|Input/.test(c), /Duplex|Sink|Output/.test(c)];

// Runs `program [...args] SCRIPT file` (another Node.js, or one under qemu) against the daemon of `env`;
// resolves once it has ended, its report checked. Makes and removes its own fixture nodes.
async function checkNineteen(file, env, { program = process.execPath, args = [], timeoutMs = 60000 } = {}) {
  const fixture = new Fixture(env);
  try {
    const plan = {
      source: await fixture.add('nineteen-source', 'Audio/Source', 0, 2),
      sink: await fixture.add('nineteen-sink', 'Audio/Sink', 2, 0),
      gone: await fixture.add('nineteen-gone', 'Audio/Duplex', 1, 1),
    };
    await fixture.add('nineteen-classless', null, 0, 1);
    const child = spawn(program, [...args, SCRIPT, file, JSON.stringify(plan)], { env, stdio: ['ignore', 'pipe', 'pipe', 'ipc'], timeout: timeoutMs, killSignal: 'SIGKILL' });
    let [stderr, result, dump] = ['', null, null];
    child.stderr.on('data', (d) => (stderr += d));
    child.on('message', async (m) => {
      if (m.remove === undefined) return (result = m);
      dump = pwDump(env); // the graph the script saw connected, its links gone
      await fixture.remove(m.remove);
      child.send({});
    });
    const [code, signal] = await new Promise((resolve) => child.on('close', (...end) => resolve(end)));
    assert.ok(result?.report, `the script (${file}) ended with ${code ?? signal} and no report: ${result?.error ?? ''}\n${stderr}`);
    check(result.report, plan, dump);
    assert.deepEqual([code, stderr], [0, ''], 'the script ends by itself, quietly, once disconnected');
  } finally {
    await fixture.close();
  }
}

function check(r, { source, sink, gone }, dump) {
  assert.deepEqual(r.exports, NINETEEN, 'the nineteen, first and in order');
  assert.deepEqual(r.typeErrors, TYPE_ERRORS);
  assert.deepEqual(r.before, { ...EMPTY, wait: [['found', false]], refused: Array(4).fill(NOT_CONNECTED),
    inspection: [[['linkId', 2 ** 32 - 1], ['format', 'unknown']], [['linkId', 12], ['bytes', 0], ['drops', 0], ['rate', 0]], 'undefined'] });
  assert.deepEqual([r.started, r.linkPorts, r.linkNodes, r.stopped], [true, 0, 2, true]);

  // The mirror as pw-dump shows the daemon's graph; each record's keys in order.
  const of = (type) => dump.filter((o) => o.type === `PipeWire:Interface:${type}`).map((o) => ({ id: o.id, props: o.info?.props ?? {} }));
  const nodes = of('Node').map(({ id, props }) => [['id', id], ['name', props['node.name'] ?? ''],
    ['type', props['media.class'] ?? ''], ['version', 3], ['inputPorts', 0], ['outputPorts', 0],
    ...sides(props['media.class']).map((v, i) => [['isInput', 'isOutput'][i], v])]);
  const byId = (list) => [...list].sort((a, b) => a[0][1] - b[0][1]);
  const c = r.connected;
  assert.deepEqual(byId(c.nodes), byId(nodes));
  assert.deepEqual(byId(c.ports), byId(of('Port').map(({ id, props }) =>
    [['id', id], ['nodeId', Number(props['node.id'])], ['name', props['port.name']], ['direction', props['port.direction'] === 'in' ? 1 : 0], ['portType', 0]])));
  assert.deepEqual(c.links, []);
  const short = (n) => n.filter(([k]) => !['version', 'inputPorts', 'outputPorts'].includes(k));
  const side = (i) => c.nodes.filter((n) => n[6 + i][1]);
  assert.deepEqual([c.inputs, c.outputs, c.inputNames, c.outputNames], [side(0).map(short), side(1).map(short), side(0).map((n) => n[1][1]), side(1).map((n) => n[1][1])]);
  assert.ok(c.nodes.some((n) => n[1][1] === 'nineteen-classless' && n[2][1] === '' && !n[6][1] && !n[7][1]), 'a node without a class is on neither side');
  assert.deepEqual(r.waits, [[['found', true], ['id', source.id], ['name', source.name]], [['found', false]], [['found', false]]]);

  const link = (id, o, i, format) => [['id', id], ['srcNodeId', source.id], ['srcPortId', o], ['sinkNodeId', sink.id], ['sinkPortId', i], ['srcNodeName', source.name], ['sinkNodeName', sink.name], ['format', format]];
  const [[out0, out1], [in0, in1]] = [source.outputs, sink.inputs];
  const id = r.byPorts.listed[0]?.[0][1];
  assert.deepEqual(r.byPorts, { listed: [link(id, out0, in0, 'unknown')], unlinked: false, removed: 1,
    inspection: [[['linkId', id], ['format', 'unknown']], [['linkId', id], ['bytes', 0], ['drops', 0], ['rate', 0]], [['linkId', id], ['state', 'active'], ['srcNode', source.name], ['sinkNode', sink.name]]],
    refused: [['Error', 'Could not find matching ports or nodes'], ['Error', 'Could not find matching ports or nodes'], ['Error', 'Could not find matching ports']] });
  const [first, second] = r.byName.listed.map((l) => l[0][1]);
  assert.deepEqual(r.byName, { listed: [link(first, out0, in0, 'dynamic'), link(second, out1, in1, 'dynamic')],
    formats: [[['linkId', first], ['format', 'dynamic']], [['linkId', second], ['format', 'dynamic']]], unlinked: [true, 1, 0], after: [true, false] });

  assert.deepEqual(r.after, { ...EMPTY, refused: [NOT_CONNECTED, NOT_CONNECTED] });
  // The events: every node there was as it connected, in the payloads' own key order, numbers for removals; a
  // listener of a name that is no event never called.
  const e = r.events;
  assert.deepEqual(byId(e['node-created']), byId(c.nodes.map((n) => n.slice(0, 3))));
  assert.deepEqual([e['node-destroyed'], e['link-destroyed']], [[gone.id], [id, first, second]]);
  assert.deepEqual(e['link-created'], [link(id, out0, in0), link(first, out0, in0), link(second, out1, in1)].map((l) => l.slice(0, 5)));
}

module.exports = { checkNineteen, REQUIRES };
