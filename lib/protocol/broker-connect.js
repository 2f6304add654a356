'use strict';
// The first connection to a broker, shared by the bridge and the web server
// for the hosts on a broker: both retry later connections with a back-off of
// their own, and give up at once only on what no retry changes.

// The broker's refusals of the credentials (MQTT 3.1.1's 4 and 5, MQTT 5's
// 134 and 135).
const AUTH_CODES = new Set([4, 5, 134, 135]);

// firstConnect(client, timeoutMs, notReached, refusal) → a Promise that
// resolves at `client`'s first "connect"; rejects with notReached() once
// `timeoutMs` has passed (0: never), or with refusal(error) for an "error"
// event that refusal turns into an Error (null: not fatal, waited past).
// Its listeners are removed either way.
function firstConnect(client, timeoutMs, notReached, refusal) {
  return new Promise((resolve, reject) => {
    const done = (f, v) => {
      clearTimeout(timer);
      client.off('connect', ok);
      client.off('error', bad);
      f(v);
    };
    const timer = timeoutMs ? setTimeout(() => done(reject, notReached()), timeoutMs) : null;
    const ok = () => done(resolve);
    const bad = (e) => {
      const error = refusal(e);
      if (error) done(reject, error);
    };
    client.on('connect', ok);
    client.on('error', bad);
  });
}

module.exports = { AUTH_CODES, firstConnect };
