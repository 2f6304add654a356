'use strict';
// quorvane volume / mute / default / move and routes to the default device,
// end to end against a private daemon with null sinks, cross-checked with
// pw-dump, pw-metadata and pw-link. The "default" metadata is the fixture's,
// made once the checks without it are done.
const test = require('node:test');
const assert = require('node:assert/strict');
const fs = require('node:fs');
const os = require('node:os');
const path = require('node:path');
const { spawn, spawnSync } = require('node:child_process');
const { startDaemon } = require('./helpers/daemon');
const { Fixture, pwDump, pwMetadata } = require('./helpers/fixture');
const { poll } = require('./helpers/session-manager');

const CLI = path.join(__dirname, '..', 'bin', 'quorvane.js');
const sink = (name) => ({ name, mediaClass: 'Audio/Sink', positions: ['FL', 'FR'] });
const daemon = startDaemon({
  objects: [sink('cc-a'), sink('cc-b'), { name: 'cc-mic', mediaClass: 'Audio/Source', positions: ['MONO'], factory: 'audiotestsrc' }],
});
const fixture = new Fixture();
test.after(async () => {
  await fixture.close();
  daemon.stop();
});

const cli = (...args) => spawnSync(process.execPath, [CLI, ...args], { encoding: 'utf8', timeout: 20000 });
const node = (name) => pwDump().find((o) => o.type === 'PipeWire:Interface:Node' && o.info.props['node.name'] === name);
// A node's volume and mute as pw-dump shows its "Props" (the converter's).
function shown(name) {
  const p = node(name).info.params.Props.find((x) => x.channelVolumes);
  return { channelVolumes: p.channelVolumes.map((v) => Number(v.toFixed(6))), mute: p.mute };
}
// The "default" metadata's entries of `subject`, as pw-metadata prints them.
function entries(subject) {
  const found = [];
  for (const line of pwMetadata([subject]).split('\n')) {
    const m = /^update: id:\d+ key:'([^']*)' value:'([^']*)' type:'([^']*)'/.exec(line);
    if (m) found.push(`${m[1]}=${m[2]} (${m[3]})`);
  }
  return found.sort();
}
// "OUT -> IN" for every link from `nodeName`, from pw-link -l.
function pwLinkPairs(nodeName) {
  const pairs = [];
  let out = null;
  for (const line of spawnSync('pw-link', ['-l'], { encoding: 'utf8', timeout: 5000 }).stdout.split('\n')) {
    const peer = /^\s+\|->\s+(.*)$/.exec(line);
    if (peer && out) pairs.push(`${out} -> ${peer[1]}`);
    else if (!/^\s/.test(line)) out = line.startsWith(`${nodeName}:`) ? line : null;
  }
  return pairs.sort();
}
function expectRun(args, status, out, err = /^$/) {
  const r = cli(...args);
  assert.equal(r.status, status, `${args.join(' ')}: ${r.stderr}`);
  assert.match(r.stdout, out, args.join(' '));
  assert.match(r.stderr, err, args.join(' '));
}

test('volume and mute set what pw-dump shows; bad input is refused and changes nothing', async () => {
  const a = node('cc-a').id;
  expectRun(['volume', 'cc-a'], 0, /^Volume: 1\.00\n$/);
  expectRun(['volume', 'cc-a', '50%'], 0, /^Volume: 0\.50\n$/);
  assert.deepEqual(shown('cc-a'), { channelVolumes: [0.125, 0.125], mute: false });
  expectRun(['volume', String(a), '+10%'], 0, /^Volume: 0\.60\n$/);
  assert.deepEqual(shown('cc-a').channelVolumes, [0.216, 0.216]);
  expectRun(['volume', 'cc-a', '-100%'], 0, /^Volume: 0\.00\n$/);
  // An exact tie prints as C's printf (and so wpctl) rounds it.
  const tie = spawnSync('printf', ['%.2f', '0.125'], { encoding: 'utf8' }).stdout;
  expectRun(['volume', 'cc-a', '0.125'], 0, new RegExp(`^Volume: ${tie}\n$`));
  expectRun(['volume', 'cc-a', '.5'], 0, /^Volume: 0\.50\n$/);
  expectRun(['mute', 'cc-a'], 0, /^Volume: 0\.50 \[MUTED\]\n$/);
  assert.deepEqual(shown('cc-a'), { channelVolumes: [0.125, 0.125], mute: true });
  expectRun(['mute', 'cc-a'], 0, /^Volume: 0\.50\n$/);
  const json = JSON.parse(cli('volume', 'cc-a', '--json').stdout);
  assert.deepEqual({ ...json, volume: Number(json.volume.toFixed(6)) }, { id: a, name: 'cc-a', volume: 0.5, channelVolumes: [0.125, 0.125], mute: false });

  const app = await fixture.add('cc-app', 'Stream/Output/Audio', 0, 2);
  const usage = /\(run "quorvane --help" for usage\)/;
  for (const [args, status, err] of [
    [['volume', 'cc-a', 'abc'], 2, /VALUE is like 0\.5, 50%, \+5% or -5%, not "abc"/],
    [['volume', 'cc-a', '50'], 2, /above the limit, 1000%/],
    [['volume', 'cc-a', '0.5', 'x'], 2, /unexpected argument x/],
    [['mute', 'cc-a', 'maybe'], 2, /mute takes on, off or toggle, not "maybe"/],
    [['mute'], 2, /mute needs a NODE/],
    [['route', '--from', 'cc-mic', '--to', '@default-audio-sink', '--to', 'cc-b'], 2, /--to @default-audio-sink stands alone/],
    [['volume', 'no-such', '0.5'], 1, /no node named "no-such"/],
    [['mute', String(app.id)], 1, /node "cc-app" \(\d+\) has no volume/],
    [['volume', '@default-audio-sink', '1'], 1, /there is no default audio sink/],
  ]) {
    const r = cli(...args);
    assert.equal(r.status, status, `${args.join(' ')}: ${r.stderr}`);
    assert.match(r.stderr, err);
    assert.equal(usage.test(r.stderr), status === 2, r.stderr);
    assert.equal(r.stdout, '');
  }
  assert.deepEqual(shown('cc-a'), { channelVolumes: [0.125, 0.125], mute: false });
  await fixture.remove(app.id);
});

