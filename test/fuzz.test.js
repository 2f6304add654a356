'use strict';
// Bad-input fuzzing of the nineteen exports in each state of the module, seeded:
// QUORVANE_FUZZ_CALLS sets the calls per state (a longer run), QUORVANE_FUZZ_SEED the seed.
const test = require('node:test');
const assert = require('node:assert/strict');
const { privateDaemon } = require('./helpers/setup');
const { REQUIRES } = require('./helpers/nineteen');

const CALLS = Number(process.env.QUORVANE_FUZZ_CALLS || 3000);
const SEED = Number(process.env.QUORVANE_FUZZ_SEED || 20261206);

const q = require('./helpers/addon');
const { fixture } = privateDaemon({}, { after: () => q.destroyPwThread() });

// A 32-bit linear congruential generator: enough to pick values, repeatable.
const generator = (seed) => () => (seed = (Math.imul(seed, 1664525) + 1013904223) >>> 0) / 2 ** 32;

class UserError extends Error {}
const huge = 'x'.repeat(1 << 20);
// Plain values, and makers of fresh objects.
const VALUES = [undefined, null, NaN, Infinity, -Infinity, -0, -1, 0, 1, 2 ** 32, 2 ** 53, 1e300, 12.8, true, false, '', 'node-created',
  'link-destroyed', 'Input', 'Output', 'fuzz-src', '42', huge, 'nul\0byte', '\ud800broken\udfff', 10n, -(2n ** 70n),
  () => ({ toString() { throw new UserError('toString'); } }),
  () => ({ valueOf() { throw new UserError('valueOf'); }, toString() { throw new UserError('toString'); } }),
  () => [], () => [1, 2], () => () => {}, () => function named() { return 1; }, () => Symbol('fuzz'),
  () => new Number(5), () => new String('Input'), () => ({})];

const STATE_ERRORS = { linkPorts: ['PipeWire not connected', 'Could not find matching ports or nodes', 'Failed to create link proxy'],
  unlinkPorts: ['PipeWire not connected'], linkNodesNameToId: ['PipeWire not connected', 'Could not find matching ports'], unlinkNodesNameToId: ['PipeWire not connected'] };

// The wait's first argument's own string conversion may throw.
const allowed = (name, args, e) =>
  (e instanceof TypeError && e.message === `${name} requires ${REQUIRES[name]}`) ||
  (e?.constructor === Error && (STATE_ERRORS[name] ?? []).includes(e.message)) ||
  (name === 'waitForNewNode' && ((e instanceof UserError && e.message === 'toString') || (e instanceof TypeError && typeof args[0] === 'symbol')));

const snapshot = () => JSON.stringify([q.getNodes(), q.getPorts(), q.getLinks()]);

// Functions that change the module's state are fuzzed only where they are no-ops.
function fuzzState(label, connected, seed) {
  const random = generator(seed);
  const pick = (v = VALUES[Math.floor(random() * VALUES.length)]) => (typeof v === 'function' ? v() : v);
  // The nineteen; the Graph's own natives are driven through lib/ and tested there.
  const names = Object.keys(q).slice(0, 19).filter((n) => n !== (connected ? 'destroyPwThread' : 'createPwThread'));
  for (let i = 0; i < CALLS; i++) {
    const name = names[Math.floor(random() * names.length)];
    const args = Array.from({ length: Math.floor(random() * 4) }, () => pick());
    // No waiting: without a Number time-out the wait would last 5 s, and a positive one a poll interval.
    if (name === 'waitForNewNode') {
      while (args.length < 3) args.push(undefined);
      if (typeof args[2] !== 'number' || (args[2] | 0) > 0) args[2] = random() < 0.5 ? 0 : -1;
    }
    const before = snapshot();
    try {
      q[name](...args);
    } catch (e) {
      assert.ok(allowed(name, args, e), `${label}: ${name}(${args.map((a) => typeof a).join(', ')}) threw ${e}`);
      assert.equal(snapshot(), before, `${label}: a rejected ${name} changed the mirror`);
    }
  }
  for (const n of ['node-created', 'node-destroyed', 'link-created', 'link-destroyed']) q.off(n);
}

test('every export survives random arguments in every state', async () => {
  await fixture.add('fuzz-src', 'Audio/Source', 0, 2);
  await fixture.add('fuzz-sink', 'Audio/Sink', 2, 0);
  fuzzState('before connect', false, SEED);
  q.createPwThread(), fuzzState('connected', true, SEED + 1);
  q.destroyPwThread(), fuzzState('after destroy', false, SEED + 2);
});
