'use strict';
// The web patchbay's page: the graph kept from a snapshot plus the server's
// events, drawn with the layout of `quorvane svg` at most once a frame, and
// the user's requests sent over the same WebSocket. Every text from the graph
// goes in as text (textContent, or escaped by the picture), never as markup.
(() => {
  const state = { nodes: new Map(), ports: new Map(), links: new Map(), defaults: null, daemon: { connected: true }, rules: undefined, actions: [] };
  // What the page measured, for the tests and the benchmark: each event's
  // time from the server hearing it to its arrival and to its frame drawn.
  const stats = { latencies: [], arrivals: [], renderMs: [], renders: 0, snapshots: 0, events: 0, ready: false };
  window.__quorvane = stats;
  const MAX_LATENCIES = 20000;
  const VOLUME_MAX = 1.5; // the slider's end, on wpctl's scale (150%)
  const $ = (id) => document.getElementById(id);
  const now = () => performance.timeOrigin + performance.now();

  // --- connection --------------------------------------------------------------

  let ws = null;
  let nextId = 1;
  const pending = new Map(); // request id -> resolve
  let retryMs = 500;

  function open() {
    ws = new WebSocket(`${location.protocol === 'https:' ? 'wss' : 'ws'}://${location.host}/ws`);
    ws.onopen = () => {
      retryMs = 500;
      setStatus();
    };
    ws.onmessage = (e) => receive(JSON.parse(e.data));
    ws.onclose = () => {
      for (const resolve of pending.values()) resolve({ ok: false, error: 'connection to the server lost' });
      pending.clear();
      setStatus(`server not reachable; trying again in ${Math.round(retryMs / 1000)} s`);
      setTimeout(open, retryMs);
      retryMs = Math.min(retryMs * 2, 10000);
    };
  }

  function request(op, fields) {
    if (!ws || ws.readyState !== WebSocket.OPEN) return Promise.resolve({ ok: false, error: 'not connected to the server' });
    const id = nextId++;
    ws.send(JSON.stringify({ id, op, ...fields }));
    return new Promise((resolve) => pending.set(id, resolve));
  }

  // Sends a request; shows the refusal, if any. Resolves with the reply.
  async function ask(op, fields, done) {
    const reply = await request(op, fields);
    if (!reply.ok) say(reply.error, true);
    else if (done) say(done(reply.result));
    return reply;
  }

  function receive(msg) {
    if (msg.type === 'snapshot') applySnapshot(msg);
    else if (msg.type === 'events') {
      const at = now();
      for (const ev of msg.events) {
        stats.arrivals.push(at - ev.t);
        stats.events++;
        applyEvent(ev);
      }
      if (stats.arrivals.length > MAX_LATENCIES) stats.arrivals.splice(0, stats.arrivals.length - MAX_LATENCIES);
    } else if (msg.type === 'reply') {
      const resolve = pending.get(msg.id);
      pending.delete(msg.id);
      if (resolve) resolve(msg);
      else if (!msg.ok) say(msg.error, true);
    }
  }

  function applySnapshot(s) {
    state.nodes = new Map(s.nodes.map((n) => [n.id, n]));
    state.ports = new Map(s.ports.map((p) => [p.id, p]));
    state.links = new Map(s.links.map((l) => [l.id, l]));
    state.defaults = s.defaults;
    state.daemon = s.daemon;
    state.rules = s.rules;
    state.actions = s.actions || [];
    stats.snapshots++;
    schedule(true, true, s.t);
  }

  function applyEvent({ k, d, c, t }) {
    let graph = true;
    switch (k) {
      case 'node-created':
      case 'node-changed': {
        // The picture shows a node's name and class only: other changes
        // (its info, state, volume) leave it as it is, but for the tooltip.
        const before = state.nodes.get(d.id);
        state.nodes.set(d.id, d);
        if (k === 'node-changed' && before && before.name === d.name && before.type === d.type) {
          graph = false;
          document.querySelector(`#node-${d.id} > title`)?.removeAttribute('data-full');
        }
        break;
      }
      case 'node-destroyed':
        state.nodes.delete(d);
        break;
      case 'port-created':
      case 'port-changed': {
        const before = state.ports.get(d.id);
        state.ports.set(d.id, d);
        if (k === 'port-changed' && before && before.name === d.name && before.direction === d.direction && before.nodeId === d.nodeId) graph = false;
        break;
      }
      case 'port-destroyed':
        state.ports.delete(d);
        break;
      case 'link-created':
      case 'link-changed':
        // A link's state and format are not drawn.
        graph = k === 'link-created' || !state.links.has(d.id);
        state.links.set(d.id, d);
        break;
      case 'link-destroyed':
        state.links.delete(d);
        if (selected === d) select(null);
        break;
      case 'defaults-changed':
        state.defaults = d;
        graph = false;
        break;
      case 'daemon':
        state.daemon = d;
        graph = false;
        break;
      case 'action':
        state.actions.push(d);
        if (state.actions.length > 200) state.actions.shift();
        graph = false;
        break;
      default:
        return;
    }
    schedule(graph, true, t);
  }

  // --- drawing, once a frame -------------------------------------------------------

  let dirtyGraph = false;
  let dirtyPanel = false;
  let queued = false;
  let times = []; // event times waiting for the next frame

  function schedule(graph, panel, t) {
    dirtyGraph ||= graph;
    dirtyPanel ||= panel;
    if (typeof t === 'number') times.push(t);
    if (queued) return;
    queued = true;
    requestAnimationFrame(render);
  }

  function render() {
    queued = false;
    const start = now();
    if (dirtyGraph) drawGraph();
    if (dirtyPanel) drawPanel();
    dirtyGraph = dirtyPanel = false;
    stats.renders++;
    const at = now();
    stats.renderMs.push(at - start);
    if (stats.renderMs.length > 1000) stats.renderMs.shift();
    for (const t of times) stats.latencies.push(at - t);
    if (stats.latencies.length > MAX_LATENCIES) stats.latencies.splice(0, stats.latencies.length - MAX_LATENCIES);
    times = [];
    stats.ready = true;
    document.body.dataset.ready = 'true';
  }

  function drawGraph() {
    const area = $('graph');
    // Without the properties: the tooltips get them when pointed at
    // (below), and a frame does not escape and parse them all.
    const nodes = [...state.nodes.values()].map((n) => ({ ...n, props: undefined }));
    const snapshot = { nodes, ports: [...state.ports.values()], links: [...state.links.values()] };
    area.innerHTML = window.QuorvaneSvg.toSvg(snapshot, { title: 'PipeWire graph' });
    if (selected !== null) document.getElementById(`link-${selected}`)?.classList.add('selected');
    if (drag) drag.line = null; // drawn again at the next move
  }

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

  function setStatus(text) {
    const s = $('status');
    const up = ws && ws.readyState === WebSocket.OPEN;
    s.textContent = text || (!up ? 'connecting…' : state.daemon.connected ? 'live' : 'PipeWire away');
    s.className = `status ${up && state.daemon.connected ? 'ok' : 'bad'}`;
  }

  function say(text, error = false) {
    const box = $('messages');
    box.prepend(el('div', { class: `message${error ? ' error' : ''}`, role: error ? 'alert' : 'status', text: `${new Date().toLocaleTimeString()} ${text}` }));
    while (box.childElementCount > 6) box.lastElementChild.remove();
  }

  const nodeLabel = (n) => n.props?.['node.description'] || n.name || `node ${n.id}`;
  const ofClass = (...classes) => [...state.nodes.values()].filter((n) => classes.includes(n.type)).sort((a, b) => nodeLabel(a).localeCompare(nodeLabel(b)));
  const DEFAULT_CLASSES = {
    audioSink: ['Audio/Sink', 'Audio/Duplex'],
    audioSource: ['Audio/Source', 'Audio/Source/Virtual', 'Audio/Duplex'],
    videoSource: ['Video/Source'],
  };
  const DEFAULT_LABELS = { audioSink: 'Output', audioSource: 'Input', videoSource: 'Camera' };

  function drawPanel() {
    setStatus();
    const banner = $('banner');
    banner.hidden = state.daemon.connected;
    banner.textContent = state.daemon.connected ? '' : `PipeWire went away (${state.daemon.message || 'no reason given'}); waiting for it to come back…`;
    drawDefaults();
    drawVolumes();
    drawDevices();
    drawPatchbay();
  }

  // A select's options, made again only when they change.
  function options(select, items, current) {
    const key = JSON.stringify(items);
    if (select.dataset.key !== key) {
      select.replaceChildren(...items.map(([value, label]) => el('option', { value, text: label })));
      select.dataset.key = key;
    }
    select.value = current;
  }

  function drawDefaults() {
    const box = $('defaults');
    box.className = 'defaults';
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

  // Rows by node id, made once and updated in place, so that a slider being
  // dragged stays the element under the pointer.
  const rows = new Map();

  function drawVolumes() {
    const box = $('volumes');
    const nodes = [...state.nodes.values()].filter((n) => n.volume !== undefined || n.mute !== undefined || /^Stream\//.test(n.type || '')).sort((a, b) => (a.type || '').localeCompare(b.type || '') || nodeLabel(a).localeCompare(nodeLabel(b)));
    const keep = new Set(nodes.map((n) => n.id));
    for (const [id, row] of rows) if (!keep.has(id)) (row.e.remove(), rows.delete(id));
    for (const n of nodes) {
      const row = rows.get(n.id) || makeRow(n);
      row.e.querySelector('.name').textContent = nodeLabel(n);
      row.e.querySelector('.class').textContent = `${n.id} · ${n.type || ''}`;
      if (!row.held && row.want === null) {
        row.slider.value = String(n.volume ?? 0);
        row.pct.textContent = `${Math.round((n.volume ?? 0) * 100)}%`;
      }
      row.slider.hidden = row.pct.hidden = n.volume === undefined;
      row.mute.checked = !!n.mute;
      row.mute.parentElement.hidden = n.mute === undefined;
      drawMove(row, n);
      box.append(row.e); // in order
    }
    if (!nodes.length) box.replaceChildren(el('div', { class: 'empty', text: 'no node with a volume, no stream' }));
    else box.querySelector('.empty')?.remove();
  }

  function makeRow(n) {
    const id = n.id;
    const slider = el('input', { type: 'range', min: '0', max: String(VOLUME_MAX), step: '0.01', class: 'volume', 'aria-label': 'volume', 'data-node': String(id) });
    const pct = el('span', { class: 'pct' });
    const mute = el('input', { type: 'checkbox', class: 'mute', 'data-node': String(id) });
    const move = el('select', { class: 'move', 'data-node': String(id), hidden: true });
    const e = el('div', { class: 'row', id: `row-${id}` },
      el('div', {}, el('div', { class: 'name' }), el('div', { class: 'class' })),
      el('label', {}, mute, ' mute'),
      slider, pct, move);
    const row = { e, slider, pct, mute, move, held: false, want: null, sending: false };
    // Volumes go out one request at a time per node, the latest value next:
    // a slider dragged fast sends no backlog.
    const send = async () => {
      if (row.sending || row.want === null) return;
      row.sending = true;
      const v = row.want;
      const reply = await ask('volume', { node: id, volume: v });
      row.sending = false;
      if (row.want === v || !reply.ok) row.want = null;
      if (row.want !== null) send();
      else schedule(false, true);
    };
    slider.addEventListener('pointerdown', () => (row.held = true));
    const release = () => {
      row.held = false;
      schedule(false, true);
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
    const own = [...state.nodes.values()].filter((n) => n.props && Object.hasOwn(n.props, 'quorvane.created-by'));
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
    const name = $('create-name').value.trim();
    const channels = $('create-channels').value.split(',').map((c) => c.trim()).filter(Boolean);
    const fields = { name, kind: $('create-kind').value, linger: $('create-linger').checked };
    if (channels.length) fields.channels = channels;
    ask('create', fields, (r) => `created ${name} (node ${r.node})`);
  });

  // --- links: select and remove; drag to make -----------------------------------------

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
  let drag = null; // { kind: 'port'|'node', id, from: [x, y], line }

  function svgPoint(svg, e) {
    const p = new DOMPoint(e.clientX, e.clientY).matrixTransform(svg.getScreenCTM().inverse());
    return [p.x, p.y];
  }

  const area = $('graph');
  area.addEventListener('pointerdown', (e) => {
    if (e.button !== 0) return;
    const svg = area.querySelector('svg');
    const port = e.target.closest('.port');
    const link = e.target.closest('.link');
    const node = e.target.closest('.node');
    if (link) return select(idOf(link, 'link-'));
    select(null);
    if (!svg || (!port && !node)) return;
    drag = port ? { kind: 'port', id: idOf(port, 'port-') } : { kind: 'node', id: idOf(node, 'node-') };
    drag.from = svgPoint(svg, e);
    area.setPointerCapture(e.pointerId);
    e.preventDefault();
  });

  // A node's tooltip: its name and every property, as `quorvane svg` has it.
  area.addEventListener('pointerover', (e) => {
    const g = e.target.closest?.('.node');
    const title = g?.querySelector(':scope > title');
    const n = g && state.nodes.get(idOf(g, 'node-'));
    if (!title || !n || title.dataset.full) return;
    title.textContent = [n.name, ...Object.entries(n.props || {}).map(([k, v]) => `${k} = ${v}`)].join('\n');
    title.dataset.full = 'true';
  });

  area.addEventListener('pointermove', (e) => {
    if (!drag) return;
    const svg = area.querySelector('svg');
    if (!svg) return;
    if (!drag.line || !drag.line.isConnected) {
      drag.line = document.createElementNS('http://www.w3.org/2000/svg', 'line');
      drag.line.setAttribute('class', 'drag');
      svg.append(drag.line);
    }
    const [x, y] = svgPoint(svg, e);
    drag.line.setAttribute('x1', drag.from[0]);
    drag.line.setAttribute('y1', drag.from[1]);
    drag.line.setAttribute('x2', x);
    drag.line.setAttribute('y2', y);
  });

  area.addEventListener('pointerup', (e) => {
    if (!drag) return;
    const d = drag;
    drag = null;
    d.line?.remove();
    const under = document.elementFromPoint(e.clientX, e.clientY);
    const port = under?.closest('.port');
    const node = under?.closest('.node');
    if (d.kind === 'port' && port) {
      const a = state.ports.get(d.id);
      const b = state.ports.get(idOf(port, 'port-'));
      if (!a || !b || a.id === b.id) return;
      if (a.direction === b.direction) return say(`${a.name} and ${b.name} are both ${a.direction === 0 ? 'outputs' : 'inputs'}: link an output to an input`, true);
      const [out, inp] = a.direction === 0 ? [a, b] : [b, a];
      ask('link', { out: out.id, in: inp.id }, () => `linked ${out.name} → ${inp.name}`);
    } else if (node) {
      const from = d.kind === 'node' ? d.id : state.ports.get(d.id)?.nodeId;
      const to = idOf(node, 'node-');
      if (from === undefined || from === to) return;
      ask('linkNodes', { from, to }, (r) => `${r.links.length} link(s) made`);
    }
  });

  area.addEventListener('pointercancel', () => {
    drag?.line?.remove();
    drag = null;
  });

  open();
})();
