'use strict';
// The add-on under test, built for the Node.js that runs the tests.
const path = require('node:path');
module.exports = require(path.join(__dirname, '..', '..', 'build', 'Release', 'Quorvane.node'));
