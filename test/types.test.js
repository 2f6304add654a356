'use strict';
// The TypeScript declarations: a file using every declaration type-checks,
// and every deliberate misuse is rejected.
const test = require('node:test');
const assert = require('node:assert/strict');
const fs = require('node:fs');
const path = require('node:path');
const { spawnSync } = require('node:child_process');

const TYPES = path.join(__dirname, 'types');
const tsc = (project) =>
  spawnSync(process.execPath, [require.resolve('typescript/bin/tsc'), '-p', path.join(TYPES, project)], {
    encoding: 'utf8',
    timeout: 120000,
  });

test('the usage file type-checks', () => {
  const r = tsc('tsconfig.json');
  assert.equal(r.status, 0, r.stdout + r.stderr);
});

test('every line marked as a misuse fails to type-check, and nothing else does', () => {
  const r = tsc('tsconfig.misuse.json');
  assert.notEqual(r.status, 0);
  const failing = new Set([...r.stdout.matchAll(/misuse\.ts\((\d+),\d+\): error/g)].map((m) => Number(m[1])));
  const marked = fs.readFileSync(path.join(TYPES, 'misuse.ts'), 'utf8').split('\n')
    .map((line, i) => (line.endsWith('// error') ? i + 1 : 0)).filter(Boolean);
  assert.ok(marked.length >= 10);
  assert.deepEqual([...failing].sort((a, b) => a - b), marked);
});

test('the declarations name exactly the exports', () => {
  const declared = [...fs.readFileSync(path.join(__dirname, '..', 'index.d.ts'), 'utf8')
    .matchAll(/^export function (\w+)/gm)].map((m) => m[1]);
  assert.deepEqual([...new Set(declared)], Object.keys(require('..')));
});
