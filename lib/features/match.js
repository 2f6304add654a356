'use strict';
// Node matchers: how a script says which nodes it means.
//   'name'                       exact "node.name"
//   /regexp/                     tested on "node.name"
//   { key: 'text' | /regexp/ }   every announced property must match; a key
//                                'a|b' matches when property a or b does
//                                ('node.description|node.name')
//   (node) => boolean            anything else
//   '@default-audio-sink'        the current default of that kind (also
//   '@default-audio-source'      '@default-video-source', and wpctl's
//                                '@DEFAULT_AUDIO_SINK@', ...), when the caller
//                                gives the defaults; it follows a change

// The names that stand for a default device, and the key of graph.defaults
// each reads.
const DEFAULT_NAMES = {
  '@default-audio-sink': 'audioSink',
  '@default-audio-source': 'audioSource',
  '@default-video-source': 'videoSource',
  // wpctl's spellings
  '@DEFAULT_AUDIO_SINK@': 'audioSink',
  '@DEFAULT_SINK@': 'audioSink',
  '@DEFAULT_AUDIO_SOURCE@': 'audioSource',
  '@DEFAULT_SOURCE@': 'audioSource',
  '@DEFAULT_VIDEO_SOURCE@': 'videoSource',
};
const DEFAULT_LABELS = { audioSink: 'default audio sink', audioSource: 'default audio source', videoSource: 'default video source' };

const isDefaultName = (m) => typeof m === 'string' && Object.prototype.hasOwnProperty.call(DEFAULT_NAMES, m);

// The node name a default name stands for in `defaults` (graph.defaults): the
// default in effect, else the configured one; null when there is neither.
function defaultNodeName(defaults, m) {
  const kind = DEFAULT_NAMES[m];
  return defaults?.[kind] ?? defaults?.configured?.[kind] ?? null;
}

// defaultLabel(m) → a default name in words: "default audio sink".
const defaultLabel = (m) => DEFAULT_LABELS[DEFAULT_NAMES[m]];

// testRegExp(re, text) → whether `re` matches `text`, from its start whatever
// its flags.
function testRegExp(re, text) {
  re.lastIndex = 0; // a /g or /y pattern keeps state between tests otherwise
  return re.test(text);
}

// describeMatcher(m) → a matcher as a message shows it: a name quoted, a
// RegExp as written, a function by its name, property patterns as an object.
function describeMatcher(m) {
  if (typeof m === 'string') return JSON.stringify(m);
  if (m instanceof RegExp) return String(m);
  if (typeof m === 'function') return m.name ? `${m.name}()` : 'a function';
  return `{ ${Object.entries(m)
    .map(([k, v]) => `${JSON.stringify(k)}: ${v instanceof RegExp ? v : JSON.stringify(v)}`)
    .join(', ')} }`;
}

// Returns (node) => boolean for a matcher; throws a TypeError for anything
// that is not one. `what` names the argument in the message. With
// `defaults` (a function returning graph.defaults), a default name matches
// the node that is that default at the time of the call.
function compileMatcher(m, what = 'matcher', { defaults } = {}) {
  if (defaults && isDefaultName(m)) {
    return (node) => {
      const name = defaultNodeName(defaults(), m);
      return name !== null && node.name === name;
    };
  }
  if (typeof m === 'string') return (node) => node.name === m;
  if (m instanceof RegExp) return (node) => testRegExp(m, node.name);
  if (typeof m === 'function') return (node) => Boolean(m(node));
  if (m !== null && typeof m === 'object' && !Array.isArray(m)) {
    const entries = Object.entries(m);
    for (const [key, v] of entries) {
      if (typeof v !== 'string' && !(v instanceof RegExp)) {
        throw new TypeError(`${what}: the pattern for "${key}" must be a string or a RegExp`);
      }
    }
    if (entries.length === 0) throw new TypeError(`${what}: an object matcher needs at least one property`);
    const tests = entries.map(([key, v]) => [key.includes('|') ? key.split('|') : [key], v]);
    const fits = (props, key, v) =>
      Object.prototype.hasOwnProperty.call(props, key) && (typeof v === 'string' ? props[key] === v : testRegExp(v, props[key]));
    return (node) => {
      const props = node.props || {};
      return tests.every(([keys, v]) => keys.some((key) => fits(props, key, v)));
    };
  }
  throw new TypeError(`${what} must be a node name, a RegExp, an object of property patterns or a function`);
}

module.exports = { compileMatcher, describeMatcher, isDefaultName, defaultNodeName, defaultLabel, DEFAULT_NAMES };
