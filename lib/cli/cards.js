'use strict';
// quorvane devices / profile / port: the sound cards' and headsets'
// profiles and output/input ports (PipeWire's routes), as scripts would
// otherwise ask wpctl set-profile or pactl set-card-profile and
// set-sink-port for. Arguments are checked before connecting.
const { EXIT, UsageError, CliError, parse, noPositional, asCliError } = require('./args');
const { say, printRows } = require('./output');
const { openSession } = require('./session');

// pactl's port directions beside PipeWire's.
const DIRECTIONS = { output: 'output', input: 'input', sink: 'output', source: 'input' };

// The API's argument errors are the user's (exit 2); anything else a failure.
// The API's names (setProfile:, setRoute:) left out.
const asCardError = (e) => asCliError(e, /^(setProfile|setRoute|device): /);

const deviceLabel = (d) => `${JSON.stringify(d.name)} (${d.id})`;

// The device DEVICE names: an id, its "device.name" (pactl's card name) or
// its description.
function theDevice(graph, text) {
  const { resolveDevice } = require('../features/cards');
  try {
    return resolveDevice(graph.devices(), /^\d+$/.test(text) ? Number(text) : text, 'device');
  } catch (e) {
    throw asCardError(e);
  }
}

async function devices(argv) {
  const o = parse(argv, { json: 'flag' });
  noPositional(o);
  const graph = await openSession();
  const list = graph.devices();
  if (o.json) return say(JSON.stringify(list, null, 2));
  const rows = list.map((d) => ({
    id: d.id,
    name: d.name,
    description: d.description,
    api: d.api,
    profile: d.profile?.name,
    output: d.activeRoutes.output?.name,
    input: d.activeRoutes.input?.name,
  }));
  printRows(rows, ['id', 'name', 'description', 'api', 'profile', 'output', 'input'], false);
}

// The rows of a list of profiles or routes, the active one marked "*" as
// wpctl marks the default.
function choiceRows(list, isActive, extra = () => ({})) {
  return list.map((x) => ({
    active: isActive(x) ? '*' : '',
    index: x.index,
    name: x.name,
    description: x.description,
    available: x.available,
    priority: x.priority,
    ...extra(x),
  }));
}

function printChoices(rows, columns, json) {
  if (json) return say(JSON.stringify(rows.map((r) => ({ ...r, active: r.active === '*' })), null, 2));
  printRows(rows, columns, false);
}

async function profile(argv) {
  const o = parse(argv, { json: 'flag', timeout: 'value' });
  const [deviceText, wanted, ...more] = o._;
  if (deviceText === undefined) throw new UsageError('profile needs a DEVICE');
  if (more.length) throw new UsageError(`unexpected argument ${more[0]}`);
  const timeoutMs = timeoutOption(o.timeout);
  const graph = await openSession();
  let device = theDevice(graph, deviceText);
  if (wanted === undefined) {
    const rows = choiceRows(device.profiles, (p) => p.index === device.profile?.index);
    return printChoices(rows, ['active', 'index', 'name', 'description', 'available', 'priority'], o.json);
  }
  device = await graph.setProfile(device, wanted, { timeoutMs }).catch((e) => {
    throw asCardError(e);
  });
  say(o.json ? JSON.stringify(device.profile) : `${deviceLabel(device)}: profile ${device.profile.name}`);
}

async function port(argv) {
  const o = parse(argv, { json: 'flag', direction: 'value', timeout: 'value' });
  const [deviceText, wanted, ...more] = o._;
  if (deviceText === undefined) throw new UsageError('port needs a DEVICE');
  if (more.length) throw new UsageError(`unexpected argument ${more[0]}`);
  const direction = o.direction === undefined ? undefined : DIRECTIONS[o.direction.toLowerCase()];
  if (o.direction !== undefined && !direction) throw new UsageError(`--direction takes output or input, not ${JSON.stringify(o.direction)}`);
  const timeoutMs = timeoutOption(o.timeout);
  const graph = await openSession();
  let device = theDevice(graph, deviceText);
  if (wanted === undefined) {
    const routes = device.routes.filter((r) => direction === undefined || r.direction === direction);
    const rows = choiceRows(routes, (r) => device.activeRoutes[r.direction]?.index === r.index, (r) => ({ direction: r.direction }));
    return printChoices(rows, ['active', 'index', 'name', 'description', 'direction', 'available', 'priority'], o.json);
  }
  device = await graph.setRoute(device, wanted, { direction, timeoutMs }).catch((e) => {
    throw asCardError(e);
  });
  const active = Object.values(device.activeRoutes).filter(Boolean);
  const shown = active.find((r) => r.name === wanted || String(r.index) === wanted) ?? active[0];
  say(o.json ? JSON.stringify(shown) : `${deviceLabel(device)}: ${shown.direction} port ${shown.name}`);
}

function timeoutOption(text) {
  if (text === undefined) return 3000;
  const ms = Number(text);
  if (!/^\d+$/.test(text) || ms < 1) throw new UsageError(`--timeout takes milliseconds, not ${JSON.stringify(text)}`);
  return ms;
}

module.exports = { devices, profile, port };
