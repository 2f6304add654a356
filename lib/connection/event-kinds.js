'use strict';
// The add-on's event kinds, and which of them the Graph emits.

// The native event kinds, by number.
const KINDS = [
  'node-created',
  'node-destroyed',
  'link-created',
  'link-destroyed',
  'port-created',
  'port-destroyed',
  'connected',
  'disconnected',
  'link-bound',
  'link-failed',
  'link-ended',
  'sync-done',
  'unlink-failed',
  'node-changed',
  'port-changed',
  'link-changed',
  'metadata-change',
  'control-failed',
];

// What the Graph emits to its listeners as it comes: the mirror's changes.
const MIRROR_EVENTS = new Set(KINDS.filter((k) => /-(created|destroyed|changed)$/.test(k)));

module.exports = { KINDS, MIRROR_EVENTS };
