'use strict';
// The add-on under test, found as the package's loader finds it: the source
// build for the Node.js that runs the tests, or with PREBUILDS_ONLY=1 the
// prebuilt binary for it.
const path = require('node:path');
module.exports = require(require('node-gyp-build').resolve(path.join(__dirname, '..', '..')));
