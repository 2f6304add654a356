'use strict';
// An equaliser's bands as createFilter and the patchbay's "filters" take
// them: checked here, without the add-on (a rules file is checked before
// anything loads).
const { checkOptions } = require('../../core/arguments');

// The built-in biquads by the names createFilter takes.
const LABELS = {
  peaking: 'bq_peaking',
  lowshelf: 'bq_lowshelf',
  highshelf: 'bq_highshelf',
  lowpass: 'bq_lowpass',
  highpass: 'bq_highpass',
  notch: 'bq_notch',
};
const BAND_KEYS = ['type', 'freq', 'q', 'gain'];
const MAX_BANDS = 64;
// What a biquad does with sense: a boost or cut within ±48 dB (a linear gain
// of 251 either way), a Q above 0 and at most 100, a frequency above 0 and
// below half the rate it runs at (its Nyquist frequency).
const MAX_GAIN_DB = 48;
const MAX_Q = 100;
const DEFAULT_RATE = 48000;

// clockRate(graph, fallback) → the graph's clock rate ("clock.rate" of the
// "settings" metadata), for the highest frequency a band may have; `fallback`
// when it is not known (no daemon, no such metadata).
function clockRate(graph, fallback = DEFAULT_RATE) {
  const rate = Number(graph.metadata('settings')?.get(0, 'clock.rate')?.value);
  return Number.isInteger(rate) && rate >= 8000 ? rate : fallback;
}

// checkGain(value, what) → a gain in dB within ±MAX_GAIN_DB; a TypeError
// (not a finite number) or RangeError naming `what`. checkFreq and checkQ
// are alike, for a frequency at `rate` and a Q.
function checkGain(value, what) {
  if (typeof value !== 'number' || !Number.isFinite(value)) throw new TypeError(`${what} must be a finite number of dB`);
  if (Math.abs(value) > MAX_GAIN_DB) throw new RangeError(`${what} must be within ±${MAX_GAIN_DB} dB, not ${value}`);
  return value;
}

function checkFreq(value, rate, what) {
  if (typeof value !== 'number' || !Number.isFinite(value)) throw new TypeError(`${what} must be a number of Hz`);
  if (!(value > 0 && value < rate / 2)) {
    throw new RangeError(`${what} must be above 0${rate === Infinity ? '' : ` and below ${rate / 2} Hz (half the rate, ${rate} Hz)`}, not ${value}`);
  }
  return value;
}

function checkQ(value, what) {
  if (typeof value !== 'number' || !Number.isFinite(value)) throw new TypeError(`${what} must be a finite number`);
  if (!(value > 0 && value <= MAX_Q)) throw new RangeError(`${what} must be above 0 and at most ${MAX_Q}, not ${value}`);
  return value;
}

// checkBands(filters, rate, what) → the bands with their defaults (q 0.7071,
// gain 0); throws a TypeError or RangeError naming the first bad one. `rate`
// Infinity: the frequencies are checked against no rate (not known yet).
function checkBands(filters, rate, what) {
  if (!Array.isArray(filters)) throw new TypeError(`${what}: filters must be an array of { type, freq, q, gain }`);
  if (filters.length > MAX_BANDS) throw new RangeError(`${what}: at most ${MAX_BANDS} filters (${filters.length} given)`);
  return filters.map((band, i) => {
    const at = `${what}: filters[${i}]`;
    if (band === null || typeof band !== 'object' || Array.isArray(band)) throw new TypeError(`${at} must be an object { type, freq, q, gain }`);
    checkOptions(band, BAND_KEYS, at);
    const { type, freq, q = Math.SQRT1_2, gain = 0 } = band;
    if (!Object.hasOwn(LABELS, type)) throw new TypeError(`${at}.type must be one of ${Object.keys(LABELS).join(', ')}`);
    checkFreq(freq, rate, `${at}.freq`);
    checkQ(q, `${at}.q`);
    checkGain(gain, `${at}.gain`);
    return { type, freq, q, gain };
  });
}

module.exports = { LABELS, MAX_BANDS, MAX_GAIN_DB, DEFAULT_RATE, clockRate, checkBands, checkGain, checkFreq, checkQ };
