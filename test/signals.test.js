'use strict';
// Signals Node.js processes get all the time (SIGUSR1 from debuggers, SIGCHLD,
// SIGWINCH) land while the JavaScript thread waits on the PipeWire thread:
// every request must still run exactly once and report its true outcome.
const test = require('node:test');
const assert = require('node:assert/strict');
const { privateDaemon } = require('./helpers/setup');
const { runChild } = require('./helpers/child');

const { daemon, fixture } = privateDaemon({ setEnv: false });

// Links and unlinks in a loop for 2.5 s, yielding to the event loop
// between rounds so that the removals are handed over too. Prints a summary.
const CHILD = (sinkId, otherSinkId, outPort, inPort) => `
  let chld = 0, winch = 0;
  process.on('SIGCHLD', () => chld++);
  process.on('SIGWINCH', () => winch++);
  // SIGUSR1 keeps Node's own handler (it starts the inspector, on a free port).
  q.createPwThread();
  const made = { ports: 0, byName: 0 };
  const failed = [];
  const end = Date.now() + 2500;
  const round = () => {
    for (let i = 0; i < 20; i++) {
      try {
        if (q.linkPorts(${outPort}, ${inPort}) === 0) made.ports++;
        const n = q.linkNodesNameToId('sig-src', ${sinkId});
        if (n === 2) made.byName++; else failed.push('linkNodesNameToId made ' + n);
        q.unlinkNodesNameToId('sig-src', ${sinkId});
        q.unlinkNodesNameToId('sig-src', ${otherSinkId});
      } catch (e) {
        failed.push(e.message);
      }
    }
    if (Date.now() < end) return setImmediate(round);
    // Stop, start and a timed-out wait, under the same signals: neither the
    // start-up pause nor the poll sleeps may be cut short.
    q.destroyPwThread();
    const t0 = Date.now();
    q.createPwThread();
    const t1 = Date.now();
    const missing = q.waitForNewNode('never-there', undefined, 300);
    const [startMs, waitMs] = [t1 - t0, Date.now() - t1];
    // Node's own SIGUSR1 handler races with its teardown at exit; a listener
    // of ours takes the signal over from here on.
    process.on('SIGUSR1', () => {});
    console.log(JSON.stringify({ made, failed: failed.slice(0, 5), failures: failed.length, chld, winch, startMs, waitMs, missing }));
    q.destroyPwThread();
  };
  console.log('ready');
  round();`;

test('link requests survive SIGUSR1, SIGCHLD and SIGWINCH every 2 ms', async () => {
  const src = await fixture.add('sig-src', 'Audio/Source', 0, 2);
  const sink = await fixture.add('sig-sink', 'Audio/Sink', 2, 0);
  const other = await fixture.add('sig-other', 'Audio/Sink', 1, 0);
  const signals = ['SIGUSR1', 'SIGCHLD', 'SIGWINCH'];
  for (let round = 0; round < 3; round++) {
    let timer = null;
    let sent = 0;
    const r = await runChild(CHILD(sink.id, other.id, src.outputs[1], other.inputs[0]), {
      env: daemon.env,
      args: ['--inspect-port=0'],
      timeoutMs: 30000,
      onStdout: (out, child) => {
        if (out.includes('"made"')) clearInterval(timer);
        if (timer || !out.includes('ready')) return;
        timer = setInterval(() => {
          try { process.kill(child.pid, signals[sent++ % signals.length]); } catch {}
        }, 2);
      },
    });
    clearInterval(timer);
    assert.deepEqual([r.timedOut, r.code, r.signal], [false, 0, null], `round ${round}: ${r.stderr.slice(-2000)}`);
    const summary = JSON.parse(r.stdout.trim().split('\n').pop());
    const { made, failures, chld, winch, startMs, waitMs, missing } = summary;
    // Each request ran once (as many by name as by port) and said so; no sleep was cut short.
    assert.deepEqual([failures, made.byName, missing], [0, made.ports, { found: false }],
      `round ${round}: ${JSON.stringify(summary)}`);
    assert.ok(made.ports > 100 && sent > 300 && chld > 0 && winch > 0, `round ${round}: ${sent} signals sent, ${JSON.stringify(summary)}`);
    assert.ok(startMs >= 495 && waitMs >= 295, `the start-up pause lasted ${startMs} ms, the wait ${waitMs} ms`);
  }
});
