'use strict';
// Which of a host's nodes a stream between hosts may take: by default a host
// receives only into sinks ("Audio/Sink*"), and sends only what plays (a
// playing stream, "Stream/Output/Audio", or what a sink plays, through its
// monitor): never a capture device (a microphone, "Audio/Source*", a duplex
// device) nor a recording stream. Rules the host's owner gives add nodes to
// these (a microphone named there may be sent); nothing else widens them.
const { compileMatcher, describeMatcher } = require('../match');

const DEFAULT_SEND = /^(Stream\/Output\/Audio|Audio\/Sink)/;
const DEFAULT_RECEIVE = /^Audio\/Sink/;
const MAX_RULES = 64;

/**
 * streamRules({ send, receive }) → { allows(role, node) → null or why not }:
 * `send` and `receive` are arrays of node matchers (names, RegExps,
 * property patterns) allowed besides the defaults. A TypeError for anything
 * else.
 */
function streamRules({ send = [], receive = [] } = {}) {
  const compile = (list, name) => {
    if (!Array.isArray(list) || list.length > MAX_RULES) throw new TypeError(`streams: ${name} must be an array of at most ${MAX_RULES} node matchers`);
    return list.map((m, i) => ({ test: compileMatcher(m, `streams: ${name}[${i}]`), text: describeMatcher(m) }));
  };
  const extra = { send: compile(send, 'send'), receive: compile(receive, 'receive') };
  return {
    allows(role, node) {
      const cls = node.type ?? node.props?.['media.class'] ?? '';
      if ((role === 'send' ? DEFAULT_SEND : DEFAULT_RECEIVE).test(cls)) return null;
      if (extra[role].some((r) => r.test(node))) return null;
      const kind = role === 'send' ? 'sent: only playing streams and sinks are, unless a send rule names it' : 'a stream: only sinks take one, unless a receive rule names it';
      return `node ${JSON.stringify(node.name)} (${cls || 'no media class'}) may not be ${kind}`;
    },
  };
}

module.exports = { streamRules, DEFAULT_SEND, DEFAULT_RECEIVE };
