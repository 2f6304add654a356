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
const MAX_GAIN_DB = 48;

function checkGain(value, what) {
  if (typeof value !== 'number' || !Number.isFinite(value)) throw new TypeError(`${what} must be a finite number of dB`);
  if (Math.abs(value) > MAX_GAIN_DB) throw new RangeError(`${what} must be within ±${MAX_GAIN_DB} dB`);
  return value;
}

// checkBands(filters, rate, what) → the bands with their defaults (q 0.7071,
// gain 0); throws a TypeError or RangeError naming the first bad one.
function checkBands(filters, rate, what) {
  if (!Array.isArray(filters)) throw new TypeError(`${what}: filters must be an array of { type, freq, q, gain }`);
  if (filters.length > MAX_BANDS) throw new RangeError(`${what}: at most ${MAX_BANDS} filters (${filters.length} given)`);
  return filters.map((band, i) => {
    const at = `${what}: filters[${i}]`;
    if (band === null || typeof band !== 'object' || Array.isArray(band)) throw new TypeError(`${at} must be an object { type, freq, q, gain }`);
    checkOptions(band, BAND_KEYS, at);
    const { type, freq, q = Math.SQRT1_2, gain = 0 } = band;
    if (!Object.hasOwn(LABELS, type)) throw new TypeError(`${at}.type must be one of ${Object.keys(LABELS).join(', ')}`);
    if (typeof freq !== 'number' || !Number.isFinite(freq)) throw new TypeError(`${at}.freq must be a number of Hz`);
    if (!(freq > 0 && freq < rate / 2)) throw new RangeError(`${at}.freq must be above 0 and below ${rate / 2} Hz (half the rate)`);
    if (typeof q !== 'number' || !Number.isFinite(q)) throw new TypeError(`${at}.q must be a finite number`);
    if (!(q > 0 && q <= 100)) throw new RangeError(`${at}.q must be above 0 and at most 100`);
    checkGain(gain, `${at}.gain`);
    return { type, freq, q, gain };
  });
}

module.exports = { LABELS, MAX_BANDS, checkBands, checkGain };
