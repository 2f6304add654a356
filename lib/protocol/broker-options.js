'use strict';
// What a client of the broker is given and needs: the options of a bridge
// (and of the pages fed by a broker) checked in one place, and the MQTT
// client library.
const os = require('node:os');
const { checkOptions } = require('../core/arguments');
const { UNPRINTABLE } = require('./parse-request');

const OPTIONS = [
  'broker', 'hostName', 'topicPrefix', 'rules', 'username', 'password', 'ca', 'homeassistant', 'discoveryPrefix',
  'maxRate', 'protocolVersion', 'connectTimeoutMs', 'forgetAfterMs', 'commandRate', 'clientId', 'streams',
];
const DEFAULTS = { topicPrefix: 'quorvane', discoveryPrefix: 'homeassistant', maxRate: 5, protocolVersion: 5, connectTimeoutMs: 30000, forgetAfterMs: 10000, commandRate: 20 };
const PRINTABLE_LEVEL = (what, v, { slash = false } = {}) => {
  if (typeof v !== 'string' || v.length === 0 || v.length > 100) throw new TypeError(`mqtt: ${what} must be a text of 1..100 characters`);
  if (/[+#]/.test(v) || (!slash && v.includes('/')) || UNPRINTABLE.test(v) || /^\/|\/$|\/\//.test(v)) {
    throw new RangeError(`mqtt: ${what} ${JSON.stringify(v)} must be printable, without "+", "#"${slash ? ' or an empty level' : ' or "/"'}`);
  }
  return v;
};

function checkBridgeOptions(options) {
  const o = { ...DEFAULTS, ...checkOptions(options, OPTIONS, 'mqtt') };
  let url;
  try {
    url = new URL(o.broker);
  } catch {
    throw new TypeError('mqtt: broker must be a URL such as mqtt://HOST:1883 or mqtts://HOST:8883');
  }
  if (!['mqtt:', 'mqtts:', 'ws:', 'wss:'].includes(url.protocol)) throw new RangeError(`mqtt: broker ${url.protocol}// is not one of mqtt, mqtts, ws, wss`);
  if (url.password) throw new RangeError('mqtt: no password in the broker URL (it would show wherever the URL does); give it as the password option');
  o.hostName = PRINTABLE_LEVEL('hostName', o.hostName ?? os.hostname());
  o.topicPrefix = PRINTABLE_LEVEL('topicPrefix', o.topicPrefix, { slash: true });
  o.discoveryPrefix = PRINTABLE_LEVEL('discoveryPrefix', o.discoveryPrefix, { slash: true });
  for (const k of ['maxRate', 'commandRate']) if (typeof o[k] !== 'number' || !(o[k] > 0 && o[k] <= 1000)) throw new RangeError(`mqtt: ${k} must be a number above 0, at most 1000`);
  for (const k of ['connectTimeoutMs', 'forgetAfterMs']) if (!Number.isInteger(o[k]) || o[k] < 0) throw new RangeError(`mqtt: ${k} must be a whole number of milliseconds`);
  if (o.protocolVersion !== 4 && o.protocolVersion !== 5) throw new RangeError('mqtt: protocolVersion must be 4 (MQTT 3.1.1) or 5');
  for (const k of ['username', 'password', 'clientId']) if (o[k] !== undefined && typeof o[k] !== 'string') throw new TypeError(`mqtt: ${k} must be a string`);
  if (o.ca !== undefined && typeof o.ca !== 'string' && !Buffer.isBuffer(o.ca)) throw new TypeError('mqtt: ca must be the PEM text of the certificate authority');
  if (o.homeassistant !== undefined && typeof o.homeassistant !== 'boolean') throw new TypeError('mqtt: homeassistant must be true or false');
  return o;
}

// The MQTT client library, loaded with the first bridge. It is an optional
// peer dependency (about 70 packages, 12 MB), installed beside this package by
// those who bridge: without it, an Error saying how to install it.
function loadMqtt() {
  try {
    return require('mqtt');
  } catch (err) {
    if (err.code !== 'MODULE_NOT_FOUND' || !/'mqtt'/.test(err.message)) throw err;
    throw new Error("the MQTT bridge needs the 'mqtt' package (MQTT.js 5): npm install mqtt", { cause: err });
  }
}

module.exports = { checkBridgeOptions, loadMqtt, DEFAULTS };
