'use strict';
// A device (a sound card, a headset) as the pages are sent it: its profiles,
// and the routes of its active profile, by direction. What a device announces
// comes from any client of the daemon and is not trusted: a device's lists
// are capped (the active choice always kept), its texts shortened, and the
// pages are sent at most MAX_DEVICES devices.

const MAX_DEVICES = 64;
const MAX_CHOICES = 64; // profiles, and routes per direction
const MAX_TEXT = 200; // characters of a name or a description

const DIRECTIONS = ['output', 'input'];

// A text of the daemon's cut to MAX_TEXT characters (whole code points), or null.
function short(v) {
  if (typeof v !== 'string') return null;
  if (v.length <= MAX_TEXT) return v;
  return `${[...v].slice(0, MAX_TEXT - 1).join('')}…`;
}

// The first MAX_CHOICES of `list`, with the `active` one among them.
function capped(list, active) {
  if (list.length <= MAX_CHOICES) return list;
  const head = list.slice(0, MAX_CHOICES);
  if (active && !head.includes(active)) head[MAX_CHOICES - 1] = active;
  return head;
}

const choice = (c) => ({ index: c.index, name: short(c.name), description: short(c.description), available: c.available === 'no' ? 'no' : c.available === 'yes' ? 'yes' : 'unknown' });

/**
 * deviceView(device) → { id, serial, name, description, profiles, profile,
 * routes: { output, input }, active: { output, input } }: `profiles` and each
 * direction's `routes` as [{ index, name, description, available }] (routes
 * only of the active profile), `profile` and `active[direction]` the active
 * one's index or null.
 */
function deviceView(d) {
  const profile = d.profile ?? null;
  const routes = {};
  const active = {};
  for (const dir of DIRECTIONS) {
    const on = d.activeRoutes?.[dir] ?? null;
    const mine = (d.routes ?? []).filter((r) => r.direction === dir && profile !== null && (r.profiles.length === 0 || r.profiles.includes(profile.index)));
    const current = on && mine.find((r) => r.index === on.index);
    routes[dir] = capped(mine, current).map(choice);
    active[dir] = current ? current.index : null;
  }
  const profiles = d.profiles ?? [];
  const current = profile && profiles.find((p) => p.index === profile.index);
  return {
    id: d.id,
    serial: d.serial,
    name: short(d.name),
    description: short(d.description),
    profiles: capped(profiles, current).map(choice),
    profile: profile ? profile.index : null,
    routes,
    active,
  };
}

/** The first MAX_DEVICES devices of `list` (by id), as the pages see them. */
function devicesView(list) {
  return [...list].sort((a, b) => a.id - b.id).slice(0, MAX_DEVICES).map(deviceView);
}

module.exports = { deviceView, devicesView, MAX_DEVICES, MAX_CHOICES, MAX_TEXT };
