'use strict';
// The fault list (scripts/mutants/faults.tsv) stays true: every line still
// puts its fault into its file, and names tests that exist. A line whose
// sed script no longer changes the file would count as "not applied" in a
// full run, which nobody reads in time; here it fails at once.
const test = require('node:test');
const assert = require('node:assert/strict');
const fs = require('node:fs');
const path = require('node:path');
const { spawnSync } = require('node:child_process');

const ROOT = path.join(__dirname, '..');
const LIST = path.join(ROOT, 'scripts', 'mutants', 'faults.tsv');

test('every line of the fault list changes its file and names tests that exist', () => {
  const lines = fs.readFileSync(LIST, 'utf8').split('\n').filter((l) => l && !l.startsWith('#'));
  const [stale, broken, ids] = [[], [], new Set()];
  for (const line of lines) {
    const [id, file, script, tests, what] = line.split('\t');
    if (!what || ids.has(id)) broken.push(`${id}: ${what ? 'given twice' : 'not five fields'}`);
    ids.add(id);
    const source = path.join(ROOT, file);
    if (!fs.existsSync(source)) {
      broken.push(`${id}: no file ${file}`);
      continue;
    }
    const r = spawnSync('sed', ['-e', script, source], { encoding: 'utf8', maxBuffer: 1 << 26 });
    if (r.status !== 0) broken.push(`${id}: sed: ${r.stderr.trim()}`);
    else if (r.stdout === fs.readFileSync(source, 'utf8')) stale.push(`${id} (${file})`);
    for (const t of tests.split(' ')) {
      const js = /^js:([^@]+)/.exec(t);
      if (js && !fs.existsSync(path.join(ROOT, js[1]))) broken.push(`${id}: no test file ${js[1]}`);
      else if (!js && !/^(native|tsan):/.test(t)) broken.push(`${id}: unknown kind of test ${t}`);
    }
  }
  assert.deepEqual(broken, []);
  assert.deepEqual(stale, [], 'lines whose fault no longer applies: update them to the code as it is');
});
