'use strict';
// The add-on's event kinds (named by the add-on, by number), and which of
// them the Graph emits.
const { constants } = require('./addon');

const KINDS = constants.events;

// What the Graph emits to its listeners as it comes: the mirror's changes.
const MIRROR_EVENTS = new Set(KINDS.filter((k) => /-(created|destroyed|changed)$/.test(k)));

module.exports = { KINDS, MIRROR_EVENTS };
