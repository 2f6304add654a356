'use strict';
// Audio between hosts, measured: three network namespaces as the fleet test
// makes them (test/helpers/fleet.js), alpha sending a click track to beta and
// gamma. Run by hand, as root (not in the suite):
//   node bench/fleet.js [--soak S] [--targets 60,40,20] [--no-snapcast | --snapcast-only] [--no-realtime]
// Prints, each with the load average:
//   - end-to-end latency (alpha's sink to beta's, onsets timed to the sample
//     by build-native/pw-onset) and the two receivers' alignment, at the
//     default latency target and at each lower one, with the dropouts heard
//     in S seconds (default 60) at each;
//   - CPU (utime + stime from /proc/PID/stat over the same span) of each
//     end's bridge against `pw-cli` loading the same modules with the same
//     arguments by hand, and of each daemon;
//   - the time until sound is back at beta after each kind of restart;
//   - the same latency and alignment for Snapcast (Debian's snapserver and
//     snapclient, installed here with apt-get), fed the same clicks through a
//     FIFO, playing into beta's and gamma's daemons through pw-cat.
// The daemons' data threads are scheduled as a desktop's daemon's are
// (module-rt; --no-realtime leaves them at the normal priority), the
// clients' as PipeWire's client.conf has them (module-rt too).
const fs = require('node:fs');
const os = require('node:os');
const path = require('node:path');
const { spawn, spawnSync } = require('node:child_process');
const { startFleet, canMakeNamespaces } = require('../test/helpers/fleet');
const { writeTone } = require('../test/helpers/tone');
const { moduleArgs } = require('../lib/features/fleet/stream-end');
const { streamId } = require('../lib/mqtt/streams');

const args = process.argv.slice(2);
const option = (name, fallback) => (args.includes(name) ? args[args.indexOf(name) + 1] : fallback);
const SOAK_S = Number(option('--soak', 60));
const TARGETS = option('--targets', '60,40,30,20,10').split(',').map(Number);
const CLICKS_S = 60; // the click track, played again when it ends
const TICK_HZ = 100; // USER_HZ, the unit of /proc/PID/stat's times on Linux

const load = () => fs.readFileSync('/proc/loadavg', 'utf8').split(' ').slice(0, 3).join(' ');
const sleep = (ms) => new Promise((r) => setTimeout(r, ms));
const median = (xs) => (xs.length ? [...xs].sort((a, b) => a - b)[xs.length >> 1] : NaN);
const f1 = (x) => (Number.isFinite(x) ? x.toFixed(1) : '-');
const f2 = (x) => (Number.isFinite(x) ? x.toFixed(2) : '-');
const nowMs = () => Number(process.hrtime.bigint()) / 1e6; // CLOCK_MONOTONIC, as pw-onset's

async function until(check, ms, what) {
  const end = Date.now() + ms;
  for (;;) {
    const v = await check();
    if (v) return v;
    if (Date.now() > end) throw new Error(`timed out waiting for ${what}`);
    await sleep(50);
  }
}

// { name, seconds }: a /proc stat file's command name and utime + stime in
// seconds (null once the process or thread is gone).
function readStat(file) {
  try {
    const stat = fs.readFileSync(file, 'utf8');
    const f = stat.slice(stat.lastIndexOf(')') + 2).split(' ');
    return { name: stat.slice(stat.indexOf('(') + 1, stat.lastIndexOf(')')), seconds: (Number(f[11]) + Number(f[12])) / TICK_HZ };
  } catch {
    return null;
  }
}

// utime + stime of `pid` in seconds (0 once it is gone).
const cpuSeconds = (pid) => readStat(`/proc/${pid}/stat`)?.seconds ?? 0;

// utime + stime of each thread of `pid`, in seconds, by thread: "main" for
// the process's first thread, else its name and id (PipeWire 0.3's threads
// carry their process's name).
function threadSeconds(pid) {
  const out = {};
  let tids = [];
  try {
    tids = fs.readdirSync(`/proc/${pid}/task`);
  } catch {
    return out;
  }
  for (const tid of tids) {
    const stat = readStat(`/proc/${pid}/task/${tid}/stat`);
    if (stat) out[tid === String(pid) ? 'main' : `${stat.name}[${tid}]`] = stat.seconds;
  }
  return out;
}

