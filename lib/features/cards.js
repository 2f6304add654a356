'use strict';
// The daemon's devices (sound cards, Bluetooth headsets) and their profiles
// and output/input routes ("ports" as pactl and pavucontrol call them), for
// the Graph: listed from the add-on's mirror of their params, selected with
// the device's "Profile" and "Route" params as wpctl set-profile and
// pw-cli set-param send them.
const addon = require('../connection/addon');
const { newToken } = require('../connection/tokens');
const { refusal } = require('../connection/refusal');
const { checkId, checkOptions, checkTimeout, checkDirection } = require('../core/arguments');

const ROUTE_DIRECTION = { out: 'output', in: 'input' };

// Each device with `nodes`: the ids of the nodes whose "device.id" is it.
function withNodes(devices, nodes) {
  const byDevice = new Map();
  for (const n of nodes) {
    const owner = n.props?.['device.id'];
    if (owner === undefined) continue;
    if (!byDevice.has(owner)) byDevice.set(owner, []);
    byDevice.get(owner).push(n.id);
  }
  for (const d of devices) d.nodes = byDevice.get(String(d.id)) ?? [];
  return devices;
}

const label = (d) => `device ${d.id}${d.name == null ? '' : ` (${JSON.stringify(d.name)})`}`;

// resolveDevice(devices, device, what) → the one device `device` names: an
// id, a device object (pinned by its serial: an id the daemon has given to
// another device since is refused), or a name: its "device.name", else its
// description, else its id written out. Throws a TypeError for anything
// else, an Error when none or several fit.
function resolveDevice(devices, device, what) {
  if (typeof device === 'number') {
    checkId(device, what, 'device');
    const found = devices.find((d) => d.id === device);
    if (!found) throw new Error(`${what}: no device ${device}`);
    return found;
  }
  if (device !== null && typeof device === 'object' && typeof device.id === 'number') {
    checkId(device.id, what, 'device.id');
    const found = devices.find((d) => d.id === device.id);
    if (!found) throw new Error(`${what}: ${label(device)} is gone`);
    if (device.serial !== undefined && found.serial !== device.serial) {
      throw new Error(`${what}: ${label(device)} is gone; its id now names ${label(found)}`);
    }
    return found;
  }
  if (typeof device !== 'string' || device === '') throw new TypeError(`${what}: device must be an id, a device object or a name`);
  for (const fits of [(d) => d.name === device, (d) => d.description === device, (d) => String(d.id) === device]) {
    const found = devices.filter(fits);
    if (found.length === 1) return found[0];
    if (found.length > 1) throw new Error(`${what}: ${found.length} devices are called ${JSON.stringify(device)}: ${found.map(label).join(', ')}`);
  }
  throw new Error(`${what}: no device ${JSON.stringify(device)}`);
}

// A profile or route named by its index (a number, or digits) or its name.
function byNameOrIndex(list, nameOrIndex, what, kind) {
  if (typeof nameOrIndex === 'number' || (typeof nameOrIndex === 'string' && /^\d+$/.test(nameOrIndex))) {
    const index = Number(nameOrIndex);
    if (!Number.isInteger(index) || index < 0 || index > 0x7fffffff) throw new RangeError(`${what}: a ${kind} index is a whole number >= 0`);
    return list.filter((x) => x.index === index);
  }
  if (typeof nameOrIndex !== 'string' || nameOrIndex === '') throw new TypeError(`${what}: the ${kind} must be a name or an index`);
  return list.filter((x) => x.name === nameOrIndex);
}

function pickProfile(device, nameOrIndex, what) {
  const [profile] = byNameOrIndex(device.profiles, nameOrIndex, what, 'profile');
  if (!profile) {
    const known = device.profiles.map((p) => p.name).join(', ') || 'none';
    throw new Error(`${what}: ${label(device)} has no profile ${JSON.stringify(nameOrIndex)} (profiles: ${known})`);
  }
  if (profile.available === 'no') throw new Error(`${what}: profile "${profile.name}" of ${label(device)} is not available`);
  return profile;
}

