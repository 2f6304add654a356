'use strict';
// The link request pump: the link requests of every handle, handed to the
// PipeWire thread a bounded number at a time, and their answers matched to
// the links the registry announces.
const addon = require('./addon');
const { newToken } = require('./tokens');
const { refusal } = require('./refusal');

// Link requests handed to the PipeWire thread whose answer (bound, failed,
// ended) has not come: the links the daemon is making for this process at
// one time; the rest waits here, in order. Not the add-on's work queue
// bound (kMaxQueuedRequests, 16,384), which counts requests of every kind
// not yet taken by the PipeWire thread: this one keeps the links far below
// it, so that volume and metadata requests find room beside a burst of links.
const MAX_UNANSWERED_LINKS = 64;

class LinkRequests {
  #ownLinks; // ids of the links this process asked for and that exist
  #requests = new Map(); // token -> { settle, id }
  #byLinkId = new Map(); // registry id -> token, once bound
  #recentLinks = new Map(); // links announced while requests wait for their bound id
  #inFlight = new Set(); // tokens the PipeWire thread has and has not answered
  #queue = []; // { token, out, inp, linger } waiting for room

  constructor(ownLinks) {
    this.#ownLinks = ownLinks;
  }

  // Asks for a link; `settle` hears the outcome. A lingering link outlives
  // the connection. Returns the clean-up to run when the caller stops waiting.
  request(out, inp, settle, { linger = false } = {}) {
    const token = newToken();
    const req = { settle: null, id: undefined, done: false };
    req.settle = {
      resolve: (link) => {
        req.done = true;
        this.#ownLinks.add(link.id);
        settle.resolve(link);
      },
      reject: (err) => {
        req.done = true;
        settle.reject(err);
      },
    };
    this.#requests.set(token, req);
    this.#queue.push({ token, out, inp, linger });
    this.#pump();
    return () => this.#forgetRequest(token);
  }

  #pump() {
    while (this.#queue.length > 0 && this.#inFlight.size < MAX_UNANSWERED_LINKS) {
      const { token, out, inp, linger } = this.#queue.shift();
      const req = this.#requests.get(token);
      if (!req) continue; // given up while it waited
      try {
        addon.graphLink(out, inp, token, linger);
        this.#inFlight.add(token);
      } catch (e) {
        req.settle.reject(e);
      }
    }
  }

  #answered(token) {
    if (this.#inFlight.delete(token)) this.#pump();
  }

  #forgetRequest(token) {
    const req = this.#requests.get(token);
    // Given up on (a time-out, an abort) while the PipeWire thread or the
    // daemon has it: a link the daemon makes all the same goes at once.
    if (req && !req.done && (this.#inFlight.has(token) || req.id !== undefined)) {
      addon.graphAbandonLink(token);
      this.#answered(token);
    }
    this.#drop(token);
  }

  #drop(token) {
    const req = this.#requests.get(token);
    if (req?.id !== undefined) this.#byLinkId.delete(req.id);
    this.#requests.delete(token);
    if (this.#requests.size === 0) this.#recentLinks.clear();
  }

  // The add-on's answer to a request.
  bound({ token, id }) {
    this.#answered(token);
    const req = this.#requests.get(token);
    if (!req) return;
    req.id = id;
    const link = this.#recentLinks.get(id);
    if (link) req.settle.resolve(link);
    else this.#byLinkId.set(id, token);
  }

  failed({ token, res, message }) {
    this.#answered(token);
    this.#requests.get(token)?.settle.reject(refusal(res, message));
  }

  ended({ token }) {
    this.#answered(token);
    this.#requests.get(token)?.settle.reject(new Error('PipeWire dropped the link request'));
  }

  // The registry's announcements.
  linkCreated(link) {
    const token = this.#byLinkId.get(link.id);
    if (token !== undefined) this.#requests.get(token)?.settle.resolve(link);
    else if (this.#requests.size > 0) this.#recentLinks.set(link.id, link);
  }

  linkDestroyed(id) {
    this.#recentLinks.delete(id);
  }

  // What the PipeWire thread had is gone with the connection.
  disconnected() {
    this.#inFlight.clear();
  }

  closed() {
    this.#queue = [];
    this.disconnected();
  }
}

module.exports = { LinkRequests };
