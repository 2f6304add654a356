'use strict';
// The layers call only downward, and nothing depends on itself round a circle: in lib/, core → connection →
// features → graph → protocol → the faces (pictures, web, mqtt; the command line above them all), no face
// reaching into another but the command line; in src/, core → connection → features → bindings. Every require
// and #include counts, lazy ones too.
const test = require('node:test');
const assert = require('node:assert/strict');
const fs = require('node:fs');
const path = require('node:path');

const ROOT = path.join(__dirname, '..');
const LIB_RANKS = { core: 0, connection: 1, features: 2, graph: 3, protocol: 4, pictures: 5, web: 5, mqtt: 5, cli: 6 };
const SRC_RANKS = { core: 0, connection: 1, features: 2, bindings: 3 };

const walk = (dir, ext) => fs.readdirSync(dir, { recursive: true }).map((f) => path.join(dir, f))
  .filter((p) => ext.some((x) => p.endsWith(x)) && fs.statSync(p).isFile());

// file → the files of the tree it names.
const dependencies = (files, pattern, resolve) => new Map(files.map((file) => [file,
  [...fs.readFileSync(file, 'utf8').matchAll(pattern)].map((m) => resolve(file, m[1]))
    .filter((t) => t && files.includes(t))]));

const jsTarget = (from, spec) => {
  const base = path.resolve(path.dirname(from), spec);
  return [base, `${base}.js`, path.join(base, 'index.js')].find((p) => fs.existsSync(p) && fs.statSync(p).isFile());
};
const cTarget = (from, spec) => path.resolve(path.dirname(from), spec);

// What breaks the order: "from -> to" of each dependency on a higher layer or a sibling.
function violations(edges, top, ranks) {
  const folder = (f) => path.relative(top, f).split(path.sep)[0];
  return [...edges].flatMap(([from, tos]) => tos.filter((to) => {
    const [a, b] = [folder(from), folder(to)];
    return a !== b && (!(a in ranks) || !(b in ranks) || ranks[b] >= ranks[a]);
  }).map((to) => `${path.relative(ROOT, from)} -> ${path.relative(ROOT, to)}`));
}

// Every circle of dependencies, as the files round it.
function circles(edges) {
  const [state, found] = [new Map(), []];
  const visit = (f, stack) => {
    state.set(f, 'open');
    for (const d of edges.get(f) ?? []) {
      if (state.get(d) === 'open') found.push([...stack.slice(stack.indexOf(d)), d].map((x) => path.relative(ROOT, x)).join(' -> '));
      else if (!state.has(d)) visit(d, [...stack, d]);
    }
    state.set(f, 'done');
  };
  for (const f of edges.keys()) if (!state.has(f)) visit(f, [f]);
  return found;
}

test('lib/ and src/ depend only downward, with no circle', () => {
  const [lib, src] = [path.join(ROOT, 'lib'), path.join(ROOT, 'src')];
  const js = dependencies(walk(lib, ['.js']), /require\(\s*['"](\.{1,2}\/[^'"]+)['"]\s*\)/g, jsTarget);
  const native = dependencies(walk(src, ['.cpp', '.h']), /^#include "([^"]+)"/gm, cTarget);
  assert.deepEqual([...violations(js, lib, LIB_RANKS), ...violations(native, src, SRC_RANKS)], []);
  assert.deepEqual([...circles(js), ...circles(native)], []);
});

// The benchmarks and scripts run by hand, seldom: a name they take from a helper or from lib/ that was renamed or
// dropped would otherwise be found only by the next person who runs them.
test('every name bench/ and scripts/ take from a module of the tree is exported by it', () => {
  const files = ['bench', 'scripts'].flatMap((d) => walk(path.join(ROOT, d), ['.js']));
  const missing = files.flatMap((file) => [...fs.readFileSync(file, 'utf8').matchAll(/const \{([^}]+)\} = require\('(\.{1,2}\/[^']+)'\)/g)]
    .flatMap(([, names, spec]) => {
      const exported = require(jsTarget(file, spec));
      return names.split(',').map((n) => n.split(':')[0].trim()).filter((n) => n && !(n in exported))
        .map((n) => `${path.relative(ROOT, file)}: ${n} from ${spec}`);
    }));
  assert.ok(files.length > 5, 'the benchmarks are where this test looks');
  assert.deepEqual(missing, []);
});
