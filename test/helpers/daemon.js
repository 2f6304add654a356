'use strict';
// Private PipeWire daemons for the tests: the package's own starter.
module.exports = require('../../scripts/private-daemon');
