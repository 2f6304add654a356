'use strict';
// The node requests in flight (graph.createNode, graph.destroyNode), by
// token: each is answered by the add-on's "node-answered" events, which the
// connection hands here in the daemon's order.
const pending = new Map(); // token -> (outcome, id, res, message) => void
let nextToken = 1;

// A fresh token for a request; `handler(outcome, id, res, message)` gets
// each answer to it until forget(token).
function expect(handler) {
  const token = nextToken++;
  pending.set(token, handler);
  return token;
}

// The request `token` wants no more answers (it settled or timed out).
function forget(token) {
  pending.delete(token);
}

// A "node-answered" event's payload, for its request if that still waits.
function answered({ outcome, token, id, res, message }) {
  pending.get(token)?.(outcome, id, res, message);
}

module.exports = { expect, forget, answered };
