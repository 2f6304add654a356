'use strict';
// The one connection of the process behind every Graph handle: it hears the
// add-on, keeps the connection up while some handle wants it, and carries
// the link requests of all handles. Each handle hears every event once, in
// the daemon's order. What it carries lives beside it: the link request
// pump (link-requests.js), the unlink waits (unlink-waits.js) and the
// metadata mirror (metadata-mirror.js).
const addon = require('./addon');
const { setLongTimeout } = require('./abortable');
const { KINDS } = require('./event-kinds');
const { LinkRequests } = require('./link-requests');
const { UnlinkWaits } = require('./unlink-waits');
const { MetadataMirror } = require('./metadata-mirror');
const nodeRequests = require('./node-requests');
const { refusal } = require('./refusal');
const { callEach } = require('./call-each');

const BACKOFF_FIRST_MS = 50;
const BACKOFF_LIMIT_MS = 1000;
// A reconnect the daemon has taken but not answered by then (a daemon that
// stopped, or hangs, holding its socket) is made again; the wait doubles
// each time, for a daemon that is only slow with a large graph.
const ANSWER_FIRST_MS = 5000;
const ANSWER_LIMIT_MS = 60000;

class Connection {
  state = 'connecting'; // connecting | connected | disconnected | closed
  routes = new Set(); // the open routes of every handle, in the order made
  linking = new Set(); // 'out:in' pairs some route is asking for right now
  ownLinks = new Set(); // ids of the links this process asked for and that exist
  #handles = new Set(); // the subscription of each open handle: { reconnect, deliver(name, payload, changed), lost(message, wasConnected, keep) }
  #starting = new Set(); // connect() calls waiting for the first answer
  #unlinks = new UnlinkWaits(() => this.state === 'closed');
  #links = new LinkRequests(this.ownLinks);
  #metadata = new MetadataMirror((name, payload) => callEach(this.#handles, (h) => h.deliver(name, payload)));
  #backoffMs = BACKOFF_FIRST_MS;
  #reconnectTimer = null;
  #answerMs = ANSWER_FIRST_MS;
  #answerTimer = null;
  #beforeClose;
  #onEnd;
  #endReason = 'the connection was closed';