// UDP datagrams the kernel dropped in network namespace `ns` (InErrors of
// /proc/net/snmp: a full receive buffer or a bad checksum), to tell packets
// lost on their way in from a receiver's own underruns.
function udpDropped(ns) {
  const snmp = spawnSync('ip', ['netns', 'exec', ns, 'cat', '/proc/net/snmp'], { encoding: 'utf8' }).stdout ?? '';
  const [names, values] = snmp.split('\n').filter((l) => l.startsWith('Udp:'));
  if (!names || !values) return NaN;
  return Number(values.split(' ')[names.split(' ').indexOf('InErrors')]);
}
let receiverNets = []; // the receivers' namespaces, once the fleet is up

// Ports `from` and `to` linked by pw-link, or already linked ("File exists").
// pw-link waits for the link to leave its first state, which on 1.x it may
// never do while the output's stream has had no data yet: it is given 5 s and
// asked again by the caller.
function pwLink(env, from, to) {
  const r = spawnSync('pw-link', [from, to], { env, encoding: 'utf8', timeout: 5000, killSignal: 'SIGKILL' });
  return r.status === 0 || /File exists/.test(r.stderr ?? '');
}

// 0.5 s of silence, then 1 s of a -6 dBFS tone, over and over.
function clicks(file, seconds) {
  writeTone(file, seconds, [0.5, 0.5]);
  const fd = fs.openSync(file, 'r+');
  for (let s = 0; s < seconds; s += 1.5) fs.writeSync(fd, Buffer.alloc(24000 * 8), 0, 24000 * 8, 44 + s * 48000 * 8);
  fs.closeSync(fd);
  return file;
}

// Onsets of `b` after `from` against the latest of `a` before each (within 3 s): latency.
const delays = (a, b, from) => b.filter((t) => t > from).map((t) => t - Math.max(...a.filter((u) => u <= t && t - u < 3000))).filter(Number.isFinite);
// |b - a| of each onset of `a` after `from` and the nearest of `b` (within 100 ms).
const apart = (a, b, from) => a.filter((t) => t > from).map((t) => Math.min(...b.map((u) => Math.abs(u - t)))).filter((d) => d < 100);

// One span: latency, alignment, dropouts and CPU of `pids` ({ name: pid or () => pid }) over `seconds`.
async function span(seconds, { ref, left, right, pids: given }) {
  const pids = Object.fromEntries(Object.entries(given).map(([k, p]) => [k, typeof p === 'function' ? p() : p]));
  const before = Object.fromEntries(Object.entries(pids).map(([k, pid]) => [k, cpuSeconds(pid)]));
  const threadsBefore = Object.fromEntries(Object.entries(pids).map(([k, pid]) => [k, threadSeconds(pid)]));
  const from = nowMs();
  const gaps = [left.gaps.length, right.gaps.length, ref.gaps.length];
  const udpBefore = receiverNets.map(udpDropped);
  await sleep(seconds * 1000);
  const udp = receiverNets.map((ns, i) => udpDropped(ns) - udpBefore[i]);
  const cpu = Object.fromEntries(Object.entries(pids).map(([k, pid]) => [k, (100 * (cpuSeconds(pid) - before[k])) / seconds]));
  // Where each process's time went, by thread (a thread ended meanwhile is not counted).
  const threads = Object.fromEntries(Object.entries(pids).map(([k, pid]) => {
    const now = threadSeconds(pid);
    return [k, Object.fromEntries(Object.entries(now).map(([t, v]) => [t, (100 * (v - (threadsBefore[k][t] ?? 0))) / seconds]).filter(([, v]) => v >= 0.01))];
  }));
  const lat = delays(ref.onsets, left.onsets, from);
  const al = apart(left.onsets, right.onsets, from);
  return { latency: median(lat), latencyMin: Math.min(...lat), latencyMax: Math.max(...lat), align: median(al), alignMax: Math.max(...al), clicks: al.length, dropouts: left.gaps.length - gaps[0] + right.gaps.length - gaps[1], sentDropouts: ref.gaps.length - gaps[2], udp, cpu, threads, load: load() };
}

