'use strict';
// Commands sent to another host's bridge over the broker and their answers,
// shared by the bridge (a stream command sent on to its sender) and the web
// server for the hosts on a broker. A command goes at QoS 0 with an MQTT 5
// response topic and fresh correlation data; around a reconnect of either
// side it may be lost, so a copy is sent again after 1, 2 and 4 s while no
// answer has come. The bridge answers a copy with the first one's outcome
// and does the command once. A host heard going offline while requests wait
// for it has AWAY_MS to come back (a bridge restarting does, and a copy
// reaches it); if it does not, they are answered then rather than at the
// end of their wait.
const { randomBytes } = require('node:crypto');
const { parseJson } = require('./broker-payload');

const RESEND_MS = [1000, 2000, 4000];
const AWAY_MS = 3000; // a bridge restarting is back on the broker within this

class BrokerRequests {
  #pending = new Map(); // correlation (hex) → { topic, resolve, timers }
  #away = new Map(); // topic → timer: its host went offline while requests to it wait
  #max;
  #replyTopic;
  #publish;
  #outcome;

  // max: requests waiting at once; replyTopic: where answers come;
  // publish(topic, text, options): the caller's MQTT publish; outcome(answer):
  // what a request resolves with for an answer (its JSON, null if not JSON).
  constructor({ max, replyTopic, publish, outcome }) {
    this.#max = max;
    this.#replyTopic = replyTopic;
    this.#publish = publish;
    this.#outcome = outcome;
  }

  get size() {
    return this.#pending.size;
  }

  /**
   * send(topic, command, waitMs, noAnswer) → a Promise of outcome(answer),
   * or of noAnswer() once `waitMs` has passed without one; null at once,
   * nothing sent, when `max` requests already wait.
   */
  send(topic, command, waitMs, noAnswer) {
    if (this.#pending.size >= this.#max) return null;
    const correlation = randomBytes(12);
    const key = correlation.toString('hex');
    const text = JSON.stringify(command);
    const options = { qos: 0, retain: false, properties: { responseTopic: this.#replyTopic, correlationData: correlation } };
    return new Promise((resolve) => {
      const entry = { topic, resolve, timers: [] };
      entry.timers.push(setTimeout(() => this.#settle(key, noAnswer()), waitMs));
      let at = 0;
      for (const ms of RESEND_MS) {
        at += ms;
        if (at < waitMs) entry.timers.push(setTimeout(() => this.#publish(topic, text, options), at));
      }
      this.#pending.set(key, entry);
      this.#publish(topic, text, options);
    });
  }

  /** A message heard on the reply topic: the answer of a request waiting (the first of its copies) settles it. */
  answered(packet, payload) {
    const key = packet.properties?.correlationData?.toString('hex');
    if (!key || !this.#pending.has(key)) return;
    let answer;
    try {
      answer = parseJson(payload);
    } catch {
      answer = null;
    }
    this.#settle(key, this.#outcome(answer));
  }

  /**
   * away(topic, outcome): the host that `topic` reaches was heard going
   * offline; the requests waiting for it resolve with `outcome` after
   * AWAY_MS unless back(topic) comes first. Nothing when none waits.
   */
  away(topic, outcome) {
    if (this.#away.has(topic) || ![...this.#pending.values()].some((e) => e.topic === topic)) return;
    this.#away.set(topic, setTimeout(() => {
      this.#away.delete(topic);
      for (const [key, e] of [...this.#pending]) if (e.topic === topic) this.#settle(key, outcome);
    }, AWAY_MS));
  }

  /** back(topic): the host that `topic` reaches was heard online again; its requests wait on. */
  back(topic) {
    clearTimeout(this.#away.get(topic));
    this.#away.delete(topic);
  }

  /** Resolves every waiting request with `outcome`. */
  close(outcome) {
    for (const t of this.#away.values()) clearTimeout(t);
    this.#away.clear();
    for (const key of [...this.#pending.keys()]) this.#settle(key, outcome);
  }

  #settle(key, value) {
    const entry = this.#pending.get(key);
    if (!entry) return;
    this.#pending.delete(key);
    for (const t of entry.timers) clearTimeout(t);
    entry.resolve(value);
  }
}

module.exports = { BrokerRequests, RESEND_MS, AWAY_MS };
