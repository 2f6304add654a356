'use strict';
// The layers call only downward, and nothing depends on itself round a
// circle: in lib/, core → connection → features → graph → protocol → the
// faces (pictures, web, mqtt; the command line above them all), no face
// reaching into another but the command line; in src/, core → connection →
// features → bindings. Every require and #include counts, lazy ones too.
const test = require('node:test');
const assert = require('node:assert/strict');
const fs = require('node:fs');
const path = require('node:path');

const ROOT = path.join(__dirname, '..');
const LIB_RANKS = { core: 0, connection: 1, features: 2, graph: 3, protocol: 4, pictures: 5, web: 5, mqtt: 5, cli: 6 };
const SRC_RANKS = { core: 0, connection: 1, features: 2, bindings: 3 };

const walk = (dir, ext) => fs.readdirSync(dir, { withFileTypes: true }).flatMap((e) => {
  const p = path.join(dir, e.name);
  return e.isDirectory() ? walk(p, ext) : ext.some((x) => p.endsWith(x)) ? [p] : [];
});

// file → the files of the tree it names.
function dependencies(files, pattern, resolve) {
  const edges = new Map();
  for (const file of files) {
    const text = fs.readFileSync(file, 'utf8');
    edges.set(file, [...text.matchAll(pattern)].map((m) => resolve(file, m[1])).filter((t) => t && files.includes(t)));
  }
  return edges;
}

const jsTarget = (from, spec) => {
  const base = path.resolve(path.dirname(from), spec);
  return [base, `${base}.js`, path.join(base, 'index.js')].find((p) => fs.existsSync(p) && fs.statSync(p).isFile());
};
const cTarget = (from, spec) => path.resolve(path.dirname(from), spec);

// What breaks the order: [from, to] of each dependency on a higher layer or a sibling.
function violations(edges, top, ranks) {
  const folder = (f) => path.relative(top, f).split(path.sep)[0];
  const bad = [];
  for (const [from, tos] of edges) {
    for (const to of tos) {
      const [a, b] = [folder(from), folder(to)];
      if (a === b) continue;
      if (!(a in ranks) || !(b in ranks) || ranks[b] >= ranks[a]) bad.push(`${path.relative(ROOT, from)} -> ${path.relative(ROOT, to)}`);
    }
  }
  return bad;
}

// Every circle of dependencies, as the files round it.
function circles(edges) {
  const state = new Map();
  const found = [];
  const visit = (f, stack) => {
    state.set(f, 'open');
    stack.push(f);
    for (const d of edges.get(f) ?? []) {
      if (state.get(d) === 'open') found.push([...stack.slice(stack.indexOf(d)), d].map((x) => path.relative(ROOT, x)).join(' -> '));
      else if (!state.has(d)) visit(d, stack);
    }
    stack.pop();
    state.set(f, 'done');
  };
  for (const f of edges.keys()) if (!state.has(f)) visit(f, []);
  return found;
}

// "a -> b 3" per pair of layers, for the record.
const summary = (edges, top) => {
  const counts = new Map();
  for (const [from, tos] of edges) for (const to of tos) {
    const key = `${path.relative(top, from).split(path.sep)[0]} -> ${path.relative(top, to).split(path.sep)[0]}`;
    counts.set(key, (counts.get(key) ?? 0) + 1);
  }
  return [...counts].sort().map(([k, n]) => `${k} ${n}`).join(', ');
};

test('lib/ and src/ depend only downward, with no circle', (t) => {
  const lib = path.join(ROOT, 'lib');
  const js = dependencies(walk(lib, ['.js']), /require\(\s*['"](\.{1,2}\/[^'"]+)['"]\s*\)/g, jsTarget);
  const src = path.join(ROOT, 'src');
  const native = dependencies(walk(src, ['.cpp', '.h']), /^#include "([^"]+)"/gm, cTarget);
  t.diagnostic(`lib: ${summary(js, lib)}`);
  t.diagnostic(`src: ${summary(native, src)}`);
  assert.deepEqual(violations(js, lib, LIB_RANKS), []);
  assert.deepEqual(violations(native, src, SRC_RANKS), []);
  assert.deepEqual([...circles(js), ...circles(native)], []);
});
