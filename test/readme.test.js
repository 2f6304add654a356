'use strict';
// Every command README.md and docs/cli.md show, run as written against a private daemon
// holding the nodes they name: each sh line by sh with the tool on PATH, each js block as a
// script in a project with the package installed. Commands that hold until Ctrl-C get
// SIGINT once under way. Each must end with 0 and no stack trace.
const test = require('node:test');
const assert = require('node:assert/strict');
const fs = require('node:fs');
const path = require('node:path');
const { spawn, spawnSync } = require('node:child_process');
const { privateDaemon } = require('./helpers/setup');
const { waitFor, pwMetadata } = require('./helpers/fixture');
const { scratch } = require('./helpers/cli');

const ROOT = path.join(__dirname, '..');

// What the documents show and this test does not run, and why.
const NOT_RUN = [
  [/^npm install /, 'installs the package: test/package.test.js installs the packed tarball'],
  [/^bash scripts\/(pack|demo|test)\.sh\b/, 'sets a machine up (apt-get, downloads, builds of every binary): CI runs them'],
];

// Commands that run until Ctrl-C, and what shows each under way (for the web, its page answering).
const printed = (pattern) => (out) => pattern.test(out);
const HELD = [
  [/^quorvane monitor\b/, printed(/^node-created \d+ "demo-speakers"/m)], [/^quorvane link\b/, printed(/^holding 2 link\(s\) until interrupted$/m)],
  [/^quorvane route --from mic-capture\b/, printed(/^linked mic-capture:out_FL -> demo-speakers:playback_FL/m)],
  [/^quorvane route\b/, printed(/^keeping 1 route\(s\) until interrupted$/m)], [/^quorvane create\b/, printed(/^\d+$/m)],
  [/^quorvane web\b/, (out, child) => {
    const url = /^quorvane web: (http:\/\/[\d.]+:8449\/[?#]token=\S+)$/m.exec(out)?.[1];
    return url && answers(url, child.pid);
  }],
];

// The commands of sh blocks, one a line (continued lines joined), and js blocks' code, in order.
function blocks(file) {
  return [...fs.readFileSync(path.join(ROOT, file), 'utf8').matchAll(/^```(sh|js|json)\n([^]*?)^```$/gm)].flatMap(([, lang, code]) =>
    lang !== 'sh' ? [{ lang, code }] : code.replace(/\\\n\s*/g, '').split('\n').filter((l) => l.trim()).map((line) => ({ lang, code: line.trim() })));
}

// The private daemon with the nodes the commands name, and the defaults they use.
const { fixture } = privateDaemon();
const project = scratch('quorvane-docs-');
const bin = path.join(project, 'bin');
const env = { ...process.env, PATH: `${bin}:${path.dirname(process.execPath)}:${process.env.PATH}` };
// Web commands take their ports in a network of their own, where unshare can make one.
const LOOPBACK_UP = 'ip link set lo up';
const isolated = spawnSync('unshare', ['--net', 'sh', '-c', LOOPBACK_UP]).status === 0 && spawnSync('nsenter', ['--version']).status === 0;

// Whether `url` answers a GET with a page, asked from the network of process `pid`.
function answers(url, pid) {
  const get = `require('node:http').get(${JSON.stringify(url)}, (r) => process.exit(r.statusCode < 400 ? 0 : 1)).on('error', () => process.exit(1))`;
  const argv = [...(isolated ? ['nsenter', `--net=/proc/${pid}/ns/net`] : []), process.execPath, '-e', get];
  return spawnSync(argv[0], argv.slice(1), { timeout: 10000 }).status === 0;
}

test.before(async () => {
  fs.mkdirSync(path.join(project, 'node_modules'));
  fs.symlinkSync(ROOT, path.join(project, 'node_modules', 'quorvane'), 'dir');
  fs.mkdirSync(bin);
  fs.symlinkSync(path.join(ROOT, 'bin', 'quorvane.js'), path.join(bin, 'quorvane'));
  // The rules file `web --rules rules.json` names: docs/cli.md's own example.
  fs.writeFileSync(path.join(project, 'rules.json'), blocks('docs/cli.md').find((b) => b.lang === 'json').code);
  await fixture.add('my-app', 'Stream/Output/Audio', 0, 'FL,FR');
  await fixture.add('mic-capture', 'Audio/Source', 0, 'FL,FR');
  await fixture.addMetadata('default');
  for (const [kind, name] of [['sink', 'demo-speakers'], ['source', 'demo-microphone']]) pwMetadata([0, `default.audio.${kind}`, `{"name":"${name}"}`, 'Spa:String:JSON']);
});

// Runs `argv` in the project; SIGINT once `ready(out, child)` holds. Resolves to { code, signal, out, err }.
function run(argv, ready) {
  return new Promise((resolve, reject) => {
    const child = spawn(argv[0], argv.slice(1), { cwd: project, env, stdio: ['ignore', 'pipe', 'pipe'], timeout: 30000, killSignal: 'SIGKILL' });
    const r = { out: '', err: '', closed: false };
    child.stdout.on('data', (d) => (r.out += d));
    child.stderr.on('data', (d) => (r.err += d));
    child.on('error', reject).on('close', (code, signal) => resolve(Object.assign(r, { code, signal, closed: true })));
    if (ready) waitFor(() => r.closed || ready(r.out, child), 15000, `${argv.at(-1)} under way`, 20).then(() => r.closed || child.kill('SIGINT'), () => {});
  });
}

for (const file of ['README.md', 'docs/cli.md']) {
  test(`${file}: every command and script runs as written`, async () => {
    const skipped = new Set();
    let ran = 0;
    for (const { lang, code } of blocks(file)) {
      if (lang === 'json') continue;
      const skip = NOT_RUN.find(([pattern]) => pattern.test(code));
      if (skip && skipped.add(skip)) continue;
      const script = path.join(project, /^import /m.test(code) ? 'quick.mjs' : 'quick.js');
      if (lang === 'js') fs.writeFileSync(script, code);
      else assert.match(code, /^quorvane /, `${file}: a command neither run nor listed as not run`);
      const held = HELD.find(([pattern]) => pattern.test(code));
      // exec: the signal reaches the tool, not the shell.
      const sh = !held ? ['sh', '-c', code] : isolated ? ['unshare', '--net', 'sh', '-c', `${LOOPBACK_UP} && exec ${code}`] : ['sh', '-c', `exec ${code}`];
      const r = await run(lang === 'js' ? [process.execPath, script] : sh, held?.[1]);
      assert.deepEqual([r.code, r.signal, /\n\s+at |Error/.test(r.err)], [0, null, false], `${code}\n${r.out}\n${r.err}`);
      ran++;
    }
    assert.ok(ran >= 4, `${file}: ${ran} commands run`);
    if (file === 'README.md') assert.equal(skipped.size, NOT_RUN.length, 'every exception still stands for something');
  });
}
