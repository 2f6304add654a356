'use strict';
// The add-on under test, loaded as the package loads it: the source build for
// the Node.js that runs the tests, or with PREBUILDS_ONLY=1 the prebuilt
// binary for it.
module.exports = require('../../lib/connection/addon');
