'use strict';
// A "never" rule: links from a node matching `from` to a node matching `to`
// are removed as they appear, whoever made them (a session manager's default
// links included), except those a route of the process wants. A client that
// makes such a link again and again (a `pw-link` loop, a session manager
// relinking its stream) finds it removed at once each time, so the link is
// nearly never there; the removals of one pair are bounded in rate
// (REMOVALS_PER_WINDOW per REMOVAL_WINDOW_MS), so against a client that makes
// it again at once the two never loop faster than that, and the contest is
// reported once.
const { describeMatcher } = require('../match');
const { nodeMatcher, plainName } = require('../resolve-node');
const { Contention } = require('../link-rules/contention');

const UNLINK_MS = 3000;
const REMOVALS_PER_WINDOW = 2;
const REMOVAL_WINDOW_MS = 1000;
const pairKey = (out, inp) => `${out}:${inp}`;

class ForbiddenLinks {
  #graph;
  #shared;
  #emitAction;
  #emitError;
  #name;
  #from;
  #to;
  #description;
  #sources = new Set(); // node ids matching `from`
  #sinks = new Set(); // node ids matching `to`
  #removed = new Set(); // 'out:in' pairs this rule removed a link of
  #removing = new Set(); // link ids whose removal was asked for
  #contention = new Contention(); // counts the re-creations, reports a contest once
  #pace = new Map(); // 'out:in' -> { times: [removal times in the window], timer }
  #listeners;
  #events;
  #closed = false;

  constructor(graph, rule, { shared, view, events, emitAction, emitError, name }) {
    this.#graph = graph;
    this.#events = events;
    this.#shared = shared;
    this.#emitAction = emitAction;
    this.#emitError = emitError;
    this.#name = name;
    const defaults = () => graph.defaults;
    // A name fits a node of that name, or of that JACK name or description.
    this.#from = nodeMatcher(plainName(rule.from) ?? rule.from, 'never: from', { defaults });
    this.#to = nodeMatcher(plainName(rule.to) ?? rule.to, 'never: to', { defaults });
    this.#description = `never from ${describeMatcher(rule.from)} to ${describeMatcher(rule.to)}`;
    this.#listeners = {
      'node-created': (n) => this.#sortNode(n),
      'node-changed': (n, changed) => changed.props && this.#sortNode(n, true),
      'node-destroyed': (id) => (this.#sources.delete(id), this.#sinks.delete(id)),
      'link-created': (l) => this.#judge(l),
      'port-destroyed': (id) => this.#forgetPort(id),
      'defaults-changed': () => this.#resort(),
    };
    for (const [e, fn] of Object.entries(this.#listeners)) events.on(e, fn);
    for (const n of view.nodes) this.#sortNode(n);
    for (const l of view.links) this.#judge(l);
  }

  close() {
    this.#closed = true;
    for (const [e, fn] of Object.entries(this.#listeners)) this.#events.off(e, fn);
    this.#contention.close();
    for (const p of this.#pace.values()) clearTimeout(p.timer);
    this.#pace.clear();
  }

  #sortNode(node, look = false) {
    const was = this.#sources.has(node.id) || this.#sinks.has(node.id);
    for (const [set, match] of [[this.#sources, this.#from], [this.#sinks, this.#to]]) {
      if (match(node)) set.add(node.id);
      else set.delete(node.id);
    }
    // A node that came to match: the links it has already are judged now.
    if (look && !was && (this.#sources.has(node.id) || this.#sinks.has(node.id))) {
      for (const l of this.#graph.links()) if (l.srcNodeId === node.id || l.sinkNodeId === node.id) this.#judge(l);
    }
  }

  #resort() {
    for (const n of this.#graph.nodes()) this.#sortNode(n, true);
  }

  #judge(link) {
    if (this.#closed || !this.#sources.has(link.srcNodeId) || !this.#sinks.has(link.sinkNodeId)) return;
    if ([...this.#shared.routes].some((r) => r.claims(link.srcPortId, link.sinkPortId))) return;
    const key = pairKey(link.srcPortId, link.sinkPortId);
    // Made again after this rule removed it: someone insists.
    if (this.#removed.has(key)) {
      const contested = this.#contention.note(key);
      if (contested) {
        this.#emitError(
          new Error(
            `${this.#description}: the link from ${this.#name(link.srcPortId)} to ${this.#name(link.sinkPortId)} is contested: ` +
              `another client made it again ${contested.count} times in ${contested.seconds} s; ` +
              `removing it each time, at most ${REMOVALS_PER_WINDOW} times in ${REMOVAL_WINDOW_MS / 1000} s`,
          ),
        );
      }
    }
    this.#paced(key, () => this.#graph.links().find((l) => l.srcPortId === link.srcPortId && l.sinkPortId === link.sinkPortId));
  }

  // Removes the pair's link (`current()`: the one it has now) at once, unless
  // the pair had its REMOVALS_PER_WINDOW removals in the last
  // REMOVAL_WINDOW_MS: then when the oldest of them leaves the window, if a
  // link is still there. One timer per pair at most.
  #paced(key, current) {
    let p = this.#pace.get(key);
    if (!p) this.#pace.set(key, (p = { times: [], timer: null }));
    if (p.timer) return;
    const now = Date.now();
    p.times = p.times.filter((t) => now - t < REMOVAL_WINDOW_MS);
    if (p.times.length < REMOVALS_PER_WINDOW) {
      const link = current();
      if (link && !this.#removing.has(link.id)) p.times.push(now);
      this.#remove(link, key);
      return;
    }
    p.timer = setTimeout(() => {
      p.timer = null;
      if (!this.#closed && current()) this.#paced(key, current);
    }, p.times[0] + REMOVAL_WINDOW_MS - now);
  }

  #remove(link, key) {
    if (!link || this.#removing.has(link.id)) return;
    this.#removing.add(link.id);
    this.#removed.add(key);
    this.#graph.unlink(link, { timeoutMs: UNLINK_MS }).then(
      () => {
        this.#removing.delete(link.id);
        if (!this.#closed) this.#emitAction({ kind: 'removed', link, out: this.#name(link.srcPortId), in: this.#name(link.sinkPortId) });
      },
      (err) => {
        this.#removing.delete(link.id);
        if (!this.#closed) this.#emitError(new Error(`${this.#description}: link ${link.id} not removed: ${err.message}`));
      },
    );
  }

  // Its ports gone, a pair is no longer anyone's to contest (ids come back).
  #forgetPort(id) {
    const mine = (key) => key.startsWith(`${id}:`) || key.endsWith(`:${id}`);
    for (const key of this.#removed) if (mine(key)) this.#removed.delete(key);
    for (const [key, p] of this.#pace) if (mine(key)) clearTimeout(p.timer), this.#pace.delete(key);
  }
}

module.exports = { ForbiddenLinks };
