'use strict';
// AutoEq's and EqualizerAPO's "ParametricEQ.txt" as createFilter's options:
//   Preamp: -6.2 dB
//   Filter 1: ON PK Fc 105 Hz Gain 4.5 dB Q 0.70
// Types PK (PEQ), LSC (LS), HSC (HS), LP (LPQ), HP (HPQ) and NO; OFF lines
// are left out; blank lines and lines starting with '#' are comments.

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

// parseParametricEq(text) → { preamp, filters: [{ type, freq, q, gain }] }.
// Throws a SyntaxError naming the line of the first malformed one. Several
// Preamp lines add up, as EqualizerAPO applies each.
function parseParametricEq(text) {
  if (typeof text !== 'string') throw new TypeError('parseParametricEq requires the text of a ParametricEQ.txt file');
  let preamp = 0;
  const filters = [];
  const lines = text.split(/\r?\n/);
  lines.forEach((raw, index) => {
    const line = raw.trim();
    const fail = (why) => {
      throw new SyntaxError(`line ${index + 1}: ${why}: ${JSON.stringify(line.slice(0, 80))}`);
    };
    if (line === '' || line.startsWith('#')) return;
    const pre = PREAMP.exec(line);
    if (pre) {
      preamp += Number(pre[1]);
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
    filters.push({ type, freq: values.fc, q: values.q ?? DEFAULT_Q, gain: values.gain ?? 0 });
  });
  return { preamp, filters };
}

module.exports = { parseParametricEq };
