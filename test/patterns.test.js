'use strict';
// Patterns from outside (rules files, the broker, the command line) are
// LinearRegExps: the same matches as V8's RegExp, in time linear in the text.
const test = require('node:test');
const assert = require('node:assert/strict');
const { LinearRegExp, MAX_COST } = require('../lib/core/linear-regexp');
const { MAX_PATTERN_COST, parseRules } = require('../lib/features/patchbay/rules');
const { checkPattern } = require('../lib/core/arguments');
const { runChild } = require('./helpers/child');

const LINEAR = require.resolve('../lib/core/linear-regexp');
const shown = (m) => m && JSON.stringify([[...m], m.index, m.groups]);

// Patterns of a small grammar (seeded, so that a failure can be run again):
// atoms, sequences, alternatives, groups (named too) and every quantifier.
function* corpus(seed, count) {
  let state = seed;
  const rnd = (n) => ((state = (state * 1103515245 + 12345) & 0x7fffffff), state % n);
  const pick = (list) => list[rnd(list.length)];
  const ATOMS = ['', 'a', 'b', 'A', '.', '-', '[ab]', '[^a]', '[a-c]', '\\d', '\\w', '\\s', '\\.', '\\b', '\\B', '^', '$', 'é', '😀'];
  let named = 0;
  const gen = (d) => {
    const k = rnd(d > 3 ? 3 : 8);
    if (k < 3) return pick(ATOMS);
    if (k === 3) return gen(d + 1) + gen(d + 1);
    if (k === 4) return `${gen(d + 1)}|${gen(d + 1)}`;
    if (k === 5) return `(${gen(d + 1)})`;
    if (k === 6) return rnd(2) ? `(?:${gen(d + 1)})` : `(?<n${named++}>${gen(d + 1)})`;
    let body = gen(d + 1);
    if (body === '' || /[\^$]$|\\[bB]$/.test(body)) body = `(?:${body})`;
    return body + pick(['*', '+', '?', '*?', '+?', '??', '{2}', '{1,3}', '{0,2}?', '{2,}']);
  };
  for (let i = 0; i < count; i++) {
    named = 0;
    const texts = Array.from({ length: 4 }, () => Array.from({ length: rnd(9) }, () => pick(['a', 'b', 'A', ' ', '-', '1', '\n', '.', 'é', 'É', '😀'])).join(''));
    yield { source: gen(0) + gen(0), flags: pick(['', 'i', 'm', 's', 'g', 'y', 'u', 'iu', 'ms']), texts, lastIndex: rnd(3) };
  }
}

test('a LinearRegExp matches as V8 does: the same match, index, captures, named groups and lastIndex', () => {
  let compared = 0;
  for (const { source, flags, texts, lastIndex } of corpus(50, 4000)) {
    const native = (() => { try { return new RegExp(source, flags); } catch { return null; } })();
    if (!native) continue; // V8 refuses it: so does a LinearRegExp (below)
    const linear = new LinearRegExp(source, flags);
    for (const text of texts) {
      native.lastIndex = linear.lastIndex = lastIndex;
      const [a, b] = [native.exec(text), linear.exec(text)];
      assert.equal(shown(b), shown(a), `/${source}/${flags} on ${JSON.stringify(text)}`);
      assert.equal(linear.lastIndex, native.lastIndex, `lastIndex of /${source}/${flags}`);
      compared++;
    }
  }
  assert.ok(compared > 10000, `${compared} texts compared`);
  // A RegExp everywhere one is taken: String's methods, instanceof, its text.
  const re = new LinearRegExp('(?<app>[a-z]+)-(\\d+)', 'g');
  assert.deepEqual([re instanceof RegExp, String(re), 'ff-1 vlc-22'.replace(re, '$<app>:$2')],
    [true, '/(?<app>[a-z]+)-(\\d+)/g', 'ff:1 vlc:22']);
  assert.deepEqual([...'ff-1 vlc-22'.matchAll(re)].map((m) => [m.index, m.groups.app]), [[0, 'ff'], [5, 'vlc']]);
  assert.deepEqual('a, b;c'.split(new LinearRegExp('[,;] ?')), ['a', 'b', 'c']);
  assert.throws(() => new LinearRegExp('(a'), SyntaxError, 'what V8 refuses');
});

