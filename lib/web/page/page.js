'use strict';
// The web patchbay's page: the graph kept from a snapshot plus the server's
// events and drawn piece by piece (a change redraws only the node, port or
// link it is about, and moves the boxes the layout moves for it: layout.js),
// at most once a frame; the user's requests sent over the same WebSocket,
// paced to the server's limits. Every text from the graph goes in as text
// (textContent), never as markup.
(() => {
  const state = { nodes: new Map(), ports: new Map(), links: new Map(), devices: null, defaults: null, daemon: { connected: true }, rules: undefined, actions: [] };
  // What the page measured, for the tests and the benchmark: each event's
  // time from the server hearing it to its arrival and to its frame drawn.
  // renderMs: each frame's time; graphMs: the picture's part of it;
  // work: the time in all, in ms, taking in messages (parsed and applied),
  // drawing the picture and the panel.
  const stats = { latencies: [], arrivals: [], renderMs: [], graphMs: [], renders: 0, snapshots: 0, events: 0, ready: false, work: { receive: 0, picture: 0, panel: 0 } };
  window.__quorvane = stats;
  const MAX_LATENCIES = 20000;
  const VOLUME_MAX = 1.5; // the slider's end, on wpctl's scale (150%)
  const REQUEST_MS = 10000; // a request unanswered this long is given up
  const STREAM_REQUEST_MS = 16000; // a stream between hosts is answered once it flows (the bridges wait 10 s, 12 s sent on)
  const $ = (id) => document.getElementById(id);
  const now = () => performance.timeOrigin + performance.now();
  const collator = new Intl.Collator(undefined, { numeric: true, sensitivity: 'base' });
  const SVG = 'http://www.w3.org/2000/svg';

  // --- the token: from the URL's fragment into this tab's storage ----------------

  const TOKEN_KEY = 'quorvane-web-token';
  const fromUrl = /(?:^#|&)token=([A-Za-z0-9_-]{1,200})/.exec(location.hash)?.[1];
  if (fromUrl) {
    sessionStorage.setItem(TOKEN_KEY, fromUrl);
    history.replaceState(null, '', location.pathname + location.search); // out of the address bar and the history
  }
  const token = sessionStorage.getItem(TOKEN_KEY);
  // Served for the hosts on a broker: the host this tab shows.
  const HOST_KEY = 'quorvane-web-host';
  let host = sessionStorage.getItem(HOST_KEY) || '';
  let switching = false;
  let remote = false; // sent a list of hosts: served for a broker

  // --- connection and requests -------------------------------------------------

  let ws = null;
  let nextId = 1;
  const pending = new Map(); // request id -> { resolve, timer }
  const waiting = []; // requests not sent yet: { id, msg, resolve, timer }
  let retryMs = 500;
  // The server's limits (it says them first); the page keeps well below.
  let limits = { ratePerS: 50, burst: 100, inFlight: 16 };
  let bucket = { tokens: 0, at: 0 };
  let pumpTimer = null;

  function open() {
    if (!token) return setStatus('no token: open the URL quorvane web printed');
    const query = host ? `?host=${encodeURIComponent(host)}` : '';
    ws = new WebSocket(`${location.protocol === 'https:' ? 'wss' : 'ws'}://${location.host}/ws${query}`, ['quorvane', `quorvane.token.${token}`]);
    ws.onopen = () => {
      retryMs = 500;
      bucket = { tokens: limits.burst / 2, at: performance.now() };
      setStatus();
      meters.sent = null; // a new connection has no meters yet
      metersDue();
    };
    ws.onmessage = (e) => {
      const start = performance.now();
      receive(JSON.parse(e.data));
      stats.work.receive += performance.now() - start;
    };
    ws.onclose = () => {
      for (const r of [...pending.values(), ...waiting.splice(0)]) finish(r, { ok: false, error: 'connection to the server lost' });
      pending.clear();
      if (switching) {
        switching = false;
        return open();
      }
      setStatus(`server not reachable; trying again in ${Math.round(retryMs / 1000)} s`);
      setTimeout(open, retryMs);
      retryMs = Math.min(retryMs * 2, 10000);
    };
  }

  function finish(r, reply) {
    clearTimeout(r.timer);
    r.resolve(reply);
  }

  // Resolves with the server's reply, or { ok: false, error } when there is
  // none within REQUEST_MS (the request is given up: its control is free).
  function request(op, fields) {
    if (!ws || ws.readyState !== WebSocket.OPEN) return Promise.resolve({ ok: false, error: 'not connected to the server' });
    return new Promise((resolve) => {
      const r = { id: nextId++, msg: { op, ...fields }, resolve };
      const ms = op === 'stream' ? STREAM_REQUEST_MS : REQUEST_MS;
      r.timer = setTimeout(() => {
        pending.delete(r.id);
        setTimeout(pump);
        const i = waiting.indexOf(r);
        if (i >= 0) waiting.splice(i, 1);
        resolve({ ok: false, error: `no answer from the server within ${ms / 1000} s: ${op} given up` });
      }, ms);
      waiting.push(r);
      pump();
    });
  }

  // Sends what waits, as fast as the page's share of the server's rate allows.
  function pump() {
    clearTimeout(pumpTimer);
    pumpTimer = null;
    const rate = limits.ratePerS * 0.8;
    const t = performance.now();
    bucket.tokens = Math.min(limits.burst / 2, bucket.tokens + ((t - bucket.at) / 1000) * rate);
    bucket.at = t;
    while (waiting.length && ws?.readyState === WebSocket.OPEN && pending.size < limits.inFlight / 2 && bucket.tokens >= 1) {
      const r = waiting.shift();
      bucket.tokens -= 1;
      pending.set(r.id, r);
      ws.send(JSON.stringify({ id: r.id, ...r.msg }));
    }
    if (waiting.length && pending.size < limits.inFlight / 2) pumpTimer = setTimeout(pump, Math.min(1000, Math.max(5, Math.ceil(((1 - bucket.tokens) / rate) * 1000))));
  }

  // Sends a request; shows the refusal, if any, and a warning. Resolves with the reply.
  async function ask(op, fields, done) {
    const reply = await request(op, fields);
    if (!reply.ok) say(reply.error, 'error');
    else {
      if (done) say(done(reply.result));
      if (reply.result?.warning) say(`warning: ${reply.result.warning}`, 'warning');
    }
    return reply;
  }

  function receive(msg) {
    if (msg.type === 'snapshot') applySnapshot(msg);
    else if (msg.type === 'hosts') drawHosts(msg);
    else if (msg.type === 'fleet') applyFleet(msg);
    else if (msg.type === 'levels') applyLevels(msg.levels);
    else if (msg.type === 'status') drawSignal(msg.drivers);
    else if (msg.type === 'limits') {
      if (['ratePerS', 'burst', 'inFlight'].every((k) => Number.isFinite(msg[k]) && msg[k] >= 2)) limits = msg;
    }
    else if (msg.type === 'events') {
      const at = now();
      for (const ev of msg.events) {
        stats.arrivals.push(at - ev.t);
        stats.events++;
        applyEvent(ev);
      }
      if (stats.arrivals.length > MAX_LATENCIES) stats.arrivals.splice(0, stats.arrivals.length - MAX_LATENCIES);
    } else if (msg.type === 'reply') {
      const r = pending.get(msg.id);
      pending.delete(msg.id);
      if (r) finish(r, msg);
      else if (!msg.ok && msg.id === null) say(msg.error, 'error');
      pump();
    }
  }

  // --- the graph's state, and what each change makes to draw ---------------------

  const dirty = { nodes: new Set(), links: new Set(), rows: new Set(), lists: false, panel: false, cards: false, all: false, layout: false, arrange: false };
  const linksOf = new Map(); // node id -> Set of link ids
  const portsOf = new Map(); // node id -> Set of port ids

  function indexPort(p, add) {
    dirty.layout = true; // a node with no class goes by its ports' directions
    if (!portsOf.has(p.nodeId)) portsOf.set(p.nodeId, new Set());
    if (add) portsOf.get(p.nodeId).add(p.id);
    else portsOf.get(p.nodeId).delete(p.id);
  }

  function indexLink(l, add) {
    dirty.layout = true; // the layers follow the links
    for (const n of [l.srcNodeId, l.sinkNodeId]) {
      if (!linksOf.has(n)) linksOf.set(n, new Set());
      if (add) linksOf.get(n).add(l.id);
      else linksOf.get(n).delete(l.id);
      if (filters.unlinked) dirty.nodes.add(n);
    }
  }

  function applySnapshot(s) {
    state.nodes = new Map(s.nodes.map((n) => [n.id, n]));
    state.ports = new Map(s.ports.map((p) => [p.id, p]));
    state.links = new Map(s.links.map((l) => [l.id, l]));
    linksOf.clear();
    portsOf.clear();
    for (const l of state.links.values()) indexLink(l, true);
    for (const p of state.ports.values()) indexPort(p, true);
    state.defaults = s.defaults;
    // None from a host on a broker: the panel is hidden, and so are what the
    // broker does not carry (virtual devices, level meters).
    state.devices = Array.isArray(s.devices) ? new Map(s.devices.map((d) => [d.id, d])) : null;
    $('virtual-panel').hidden = state.devices === null;
    if (state.devices === null) noMeters();
    dirty.cards = true;
    state.daemon = s.daemon;
    state.rules = s.rules;
    state.actions = s.actions || [];
    stats.snapshots++;
    dirty.all = dirty.lists = dirty.panel = true;
    schedule(s.t);
  }

  function applyEvent({ k, d, c, t }) {
    switch (k) {
      case 'node-created':
      case 'node-changed': {
        const before = state.nodes.get(d.id);
        state.nodes.set(d.id, d);
        dirty.rows.add(d.id);
        // The picture shows a node's label and class; other changes (its
        // info, state, volume) leave it as it is, but for the tooltip.
        if (!before || nodeLabel(before) !== nodeLabel(d) || before.type !== d.type) dirty.nodes.add(d.id);
        if (before && before.type !== d.type) dirty.layout = true;
        else nodeViews.get(d.id)?.g.firstChild?.removeAttribute('data-full');
        if (!before || listed(before) !== listed(d)) dirty.lists = true;
        break;
      }
      case 'node-destroyed':
        state.nodes.delete(d);
        dirty.nodes.add(d);
        dirty.rows.add(d);
        dirty.lists = true;
        break;
      case 'port-created':
      case 'port-changed': {
        const before = state.ports.get(d.id);
        state.ports.set(d.id, d);
        if (!before || before.name !== d.name || before.direction !== d.direction || before.nodeId !== d.nodeId || isMonitor(before) !== isMonitor(d)) {
          if (before) indexPort(before, false);
          indexPort(d, true);
          dirty.nodes.add(d.nodeId);
          if (before) dirty.nodes.add(before.nodeId);
        }
        break;
      }
      case 'port-destroyed': {
        const before = state.ports.get(d);
        state.ports.delete(d);
        if (before) {
          indexPort(before, false);
          dirty.nodes.add(before.nodeId);
        }
        break;
      }
      case 'link-created':
      case 'link-changed': {
        const before = state.links.get(d.id);
        state.links.set(d.id, d);
        if (!before) indexLink(d, true);
        dirty.links.add(d.id); // its state and format are not drawn, but its ends may be new
        break;
      }
      case 'link-destroyed': {
        const before = state.links.get(d);
        state.links.delete(d);
        if (before) indexLink(before, false);
        dirty.links.add(d);
        if (selected === d) select(null);
        break;
      }
      case 'device-created':
      case 'device-changed':
        if (!state.devices || d === null || typeof d !== 'object') return;
        state.devices.set(d.id, d);
        dirty.cards = true;
        break;
      case 'device-destroyed':
        if (!state.devices) return;
        state.devices.delete(d);
        dirty.cards = true;
        break;
      case 'defaults-changed':
        state.defaults = d;
        dirty.panel = true;
        break;
      case 'daemon':
        state.daemon = d;
        dirty.panel = true;
        break;
      case 'action':
        state.actions.push(d);
        if (state.actions.length > 200) state.actions.shift();
        dirty.panel = true;
        break;
      default:
        return;
    }
    schedule(t);
  }

  // --- drawing, once a frame -------------------------------------------------------

  let queued = false;
  let fitted = false;
  let times = []; // event times waiting for the next frame

  function schedule(t) {
    if (typeof t === 'number') times.push(t);
    if (queued) return;
    queued = true;
    requestAnimationFrame(render);
  }

  function render() {
    queued = false;
    const start = now();
    drawGraph();
    const drawn = now();
    drawPanel();
    stats.renders++;
    const at = now();
    stats.renderMs.push(at - start);
    stats.graphMs.push(drawn - start);
    stats.work.picture += drawn - start;
    stats.work.panel += at - drawn;
    if (stats.renderMs.length > 1000) stats.renderMs.shift();
    if (stats.graphMs.length > 1000) stats.graphMs.shift();
    for (const t of times) stats.latencies.push(at - t);
    if (stats.latencies.length > MAX_LATENCIES) stats.latencies.splice(0, stats.latencies.length - MAX_LATENCIES);
    times = [];
    stats.ready = true;
    // The first nodes drawn are fitted to the area (at most 100%).
    if (!fitted && nodeViews.size) {
      fitted = true;
      fit(1);
    }
    document.body.dataset.ready = 'true';
    metersDue();
  }

  // --- the picture: boxes in layers of columns, links as curves ---------------------

  // Sizes, in the picture's units (px at zoom 1; monospace 12 px text).
  const W = 240;
  const HEAD_H = 38;
  const ROW_H = 18;
  const PAD = 10;
  const GAP_Y = 22;
  const PITCH = W + 140; // from one column to the next: room for the curves
  const CHAR_W = 7.3;
  const clip = (text, width) => {
    const s = [...String(text)];
    const n = Math.floor(width / CHAR_W);
    return s.length > n ? `${s.slice(0, n - 1).join('')}…` : s.join('');
  };

  const area = $('graph');
  const svg = document.createElementNS(SVG, 'svg');
  const viewport = document.createElementNS(SVG, 'g');
  const linkLayer = document.createElementNS(SVG, 'g');
  const nodeLayer = document.createElementNS(SVG, 'g');
  linkLayer.setAttribute('class', 'links');
  nodeLayer.setAttribute('class', 'nodes');
  viewport.append(linkLayer, nodeLayer);
  svg.append(viewport);
  area.append(svg);
  const view = { x: 0, y: 0, k: 1 };
  // What a box shows at a zoom: everything from NEAR up; its name and ports
  // from MID up; below, where a 12 px text is under 5.4 px, its outline
  // alone (no text to lay out and paint, no meter).
  const NEAR = 0.6;
  const MID = 0.45;
  let detail = '';
  const setView = () => {
    viewport.setAttribute('transform', `translate(${view.x.toFixed(1)},${view.y.toFixed(1)}) scale(${view.k.toFixed(4)})`);
    const now = view.k >= NEAR ? 'near' : view.k >= MID ? 'mid' : 'far';
    if (now !== detail) svg.setAttribute('class', (detail = now));
    const seen = seenFrom();
    for (const v of nodeViews.values()) cull(v, seen);
    metersDue();
  };
  // The area's size, kept by an observer: reading it never forces a layout.
  const areaSize = { width: 0, height: 0 };
  new ResizeObserver(([entry]) => {
    areaSize.width = entry.contentRect.width;
    areaSize.height = entry.contentRect.height;
    setView();
  }).observe(area);
  const sizeOfArea = () => (areaSize.width ? areaSize : area.getBoundingClientRect());

  const nodeViews = new Map(); // node id -> { g, x, y, h, pinned, ins, outs, hidden, meter }
  const linkViews = new Map(); // link id -> path
  // Where every box not pinned goes (layout.js): laid out anew with each
  // snapshot and on Arrange, else kept and brought up to date.
  const { Layout, SOURCE, MIDDLE, SINK } = window.QuorvaneLayout;
  const layout = new Layout({ width: W, gapY: GAP_Y, pitch: PITCH });
  // Where a node with no link goes: by its class, else by its ports.
  const sideOf = (n) => {
    const t = n?.type || '';
    if (/Duplex/.test(t)) return MIDDLE;
    if (/Source|^Stream\/Output/.test(t)) return SOURCE;
    if (/Sink|^Stream\/Input/.test(t)) return SINK;
    const dirs = new Set([...(portsOf.get(n?.id) || [])].map((p) => state.ports.get(p)?.direction));
    return dirs.has(0) && dirs.has(1) ? MIDDLE : dirs.has(0) ? SOURCE : dirs.has(1) ? SINK : MIDDLE;
  };

  // Places kept in the browser, by node name (ids change across restarts).
  const PLACE_KEY = 'quorvane-web-place:';
  function savedPlace(name) {
    try {
      const p = JSON.parse(localStorage.getItem(PLACE_KEY + name));
      return Array.isArray(p) && p.length === 2 && p.every(Number.isFinite) ? p : null;
    } catch {
      return null;
    }
  }
  function savePlace(name, x, y) {
    try {
      localStorage.setItem(PLACE_KEY + name, JSON.stringify([Math.round(x), Math.round(y)]));
    } catch {} // storage full or refused: the place lasts until reload
  }

  // --- filters and search ---------------------------------------------------------------

  const filters = { unlinked: false, monitors: false, mediaClass: '' };
  const isMonitor = (p) => p.props?.['port.monitor'] === 'true' || /^monitor_/.test(p.name || '');
  function nodeShown(n) {
    if (filters.mediaClass && (n.type || '') !== filters.mediaClass) return false;
    if (filters.unlinked && !linksOf.get(n.id)?.size) return false;
    return true;
  }
  const portShown = (p) => !(filters.monitors && isMonitor(p));

  function drawGraph() {
    if (dirty.all) {
      dirty.all = false;
      for (const v of nodeViews.values()) v.g.remove();
      for (const p of linkViews.values()) p.remove();
      nodeViews.clear();
      linkViews.clear();
      dirty.nodes = new Set(state.nodes.keys());
      dirty.links = new Set(state.links.keys());
      dirty.arrange = true;
    }
    for (const id of dirty.nodes) drawNode(id);
    dirty.nodes.clear();
    if (dirty.arrange || dirty.layout) place(dirty.arrange);
    for (const id of dirty.links) drawLink(id);
    dirty.links.clear();
    if (search.value) find(false);
  }

  // Every box not pinned where the layout puts it (anew when `full`, in
  // the natural order of the labels); only those that moved are touched.
  function place(full) {
    dirty.layout = dirty.arrange = false;
    const items = new Map();
    const pinned = [];
    for (const [id, v] of nodeViews) {
      if (!v.pinned) items.set(id, { h: v.h, hidden: v.hidden, side: sideOf(state.nodes.get(id)), rank: 0 });
      else if (!v.hidden) pinned.push({ x: v.x, y: v.y, h: v.h });
    }
    const edges = [...state.links.values()].map((l) => [l.srcNodeId, l.sinkNodeId]);
    let at;
    if (full) {
      const byLabel = [...items.keys()].map((id) => state.nodes.get(id)).sort((a, b) => collator.compare(nodeLabel(a), nodeLabel(b)) || a.id - b.id);
      byLabel.forEach((n, i) => (items.get(n.id).rank = i));
      const { width, height } = sizeOfArea();
      at = layout.arrange(items, edges, pinned, width && height ? width / height : 1.5);
    } else at = layout.update(items, edges, pinned);
    for (const [id, [x, y]] of at) {
      const v = nodeViews.get(id);
      if ((v.x === x && v.y === y) || (drag?.kind === 'node' && drag.id === id)) continue; // not from under the pointer
      v.x = x;
      v.y = y;
      move(id, v);
    }
  }

  // A node's box: made, remade (its label, class, ports) or removed.
  function drawNode(id) {
    const n = state.nodes.get(id);
    let v = nodeViews.get(id);
    if (!n) {
      if (!v) return;
      v.g.remove();
      nodeViews.delete(id);
      dirty.layout = true;
      return;
    }
    if (!v) {
      const g = document.createElementNS(SVG, 'g');
      g.setAttribute('class', 'node');
      g.id = `node-${id}`;
      v = { id, g, x: NaN, y: NaN, h: 0, pinned: false, ins: [], outs: [], away: undefined, drawn: false };
      nodeViews.set(id, v);
      nodeLayer.append(g);
      const place = savedPlace(n.name);
      if (place) [v.x, v.y, v.pinned] = [...place, true];
      dirty.layout = true;
    }
    const ports = [...(portsOf.get(id) || [])].map((p) => state.ports.get(p)).filter((p) => p && portShown(p)).sort((a, b) => a.id - b.id);
    v.ins = ports.filter((p) => p.direction === 1);
    v.outs = ports.filter((p) => p.direction !== 1);
    const h = HEAD_H + Math.max(v.ins.length, v.outs.length) * ROW_H + PAD / 2;
    const hidden = !nodeShown(n);
    v.g.classList.toggle('hidden', hidden);
    if (h !== v.h || hidden !== v.hidden) dirty.layout = true;
    v.hidden = hidden;
    v.h = h;
    // Its inside drawn now if it is near the area, else (a box alone) once
    // a pan, a zoom or the layout brings it near.
    if (v.away === false) fillNode(id, v);
    else {
      v.drawn = false;
      v.g.replaceChildren(svgElement('rect', { class: 'box', width: W, height: h, rx: 5 }));
      v.meter = null;
    }
    if (v.pinned) move(id, v);
    else for (const l of linksOf.get(id) || []) dirty.links.add(l); // its ports may have moved
  }

  function svgElement(tag, attrs, text) {
    const e = document.createElementNS(SVG, tag);
    for (const [k, val] of Object.entries(attrs)) e.setAttribute(k, val);
    if (text !== undefined) e.textContent = text;
    return e;
  }

  // A box's parts and its ports are clones of these: one call each, where
  // an element made and given its attributes one by one is several.
  const BOX_PARTS = [
    svgElement('title', {}),
    svgElement('rect', { class: 'box', width: W, rx: 5 }),
    svgElement('path', { class: 'head', d: `M0.5,${HEAD_H - 4}V5.5a5,5 0 0 1 5,-5H${W - 5.5}a5,5 0 0 1 5,5V${HEAD_H - 4}Z` }),
    svgElement('text', { class: 'name', x: PAD, y: 16 }),
    svgElement('text', { class: 'sub', x: PAD, y: 29 }),
  ];
  const portPart = (pin, x, attrs) => {
    const g = svgElement('g', { class: 'port' });
    g.append(svgElement('circle', { class: pin, cx: x, r: 3.5 }), svgElement('text', { class: 'pname', ...attrs }));
    return g;
  };
  const PORT_PARTS = [portPart('pin', 0, { x: PAD }), portPart('pout', W, { x: W - PAD, 'text-anchor': 'end' })];

  // A node's box with its inside: label, class, ports, meter.
  function fillNode(id, v) {
    const n = state.nodes.get(id);
    if (!n) return;
    v.drawn = true;
    const { g, h } = v;
    const add = (parent, tag, attrs, text) => {
      const e = svgElement(tag, attrs, text);
      parent.append(e);
      return e;
    };
    // One name on the screen: the description where there is one (as the
    // panel shows it); the name opens the tooltip.
    const parts = BOX_PARTS.map((e) => e.cloneNode(false));
    const [title, box, , name, sub] = parts;
    const channels = meterChannels(id);
    title.textContent = n.name || '';
    box.setAttribute('height', h);
    name.textContent = clip(nodeLabel(n), W - 2 * PAD - (channels ? METER_W + PAD : 0));
    sub.textContent = clip(`${n.id} · ${n.type || 'no media class'}`, (W - 2 * PAD) * 1.2);
    const half = W / 2 - PAD * 1.5;
    for (const [side, ports] of [[0, v.ins], [1, v.outs]]) {
      ports.forEach((p, i) => {
        const y = HEAD_H + i * ROW_H + ROW_H / 2;
        const pg = PORT_PARTS[side].cloneNode(true);
        pg.id = `port-${p.id}`;
        pg.firstChild.setAttribute('cy', y);
        pg.lastChild.setAttribute('y', y + 4);
        pg.lastChild.textContent = clip(p.name || '', half);
        parts.push(pg);
      });
    }
    g.replaceChildren(...parts);
    v.meter = channels ? drawMeter(g, add, id, channels) : null;
  }

  // A node's box where its view says, and its links after it.
  function move(id, v) {
    v.g.setAttribute('transform', `translate(${v.x.toFixed(1)},${v.y.toFixed(1)})`);
    cull(v);
    for (const l of linksOf.get(id) || []) dirty.links.add(l);
  }

  // Boxes far from the area (more than half its size away) are left out of
  // the page's drawing (display: none: no style, layout or paint for them)
  // until a pan or a zoom brings them near. `seen`: the picture's rectangle
  // kept, [x0, y0, x1, y1].
  function seenFrom() {
    const { width, height } = sizeOfArea();
    const m = Math.max(width, height) / 2;
    return [(-view.x - m) / view.k, (-view.y - m) / view.k, (width - view.x + m) / view.k, (height - view.y + m) / view.k];
  }
  function cull(v, seen = seenFrom()) {
    const away = v.x + W < seen[0] || v.x > seen[2] || v.y + v.h < seen[1] || v.y > seen[3];
    if (away === v.away) return;
    v.away = away;
    v.g.classList.toggle('away', away);
    if (!away && !v.drawn) fillNode(v.id, v);
  }

  function portPoint(portId) {
    const p = state.ports.get(portId);
    const v = p && nodeViews.get(p.nodeId);
    if (!v || v.hidden) return null;
    const side = p.direction === 1 ? v.ins : v.outs;
    const i = side.findIndex((q) => q.id === portId);
    if (i < 0) return null;
    return [v.x + (p.direction === 1 ? 0 : W), v.y + HEAD_H + i * ROW_H + ROW_H / 2];
  }

  function drawLink(id) {
    const l = state.links.get(id);
    let path = linkViews.get(id);
    const a = l && portPoint(l.srcPortId);
    const b = l && portPoint(l.sinkPortId);
    if (!a || !b) {
      path?.remove();
      linkViews.delete(id);
      return;
    }
    if (!path) {
      path = document.createElementNS(SVG, 'path');
      path.setAttribute('class', selected === id ? 'link selected' : 'link');
      path.id = `link-${id}`;
      path.append(document.createElementNS(SVG, 'title'));
      linkLayer.append(path);
      linkViews.set(id, path);
    }
    setText(path.firstChild, [`link ${id}: ${state.ports.get(l.srcPortId)?.name} → ${state.ports.get(l.sinkPortId)?.name}`, latencyText(l.latency)].filter(Boolean).join('\n'));
    const dx = Math.max(40, Math.abs(b[0] - a[0]) / 2);
    const f = (x) => x.toFixed(1);
    path.setAttribute('d', `M${f(a[0])},${f(a[1])} C${f(a[0] + dx)},${f(a[1])} ${f(b[0] - dx)},${f(b[1])} ${f(b[0])},${f(b[1])}`);
  }

  // Every node and link again: after a filter changed.
  function redrawAll() {
    for (const id of state.nodes.keys()) dirty.nodes.add(id);
    dirty.layout = true;
    schedule();
  }

  // A link's latency as the daemon reports it for its output port (quantum
  // fractions, samples, nanoseconds, each a range), or '' where the link
  // carries none.
  function latencyText(lat) {
    if (!lat || typeof lat !== 'object') return '';
    const range = (a, b, f = (x) => x) => (Number.isFinite(a) && Number.isFinite(b) ? (a === b ? `${f(a)}` : `${f(a)}–${f(b)}`) : '?');
    const ms = (ns) => +(ns / 1e6).toFixed(3);
    return `latency: ${range(lat.minQuantum, lat.maxQuantum)} quantum + ${range(lat.minRate, lat.maxRate)} samples + ${range(lat.minNs, lat.maxNs, ms)} ms`;
  }

  // --- level meters: on for the nodes in view only ----------------------------------

  // The page tells the server which nodes it shows (debounced, nearest the
  // middle first); the server answers which of them have a meter on (the
  // first of them, up to its bounds) and sends their peaks. A node in view
  // without one says "meter off".
  const METER_W = 60; // px: -60 dBFS to 0 dBFS, one px a dB
  const METER_CHANNELS = 8; // bars drawn at most
  const SHOWN_MAX = 1024; // the most a request may name
  // Asked for once the picture has been still this long, and at the latest
  // this long after it first changed: the boxes of a burst of nodes are
  // drawn before any of their meters is made (each a stream, ports and
  // links on the daemon), and nodes that come and go at once get none.
  const METERS_DEBOUNCE_MS = 200;
  const METERS_WAIT_MAX_MS = 1000;
  // A meter that sends nothing for this long measures a node that stopped
  // running (its driver suspended): drawn as silence.
  const METER_STALE_MS = 600;
  const isAudioOut = (p) => p.direction === 0 && (!p.props?.['format.dsp'] || p.props['format.dsp'].includes('audio'));
  // Meters are on unless the user turned them off ("levels", kept in this
  // browser): each is a stream with links on the daemon, which every other
  // client (pw-link, pw-dump) sees while it runs.
  const LEVELS_KEY = 'quorvane-web-levels';
  let levels = true;
  try {
    levels = localStorage.getItem(LEVELS_KEY) !== 'false';
  } catch {}
  $('levels').checked = levels;
  $('levels').addEventListener('change', (e) => {
    levels = e.target.checked;
    try {
      localStorage.setItem(LEVELS_KEY, String(levels));
    } catch {}
    redrawAll();
    metersDue();
  });
  // The channels a node's meter measures: its audio outputs (a sink's
  // monitors); 0 for none, or while levels are off.
  const meterChannels = (id) => (levels ? [...(portsOf.get(id) || [])].filter((p) => isAudioOut(state.ports.get(p) || {})).length : 0);

  function drawMeter(g, add, id, channels) {
    const m = meters.state.get(id);
    const mg = add(g, 'g', { class: `meter ${m ? (m.on ? 'on' : 'off') : ''}`, transform: `translate(${W - PAD - METER_W},5)` });
    const n = Math.min(channels, METER_CHANNELS);
    const h = Math.max(2, Math.floor(26 / n));
    const bars = [];
    for (let i = 0; i < n; i++) {
      add(mg, 'rect', { class: 'mbar', y: i * h, width: METER_W, height: h - 1 });
      bars.push(add(mg, 'rect', { class: 'mlevel', y: i * h, width: 0, height: h - 1 }));
    }
    add(mg, 'text', { class: 'moff', x: METER_W, y: 12, 'text-anchor': 'end' }, 'meter off');
    const meter = { g: mg, bars };
    if (m?.on && m.peak) drawLevel(meter, m.peak);
    return meter;
  }

  function drawLevel(meter, peak) {
    let top = null;
    meter.bars.forEach((bar, i) => {
      const db = peak[i] ?? null;
      if (db !== null && (top === null || db > top)) top = db;
      bar.setAttribute('width', db === null ? 0 : Math.max(0, Math.min(METER_W, db + 60)).toFixed(1));
      bar.classList.toggle('hot', db !== null && db > -3);
    });
    meter.g.dataset.peak = top === null ? '-Infinity' : String(top);
  }

  const meters = { state: new Map(), sent: null, timer: null, since: null, busy: false, disabled: false, levels: new Map(), queued: false, stale: null };

  function metersDue() {
    if (meters.disabled) return;
    const waited = performance.now() - (meters.since ??= performance.now());
    clearTimeout(meters.timer);
    meters.timer = setTimeout(() => {
      meters.timer = meters.since = null;
      sendShown();
    }, Math.max(0, Math.min(METERS_DEBOUNCE_MS, METERS_WAIT_MAX_MS - waited)));
  }

  // The nodes with a meter in the area now, nearest its middle first.
  function shownMeters() {
    if (document.hidden || !levels || view.k < MID) return [];
    const { width, height } = sizeOfArea();
    const k = view.k;
    const shown = [];
    for (const [id, v] of nodeViews) {
      if (v.hidden || !v.meter) continue;
      const x = view.x + v.x * k;
      const y = view.y + v.y * k;
      if (x + W * k < 0 || x > width || y + v.h * k < 0 || y > height) continue;
      shown.push([Math.hypot(x + (W * k) / 2 - width / 2, y + (v.h * k) / 2 - height / 2), id]);
    }
    return shown.sort((a, b) => a[0] - b[0]).slice(0, SHOWN_MAX).map(([, id]) => id);
  }

  async function sendShown() {
    if (meters.busy || !ws || ws.readyState !== WebSocket.OPEN) return;
    const ids = shownMeters();
    const key = [...ids].sort((a, b) => a - b).join();
    if (key === meters.sent) return;
    meters.busy = true;
    const reply = await request('meters', { nodes: ids });
    meters.busy = false;
    if (reply.ok) {
      meters.sent = key;
      const before = meters.state;
      meters.state = new Map();
      for (const node of reply.result.on) meters.state.set(node, { on: true, peak: before.get(node)?.peak ?? null, at: before.get(node)?.at ?? 0 });
      for (const { node } of reply.result.off) meters.state.set(node, { on: false, peak: null });
      for (const node of new Set([...before.keys(), ...meters.state.keys()])) meterDrawn(node);
    } else if (reply.code === 'ENOTSUP') noMeters();
    metersDue(); // the view may have moved meanwhile; a refusal is tried again
  }

  // Not for this server's pages (a host on a broker): no meters, no box.
  function noMeters() {
    if (meters.disabled) return;
    meters.disabled = true;
    levels = false;
    $('levels').parentElement.hidden = true;
    redrawAll();
  }

  // A meter's state or level drawn again, in its node's box.
  function meterDrawn(node) {
    const meter = nodeViews.get(node)?.meter;
    if (!meter) return;
    const m = meters.state.get(node);
    meter.g.setAttribute('class', `meter ${m ? (m.on ? 'on' : 'off') : ''}`);
    drawLevel(meter, m?.on && m.peak ? m.peak : []);
  }

  // The latest peaks (dBFS per channel, null for silence; null for a meter
  // that ended), drawn at the next frame.
  function applyLevels(levels) {
    if (!levels || typeof levels !== 'object') return;
    for (const [key, peak] of Object.entries(levels)) {
      const node = Number(key);
      const m = meters.state.get(node);
      if (!m?.on) continue;
      if (peak === null) {
        meters.state.set(node, { on: false, peak: null });
        meters.sent = null; // asked again at the next change
      } else if (Array.isArray(peak)) {
        m.peak = peak;
        m.at = performance.now();
        meters.stale ??= setInterval(silenceStale, METER_STALE_MS / 2);
      }
      meters.levels.set(node, true);
    }
    if (meters.queued) return;
    meters.queued = true;
    requestAnimationFrame(() => {
      meters.queued = false;
      for (const node of meters.levels.keys()) meterDrawn(node);
      meters.levels.clear();
    });
  }
  function silenceStale() {
    const t = performance.now();
    let live = 0;
    for (const [node, m] of meters.state) {
      if (!m.peak) continue;
      if (t - m.at < METER_STALE_MS) live++;
      else {
        m.peak = null;
        meterDrawn(node);
      }
    }
    if (!live) meters.stale = clearInterval(meters.stale) ?? null;
  }
  document.addEventListener('visibilitychange', metersDue);
  window.addEventListener('resize', metersDue);

  // The drivers' quantum, rate and xruns, from the server's profiler; the
  // status bar shows nothing where the daemon has none.
  function drawSignal(drivers) {
    const e = $('signal');
    stats.signal = drivers;
    e.hidden = !Array.isArray(drivers);
    if (e.hidden) return;
    const text = drivers.length
      ? drivers.map((d) => `${d.name}: quantum ${d.quantum} at ${d.rate} Hz, ${d.xruns} xrun${d.xruns === 1 ? '' : 's'}`).join(' | ')
      : 'no driver running';
    setText(e, text);
    e.classList.toggle('xruns', drivers.some((d) => d.xruns > 0));
  }

  // --- zoom, pan, fit ----------------------------------------------------------------

  // Zoom k, kept between 0.05 and 4, about the point (cx, cy) of the area.
  function zoomTo(k, cx, cy) {
    k = Math.min(4, Math.max(0.05, k));
    view.x = cx - ((cx - view.x) * k) / view.k;
    view.y = cy - ((cy - view.y) * k) / view.k;
    view.k = k;
    setView();
  }

  // The shown nodes in the area, zoomed no further in than `most`.
  function fit(most = 1.5) {
    let x0 = Infinity, y0 = Infinity, x1 = -Infinity, y1 = -Infinity;
    for (const v of nodeViews.values()) {
      if (v.hidden) continue;
      x0 = Math.min(x0, v.x);
      y0 = Math.min(y0, v.y);
      x1 = Math.max(x1, v.x + W);
      y1 = Math.max(y1, v.y + v.h);
    }
    const { width, height } = sizeOfArea();
    if (x0 === Infinity || !width || !height) return;
    const m = 20;
    const k = Math.min(most, Math.max(0.05, Math.min((width - 2 * m) / (x1 - x0), (height - 2 * m) / (y1 - y0))));
    view.k = k;
    view.x = (width - (x1 - x0) * k) / 2 - x0 * k;
    view.y = Math.max(m, (height - (y1 - y0) * k) / 2) - y0 * k;
    setView();
  }

  // A node in the middle of the area, zoomed in to at least 1.
  function show(id) {
    const v = nodeViews.get(id);
    if (!v) return;
    const { width, height } = sizeOfArea();
    view.k = Math.max(view.k, 1);
    view.x = width / 2 - (v.x + W / 2) * view.k;
    view.y = height / 2 - (v.y + v.h / 2) * view.k;
    setView();
  }

  area.addEventListener('wheel', (e) => {
    e.preventDefault();
    const r = area.getBoundingClientRect();
    zoomTo(view.k * Math.exp(-e.deltaY * (e.deltaMode === 1 ? 0.05 : 0.0015)), e.clientX - r.left, e.clientY - r.top);
  }, { passive: false });
  $('fit').addEventListener('click', () => fit());
  // Every box not pinned laid out anew, and the whole shown.
  $('arrange').addEventListener('click', () => {
    dirty.arrange = true;
    fitted = false;
    schedule();
  });

  // --- search: by name, description or any property ---------------------------------

  const search = $('search');
  let found = [];
  let current = -1;

  function find(jump) {
    const q = search.value.trim().toLowerCase();
    for (const id of found) nodeViews.get(id)?.g.classList.remove('found', 'current');
    const was = found[current];
    found = !q ? [] : [...state.nodes.values()]
      .filter((n) => nodeViews.get(n.id) && !nodeViews.get(n.id).hidden && [n.name, ...Object.values(n.props || {})].some((v) => String(v).toLowerCase().includes(q)))
      .sort(byLabel)
      .map((n) => n.id);
    current = found.indexOf(was);
    if (jump) current = found.length ? (current + 1) % found.length : -1;
    for (const id of found) nodeViews.get(id).g.classList.add('found');
    if (current >= 0) {
      const g = nodeViews.get(found[current]).g;
      g.classList.add('current');
      if (g !== nodeLayer.lastChild) nodeLayer.append(g); // drawn over anything else
    }
    $('found').textContent = q ? `${found.length ? current + 1 : 0} of ${found.length}` : '';
    if (jump && current >= 0) show(found[current]);
  }
  search.addEventListener('input', () => ((current = -1), find(true)));
  search.addEventListener('keydown', (e) => {
    if (e.key === 'Enter') find(true);
  });

  $('hide-unlinked').addEventListener('change', (e) => ((filters.unlinked = e.target.checked), redrawAll()));
  $('hide-monitors').addEventListener('change', (e) => ((filters.monitors = e.target.checked), redrawAll()));
  $('class-filter').addEventListener('change', (e) => ((filters.mediaClass = e.target.value), redrawAll()));

  // --- the panel ----------------------------------------------------------------------

  function el(tag, attrs = {}, ...children) {
    const e = document.createElement(tag);
    for (const [k, v] of Object.entries(attrs)) {
      if (k === 'text') e.textContent = v;
      else if (k.startsWith('on')) e.addEventListener(k.slice(2), v);
      else if (v !== false && v !== undefined) e.setAttribute(k, v === true ? '' : v);
    }
    e.append(...children);
    return e;
  }
  const setText = (e, text) => {
    if (e.textContent !== text) e.textContent = text;
  };

  // The hosts on the broker, in the picker; the server says which one this
  // page is on (the first, when the one asked for is not there).
  function drawHosts(msg) {
    if (!Array.isArray(msg.hosts) || typeof msg.host !== 'string') return;
    const hosts = msg.hosts.filter((h) => h && typeof h.name === 'string');
    const select = $('host');
    remote = true;
    select.hidden = false;
    if (!select.onchange) select.onchange = () => pickHost(select.value);
    const items = hosts.map((h) => [h.name, h.online ? h.name : `${h.name} (offline)`]);
    options(select, msg.host || !hosts.length ? items : [['', '(pick a host)'], ...items], msg.host);
    if (msg.host) {
      host = msg.host;
      sessionStorage.setItem(HOST_KEY, host);
    } else if (hosts.length) pickHost(hosts[0].name);
    drawFleet();
  }

  // Shows another host: the connection opened again, on that host.
  function pickHost(name) {
    if (!name || (name === host && ws?.readyState === WebSocket.OPEN)) return;
    host = name;
    sessionStorage.setItem(HOST_KEY, host);
    fitted = false; // the other host's graph shown whole
    // A connection already closed opens again on its own, on this host.
    if (ws && ws.readyState !== WebSocket.CLOSED) {
      switching = true;
      ws.close();
    }
  }

  // --- streams between hosts (a page served for a broker) ----------------------------

  // The other hosts' sinks, as drop targets for a node of this host, and the
  // streams that stand, each with its ends' states and a button to remove
  // it. Everything in them comes from the broker: checked for its type and
  // shown as text.
  const fleet = { sinks: [], streams: [] };
  const sinkOf = new WeakMap(); // a drop target → { host, name }
  const isText = (v) => typeof v === 'string' && v.length > 0;

  function applyFleet(msg) {
    if (!Array.isArray(msg.sinks) || !Array.isArray(msg.streams)) return;
    fleet.sinks = msg.sinks.filter((k) => k && isText(k.host) && isText(k.name) && isText(k.label));
    fleet.streams = msg.streams.filter((t) => t && isText(t.id) && isText(t.from) && isText(t.to) && Array.isArray(t.ends));
    drawFleet();
  }

  function drawFleet() {
    $('fleet-panel').hidden = !remote;
    const targets = fleet.sinks.filter((k) => k.host !== host);
    const key = JSON.stringify(targets);
    const box = $('fleet-targets');
    if (box.dataset.key !== key) {
      box.dataset.key = key;
      box.replaceChildren(...(targets.length
        ? targets.map((k) => {
          const e = el('div', { class: 'fleet-target', title: `${k.host}:${k.name}` }, el('span', { class: 'name', text: k.label }), el('span', { class: 'host', text: k.host }));
          sinkOf.set(e, { host: k.host, name: k.name });
          return e;
        })
        : [el('div', { class: 'empty', text: 'no other host with a sink on the broker' })]));
    }
    const list = $('fleet-streams');
    const streamsKey = JSON.stringify(fleet.streams);
    if (list.dataset.key === streamsKey) return;
    list.dataset.key = streamsKey;
    const heading = fleet.streams.length ? [el('div', { class: 'hint', text: 'Streams that stand:' })] : [];
    list.replaceChildren(...heading, ...fleet.streams.map((t) => {
      const ends = t.ends.filter((x) => x && isText(x.host) && isText(x.state));
      const worst = ends.find((x) => x.state === 'refused' || x.state === 'error');
      const underruns = (x) => (Number.isSafeInteger(x.underruns) && x.underruns > 0 ? `, ${x.underruns} underruns` : '');
      const says = ends.map((x) => `${x.host}: ${x.online ? x.state : 'offline'}${underruns(x)}${isText(x.error) ? ` (${x.error})` : ''}`).join(' · ');
      const remove = el('button', { type: 'button', class: 'unstream', text: 'Remove', title: 'Remove the stream: both ends unload their modules' });
      remove.addEventListener('click', async () => {
        remove.disabled = true;
        await ask('unstream', { from: t.from, to: t.to }, () => `stream ${t.from} → ${t.to} removed`);
        remove.disabled = false;
      });
      return el('div', { class: 'row stream', id: `stream-${t.id.replace(/[^0-9a-f]/g, '')}` }, el('span', { class: 'name', title: `${t.from} → ${t.to}`, text: `${t.from} → ${t.to}` }), remove, el('span', { class: `class${worst ? ` ${worst.state}` : ''}`, text: says }));
    }));
  }

  // A node of this host dropped on another host's sink: a stream from the
  // one to the other, through this host's bridge, answered once it flows.
  function streamTo(nodeId, sink) {
    const n = state.nodes.get(nodeId);
    if (!n || !sink) return;
    if (host.includes(':')) return say(`${host}: a host whose name holds ":" cannot be an end of a stream ("HOST:NODE")`, 'error');
    const from = `${host}:${n.name}`;
    const to = `${sink.host}:${sink.name}`;
    say(`streaming ${from} → ${to}…`);
    return ask('stream', { from, to }, (r) => {
      const by = typeof r?.codec === 'string' ? ` by ${r.codec.toUpperCase()}` : '';
      const latency = Number.isFinite(r?.latencyMs) ? `, latency target ${r.latencyMs} ms` : '';
      return `streaming: ${from} → ${to}${by}${latency}`;
    });
  }

  // The drop target under the pointer, marked while a node is dragged.
  function markTarget(e) {
    const under = document.elementFromPoint(e.clientX, e.clientY)?.closest('.fleet-target');
    document.querySelectorAll('.fleet-target.target').forEach((t) => t !== under && t.classList.remove('target'));
    under?.classList.add('target');
  }

  function setStatus(text) {
    const s = $('status');
    const up = ws && ws.readyState === WebSocket.OPEN;
    s.textContent = text || (!up ? 'connecting…' : state.daemon.connected ? 'live' : remote ? `${host || 'host'} offline` : 'PipeWire away');
    s.className = `status ${up && state.daemon.connected ? 'ok' : 'bad'}`;
  }

  function say(text, kind = '') {
    const box = $('messages');
    box.prepend(el('div', { class: `message ${kind}`, role: kind === 'error' ? 'alert' : 'status', text: `${new Date().toLocaleTimeString()} ${text}` }));
    while (box.childElementCount > 6) box.lastElementChild.remove();
    // The panel folded away (a narrow screen): its button counts what came.
    if (narrow.matches && !document.body.classList.contains('panel-open')) {
      panelNews.count++;
      panelNews.error ||= kind === 'error';
      drawPanelButton();
    }
  }

  // --- a narrow screen: the panel folds away behind a button ------------------------

  const narrow = matchMedia('(max-width: 900px)');
  const panelNews = { count: 0, error: false };
  function drawPanelButton() {
    const open = document.body.classList.contains('panel-open');
    const button = $('panel-toggle');
    button.textContent = panelNews.count ? `Panel (${panelNews.count})` : 'Panel';
    button.classList.toggle('alert', panelNews.error);
    button.setAttribute('aria-expanded', String(open));
  }
  $('panel-toggle').addEventListener('click', () => {
    document.body.classList.toggle('panel-open');
    panelNews.count = 0;
    panelNews.error = false;
    drawPanelButton();
  });

  // What the panel's lists show of a node: a change of it sorts them again.
  const listed = (n) => `${n.type}\n${nodeLabel(n)}\n${Object.hasOwn(n.props || {}, 'quorvane.created-by')}\n${hasRow(n)}`;
  const nodeLabel = (n) => n.props?.['node.description'] || n.name || `node ${n.id}`;
  const byLabel = (a, b) => collator.compare(nodeLabel(a), nodeLabel(b)) || a.id - b.id;
  // The nodes of some classes, sorted; computed once per frame for each list.
  let classLists = new Map();
  const ofClass = (...classes) => {
    const key = classes.join('\n');
    if (!classLists.has(key)) classLists.set(key, [...state.nodes.values()].filter((n) => classes.includes(n.type)).sort(byLabel));
    return classLists.get(key);
  };
  const DEFAULT_CLASSES = {
    audioSink: ['Audio/Sink', 'Audio/Duplex'],
    audioSource: ['Audio/Source', 'Audio/Source/Virtual', 'Audio/Duplex'],
    videoSource: ['Video/Source'],
  };
  const DEFAULT_LABELS = { audioSink: 'Output', audioSource: 'Input', videoSource: 'Camera' };

  // The panel's lists (sorted rows, selects of devices, the classes) are
  // made again at most every LISTS_MS: a burst of new nodes sorts them a few
  // times, not at every frame. Rows are updated at every frame.
  const LISTS_MS = 250;
  let listsAt = -LISTS_MS;
  let listsTimer = null;

  function drawPanel() {
    classLists = new Map();
    const since = performance.now() - listsAt;
    const lists = dirty.lists && since >= LISTS_MS;
    if (dirty.lists && !lists && !listsTimer) {
      listsTimer = setTimeout(() => {
        listsTimer = null;
        schedule();
      }, LISTS_MS - since);
    }
    if (lists) listsAt = performance.now();
    if (dirty.panel || lists) {
      setStatus();
      const banner = $('banner');
      banner.hidden = state.daemon.connected;
      banner.textContent = state.daemon.connected ? '' : `PipeWire went away (${state.daemon.message || 'no reason given'}); waiting for it to come back…`;
      drawDefaults();
      drawPatchbay();
    }
    if (lists) {
      drawClasses();
      drawDevices();
    }
    drawVolumes(lists);
    if (dirty.cards) drawCards();
    dirty.panel = false;
    if (lists) dirty.lists = false;
    dirty.rows.clear();
  }

  // A select's options, made again only when they change. A long list (a
  // device for each of hundreds of sinks) is made only when the select is
  // about to open (focus, a press): until then it holds its choice alone.
  const LONG_LIST = 24;
  const later = new WeakMap(); // select -> the items it shows once opened
  function options(select, items, current, whole = false) {
    if (!whole && items.length > LONG_LIST && document.activeElement !== select) {
      if (!later.has(select)) {
        const open = () => {
          const wanted = later.get(select);
          if (wanted) options(select, wanted, select.value, true);
        };
        select.addEventListener('focus', open);
        select.addEventListener('pointerdown', open);
      }
      later.set(select, items);
      items = [items.find(([value]) => value === current) ?? items[0]];
    } else if (later.has(select)) later.set(select, null);
    const key = JSON.stringify(items);
    if (select.dataset.key !== key) {
      select.replaceChildren(...items.map(([value, label]) => el('option', { value, text: label })));
      select.dataset.key = key;
    }
    select.value = current;
  }

  function drawClasses() {
    const classes = [...new Set([...state.nodes.values()].map((n) => n.type || ''))].filter(Boolean).sort(collator.compare);
    if (filters.mediaClass && !classes.includes(filters.mediaClass)) classes.push(filters.mediaClass);
    options($('class-filter'), [['', 'every class'], ...classes.map((c) => [c, c])], filters.mediaClass);
  }

  function drawDefaults() {
    const box = $('defaults');
    if (!box.childElementCount) {
      for (const kind of Object.keys(DEFAULT_CLASSES)) {
        const select = el('select', { id: `default-${kind}`, onchange: () => {
          if (select.value !== '') ask('default', { kind, node: Number(select.value) }, () => `default ${DEFAULT_LABELS[kind].toLowerCase()} set`);
        } });
        box.append(el('label', {}, el('span', { text: DEFAULT_LABELS[kind] }), select));
      }
    }
    const d = state.defaults || {};
    for (const kind of Object.keys(DEFAULT_CLASSES)) {
      const select = $(`default-${kind}`);
      if (document.activeElement === select) continue;
      const name = d[kind] ?? d.configured?.[kind] ?? null;
      const nodes = ofClass(...DEFAULT_CLASSES[kind]);
      const current = nodes.find((n) => n.name === name);
      options(select, [['', current ? '' : name ? `${name} (not present)` : '(none)'], ...nodes.map((n) => [String(n.id), nodeLabel(n)])], current ? String(current.id) : '');
    }
  }

  // Rows by node id, made once and updated in place (a slider being dragged
  // stays the element under the pointer); put in order only when the list
  // changed, and not while a slider is held.
  const rows = new Map();
  const hasRow = (n) => n.volume !== undefined || n.mute !== undefined || /^Stream\//.test(n.type || '');
  let orderDue = true;

  function drawVolumes(lists) {
    const box = $('volumes');
    if (lists) {
      for (const [id, row] of rows) {
        if (state.nodes.has(id) && hasRow(state.nodes.get(id))) continue;
        row.e.remove();
        rows.delete(id);
      }
      orderDue = true;
    }
    for (const id of dirty.rows) {
      const n = state.nodes.get(id);
      if (rows.has(id) && !(n && hasRow(n))) {
        rows.get(id).e.remove();
        rows.delete(id);
      }
    }
    const update = lists ? [...state.nodes.values()].filter(hasRow) : [...dirty.rows].map((id) => state.nodes.get(id)).filter((n) => n && hasRow(n));
    for (const n of update) {
      const made = !rows.has(n.id);
      drawRow(rows.get(n.id) || makeRow(n), n, lists || made);
      if (made) orderDue = true;
    }
    if (orderDue && ![...rows.values()].some((r) => r.held)) {
      orderDue = false;
      const nodes = [...rows.keys()].map((id) => state.nodes.get(id)).sort((a, b) => collator.compare(a.type || '', b.type || '') || byLabel(a, b));
      let at = box.firstElementChild;
      for (const n of nodes) {
        const e = rows.get(n.id).e;
        if (e === at) at = at.nextElementSibling;
        else box.insertBefore(e, at);
      }
      if (!nodes.length) box.replaceChildren(el('div', { class: 'empty', text: 'no node with a volume, no stream' }));
      else box.querySelector('.empty')?.remove();
    }
  }

  function drawRow(row, n, lists) {
    setText(row.name, nodeLabel(n));
    setText(row.cls, `${n.id} · ${n.type || ''}`);
    if (!row.held && row.want === null) {
      const v = String(n.volume ?? 0);
      if (row.slider.value !== v) row.slider.value = v;
      setText(row.pct, `${Math.round((n.volume ?? 0) * 100)}%`);
    }
    row.slider.hidden = row.pct.hidden = n.volume === undefined;
    row.mute.checked = !!n.mute;
    row.mute.parentElement.hidden = n.mute === undefined;
    if (lists) drawMove(row, n);
  }

  function makeRow(n) {
    const id = n.id;
    const slider = el('input', { type: 'range', min: '0', max: String(VOLUME_MAX), step: '0.01', class: 'volume', 'aria-label': 'volume', 'data-node': String(id) });
    const pct = el('span', { class: 'pct' });
    const mute = el('input', { type: 'checkbox', class: 'mute', 'data-node': String(id) });
    const move = el('select', { class: 'move', 'data-node': String(id), hidden: true });
    const name = el('div', { class: 'name' });
    const cls = el('div', { class: 'class' });
    const e = el('div', { class: 'row', id: `row-${id}` }, el('div', {}, name, cls), el('label', {}, mute, ' mute'), slider, pct, move);
    const row = { e, name, cls, slider, pct, mute, move, held: false, want: null, sending: false };
    // One volume request at a time per node, the latest value next, paced
    // with every other request: a slider dragged fast sends no backlog.
    const send = async () => {
      if (row.sending || row.want === null) return;
      row.sending = true;
      const v = row.want;
      const reply = await ask('volume', { node: id, volume: v });
      row.sending = false;
      if (row.want === v || !reply.ok) row.want = null;
      if (row.want !== null) send();
      else {
        dirty.rows.add(id);
        schedule();
      }
    };
    slider.addEventListener('pointerdown', () => (row.held = true));
    const release = () => {
      row.held = false;
      dirty.rows.add(id);
      schedule();
    };
    slider.addEventListener('pointerup', release);
    slider.addEventListener('blur', release);
    slider.addEventListener('input', () => {
      row.want = Number(slider.value);
      pct.textContent = `${Math.round(row.want * 100)}%`;
      send();
    });
    mute.addEventListener('change', () => ask('mute', { node: id, mute: mute.checked }));
    move.addEventListener('change', () => {
      if (move.value === '-') return;
      const target = move.value === '' ? null : Number(move.value);
      ask('move', { stream: id, target }, () => (target === null ? 'stream back to the session manager\'s choice' : 'stream moved'));
      move.value = '-';
    });
    rows.set(id, row);
    $('volumes').append(e);
    return row;
  }

  function drawMove(row, n) {
    const type = n.type || '';
    const targets = type.startsWith('Stream/Output/Audio') ? ofClass('Audio/Sink', 'Audio/Duplex') : type.startsWith('Stream/Input/Audio') ? ofClass('Audio/Source', 'Audio/Source/Virtual', 'Audio/Duplex') : null;
    row.move.hidden = !targets;
    if (!targets || document.activeElement === row.move) return;
    options(row.move, [['-', 'move to…'], ...targets.map((t) => [String(t.id), nodeLabel(t)]), ['', '(session manager\'s choice)']], '-');
  }

  function drawDevices() {
    const own = [...state.nodes.values()].filter((n) => n.props && Object.hasOwn(n.props, 'quorvane.created-by')).sort(byLabel);
    const key = JSON.stringify(own.map((n) => [n.id, nodeLabel(n), n.type]));
    if ($('devices').dataset.key === key) return;
    $('devices').dataset.key = key;
    $('devices').replaceChildren(
      ...(own.length
        ? own.map((n) => el('div', { class: 'row' },
          el('div', {}, el('div', { class: 'name', text: nodeLabel(n) }), el('div', { class: 'class', text: `${n.id} · ${n.type || ''}` })),
          el('button', { type: 'button', class: 'destroy', 'data-node': String(n.id), onclick: () => ask('destroy', { node: n.id }, () => `removed ${n.name}`) }, 'Remove')))
        : [el('div', { class: 'empty', text: 'none made by quorvane' })]),
    );
  }

  // --- devices: a select of profiles, and of the active profile's routes -----------

  // The server caps what it sends of a device; the page draws no more than that.
  const MAX_CARDS = 64;
  const MAX_CARD_CHOICES = 64;
  const DIRECTIONS = { output: 'Output port', input: 'Input port' };
  const cards = new Map(); // device id -> { e, name, cls, profile, routes: { output, input }, busy: Set of selects }
  const cardLabel = (d) => d.description || d.name || `device ${d.id}`;
  const choiceLabel = (c) => `${c.description || c.name || c.index}${c.available === 'no' ? ' (unavailable)' : ''}`;

  // A select of a device's choices: unavailable ones disabled, the active one
  // selected, unless a choice made here waits for its answer.
  function fill(select, list, current, none, busy) {
    const items = list.slice(0, MAX_CARD_CHOICES).map((c) => [String(c.index), choiceLabel(c), c.available === 'no']);
    if (current === null || !items.some(([v]) => v === String(current))) items.unshift(['', none, true]);
    const key = JSON.stringify(items);
    if (select.dataset.key !== key) {
      select.replaceChildren(...items.map(([value, text, off]) => el('option', { value, text, disabled: off })));
      select.dataset.key = key;
    }
    const value = current === null ? '' : String(current);
    if (!busy && select.value !== value) select.value = value;
  }

  function makeCard(id) {
    const select = (attrs) => el('select', { 'data-device': String(id), ...attrs });
    const card = {
      name: el('div', { class: 'name' }),
      cls: el('div', { class: 'class' }),
      profile: select({ class: 'profile' }),
      routes: Object.fromEntries(Object.keys(DIRECTIONS).map((dir) => [dir, select({ class: 'route', 'data-direction': dir })])),
      busy: new Set(),
    };
    const labelled = (text, e, hidden) => el('label', { hidden }, el('span', { text }), e);
    card.e = el('div', { class: 'row card', id: `card-${id}` }, el('div', {}, card.name, card.cls),
      labelled('Profile', card.profile, false), ...Object.entries(DIRECTIONS).map(([dir, text]) => labelled(text, card.routes[dir], true)));
    // The device the page shows, pinned by its serial: the answer, or the
    // refusal, is shown; then the select shows what the device holds.
    const choose = async (select, op, fields, done) => {
      const d = state.devices?.get(id);
      if (!d || select.value === '') return;
      card.busy.add(select);
      await ask(op, { device: id, serial: d.serial, ...fields(Number(select.value)) }, (r) => `${cardLabel(d)}: ${done(r)}`);
      card.busy.delete(select);
      dirty.cards = true;
      schedule();
    };
    card.profile.addEventListener('change', () => choose(card.profile, 'profile', (profile) => ({ profile }), (r) => `profile ${r.profile}`));
    for (const [direction, select] of Object.entries(card.routes)) {
      select.addEventListener('change', () => choose(select, 'route', (route) => ({ route, direction }), (r) => `${DIRECTIONS[direction].toLowerCase()} ${r.route}`));
    }
    cards.set(id, card);
    return card;
  }

  function drawCard(card, d) {
    setText(card.name, cardLabel(d));
    setText(card.cls, `${d.id} · ${d.name || ''}`);
    fill(card.profile, d.profiles, d.profile ?? null, '(no profile)', card.busy.has(card.profile));
    for (const [dir, select] of Object.entries(card.routes)) {
      const list = Array.isArray(d.routes?.[dir]) ? d.routes[dir] : [];
      select.parentElement.hidden = list.length === 0;
      if (list.length) fill(select, list, d.active?.[dir] ?? null, '(none)', card.busy.has(select));
    }
  }

  // Devices with profiles, by name; rows kept and updated in place (a select
  // being used stays the same element).
  function drawCards() {
    dirty.cards = false;
    const box = $('cards');
    $('cards-panel').hidden = state.devices === null;
    if (state.devices === null) return;
    const shown = [...state.devices.values()]
      .filter((d) => Array.isArray(d.profiles) && d.profiles.length > 0)
      .sort((a, b) => collator.compare(cardLabel(a), cardLabel(b)) || a.id - b.id)
      .slice(0, MAX_CARDS);
    const ids = new Set(shown.map((d) => d.id));
    for (const [id, card] of cards) {
      if (ids.has(id)) continue;
      card.e.remove();
      cards.delete(id);
    }
    for (const d of shown) drawCard(cards.get(d.id) || makeCard(d.id), d);
    const order = shown.length ? shown.map((d) => cards.get(d.id).e) : [el('div', { class: 'empty', text: 'no device with profiles' })];
    if (!shown.length || order.length !== box.childElementCount || order.some((e, i) => box.children[i] !== e)) box.replaceChildren(...order);
  }

  function drawPatchbay() {
    const box = $('patchbay');
    box.hidden = state.rules === undefined;
    if (box.hidden) return;
    const rules = JSON.stringify(state.rules, null, 1);
    if ($('rules').textContent !== rules) $('rules').textContent = rules;
    $('actions').replaceChildren(...state.actions.slice(-50).reverse().map((a) => {
      const { kind, at, text, ...rest } = a;
      return el('li', { class: kind === 'error' ? 'error' : '', text: `${at ? new Date(at).toLocaleTimeString() : ''} ${text ?? `${kind} ${JSON.stringify(rest)}`}` });
    }));
  }

  $('create').addEventListener('submit', (e) => {
    e.preventDefault();
    const name = $('create-name').value;
    const channels = $('create-channels').value.split(',').map((c) => c.trim()).filter(Boolean);
    const fields = { name, kind: $('create-kind').value, linger: $('create-linger').checked };
    if (channels.length) fields.channels = channels;
    ask('create', fields, (r) => `created ${name} (node ${r.node})`);
  });

  // --- links: select and remove; drag to make; nodes: drag to move -------------------

  let selected = null;

  function select(id) {
    document.querySelectorAll('.link.selected').forEach((e) => e.classList.remove('selected'));
    selected = id;
    if (id !== null) document.getElementById(`link-${id}`)?.classList.add('selected');
    $('unlink').disabled = id === null;
  }

  function unlinkSelected() {
    if (selected === null) return;
    const id = selected;
    ask('unlink', { link: id }, () => `link ${id} removed`);
  }

  $('unlink').addEventListener('click', unlinkSelected);
  document.addEventListener('keydown', (e) => {
    if ((e.key === 'Delete' || e.key === 'Backspace') && selected !== null && !/^(INPUT|SELECT|TEXTAREA)$/.test(document.activeElement?.tagName)) {
      e.preventDefault();
      unlinkSelected();
    }
    if (e.key === 'Escape') select(null);
  });

  const idOf = (e, prefix) => (e ? Number(e.id.slice(prefix.length)) : null);
  // { kind: 'port'|'node'|'pan', id, from: [x, y] (picture), at: [x, y] (screen), line, was: [x, y] }
  let drag = null;

  // A pointer's place in the picture's units.
  function pointAt(e) {
    const p = new DOMPoint(e.clientX, e.clientY).matrixTransform(viewport.getScreenCTM().inverse());
    return [p.x, p.y];
  }

  area.addEventListener('pointerdown', (e) => {
    if (e.button !== 0) return;
    const port = e.target.closest('.port');
    const link = e.target.closest('.link');
    const node = e.target.closest('.node');
    if (link) return select(idOf(link, 'link-'));
    select(null);
    if (port) drag = { kind: 'port', id: idOf(port, 'port-') };
    else if (node) {
      const v = nodeViews.get(idOf(node, 'node-'));
      drag = { kind: 'node', id: idOf(node, 'node-'), was: [v.x, v.y], moved: false };
    } else {
      drag = { kind: 'pan' };
      area.classList.add('panning');
    }
    drag.from = pointAt(e);
    drag.at = [e.clientX, e.clientY];
    area.setPointerCapture(e.pointerId);
    e.preventDefault();
  });

  // A node's tooltip: its name and every property; a port's: its name.
  // Made when the pointer first comes over it.
  area.addEventListener('pointerover', (e) => {
    const port = e.target.closest?.('.port');
    if (port && !port.querySelector(':scope > title')) {
      const title = document.createElementNS(SVG, 'title');
      title.textContent = state.ports.get(idOf(port, 'port-'))?.name || '';
      port.prepend(title);
    }
    const g = e.target.closest?.('.node');
    const title = g?.querySelector(':scope > title');
    const n = g && state.nodes.get(idOf(g, 'node-'));
    if (!title || !n || title.dataset.full) return;
    title.textContent = [n.name, ...Object.entries(n.props || {}).map(([k, v]) => `${k} = ${v}`)].join('\n');
    title.dataset.full = 'true';
  });

  area.addEventListener('pointermove', (e) => {
    if (!drag) return;
    if (drag.kind === 'pan') {
      view.x += e.clientX - drag.at[0];
      view.y += e.clientY - drag.at[1];
      drag.at = [e.clientX, e.clientY];
      return setView();
    }
    const [x, y] = pointAt(e);
    if (remote) {
      document.body.classList.add('dragging');
      markTarget(e);
    }
    if (drag.kind === 'node') {
      const v = nodeViews.get(drag.id);
      if (!v) return;
      if (!drag.moved && Math.hypot(e.clientX - drag.at[0], e.clientY - drag.at[1]) < 4) return;
      drag.moved = true;
      v.g.classList.add('moving');
      v.x = drag.was[0] + x - drag.from[0];
      v.y = drag.was[1] + y - drag.from[1];
      move(drag.id, v);
      for (const l of dirty.links) drawLink(l);
      dirty.links.clear();
      return;
    }
    if (!drag.line || !drag.line.isConnected) {
      drag.line = document.createElementNS(SVG, 'line');
      drag.line.setAttribute('class', 'drag');
      viewport.append(drag.line);
    }
    drag.line.setAttribute('x1', drag.from[0]);
    drag.line.setAttribute('y1', drag.from[1]);
    drag.line.setAttribute('x2', x);
    drag.line.setAttribute('y2', y);
  });

  // A node dropped on another node links the two and goes back; dropped
  // elsewhere, it stays there (below any box put there before it), in this
  // browser, under its name, and the layout keeps clear of it.
  function dropNode(d, onto) {
    const v = nodeViews.get(d.id);
    const n = state.nodes.get(d.id);
    if (!v || !n) return;
    v.g.classList.remove('moving');
    if (!d.moved) return;
    dirty.layout = true;
    if (onto !== null && onto !== d.id) {
      [v.x, v.y] = d.was;
      move(d.id, v);
      schedule();
      return ask('linkNodes', { from: d.id, to: onto }, (r) => `${r.made} link(s) made${r.existing ? `, ${r.existing} there already` : ''}`);
    }
    [v.x, v.y] = [Math.round(v.x), Math.round(v.y)]; // as kept
    for (let moved = true, i = 0; moved && i <= nodeViews.size; i++) {
      moved = false;
      for (const [id, w] of nodeViews) {
        if (id === d.id || !w.pinned || w.hidden || Math.abs(w.x - v.x) >= W || w.y >= v.y + v.h + GAP_Y || v.y >= w.y + w.h + GAP_Y) continue;
        v.y = w.y + w.h + GAP_Y;
        moved = true;
      }
    }
    v.pinned = true;
    move(d.id, v);
    savePlace(n.name, v.x, v.y);
    schedule();
  }

  area.addEventListener('pointerup', (e) => {
    if (!drag) return;
    const d = drag;
    drag = null;
    area.classList.remove('panning');
    d.line?.remove();
    document.body.classList.remove('dragging');
    if (d.kind === 'pan') return;
    const under = document.elementFromPoint(e.clientX, e.clientY);
    const port = under?.closest('.port');
    const node = under?.closest('.node');
    const target = under?.closest('.fleet-target');
    if (target) {
      target.classList.remove('target');
      // The node goes back where it was, and streams to the sink.
      const v = d.kind === 'node' && nodeViews.get(d.id);
      if (v) {
        v.g.classList.remove('moving');
        [v.x, v.y] = d.was;
        move(d.id, v);
        schedule();
      }
      return streamTo(d.kind === 'node' ? d.id : state.ports.get(d.id)?.nodeId, sinkOf.get(target));
    }
    if (d.kind === 'node') return dropNode(d, node ? idOf(node, 'node-') : null);
    if (port) {
      const a = state.ports.get(d.id);
      const b = state.ports.get(idOf(port, 'port-'));
      if (!a || !b || a.id === b.id) return;
      if (a.direction === b.direction) return say(`${a.name} and ${b.name} are both ${a.direction === 0 ? 'outputs' : 'inputs'}: link an output to an input`, 'error');
      const [out, inp] = a.direction === 0 ? [a, b] : [b, a];
      ask('link', { out: out.id, in: inp.id }, (r) => (r.made ? `linked ${out.name} → ${inp.name}` : `${out.name} → ${inp.name} is linked already`));
    } else if (node) {
      const from = state.ports.get(d.id)?.nodeId;
      const to = idOf(node, 'node-');
      if (from === undefined || from === to) return;
      ask('linkNodes', { from, to }, (r) => `${r.made} link(s) made${r.existing ? `, ${r.existing} there already` : ''}`);
    }
  });

  area.addEventListener('pointercancel', () => {
    drag?.line?.remove();
    document.body.classList.remove('dragging');
    if (drag?.kind === 'node') {
      const v = nodeViews.get(drag.id);
      if (v) {
        v.g.classList.remove('moving');
        [v.x, v.y] = drag.was;
        move(drag.id, v);
        dirty.layout = true;
        schedule();
      }
    }
    area.classList.remove('panning');
    drag = null;
  });

  setView();
  open();
})();