// The route and the card-profile device to select it on: the one its
// direction's active route is on, when the route serves it, else its first.
// `direction`: 'output', 'input' or undefined.
function pickRoute(device, nameOrIndex, direction, what) {
  let routes = byNameOrIndex(device.routes, nameOrIndex, what, 'route');
  if (direction !== undefined) routes = routes.filter((r) => r.direction === direction);
  if (routes.length === 0) {
    const known = device.routes.map((r) => `${r.name} (${r.direction})`).join(', ') || 'none';
    throw new Error(`${what}: ${label(device)} has no ${direction ?? ''}${direction ? ' ' : ''}route ${JSON.stringify(nameOrIndex)} (routes: ${known})`);
  }
  if (routes.length > 1) throw new Error(`${what}: route ${JSON.stringify(nameOrIndex)} of ${label(device)} is both an output and an input: give the direction`);
  const route = routes[0];
  if (route.available === 'no') throw new Error(`${what}: route "${route.name}" of ${label(device)} is not available`);
  const profile = device.profile;
  if (!profile || (route.profiles.length > 0 && !route.profiles.includes(profile.index))) {
    throw new Error(`${what}: route "${route.name}" of ${label(device)} is not one of its profile ${profile ? `"${profile.name}"` : '(none active)'}`);
  }
  const active = device.activeRoutes[route.direction];
  const cardDevice = active && route.devices.includes(active.device) ? active.device : (route.devices[0] ?? 0);
  return { route, cardDevice };
}

// Whether `device` is still in the mirror: a "device-destroyed" of its id
// may be a late one of the device that had the id before it.
const present = (device) => addon.graphDevices().some((d) => d.id === device.id && d.serial === device.serial);

// Sends the selection; resolves with the device once it shows it.
function applySelection(features, device, isRoute, index, cardDevice, shows, timeoutMs, what) {
  return features.wait(
    { timeoutMs, timeoutError: () => new Error(`${what}: ${label(device)} did not show the change within ${timeoutMs} ms`) },
    (settle) => {
      const token = newToken();
      if (!addon.graphSelectDevice(device.id, device.serial ?? 0, token, isRoute ? 1 : 0, index, cardDevice)) {
        return settle.reject(new Error('PipeWire not connected'));
      }
      const done = (d) => settle.resolve(withNodes([d], features.graph.nodes())[0]);
      // Selected already: the device may announce no change; after a round
      // trip, what it shows then settles it.
      const seq = shows(device) ? addon.graphSync() : -1;
      return {
        onEvent: (kind, payload) => {
          if (kind === 'device-changed' && payload?.id === device.id) {
            if (shows(payload)) done(payload);
          } else if (kind === 'device-destroyed' && payload === device.id && !present(device)) {
            settle.reject(new Error(`${what}: ${label(device)} was removed`));
          } else if (kind === 'control-failed' && payload.token === token) {
            settle.reject(refusal(payload.res, `${what}: ${payload.message}`));
          } else if (kind === 'sync-done' && seq >= 0 && payload.id === seq) {
            const now = addon.graphDevices().find((d) => d.id === device.id);
            if (now && shows(now)) done(now);
          }
        },
      };
    },
  );
}

// setProfile(features, device, nameOrIndex, { timeoutMs }) → the device once
// its "Profile" param shows the profile. Rejects with a TypeError/RangeError
// for bad input, an Error (nothing sent) for an unknown device or profile or
// an unavailable profile, the daemon's refusal, or a time-out.
async function setProfile(features, device, nameOrIndex, options) {
  const { timeoutMs = 3000 } = checkOptions(options, ['timeoutMs'], 'setProfile');
  checkTimeout(timeoutMs, 'setProfile');
  const target = resolveDevice(addon.graphDevices(), device, 'setProfile');
  const profile = pickProfile(target, nameOrIndex, 'setProfile');
  const shows = (d) => d.profile?.index === profile.index;
  return applySelection(features, target, false, profile.index, 0, shows, timeoutMs, 'setProfile');
}

// setRoute(features, device, nameOrIndex, { direction, timeoutMs }) → the
// device once its "Route" param shows the route active; `direction`
// ('out' | 'in'; 'output' | 'input' as a device's routes say) picks between
// routes of one name. Rejects as setProfile, also for a route that is not
// one of the active profile's.
async function setRoute(features, device, nameOrIndex, options) {
  const { direction: given, timeoutMs = 3000 } = checkOptions(options, ['direction', 'timeoutMs'], 'setRoute');
  checkTimeout(timeoutMs, 'setRoute');
  // 'out' / 'in', the API's spelling; a device's routes say 'output' / 'input', as PipeWire does.
  const direction = given === undefined ? undefined : ROUTE_DIRECTION[checkDirection(given, 'setRoute', { legacy: { output: 'out', input: 'in' } })];
  const target = resolveDevice(addon.graphDevices(), device, 'setRoute');
  const { route, cardDevice } = pickRoute(target, nameOrIndex, direction, 'setRoute');
  const shows = (d) => d.activeRoutes[route.direction]?.index === route.index;
  return applySelection(features, target, true, route.index, cardDevice, shows, timeoutMs, 'setRoute');
}

module.exports = { withNodes, resolveDevice, setProfile, setRoute };
