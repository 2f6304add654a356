'use strict';
// What comes in from the broker is untrusted: payloads are read within a size
// bound, JSON without "__proto__" keys, and commands are let through at a
// bounded rate. Topic levels made from names are escaped so that a name never
// adds a level or a wildcard.

const MAX_PAYLOAD_BYTES = 64 * 1024;

class PayloadError extends Error {}

/**
 * parseJson(buffer) → the value of a JSON payload of at most
 * MAX_PAYLOAD_BYTES; a PayloadError for a larger one, one that is not JSON
 * (or not UTF-8) or that holds a "__proto__" key at any depth.
 */
function parseJson(payload) {
  if (payload.length > MAX_PAYLOAD_BYTES) throw new PayloadError(`a command is at most ${MAX_PAYLOAD_BYTES} bytes, this one has ${payload.length}`);
  const text = payload.toString('utf8');
  if (!Buffer.from(text, 'utf8').equals(payload)) throw new PayloadError('a command must be UTF-8 text');
  try {
    return JSON.parse(text, (key, value) => {
      if (key === '__proto__') throw new PayloadError('a command may not hold a "__proto__" key');
      return value;
    });
  } catch (e) {
    if (e instanceof PayloadError) throw e;
    throw new PayloadError('a command must be JSON');
  }
}

/**
 * parseScalar(buffer) → a payload that is one value as a person types it on
 * mosquitto_pub: JSON when it parses (0.5, true, "name"), else the trimmed
 * text itself (ON, alsa_output.x); the same size bound as parseJson.
 */
function parseScalar(payload) {
  try {
    return parseJson(payload);
  } catch (e) {
    if (e.message !== 'a command must be JSON') throw e;
    return payload.toString('utf8').trim();
  }
}

/**
 * A token bucket: take() → true while fewer than `burst` were taken
 * recently and `rate` a second on average; false past that.
 */
class RateLimit {
  #tokens;
  #last = Date.now();

  constructor(rate, burst) {
    this.rate = rate;
    this.burst = burst;
    this.#tokens = burst;
  }

  take() {
    const now = Date.now();
    this.#tokens = Math.min(this.burst, this.#tokens + ((now - this.#last) * this.rate) / 1000);
    this.#last = now;
    if (this.#tokens < 1) return false;
    this.#tokens -= 1;
    return true;
  }
}

// A name as one topic level: "/", "+", "#", "%", controls and the empty name
// percent-encoded, so that the level reads back to exactly that name.
const topicLevel = (name) => (name === '' ? '%00' : name.replace(/[%/+#\p{Cc}]/gu, (c) => `%${c.charCodeAt(0).toString(16).toUpperCase().padStart(2, '0')}`));

module.exports = { MAX_PAYLOAD_BYTES, PayloadError, parseJson, parseScalar, RateLimit, topicLevel };