const row = (what, s) => console.log(`${what}: latency ${f1(s.latency)} ms (${f1(s.latencyMin)}-${f1(s.latencyMax)}), receivers apart ${f2(s.align)} ms median, ${f2(s.alignMax)} ms largest over ${s.clicks} clicks, ${s.dropouts} dropouts (at the sender's own sink: ${s.sentDropouts}; UDP datagrams dropped by the receivers' kernels: ${s.udp.join(', ')}); CPU % ${Object.entries(s.cpu).map(([k, v]) => `${k} ${f2(v)}`).join(', ')}; load ${s.load}\n  by thread, %: ${Object.entries(s.threads).map(([k, t]) => `${k} { ${Object.entries(t).map(([n, v]) => `${n} ${f2(v)}`).join(', ')} }`).join('; ')}`);

async function main() {
  const why = canMakeNamespaces();
  if (why) throw new Error(why);
  const fleet = await startFleet(['alpha', 'beta', 'gamma'], { tag: 'bench', realtime: !args.includes('--no-realtime') });
  const dir = fs.mkdtempSync(path.join(os.tmpdir(), 'quorvane-bench-fleet-'));
  const cleanup = async () => {
    await fleet.stop();
    fs.rmSync(dir, { recursive: true, force: true });
  };
  process.on('SIGINT', () => cleanup().then(() => process.exit(130)));
  try {
    const { alpha, beta, gamma } = fleet.hosts;
    receiverNets = [beta.ns, gamma.ns];
    const file = clicks(path.join(dir, 'clicks.wav'), CLICKS_S);
    // The player, again each time it ends (its name is what the streams follow).
    // Each new player is a new node: the bridges' rules follow it by name; the modules loaded by hand
    // are linked to it again by `played` hooks, as a script of that user's would.
    let playing = true;
    const played = new Set();
    const play = () => {
      alpha.play('clicks', file).once('exit', () => playing && setTimeout(play, 10));
      for (const hook of played) hook();
    };
    play();
    const caps = { ref: alpha.onsets('onsets-alpha'), left: beta.onsets('onsets-beta'), right: gamma.onsets('onsets-gamma') };
    await Promise.all(Object.values(caps).map((c) => c.ready));
    if (args.includes('--snapcast-only')) {
      await snapcast(fleet, dir, caps);
      playing = false;
      return;
    }
    await Promise.all([alpha.startBridge(), beta.startBridge(), gamma.startBridge()]);
    const line = JSON.parse(spawnSync('ip', ['netns', 'exec', beta.ns, process.execPath, '-e', `const a=require(${JSON.stringify(path.join(__dirname, '..'))});a.connect().then(g=>{console.log(JSON.stringify(require(${JSON.stringify(path.join(__dirname, '..', 'lib/features/fleet/line.js'))}).networkLine()));g.close();process.exit(0)})`], { env: beta.daemon.env, encoding: 'utf8' }).stdout);
    const codec = line.codecs[0];
    console.log(`PipeWire ${line.version}, ${codec}; ${os.cpus().length} cores; load ${load()}`);

    // Commands on alpha's "set" topic, answered on a reply topic (mosquitto_pub/sub are not needed: the test's broker helper).
    const { listen } = require('../test/helpers/broker');
    const broker = await listen(`mqtt+unix://${fleet.socket}`, ['quorvane/#']);
    let n = 0;
    const command = async (body) => {
      const reply = `bench/reply/${++n}`;
      await broker.client.subscribeAsync(reply);
      broker.client.publish('quorvane/alpha/set', JSON.stringify(body), { properties: { responseTopic: reply, correlationData: Buffer.from('c') } });
      const answer = JSON.parse(await broker.until(() => broker.retained.get(reply), 20000, `the answer to ${JSON.stringify(body)}`));
      if (!answer.ok) throw new Error(`${JSON.stringify(body)}: ${answer.error}`);
      return answer.result;
    };
    const receivers = ['beta', 'gamma'];
    const stream = (latencyMs) => Promise.all(receivers.map((h) => command({ op: 'stream', from: 'alpha:clicks', to: `${h}:${h}-speakers`, ...(latencyMs ? { latencyMs } : {}) })));
    const listening = (latencyMs) => until(() => receivers.every((h) => {
      const r = JSON.parse(broker.retained.get(`quorvane/${h}/stream/${streamId('alpha:clicks', `${h}:${h}-speakers`)}`) ?? 'null');
      return r?.state === 'listening' && r.ready && (!latencyMs || r.latencyMs === latencyMs);
    }), 15000, `both receivers at ${latencyMs} ms`);
    const pids = { 'alpha bridge': () => alpha.bridge.child.pid, 'beta bridge': () => beta.bridge.child.pid, 'gamma bridge': () => gamma.bridge.child.pid, 'alpha daemon': () => alpha.daemon.pid, 'beta daemon': () => betaDaemon };
    let betaDaemon = beta.daemon.pid; // a restarted daemon is another process

    // --- Quorvane: the default target, then lower ones -------------------------
    const first = await stream();
    await listening();
    await sleep(6000);
    row(`quorvane ${codec}, default target ${first[0].latencyMs} ms, ${SOAK_S} s`, await span(SOAK_S, { ...caps, pids }));
    let lowest = null;
    for (const target of TARGETS) {
      await stream(target);
      await listening(target);
      await sleep(3000);
      const s = await span(SOAK_S, { ...caps, pids });
      row(`quorvane ${codec}, target ${target} ms, ${SOAK_S} s`, s);
      if (s.dropouts > 0 || s.clicks === 0) break;
      lowest = target;
    }
    console.log(`lowest target without a dropout in ${SOAK_S} s: ${lowest ?? 'none of'} ${lowest ? 'ms' : TARGETS.join(', ')}`);

    // --- recovery after each kind of restart, at the default target -------------
    await stream(first[0].latencyMs);
    await listening(first[0].latencyMs);
    const soundBack = async (what, since) => {
      // A click already on its way when the restart began (heard a latency after it was played) is not sound back.
      const inFlight = (o) => {
        const u = caps.ref.onsets.filter((x) => x <= o && o - x < 3000).at(-1);
        return u !== undefined && u < since && Math.abs(o - u - first[0].latencyMs) < 50;
      };
      const t = await until(() => caps.left.onsets.find((o) => o > since && !inFlight(o)), 20000, `sound at beta after ${what}`);
      // The next click after `since` is up to 1.5 s away: the time counted is to the first click heard, less the wait for one to be sent.
      const sent = caps.ref.onsets.filter((o) => o > since - first[0].latencyMs - 1500 && o <= t).at(-1);
      console.log(`${what}: sound back at beta ${f1(t - since)} ms after the restart began (the click heard was played ${f1(sent - since)} ms after it); load ${load()}`);
    };
    for (const [what, act] of [
      ['alpha\'s bridge restarted', async () => { await alpha.bridge.kill(); await alpha.startBridge(); }],
      ['beta\'s bridge restarted', async () => { await beta.bridge.kill(); await beta.startBridge(); }],
      ['beta\'s daemon restarted', async () => { betaDaemon = (await beta.restartDaemon()).pid; caps.left.stop(); caps.left = beta.onsets('onsets-beta'); await caps.left.ready; }],
    ]) {
      await sleep(2000);
      const since = nowMs();
      await act();
      await soundBack(what, since);
    }

    // --- the same modules loaded by hand with pw-cli ---------------------------
    await Promise.all(receivers.map((h) => command({ op: 'unstream', from: 'alpha:clicks', to: `${h}:${h}-speakers` })));
    for (const h of [alpha, beta, gamma]) await h.bridge.kill();
    const byHand = [];
    const pwCli = (host, name, moduleArguments) => {
      const child = spawn('ip', ['netns', 'exec', host.ns, 'pw-cli'], { env: host.daemon.env, stdio: ['pipe', 'ignore', 'ignore'] });
      child.stdin.write(`load-module ${name} ${JSON.stringify(moduleArguments)}\n`);
      fleet.processes.add(child);
      byHand.push(child);
      return child;
    };
    const ports = (host, dirFlag) => spawnSync('pw-link', [dirFlag], { env: host.daemon.env, encoding: 'utf8' }).stdout.split('\n').filter(Boolean);
    const linkNodes = (host, from, to) => {
      const outs = ports(host, '-o').filter((p) => p.startsWith(`${from}:`));
      const ins = ports(host, '-i').filter((p) => p.startsWith(`${to}:`));
      const pairs = ['FL', 'FR'].map((c) => [outs.find((p) => p.endsWith(`_${c}`)), ins.find((p) => p.endsWith(`_${c}`))]);
      return pairs.every(([o, i]) => o && i && pwLink(host.daemon.env, o, i));
    };
    const hands = {};
    for (const [k, h] of receivers.map((x, i) => [i, fleet.hosts[x]])) {
      const id = `byhand${k}`;
      const rx = moduleArgs({ id, role: 'receive', codec, address: h.address, peer: alpha.address, ports: codec === 'roc' ? [46100, 46101, 46102] : [46100], latencyMs: first[0].latencyMs, channels: 2 });
      hands[`${h.name} pw-cli`] = pwCli(h, rx.name, rx.args).pid;
      const tx = moduleArgs({ id, role: 'send', codec, address: h.address, peer: alpha.address, ports: codec === 'roc' ? [46100, 46101, 46102] : [46100], channels: 2 });
      hands[`alpha pw-cli ${k}`] = pwCli(alpha, tx.name, tx.args).pid;
      await until(() => linkNodes(alpha, 'clicks', tx.nodeName), 10000, `alpha's ${tx.nodeName}`);
      played.add(() => until(() => linkNodes(alpha, 'clicks', tx.nodeName), 10000, `alpha's ${tx.nodeName} again`).catch((e) => console.log(`note: ${e.message}`)));
      await until(() => linkNodes(h, rx.nodeName, h.sink), 15000, `${h.name}'s ${rx.nodeName}`);
    }
    await sleep(3000);
    row(`pw-cli load-module by hand, ${codec}, target ${first[0].latencyMs} ms, ${SOAK_S} s`, await span(SOAK_S, { ...caps, pids: { ...hands, 'alpha daemon': pids['alpha daemon'], 'beta daemon': pids['beta daemon'] } }));
    for (const c of byHand) c.kill('SIGKILL');

    // --- Snapcast --------------------------------------------------------------
    if (!args.includes('--no-snapcast')) await snapcast(fleet, dir, caps);
    playing = false;
    await broker.client.endAsync();
  } finally {
    await cleanup();
  }
}