test('what a linear-time match cannot do is refused by name; a rules file says where', () => {
  const refusals = [
    [/backreferences/, '(a)\\1', '(?<x>a)\\k<x>'], [/lookahead and lookbehind/, 'a(?=b)', '(?<!a)b'],
    [/octal/, '\\01'], [/nested repetitions of what may match nothing/, '(((a*)*)*)*'],
    [/too large/, 'a{3000}'], [/more than 16 capture groups/, '(a)'.repeat(17)],
    [/groups nested more than 64 deep/, `${'(?:'.repeat(65)}a${')'.repeat(65)}`],
    [/too costly/, `(?:(?:${Array.from({ length: 10 }, () => '(a?)').join('|')}|${'b|'.repeat(600)}c)*)*`],
  ];
  for (const [why, ...list] of refusals) {
    for (const s of list) assert.throws(() => new LinearRegExp(s), { name: 'SyntaxError', message: why }, s);
  }
  assert.throws(() => new LinearRegExp('a', 'v'), /flags v/);
  // The one check of a pattern written as text: "/.../FLAGS" is a LinearRegExp, anything else itself.
  assert.ok(checkPattern('/^alsa_output\\./i', 'route', 'from') instanceof LinearRegExp);
  assert.equal(checkPattern('/usr/bin', 'route', 'from'), '/usr/bin');
  assert.throws(() => checkPattern('/(a)\\1/', 'route', 'from'), /^SyntaxError: route: from: bad regular expression \/\(a\)\\1\/: backreferences/);
  assert.throws(() => checkPattern('', 'route', 'from'), TypeError);
  const file = '{\n  "routes": [\n    { "from": "/^(a+)\\\\1$/", "to": "speakers" }\n  ]\n}';
  assert.throws(() => parseRules(file, 'rules.json'), /^TypeError: rules\.json:3:7: routes\[0\]\.from: bad regular expression .*backreferences/);
  // The rules' patterns together are bounded too, whatever each costs.
  const costly = `(?:(?:(b?)|${'c|'.repeat(500)}d)*)*`;
  const each = new LinearRegExp(costly).cost;
  const count = Math.floor(MAX_PATTERN_COST / each) + 1; // the rule set's bound, passed by the last
  const many = JSON.stringify({ routes: Array.from({ length: count }, () => ({ from: `/${costly}/`, to: 'speakers' })) }, null, 1);
  assert.throws(() => parseRules(many, 'many.json'), (e) => /too costly together/.test(e.message) && e.path === `routes[${count - 1}].from` && e.line > 1);
  assert.ok(parseRules(JSON.stringify({ routes: [{ from: `/${costly}/`, to: 'speakers' }] })).routes[0].from['node.name'] instanceof LinearRegExp);
});

test('a hostile pattern against a name of 60 characters holds the event loop a few milliseconds, not for ever', async () => {
  // In a child, so that a pattern that did backtrack cannot hold this process: each costs its time.
  const script = `
    const { LinearRegExp } = require(${JSON.stringify(LINEAR)});
    const name = 'a'.repeat(60);
    // The last: the costliest a LinearRegExp takes, of this shape.
    const costliest = (n) => '(?:(?:' + '(a?)'.repeat(8) + '|' + Array.from({ length: n }, () => '.').join('|') + ')*)*z';
    let n = 2000;
    while (n > 0 && (() => { try { return !new LinearRegExp(costliest(n)); } catch { return true; } })()) n -= 10;
    const hostile = ['^(a+)+b$', '(a|a)*b', '(a|aa)*c', '^(\\\\w+\\\\s?)*$!', 'a*a*a*a*a*a*a*a*a*a*b', '(.*a){12}b', '^(a?){30}a{30}b', costliest(n)];
    console.log(JSON.stringify(hostile.map((source) => {
      const re = new LinearRegExp(source), t = process.hrtime.bigint(), found = re.test(name);
      return { source: source.slice(0, 30), cost: re.cost, found, ms: Number(process.hrtime.bigint() - t) / 1e6 };
    })));`;
  const r = await runChild(script, { preload: false, timeoutMs: 30000 });
  assert.equal(r.code, 0, `the child ended with ${r.code ?? r.signal}${r.timedOut ? ' (held past 30 s)' : ''}: ${r.stderr}`);
  const results = JSON.parse(r.stdout);
  assert.deepEqual(results.map((x) => x.found), Array(8).fill(false));
  // A generous bound (the machine may be loaded): backtracking would take years.
  for (const x of results) assert.ok(x.ms < 1000, `${x.source}: ${x.ms} ms`);
  assert.ok(results.at(-1).cost > MAX_COST * 0.9, `the costliest pattern costs ${results.at(-1).cost}`);
});
