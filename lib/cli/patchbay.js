'use strict';
// quorvane patchbay FILE: keeps a rules file applied until SIGINT/SIGTERM,
// one line (or JSON object) per action, reloading the file when it changes
// and on SIGHUP; a file that no longer reads is reported and the rules in
// force stay. At the end what it made goes (lingering links stay) and what
// exclusive routes took is given back.
const fs = require('node:fs');
const path = require('node:path');
const { EXIT, CliError, UsageError, parse } = require('./args');
const { say, warn } = require('./output');
const { openSession, hold } = require('./session');
const { parseRules } = require('../features/patchbay/rules');
const { clockRate } = require('../features/effects/bands');

const RELOAD_DEBOUNCE_MS = 150; // an editor's write, rename and chmod come as one change

// The rules of `file`, checked (with `rate`, the graph's clock rate, a
// filter's bands against it); a CliError naming the file's line otherwise.
function readRulesFile(file, { rate } = {}) {
  let text;
  try {
    text = fs.readFileSync(file, 'utf8');
  } catch (e) {
    throw new CliError(`cannot read ${file}: ${e.message}`, EXIT.USAGE);
  }
  try {
    return parseRules(text, file, { rate });
  } catch (e) {
    throw new CliError(e.message, EXIT.USAGE);
  }
}

// One line per action, as a person reads it: `linked app-1:FL -> sink:playback_FL (routes[0])`;
// with `dry`, what it would do: `would link ...`, and what it cannot do now:
// `cannot link app-1:FL -> sink:in_X: node "sink" has no input port named "in_X" (routes[0])`.
const VERBS = {
  linked: ['linked', 'link'],
  unlinked: ['unlinked', 'unlink'],
  removed: ['removed', 'remove'],
  volume: ['set', 'set'],
  'not-set': ['did not set', 'not set'],
  default: ['made', 'make'],
  created: ['created device', 'create device'],
  destroyed: ['destroyed device', 'destroy device'],
  'gave-back': ['gave back', 'give back'],
  profile: ['set', 'set'],
  unmatched: ['cannot link', 'cannot link'],
};
function actionLine(a, dry = false) {
  const verb = (VERBS[a.kind] ?? [a.kind, a.kind])[dry ? 1 : 0];
  // What a rule cannot do now, and why: `cannot link A -> B: ... (routes[0])`, `cannot set X: ... (volumes[0])`.
  if (a.kind === 'unmatched') return a.out === undefined ? `cannot set ${a.node}: ${a.reason} (${a.rule})` : `${verb} ${a.out} -> ${a.in}: ${a.reason} (${a.rule})`;
  let what;
  if (a.kind === 'volume') {
    what = `${a.node}: ${[a.volume !== undefined ? `volume ${a.volume.toFixed(2)}` : null, a.mute !== undefined ? (a.mute ? 'muted' : 'unmuted') : null].filter(Boolean).join(', ')}`;
  } else if (a.kind === 'not-set') what = `${a.node}: ${a.reason}`;
  else if (a.kind === 'default') what = `${a.node} the default ${a.defaultKind}`;
  else if (a.kind === 'created' || a.kind === 'destroyed') what = a.node;
  else if (a.kind === 'profile') what = `${a.device}: profile ${a.profile}`;
  else if (a.kind === 'gave-back') what = `${a.from} -> ${a.to} ${a.by === 'session-manager' ? 'through the session manager' : 'as lingering links'}`;
  else what = `${a.out} -> ${a.in}`;
  return `${dry ? 'would ' : ''}${verb} ${what} (${a.rule})`;
}

// The action as one JSON object: links by id and ports.
const actionJSON = (a, extra = {}) => JSON.stringify({ ...a, ...(a.link ? { link: a.link.id } : {}), ...extra });

async function patchbay(argv) {
  const o = parse(argv, { 'dry-run': 'flag', json: 'flag' });
  if (o._.length !== 1) throw new UsageError('patchbay needs one rules FILE');
  const file = path.resolve(o._[0]);
  readRulesFile(file); // refused before connecting where it can be
  const print = (a, dry) => say(o.json ? actionJSON(a, dry ? { dryRun: true } : {}) : actionLine(a, dry));
  // Carries on across a daemon restart, as `route --reconnect`.
  const graph = await openSession({ reconnect: !o['dry-run'] });
  const rateNow = () => ({ rate: clockRate(graph, Infinity) });
  const rules = readRulesFile(file, rateNow());

  if (o['dry-run']) {
    const { plan } = require('../features/patchbay/plan');
    const actions = plan(graph, rules);
    for (const a of actions) print(a, true);
    if (!o.json && actions.every((a) => a.kind === 'unmatched')) say('nothing to do');
    return EXIT.OK;
  }

  const bay = graph.patchbay(rules);
  bay.on('action', (a) => print(a));
  bay.on('error', (e) => warn(`${e.rule}: ${e.message}`));
  if (!o.json) say(`keeping the rules of ${file} until interrupted`);

  // Reloads: the file read whole, then applied as a difference. One at a
  // time; a change during a reload reads the file again after it.
  let reloading = null;
  let again = false;
  const reload = async (why) => {
    if (reloading) {
      again = true;
      return;
    }
    do {
      again = false;
      reloading = (async () => {
        let next;
        try {
          next = readRulesFile(file, rateNow());
        } catch (e) {
          warn(`${e.message} (not reloaded: the rules in force stay)`);
          return;
        }
        const { added, removed, kept } = await bay.update(next);
        if (o.json) say(JSON.stringify({ kind: 'reloaded', file, why, added, removed, kept }));
        else say(`reloaded ${file} (${why}): ${added} rule(s) added, ${removed} removed, ${kept} kept`);
      })();
      await reloading.catch((e) => warn(`reload failed: ${e.message}`));
      reloading = null;
    } while (again);
  };

  // The directory is watched, not the file: an editor that writes a new file
  // and renames it over the old one replaces the file being watched.
  let timer = null;
  let watcher = null;
  try {
    watcher = fs.watch(path.dirname(file), (event, name) => {
      if (name !== null && name !== path.basename(file)) return;
      clearTimeout(timer);
      timer = setTimeout(() => reload('changed'), RELOAD_DEBOUNCE_MS);
    });
    watcher.on('error', (e) => warn(`no longer watching ${file}: ${e.message} (SIGHUP reloads)`));
  } catch (e) {
    warn(`cannot watch ${file}: ${e.message} (SIGHUP reloads)`);
  }
  const hup = () => reload('SIGHUP');
  process.on('SIGHUP', hup);

  return hold(graph, {
    reconnect: true,
    onStop: async () => {
      process.off('SIGHUP', hup);
      clearTimeout(timer);
      watcher?.close();
      await reloading;
      if (graph.state !== 'connected') return; // what it made went with the connection
      await bay.close();
    },
  });
}

module.exports = { patchbay, readRulesFile, actionLine };