// Snapcast's server in alpha, fed the clicks (s16) through a FIFO at the
// pace they play; a client in beta and in gamma, each writing its audio to
// pw-cat on its host's sink. Latency is from the write into the FIFO.
async function snapcast(fleet, dir, caps) {
  if (!fs.existsSync('/usr/bin/snapserver') || !fs.existsSync('/usr/bin/snapclient')) {
    const r = spawnSync('sh', ['-c', 'apt-get update -qq && DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends snapserver snapclient'], { stdio: 'inherit' });
    if (r.status !== 0) throw new Error('cannot install snapserver and snapclient');
  }
  const { alpha, beta, gamma } = fleet.hosts;
  const version = spawnSync('dpkg-query', ['-W', '-f=${Version}', 'snapserver'], { encoding: 'utf8' }).stdout;
  const fifo = path.join(dir, 'snapfifo');
  spawnSync('mkfifo', [fifo]);
  for (const buffer of [1000, ...String(option('--snap-buffers', '400,200,100')).split(',').map(Number)]) {
    const conf = path.join(dir, `snapserver-${buffer}.conf`);
    fs.mkdirSync(path.join(dir, `snapdata-${buffer}`), { recursive: true });
    fs.writeFileSync(conf, `[server]\ndatadir = ${dir}/snapdata-${buffer}\n[stream]\nsource = pipe://${fifo}?name=bench&sampleformat=48000:16:2&mode=read\nbuffer = ${buffer}\ncodec = pcm\nchunk_ms = 20\n[http]\nenabled = false\n[tcp]\nenabled = false\n`);
    const procs = [];
    const start = (host, cmd, argv, opts = {}) => {
      const c = spawn('setpriv', ['--pdeathsig', 'KILL', 'ip', 'netns', 'exec', host.ns, cmd, ...argv], { env: host.daemon.env, stdio: opts.stdio ?? ['ignore', 'ignore', 'ignore'] });
      fleet.processes.add(c);
      procs.push(c);
      return c;
    };
    const server = start(alpha, 'snapserver', ['-c', conf]);
    // The writer: 20 ms of the clicks (s16) every 20 ms, by the monotonic clock.
    const pcm = fs.readFileSync(path.join(dir, 'clicks.wav')).subarray(44);
    const floats = new Float32Array(pcm.buffer, pcm.byteOffset, pcm.length / 4);
    const s16 = Buffer.alloc(floats.length * 2);
    for (let i = 0; i < floats.length; i++) s16.writeInt16LE(Math.round(floats[i] * 32767), i * 2);
    const fd = fs.openSync(fifo, fs.constants.O_RDWR);
    const chunk = 48 * 20 * 4;
    let pos = 0;
    const t0 = nowMs();
    const sent = { onsets: [], gaps: [] };
    let quiet = 0;
    let sounding = true;
    const writer = setInterval(() => {
      const due = Math.floor((nowMs() - t0) / 20);
      while (pos / chunk < due) {
        const at = t0 + (pos / chunk) * 20;
        const piece = s16.subarray(pos % s16.length, (pos % s16.length) + chunk);
        for (let i = 0; i < piece.length; i += 4) {
          const v = Math.abs(piece.readInt16LE(i)) / 32767;
          if (!sounding && v > 0.1) (sounding = true), sent.onsets.push(at + i / 4 / 48);
          quiet = v < 0.01 ? quiet + 1 : 0;
          if (quiet >= 9600) sounding = false;
        }
        try {
          fs.writeSync(fd, piece);
        } catch {}
        pos += chunk;
      }
    }, 5);
    await sleep(1000);
    for (const h of [beta, gamma]) {
      const client = start(h, 'snapclient', ['-h', alpha.address, '--player', 'file:filename=stdout'], { stdio: ['ignore', 'pipe', 'ignore'] });
      const cat = start(h, 'pw-cat', ['--playback', '--target', '0', '--latency', '256', '-P', `{ node.name = snap-${h.name} adapter.auto-port-config = { mode = dsp monitor = false control = false position = preserve } }`, '-'], { stdio: ['pipe', 'ignore', 'ignore'] });
      const header = Buffer.alloc(44);
      header.write('RIFF', 0);
      header.writeUInt32LE(0xffffffff, 4);
      header.write('WAVEfmt ', 8);
      header.writeUInt32LE(16, 16);
      header.writeUInt16LE(1, 20);
      header.writeUInt16LE(2, 22);
      header.writeUInt32LE(48000, 24);
      header.writeUInt32LE(48000 * 4, 28);
      header.writeUInt16LE(4, 32);
      header.writeUInt16LE(16, 34);
      header.write('data', 36);
      header.writeUInt32LE(0xfffffff0, 40);
      cat.stdin.write(header);
      client.stdout.pipe(cat.stdin);
      cat.stdin.on('error', () => {});
      const linked = () => ['FL', 'FR'].every((c) => pwLink(h.daemon.env, `snap-${h.name}:output_${c}`, `${h.sink}:playback_${c}`));
      await until(linked, 20000, `snapclient's audio on ${h.name}`);
    }
    await sleep(4000);
    const s = await span(Math.min(SOAK_S, 60), { ref: sent, left: caps.left, right: caps.right, pids: { 'alpha snapserver': server.pid, 'beta snapclient': procs[1].pid } });
    row(`snapcast ${version}, buffer ${buffer} ms (pcm, 20 ms chunks)`, s);
    clearInterval(writer);
    fs.closeSync(fd);
    for (const c of procs) c.kill('SIGKILL');
    await sleep(500);
  }
}

main().catch((e) => {
  console.error(e.stack);
  process.exit(1);
});
