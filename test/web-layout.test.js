'use strict';
// The web page's layout (lib/web/page/layout.js) on its own, without a browser.
const test = require('node:test');
const assert = require('node:assert/strict');
const { Layout, layersOf, crossings, SOURCE, MIDDLE, SINK, LAST, IDLE } = require('../lib/web/page/layout');

const W = 240;
const box = (ports) => 38 + ports * 18 + 5; // as the page draws a node with `ports` rows

// A desktop-like graph of `n` nodes of every kind, linked as people link them; the same every run.
function desktop(n) {
  let seed = n;
  const rand = (k) => ((seed = (seed * 1103515245 + 12345) % 2 ** 31), seed % k);
  const kinds = [['stream', SOURCE, 2], ['source', SOURCE, 2], ['sink', SINK, 2], ['vsource', SOURCE, 2], ['duplex', MIDDLE, 2], ['recorder', SINK, 2]];
  const items = new Map();
  const of = new Map(kinds.map(([k]) => [k, []]));
  for (let id = 1; id <= n; id++) {
    const [kind, side, ports] = kinds[id % kinds.length];
    items.set(id, { h: box(ports), hidden: false, side, rank: id, kind });
    of.get(kind).push(id);
  }
  const pick = (kind) => of.get(kind)[rand(of.get(kind).length)];
  const edges = [];
  for (const s of of.get('stream')) {
    const way = rand(4);
    if (way === 0) {
      const d = pick('duplex');
      edges.push([s, d], [d, pick('sink')]);
    } else edges.push([s, way === 1 ? pick('vsource') : pick('sink')]);
  }
  for (const v of of.get('vsource').slice(0, n / 12)) edges.push([v, pick('recorder')]);
  for (const k of of.get('sink').slice(0, n / 20)) edges.push([k, pick('recorder')]); // a monitor recorded
  return { items, edges };
}

// Every pair of shown boxes apart, by a sweep along x (boxes are W wide).
function overlaps(items, at, pinned = []) {
  const boxes = [...at].filter(([id]) => !items.get(id).hidden).map(([id, [x, y]]) => ({ id, x, y, h: items.get(id).h }))
    .concat(pinned.map((p, i) => ({ id: `pinned ${i}`, ...p }))).sort((a, b) => a.x - b.x);
  const over = (a, b) => b.x < a.x + W && a.y < b.y + b.h && b.y < a.y + a.h; // b not left of a: sorted
  return boxes.flatMap((a, i) => boxes.slice(i + 1).filter((b) => over(a, b)).map((b) => `${a.id} and ${b.id}`));
}

// The links whose source box is not wholly left of its target's.
const backwards = (at, edges) => edges.filter(([a, b]) => at.has(a) && at.has(b) && !(at.get(a)[0] + W < at.get(b)[0]));

function checkPicture(layout, items, edges, at, what, pinned = []) {
  assert.deepEqual([...items.keys()].filter((id) => !at.has(id)), [], `${what}: every node placed`);
  assert.deepEqual(overlaps(items, at, pinned), [], `${what}: boxes overlap`);
  assert.deepEqual(backwards(at, edges), [], `${what}: links that read right to left`);
  // Columns wrap rather than stack: none taller than the layout's height but by the box that opened it.
  const columns = new Map();
  for (const [id, [x, y]] of at) if (!items.get(id).hidden) columns.set(x, Math.max(columns.get(x) ?? 0, y + items.get(id).h));
  const tall = [...columns].filter(([x, bottom]) => bottom > layout.columnHeight + box(2) && !pinned.length);
  assert.deepEqual(tall, [], `${what}: columns past ${layout.columnHeight} px`);
}

