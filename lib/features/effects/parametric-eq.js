'use strict';
// AutoEq's and EqualizerAPO's "ParametricEQ.txt" as createFilter's options:
//   Preamp: -6.2 dB
//   Filter 1: ON PK Fc 105 Hz Gain 4.5 dB Q 0.70
// Types PK (PEQ), LSC (LS), HSC (HS), LP (LPQ), HP (HPQ) and NO; OFF lines
// are left out; blank lines and lines starting with '#' are comments.
const { MAX_BANDS, checkFreq, checkQ, checkGain } = require('./bands');

const TYPES = {
  PK: 'peaking',
  PEQ: 'peaking',
  LS: 'lowshelf',
  LSC: 'lowshelf',
  HS: 'highshelf',
  HSC: 'highshelf',
  LP: 'lowpass',
  LPQ: 'lowpass',
  HP: 'highpass',
  HPQ: 'highpass',
  NO: 'notch',
};
// The Q of a band whose line gives none: a Butterworth section's.
const DEFAULT_Q = Math.SQRT1_2;
const NUMBER = '([-+]?(?:\\d+\\.?\\d*|\\.\\d+)(?:[eE][-+]?\\d+)?)';
const PREAMP = new RegExp(`^preamp\\s*:\\s*${NUMBER}\\s*db$`, 'i');
const FILTER = /^filter\s*\d*\s*:\s*(on|off)\s+([a-z]+)\s*(.*)$/i;
const FIELDS = {
  fc: new RegExp(`^fc\\s+${NUMBER}\\s*hz\\b\\s*`, 'i'),
  gain: new RegExp(`^gain\\s+${NUMBER}\\s*db\\b\\s*`, 'i'),
  q: new RegExp(`^q\\s+${NUMBER}\\s*`, 'i'),
};

// parseParametricEq(text, { rate }) → { preamp, filters: [{ type, freq, q,
// gain }] }, as createFilter takes them. Each value is checked to what a
// biquad does (bands.js): a gain and the preamp within ±48 dB, Q above 0
// and at most 100, a frequency above 0 and, with `rate` (the graph's clock
// rate), below half of it; at most 64 filters. The first line that is
// malformed is refused with its number (a SyntaxError), the first of a
// value out of those bounds likewise (a RangeError). Several Preamp lines add
// up, as EqualizerAPO applies each. OFF lines are read, not checked.
function parseParametricEq(text, { rate = Infinity } = {}) {
  if (typeof text !== 'string') throw new TypeError('parseParametricEq requires the text of a ParametricEQ.txt file');
  let preamp = 0;
  const filters = [];
  const lines = text.split(/\r?\n/);
  lines.forEach((raw, index) => {
    const line = raw.trim();
    const at = `line ${index + 1}`;
    const quoted = JSON.stringify(line.slice(0, 80));
    const fail = (why) => {
      throw new SyntaxError(`${at}: ${why}: ${quoted}`);
    };
    // A value out of bounds: the band check's own words, and the line.
    const bounded = (check) => {
      try {
        return check();
      } catch (e) {
        throw new (e.constructor === TypeError ? TypeError : RangeError)(`${e.message}: ${quoted}`);
      }
    };
    if (line === '' || line.startsWith('#')) return;
    const pre = PREAMP.exec(line);
    if (pre) {
      bounded(() => checkGain(Number(pre[1]), `${at}: Preamp`));
      preamp += Number(pre[1]);
      bounded(() => checkGain(preamp, `${at}: the Preamp lines together`));
      return;
    }
    const f = FILTER.exec(line);
    if (!f) fail('neither a Preamp nor a Filter line');
    const type = TYPES[f[2].toUpperCase()];
    if (!type) fail(`unknown filter type ${f[2]}`);
    const values = {};
    let rest = f[3];
    while (rest !== '') {
      const key = Object.keys(FIELDS).find((k) => FIELDS[k].test(rest));
      if (!key || key in values) fail(`cannot read ${JSON.stringify(rest.slice(0, 20))}`);
      const m = FIELDS[key].exec(rest);
      values[key] = Number(m[1]);
      rest = rest.slice(m[0].length);
    }
    if (values.fc === undefined) fail('no frequency (Fc ... Hz)');
    if (f[1].toUpperCase() === 'OFF') return;
    if (filters.length === MAX_BANDS) throw new RangeError(`${at}: more than ${MAX_BANDS} filters that are ON (an equaliser has at most ${MAX_BANDS}): ${quoted}`);
    const band = { type, freq: values.fc, q: values.q ?? DEFAULT_Q, gain: values.gain ?? 0 };
    bounded(() => (checkFreq(band.freq, rate, `${at}: Fc`), checkQ(band.q, `${at}: Q`), checkGain(band.gain, `${at}: Gain`)));
    filters.push(band);
  });
  return { preamp, filters };
}

module.exports = { parseParametricEq };