test('default and move write what pw-metadata shows; defaults others write reach the tool and @default-…', async () => {
  const b = node('cc-b');
  const mic = node('cc-mic').id;
  // No "default" metadata, no session manager: refused, nothing written.
  expectRun(['default', 'audio-sink', 'cc-a'], 1, /^$/, /no "default" metadata/);
  expectRun(['move', 'cc-mic', 'cc-b'], 1, /^$/, /no "default" metadata/);
  expectRun(['default', 'speakers'], 2, /^$/, /default takes audio-sink, audio-source or video-source, not "speakers"/);
  await fixture.addMetadata('default');
  assert.deepEqual(entries(0), []);

  expectRun(['default', 'audio-sink', 'cc-a'], 0, /^default audio-sink set to "cc-a" \(\d+\)\n$/);
  assert.deepEqual(entries(0), ['default.configured.audio.sink={"name":"cc-a"} (Spa:String:JSON)']);
  expectRun(['default', 'audio-sink'], 0, /^cc-a\n$/); // only configured so far
  // The session manager's choice, in effect: what @default-audio-sink names.
  pwMetadata([0, 'default.audio.sink', '{"name":"cc-b"}', 'Spa:String:JSON']);
  const rows = JSON.parse(cli('default', '--json').stdout);
  assert.deepEqual(rows[0], { kind: 'audio-sink', name: 'cc-b', id: b.id, configured: 'cc-a' });
  assert.deepEqual(rows.slice(1).map((r) => r.name ?? r.configured), [null, null]);
  expectRun(['mute', '@default-audio-sink', 'on'], 0, /\[MUTED\]/);
  assert.equal(shown('cc-b').mute, true);

  expectRun(['move', 'cc-mic', '@default-audio-sink'], 0, /^moving "cc-mic" \(\d+\) to "cc-b" \(\d+\)\n$/);
  assert.deepEqual(entries(mic), [`target.node=${b.id} (Spa:Id)`, `target.object=${b.info.props['object.serial']} (Spa:Id)`]);
  expectRun(['move', 'cc-mic', '--clear'], 0, /left to the session manager/);
  assert.deepEqual(entries(mic), []);
  expectRun(['move', 'cc-mic', 'cc-b', '--clear'], 2, /^$/, /move needs STREAM and TARGET, or STREAM --clear/);
});

test('a route to @default-audio-sink follows the default, falls back to the configured one, and lets go when it is absent', async () => {
  pwMetadata([0, 'default.audio.sink', '{"name":"cc-a"}', 'Spa:String:JSON']);
  pwMetadata([0, 'default.configured.audio.sink', '{"name":"cc-b"}', 'Spa:String:JSON']);
  const rules = path.join(fs.mkdtempSync(path.join(os.tmpdir(), 'quorvane-cc-')), 'rules.json');
  fs.writeFileSync(rules, JSON.stringify({ routes: [{ from: 'cc-mic', to: '@default-audio-sink' }] }));
  const child = spawn(process.execPath, [CLI, 'route', '--rules', rules], { stdio: ['ignore', 'pipe', 'pipe'] });
  let err = '';
  child.stderr.on('data', (d) => (err += d));
  const exited = new Promise((resolve) => child.on('exit', resolve));
  const on = (s) => [`cc-mic:capture_1 -> ${s}:playback_FL`, `cc-mic:capture_2 -> ${s}:playback_FR`];
  const linked = (pairs, what) => poll(() => String(pwLinkPairs('cc-mic')) === String(pairs), 5000, what, 50);
  try {
    await linked(on('cc-a'), 'the mic on cc-a');
    pwMetadata([0, 'default.audio.sink', '{"name":"cc-b"}', 'Spa:String:JSON']);
    await linked(on('cc-b'), 'the mic moved to cc-b, and only there');
    pwMetadata(['-d', 0, 'default.audio.sink']);
    pwMetadata([0, 'default.configured.audio.sink', '{"name":"cc-a"}', 'Spa:String:JSON']);
    await linked(on('cc-a'), 'the mic on the configured cc-a');
    pwMetadata([0, 'default.audio.sink', '{"name":"cc-gone"}', 'Spa:String:JSON']);
    await linked([], 'no links while the default is absent');
    pwMetadata([0, 'default.audio.sink', '{"name":"cc-b"}', 'Spa:String:JSON']);
    await linked(on('cc-b'), 'the mic on cc-b again');
  } finally {
    child.kill('SIGINT');
  }
  assert.equal(await exited, 0, err);
  assert.deepEqual(pwLinkPairs('cc-mic'), []);
  fs.rmSync(path.dirname(rules), { recursive: true, force: true });
});