test('at 20, 200 and 1,000 nodes of every kind, no two boxes overlap, links read left to right, columns wrap, through arrangement and change', () => {
  for (const n of [20, 200, 1000]) {
    const { items, edges } = desktop(n);
    const layout = new Layout();
    const at = layout.arrange(items, edges, [], 1.4);
    checkPicture(layout, items, edges, at, `${n} nodes arranged`);
    // The whole is about as wide as the area (no column of 1,000 boxes).
    const [xs, ys] = [[...at.values()].map(([x]) => x), [...at].map(([id, [, y]]) => y + items.get(id).h)];
    const aspect = (Math.max(...xs) - Math.min(...xs) + W) / Math.max(...ys);
    if (n >= 200) assert.ok(aspect > 0.5 && aspect < 4, `${n} nodes: width / height ${aspect.toFixed(2)}`);
    // A duplex node between the nodes it links: after what feeds it, before what it feeds.
    assert.ok([...items].some(([id, it]) => it.kind === 'duplex' && edges.some(([a]) => a === id) && edges.some(([, b]) => b === id)));

    // New nodes go at the bottom of their layers; nodes go, links come, a filter hides some.
    let next = n + 1;
    const before = new Map(at);
    for (const side of [SOURCE, MIDDLE, SINK]) items.set(next++, { h: box(2), hidden: false, side, rank: next });
    let now = layout.update(items, edges);
    checkPicture(layout, items, edges, now, `${n} nodes and three new ones`);
    assert.deepEqual([...before].filter(([id, p]) => String(now.get(id)) !== String(p)).map(([id]) => id), [], 'a new node moves no other');
    for (const id of [...items.keys()].filter((id) => id % 7 === 0)) items.delete(id);
    const kept = edges.filter(([a, b]) => items.has(a) && items.has(b));
    const sinks = [...items].filter(([, it]) => it.kind === 'sink').map(([id]) => id);
    const dup = [...items].filter(([id, it]) => it.kind === 'duplex' && !kept.some(([a]) => a === id)).map(([id]) => id); // no loop made
    for (let i = 0; i < Math.min(sinks.length, dup.length, n / 10); i++) kept.push([sinks[i], dup[i]]);
    for (const [id, it] of items) it.hidden = id % 5 === 0;
    now = layout.update(items, kept);
    checkPicture(layout, items, kept, now, `${n} nodes after removals, new links and a filter`);
    for (const it of items.values()) it.hidden = false;
    checkPicture(layout, items, kept, layout.update(items, kept), `${n} nodes shown again`);
  }
});

test('the layers follow the links: a node both fed and feeding goes between what it links, a cycle ends, one with no link lies across none', () => {
  const items = new Map([1, 2, 3, 4, 5, 6, 7].map((id) => [id, { h: box(2), hidden: false, side: id === 7 ? MIDDLE : SINK, rank: id }]));
  // 1 -> 2 -> 3 -> 4 (2 and 3 "sinks" by class with monitors), 5 <-> 6 a loop fed by 1, 7 alone (duplex).
  const edges = [[1, 2], [2, 3], [3, 4], [1, 5], [5, 6], [6, 5], [6, 4]];
  const layers = layersOf(items, edges);
  assert.deepEqual([...layers].sort((a, b) => a[0] - b[0]), [[1, 0], [2, 1], [3, 2], [4, LAST], [5, 1], [6, 2], [7, IDLE]]);
  const at = new Layout().arrange(items, edges);
  assert.deepEqual(overlaps(items, at), []);
  assert.deepEqual(backwards(at, edges).map(String), ['6,5'], 'only the link that closes the loop reads backwards');
});

test('crossings are reduced: streams linked to sinks in the opposite order of their names cross none', () => {
  const items = new Map();
  const edges = [];
  for (let i = 0; i < 12; i++) {
    items.set(i + 1, { h: box(2), hidden: false, side: SOURCE, rank: i });
    items.set(i + 101, { h: box(2), hidden: false, side: SINK, rank: i });
    edges.push([i + 1, 112 - i]);
  }
  assert.equal(crossings(new Layout().arrange(items, edges), edges), 0, 'no two links cross');
  // The count itself: by name order, every pair crosses.
  const byName = new Map([...items].map(([id, it]) => [id, [it.side, it.rank]]));
  assert.equal(crossings(byName, edges), (12 * 11) / 2);
});

test('boxes a person put somewhere are kept clear of, and a column they fill wraps', () => {
  const { items, edges } = desktop(200);
  const layout = new Layout();
  const first = layout.arrange(items, edges);
  // Two boxes dropped over the sinks' first column, one over the sources'.
  const sinkX = Math.min(...[...first].filter(([id]) => items.get(id).side === SINK && !edges.some(([a]) => a === id)).map(([, [x]]) => x));
  const pinned = [{ x: sinkX + 30, y: 100, h: 300 }, { x: sinkX - 20, y: 900, h: 120 }, { x: -10, y: 0, h: box(4) }];
  const at = layout.update(items, edges, pinned);
  checkPicture(layout, items, edges, at, 'with pinned boxes', pinned);
});