  // `beforeClose()`: while the connection is still up, as it closes;
  // `onEnd(connection)`: once it has.
  constructor({ beforeClose, onEnd }) {
    this.#beforeClose = beforeClose;
    this.#onEnd = onEnd;
    addon.setGraphListener((kind, payload, changed) => this.#onNative(kind, payload, changed));
    if (!addon.openGraph(false)) this.#failStart('the PipeWire thread could not be started');
  }

  // Resolves once the mirror holds the daemon's whole graph; rejects with
  // the reason when no daemon answers within `timeoutMs` (Infinity: never).
  ready(timeoutMs, reconnect) {
    if (this.state === 'connected') return Promise.resolve();
    if (this.state === 'closed') return Promise.reject(new Error(`PipeWire not reachable: ${this.#endReason}`));
    return new Promise((resolve, reject) => {
      const start = { reconnect, resolve, reject, timer: null };
      const end = () => {
        clearTimeout(start.timer);
        this.#starting.delete(start);
      };
      start.resolve = () => (end(), resolve());
      start.reject = (message) => {
        end();
        reject(new Error(`PipeWire not reachable: ${message}`));
        if (this.#handles.size === 0 && this.#starting.size === 0) this.#end();
      };
      if (timeoutMs !== Infinity) {
        start.timer = setLongTimeout(() => start.reject(`no answer within ${timeoutMs} ms`), timeoutMs);
      }
      this.#starting.add(start);
      if (this.state === 'disconnected' && reconnect) this.#scheduleReconnect();
    });
  }

  attach(handle) {
    this.#handles.add(handle);
  }

  // A handle lets go; the connection closes with the last one.
  detach(handle) {
    this.#handles.delete(handle);
    if (this.#handles.size === 0 && this.#starting.size === 0) this.#end();
  }

  // --- what it carries --------------------------------------------------------

  requestLink(out, inp, settle, options) {
    return this.#links.request(out, inp, settle, options);
  }

  unlink(linkId, timeoutMs, serial) {
    return this.#unlinks.unlink(linkId, timeoutMs, serial);
  }

  metadata(name) {
    return this.#metadata.metadata(name);
  }

  hasMetadata(name) {
    return this.#metadata.has(name);
  }

  defaults() {
    return this.#metadata.defaults();
  }

  setMetadata(subject, key, type, value, options) {
    return this.#metadata.setMetadata(subject, key, type, value, options);
  }

  // --- what the add-on says -------------------------------------------------------

  // `extra`: what a changed event changed; the serial of a removed link.
  #onNative(kind, payload, extra) {
    const name = KINDS[kind];
    if (this.state === 'closed' || name === undefined) return;
    switch (name) {
      case 'connected':
        this.state = 'connected';
        this.#backoffMs = BACKOFF_FIRST_MS;
        this.#answerMs = ANSWER_FIRST_MS;
        this.#stopAnswerWait();
        this.#metadata.takeSnapshot();
        for (const start of [...this.#starting]) start.resolve();
        break;
      case 'metadata-delta':
        // null: more changes came at once than the add-on keeps; it holds them all.
        if (payload === null) this.#metadata.takeSnapshot();
        else this.#metadata.apply(payload);
        return;
      case 'control-failed':
        this.#metadata.controlFailed(payload);
        break;
      case 'disconnected':
        this.#onDisconnected(payload);
        return;
      case 'link-bound':
        this.#links.bound(payload);
        return;
      case 'link-failed':
        this.#links.failed(payload);
        return;
      case 'unlink-failed':
        this.#unlinks.settle(payload.id, refusal(payload.res, payload.message));
        return;
      case 'link-ended':
        this.#links.ended(payload);
        return;
      case 'node-answered':
        nodeRequests.answered(payload);
        return;
      case 'link-created':
        this.#links.linkCreated(payload);
        break;
      case 'link-destroyed':
        this.ownLinks.delete(payload);
        this.#links.linkDestroyed(payload);
        this.#unlinks.settle(payload, undefined, extra);
        break;
      default:
        break;
    }
    const changed = name === 'link-destroyed' ? undefined : extra;
    callEach(this.#handles, (h) => h.deliver(name, payload, changed));
  }

  // --- lifecycle and reconnect --------------------------------------------------

  #onDisconnected({ res, message }) {
    const wasConnected = this.state === 'connected';
    this.state = 'disconnected';
    this.#stopAnswerWait();
    // What the PipeWire thread had is gone with the connection, and the links
    // this process made with it.
    this.#links.disconnected();
    this.ownLinks.clear();
    this.#unlinks.settleAll();
    // res 0: destroyPwThread closed the connection for everyone on purpose.
    const retry = res !== 0;
    const keep = (h) => retry && h.reconnect;
    for (const start of [...this.#starting]) if (!(retry && start.reconnect)) start.reject(message);
    callEach(this.#handles, (h) => h.lost(message, wasConnected, keep(h)));
    if (this.#handles.size > 0 || this.#starting.size > 0) this.#scheduleReconnect();
    else this.#end();
  }

  #scheduleReconnect() {
    if (this.#reconnectTimer || this.state === 'closed') return;
    const delay = this.#backoffMs;
    this.#backoffMs = Math.min(this.#backoffMs * 2, BACKOFF_LIMIT_MS);
    this.#reconnectTimer = setTimeout(() => {
      this.#reconnectTimer = null;
      if (this.state !== 'disconnected') return;
      if (!addon.openGraph(true)) return this.#scheduleReconnect();
      this.#answerTimer = setTimeout(() => {
        this.#answerTimer = null;
        if (this.state !== 'disconnected') return;
        this.#answerMs = Math.min(this.#answerMs * 2, ANSWER_LIMIT_MS);
        this.#scheduleReconnect();
      }, this.#answerMs);
      return undefined;
    }, delay);
  }

  #stopAnswerWait() {
    clearTimeout(this.#answerTimer);
    this.#answerTimer = null;
  }

  #failStart(message) {
    this.#endReason = message;
    for (const start of [...this.#starting]) start.reject(message);
    this.#end();
  }

  #end() {
    if (this.state === 'closed') return;
    this.state = 'closed';
    clearTimeout(this.#reconnectTimer);
    this.#reconnectTimer = null;
    this.#stopAnswerWait();
    this.#beforeClose();
    addon.closeGraph();
    addon.setGraphListener(undefined);
    this.#links.closed();
    this.ownLinks.clear();
    this.#unlinks.settleAll();
    for (const start of [...this.#starting]) start.reject(this.#endReason);
    this.#onEnd(this);
  }
}

module.exports = { Connection };
