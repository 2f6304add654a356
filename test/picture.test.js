'use strict';
// `quorvane dot` and `svg` read by Graphviz and drawn by Chromium: every name pw-dump shows, apart.
const test = require('node:test');
const assert = require('node:assert/strict');
const fs = require('node:fs');
const path = require('node:path');
const { spawnSync } = require('node:child_process');
const { pwDump } = require('./helpers/fixture');
const { cli } = require('./helpers/child');
const { privateDaemon } = require('./helpers/setup');
const { buildScene } = require('./helpers/scene');
const chromium = require('./helpers/chromium');
const { scratch } = require('./helpers/cli');

const tmp = scratch('quorvane-picture-');
let daemonView; // pw-dump's nodes, ports and links
// Names as applications set them: markup, quotes, a line separator, non-Latin text.
const AWKWARD = 'a <b>"quoted"</b> & \'odd\'\u2028name — 日本語';
const { fixture } = privateDaemon({ objects: [] }, { graph: scene });

async function scene(graph) {
  await buildScene(fixture, graph);
  const awkward = await fixture.add(AWKWARD, 'Stream/Output/Audio', 0, 'FL');
  // A feedback loop fed by that node: a cycle the layout must not run away with.
  const a = await fixture.add('loop-a', 'Audio/Duplex', 2, 1);
  const b = await fixture.add('loop-b', 'Audio/Duplex', 1, 1);
  await fixture.link([[awkward.outputs[0], a.inputs[0]], [a.outputs[0], b.inputs[0]], [b.outputs[0], a.inputs[1]]]);
  const byType = (t) => pwDump().filter((o) => o.type === `PipeWire:Interface:${t}`);
  daemonView = { nodes: byType('Node'), ports: byType('Port'), links: byType('Link') };
  assert.ok(daemonView.links.length >= 25);
}

// Graphviz's HTML-like label text for a name.
const html = (s) => s.replace(/[&<>"]/g, (c) => ({ '&': '&amp;', '<': '&lt;', '>': '&gt;', '"': '&quot;' })[c]);

test('quorvane dot names every node, port and link pw-dump shows', () => {
  for (const all of [false, true]) {
    const parsed = spawnSync('dot', ['-Tjson0'], { input: cli('dot', ...(all ? ['--all'] : [])).stdout, encoding: 'utf8', maxBuffer: 1 << 26 });
    assert.equal(parsed.status, 0, parsed.stderr);
    const { objects, edges = [] } = JSON.parse(parsed.stdout);
    const label = new Map(objects.map((o) => [o.name, o.label]));
    for (const n of daemonView.nodes) {
      assert.ok(label.get(`n${n.id}`)?.includes(`<B>${html(n.info.props['node.name'])}</B>`), `node ${n.id}`);
      if (all) assert.ok(label.get(`n${n.id}`).includes(`object.serial = ${n.info.props['object.serial']}<BR`));
    }
    for (const p of daemonView.ports) assert.match(label.get(`n${p.info.props['node.id']}`), new RegExp(`<TD PORT="p${p.id}"[^>]*>${html(p.info.props['port.name'])}(<|$)`), `port ${p.id}`);
    assert.deepEqual(edges.map((e) => [e.id, objects[e.tail].name, e.tailport, objects[e.head].name, e.headport]).sort(), daemonView.links.map((l) =>
      [`link-${l.id}`, `n${l.info['output-node-id']}`, `p${l.info['output-port-id']}:e`, `n${l.info['input-node-id']}`, `p${l.info['input-port-id']}:w`]).sort());
    for (const l of all ? daemonView.links : []) assert.match(edges.find((e) => e.id === `link-${l.id}`).label, new RegExp(`link\\.output\\.port = ${l.info['output-port-id']}<BR`));
  }
});

// In the page, for every <svg>: the expected names not drawn, the node boxes that overlap, the links drawn.
function inspect(expected) {
  const report = [...document.querySelectorAll('svg')].map((svg) => {
    const boxes = [...svg.querySelectorAll('g.node')].map((g) => ({ g, r: g.querySelector('rect.box').getBoundingClientRect() }));
    const overlaps = boxes.flatMap(({ g, r: a }, i) => boxes.slice(i + 1)
      .filter(({ r: b }) => a.left < b.right && b.left < a.right && a.top < b.bottom && b.top < a.bottom).map((other) => [g.id, other.g.id]));
    const missing = expected.flatMap(({ id, names }) => {
      const texts = [...svg.querySelectorAll(`#node-${id} text`)];
      return names.filter((name) => !(texts.find((x) => x.textContent === name)?.getComputedTextLength() > 0)).map((name) => `${id}:${name}`);
    });
    const links = [...svg.querySelectorAll('path.link')].filter((p) => p.getTotalLength() > 0).map((p) => p.id);
    return { nodes: boxes.length, overlaps, missing, links };
  });
  document.getElementById('result').textContent = JSON.stringify(report);
}

test('quorvane svg shows every name in boxes that do not overlap', { skip: !chromium.available() && 'no chromium' }, () => {
  const file = path.join(tmp, 'graph.svg');
  assert.equal(cli('svg', '--output', file).status, 0);
  const svg = fs.readFileSync(file, 'utf8');
  // A control the check must catch: the same picture with one box moved onto another.
  let moved = 0;
  const broken = svg.replace(/(<g class="node" id="node-\d+" transform=")translate\([^)]*\)/g, (m, head) => (moved++ < 2 ? `${head}translate(0,0)` : m));
  const expected = daemonView.nodes.map((n) => ({ id: n.id,
    names: [n.info.props['node.name'], ...daemonView.ports.filter((p) => p.info.props['node.id'] === n.id).map((p) => p.info.props['port.name'])] }));
  const json = JSON.stringify(expected).replace(/</g, '\\u003c').replace(/\u2028/g, '\\u2028');
  const page = path.join(tmp, 'page.html');
  fs.writeFileSync(page, `<!doctype html><meta charset="utf-8"><body>${svg}${broken}<pre id="result">not run</pre><script>(${inspect})(${json});</script></body>`);
  const dom = chromium.dumpDom(page);
  const [, found] = /<pre id="result">([^<]*)<\/pre>/.exec(dom) ?? assert.fail(dom.slice(-500));
  const [real, control] = JSON.parse(found.replace(/&quot;/g, '"').replace(/&lt;/g, '<').replace(/&gt;/g, '>').replace(/&amp;/g, '&'));
  assert.deepEqual({ ...real, links: real.links.sort() },
    { nodes: daemonView.nodes.length, overlaps: [], missing: [], links: daemonView.links.map((l) => `link-${l.id}`).sort() });
  assert.equal(control.overlaps.length, 1, 'the check sees overlapping boxes');
  assert.ok(Number(/width="(\d+)"/.exec(svg)[1]) < 2000, 'as many columns as the graph needs');
  assert.doesNotMatch(svg, /(href|src)=/, 'self-contained');
});
