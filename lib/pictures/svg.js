'use strict';
// The graph as a self-contained SVG picture, laid out here (no Graphviz):
// nodes in columns by the links between them (sources on the left, sinks on
// the right), each a box with its input ports on its left edge and its output
// ports on its right edge, links as curves from port to port.

const FONT = 12; // px, monospace: text widths are known without measuring
const CHAR_W = 7.3; // width of one character at FONT px (DejaVu Sans Mono: 7.22)
const ROW_H = 18;
const HEAD_H = 38;
const PAD = 10;
const GAP_X = 150; // room for the curves between columns
const GAP_Y = 26;
const MARGIN = 24;
const MAX_LABEL = 60;
const LANE_GAP = 6; // between the links of one lane

// Text as XML character data: no characters XML forbids, markup escaped.
function xml(text) {
  return String(text)
    .replace(/[\u0000-\u0008\u000b\u000c\u000e-\u001f\ufffe\uffff]|[\ud800-\udbff](?![\udc00-\udfff])|(?<![\ud800-\udbff])[\udc00-\udfff]/g, '\ufffd')
    .replace(/[&<>"']/g, (c) => ({ '&': '&amp;', '<': '&lt;', '>': '&gt;', '"': '&quot;', "'": '&#39;' })[c]);
}

function clip(text) {
  const s = String(text);
  return s.length > MAX_LABEL ? `${s.slice(0, MAX_LABEL - 1)}…` : s;
}

const textWidth = (s) => [...s].length * CHAR_W;

// Column of each node: longest path along the links from a node nothing
// feeds, leaving out the links that close a cycle (found by a depth-first
// walk); then nodes that feed nothing move to the last column. Unlinked
// nodes: sources left, sinks right, others in between.
// Depth-first walk marks.
const ON_PATH = 1;
const DONE = 2;

function assignColumns(boxes, edges) {
  const ids = boxes.map((e) => e.node.id);
  const columnOf = new Map(ids.map((id) => [id, 0]));
  const targets = new Map(ids.map((id) => [id, []])); // the nodes each feeds
  const linked = new Set();
  const feeds = new Set();
  for (const [a, b] of edges) {
    linked.add(a).add(b);
    feeds.add(a);
    targets.get(a).push(b);
  }
  const walked = new Map(); // id -> ON_PATH or DONE
  const forwardTargets = new Map(ids.map((id) => [id, []]));
  const feedersLeft = new Map(ids.map((id) => [id, 0]));
  for (const root of ids) {
    if (walked.has(root)) continue;
    walked.set(root, ON_PATH);
    const path = [[root, 0]];
    while (path.length) {
      const top = path[path.length - 1]; // [node id, index of the next target to visit]
      const next = targets.get(top[0]);
      if (top[1] === next.length) {
        walked.set(top[0], DONE);
        path.pop();
        continue;
      }
      const b = next[top[1]++];
      if (walked.get(b) === ON_PATH) continue; // closes a cycle
      forwardTargets.get(top[0]).push(b);
      feedersLeft.set(b, feedersLeft.get(b) + 1);
      if (!walked.has(b)) {
        walked.set(b, ON_PATH);
        path.push([b, 0]);
      }
    }
  }
  const queue = ids.filter((id) => feedersLeft.get(id) === 0);
  for (let k = 0; k < queue.length; k++) {
    const a = queue[k];
    for (const b of forwardTargets.get(a)) {
      columnOf.set(b, Math.max(columnOf.get(b), columnOf.get(a) + 1));
      feedersLeft.set(b, feedersLeft.get(b) - 1);
      if (feedersLeft.get(b) === 0) queue.push(b);
    }
  }
  let last = Math.max(0, ...columnOf.values());
  if (last === 0 && boxes.some((e) => e.ins.length) && boxes.some((e) => e.outs.length)) last = 1;
  for (const e of boxes) {
    const id = e.node.id;
    if (linked.has(id)) {
      if (!feeds.has(id)) columnOf.set(id, last);
    } else if (e.outs.length && !e.ins.length) columnOf.set(id, 0);
    else if (e.ins.length && !e.outs.length) columnOf.set(id, last);
    else columnOf.set(id, e.node.isOutput && !e.node.isInput ? last : e.node.isInput && !e.node.isOutput ? 0 : Math.ceil(last / 2));
  }
  return columnOf;
}

/**
 * Positions of every node box and port, for a snapshot { nodes, ports,
 * links }. A link that passes columns between its ends gets a lane through
 * each of them (one per pair of nodes), placed and ordered like a node, so
 * that it runs between the boxes instead of behind them.
 */
function layout({ nodes, ports, links }) {
  // One box per node: its ports by side, then its size and place.
  const boxes = nodes.map((node) => ({ key: node.id, node, ins: [], outs: [] }));
  const byId = new Map(boxes.map((e) => [e.node.id, e]));
  for (const p of ports) byId.get(p.nodeId)?.[p.direction === 1 ? 'ins' : 'outs'].push(p);
  const drawn = links.filter((l) => byId.has(l.srcNodeId) && byId.has(l.sinkNodeId) && l.srcNodeId !== l.sinkNodeId);
  const columnOf = assignColumns(boxes, drawn.map((l) => [l.srcNodeId, l.sinkNodeId]));
  for (const e of boxes) {
    e.title = clip(e.node.name || '(no name)');
    e.subtitle = clip(`${e.node.id} · ${e.node.type || 'no media class'}`);
    const inW = Math.max(0, ...e.ins.map((p) => textWidth(clip(p.name))));
    const outW = Math.max(0, ...e.outs.map((p) => textWidth(clip(p.name))));
    e.w = Math.ceil(Math.max(textWidth(e.title) + 2 * PAD, textWidth(e.subtitle) + 2 * PAD, inW + outW + 5 * PAD, 120));
    e.h = HEAD_H + Math.max(e.ins.length, e.outs.length, 0) * ROW_H + PAD / 2;
  }
  // Lanes: for each pair of nodes whose links skip columns, one slot in
  // every column between, as high as its links need.
  const lanes = new Map(); // "src>sink" -> [lane slot per column between]
  const neighbourEdges = []; // [left, right] between neighbouring columns, for the ordering
  for (const l of drawn) {
    const a = columnOf.get(l.srcNodeId);
    const b = columnOf.get(l.sinkNodeId);
    const pair = `${l.srcNodeId}>${l.sinkNodeId}`;
    if (b - a <= 1) {
      neighbourEdges.push([l.srcNodeId, l.sinkNodeId]);
      continue;
    }
    if (!lanes.has(pair)) {
      const slots = [];
      for (let c = a + 1; c < b; c++) {
        const slot = { key: `${pair}@${c}`, lane: true, links: 0, w: 0, h: 0 };
        columnOf.set(slot.key, c);
        slots.push(slot);
      }
      [l.srcNodeId, ...slots.map((x) => x.key), l.sinkNodeId].reduce((x, y) => (neighbourEdges.push([x, y]), y));
      lanes.set(pair, slots);
    }
    for (const slot of lanes.get(pair)) {
      slot.h = LANE_GAP * slot.links;
      slot.links++;
    }
  }
  const boxesAndLanes = [...boxes, ...[...lanes.values()].flat()];
  const columns = [];
  for (const e of boxesAndLanes) (columns[columnOf.get(e.key)] ||= []).push(e);
  const filled = columns.filter(Boolean);
  // Order within columns: by class and name, then by the mean place of the
  // neighbours, sweeping left to right and back, so that links cross less.
  const rank = new Map();
  const sortName = (e) => (e.lane ? '' : `${e.node.type || ''}\u0000${e.node.name || ''}`);
  for (const c of filled) {
    c.sort((a, b) => sortName(a).localeCompare(sortName(b)) || String(a.key).localeCompare(String(b.key)));
    c.forEach((e, i) => rank.set(e.key, i));
  }
  const leftNeighbours = new Map();
  const rightNeighbours = new Map();
  for (const [a, b] of neighbourEdges) {
    (leftNeighbours.get(b) || leftNeighbours.set(b, []).get(b)).push(a);
    (rightNeighbours.get(a) || rightNeighbours.set(a, []).get(a)).push(b);
  }
  const reorder = (c, neighbours, before) => {
    const key = (e) => {
      const here = columnOf.get(e.key);
      const p = neighbours.get(e.key)?.filter((k) => (before ? columnOf.get(k) < here : columnOf.get(k) > here));
      return p?.length ? p.reduce((sum, k) => sum + rank.get(k), 0) / p.length : rank.get(e.key);
    };
    const keys = new Map(c.map((e) => [e, key(e)]));
    c.sort((a, b) => keys.get(a) - keys.get(b));
    c.forEach((e, i) => rank.set(e.key, i));
  };
  for (let sweep = 0; sweep < 3; sweep++) {
    for (const c of filled.slice(1)) reorder(c, leftNeighbours, true);
    for (const c of filled.slice(0, -1).reverse()) reorder(c, rightNeighbours, false);
  }
  // Across: columns side by side. Down: each box (or lane) near the mean
  // height of what it is linked with, in its column's order, without
  // overlapping; once from the left, once back from the right, once more
  // from the left.
  let x = MARGIN;
  for (const c of filled) {
    const colW = Math.max(0, ...c.map((e) => e.w));
    for (const e of c) {
      if (e.lane) {
        e.x0 = x - GAP_X / 4;
        e.x1 = x + colW + GAP_X / 4;
      } else {
        e.x = x + (colW - e.w) / 2;
      }
    }
    x += colW + GAP_X;
  }
  const gap = (e) => (e.lane ? ROW_H / 2 : GAP_Y);
  const middleY = new Map();
  const place = (c, neighbours) => {
    let bottom = MARGIN;
    let first = true;
    for (const e of c) {
      const near = neighbours?.get(e.key)?.filter((k) => middleY.has(k));
      const wanted = near?.length ? near.reduce((sum, k) => sum + middleY.get(k), 0) / near.length - e.h / 2 : -Infinity;
      e.y = Math.max(wanted, bottom + (first ? 0 : gap(e)));
      bottom = e.y + e.h;
      first = false;
      middleY.set(e.key, e.y + e.h / 2);
    }
  };
  filled.forEach((c, i) => place(c, i ? leftNeighbours : null));
  for (const c of filled.slice(0, -1).reverse()) place(c, rightNeighbours);
  filled.forEach((c, i) => place(c, i ? leftNeighbours : null));
  // A lane's links lie at its top, LANE_GAP apart.
  for (const e of boxesAndLanes) if (e.lane) e.next = 0;
  const height = Math.max(...boxesAndLanes.map((e) => e.y + e.h)) + MARGIN;
  const portAt = new Map();
  for (const e of boxes) {
    e.ins.forEach((p, i) => portAt.set(p.id, { x: e.x, y: e.y + HEAD_H + i * ROW_H + ROW_H / 2, port: p }));
    e.outs.forEach((p, i) => portAt.set(p.id, { x: e.x + e.w, y: e.y + HEAD_H + i * ROW_H + ROW_H / 2, port: p }));
  }
  // Each link's course: from its output port through its lanes (each link
  // of a pair on a line of its own) to its input port.
  const course = new Map(); // link id -> { points, from, to }
  for (const l of drawn) {
    const a = portAt.get(l.srcPortId);
    const b = portAt.get(l.sinkPortId);
    if (!a || !b) continue;
    const points = [[a.x, a.y]];
    for (const slot of lanes.get(`${l.srcNodeId}>${l.sinkNodeId}`) || []) {
      const y = slot.y + LANE_GAP * slot.next++;
      points.push([slot.x0, y], [slot.x1, y]);
    }
    points.push([b.x, b.y]);
    course.set(l.id, { points, from: a.port, to: b.port });
  }
  const width = Math.max(x - GAP_X + MARGIN, 200);
  return { boxes, course, width: Math.ceil(width), height: Math.ceil(Math.max(height, 100)) };
}

// SVG path data through the points: curves between columns, straight runs
// along lanes.
function pathData(points) {
  const f = (v) => v.toFixed(1); // one decimal: enough for a pixel
  let d = `M${f(points[0][0])},${f(points[0][1])}`;
  for (let i = 1; i < points.length; i++) {
    const [x0, y0] = points[i - 1];
    const [x1, y1] = points[i];
    if (i % 2 === 0 && y0 === y1) {
      d += ` H${f(x1)}`;
      continue;
    }
    const dx = Math.max(30, Math.abs(x1 - x0) / 2);
    d += ` C${f(x0 + dx)},${f(y0)} ${f(x1 - dx)},${f(y1)} ${f(x1)},${f(y1)}`;
  }
  return d;
}

function propsText(o) {
  return Object.entries(o || {})
    .map(([k, v]) => `${k} = ${v}`)
    .join('\n');
}

/** A self-contained SVG document for a snapshot { nodes, ports, links }. */
function toSvg(snapshot, { title = 'PipeWire graph' } = {}) {
  const { boxes, course, width, height } = layout(snapshot);
  const out = [
    `<svg xmlns="http://www.w3.org/2000/svg" width="${width}" height="${height}" viewBox="0 0 ${width} ${height}" font-family="DejaVu Sans Mono, Menlo, Consolas, monospace" font-size="${FONT}">`,
    `<title>${xml(title)}</title>`,
    '<style>',
    '.box{fill:#fbfbfb;stroke:#5a5a5a;stroke-width:1}.head{fill:#e4e9f0}.name{font-weight:bold;fill:#1a1a1a}',
    '.sub{fill:#666;font-size:10px}.pin{fill:#2f6db5}.pout{fill:#c76a1c}.pname{fill:#333}',
    '.link{fill:none;stroke:#4a6fa5;stroke-width:1.4;stroke-opacity:.75}',
    '</style>',
    `<rect width="${width}" height="${height}" fill="#ffffff"/>`,
    '<g class="links">',
  ];
  for (const l of snapshot.links) {
    const c = course.get(l.id);
    if (!c) continue;
    out.push(`<path class="link" id="link-${l.id}" d="${pathData(c.points)}"><title>${xml(`link ${l.id}: ${c.from.name} → ${c.to.name}`)}</title></path>`);
  }
  out.push('</g>', '<g class="nodes">');
  for (const e of boxes) {
    const { node } = e;
    out.push(`<g class="node" id="node-${node.id}" transform="translate(${e.x.toFixed(1)},${e.y.toFixed(1)})">`);
    out.push(`<title>${xml(`${node.name}\n${propsText(node.props)}`)}</title>`);
    out.push(`<rect class="box" width="${e.w}" height="${e.h}" rx="5"/>`);
    out.push(`<path class="head" d="M0.5,${HEAD_H - 4}V5.5a5,5 0 0 1 5,-5H${e.w - 5.5}a5,5 0 0 1 5,5V${HEAD_H - 4}Z"/>`);
    out.push(`<text class="name" x="${PAD}" y="16">${xml(e.title)}</text>`);
    out.push(`<text class="sub" x="${PAD}" y="29">${xml(e.subtitle)}</text>`);
    e.ins.forEach((p, i) => {
      const y = HEAD_H + i * ROW_H + ROW_H / 2;
      out.push(`<g class="port" id="port-${p.id}"><circle class="pin" cx="0" cy="${y}" r="3.5"/><text class="pname" x="${PAD}" y="${y + 4}">${xml(clip(p.name))}</text></g>`);
    });
    e.outs.forEach((p, i) => {
      const y = HEAD_H + i * ROW_H + ROW_H / 2;
      out.push(`<g class="port" id="port-${p.id}"><circle class="pout" cx="${e.w}" cy="${y}" r="3.5"/><text class="pname" x="${e.w - PAD}" y="${y + 4}" text-anchor="end">${xml(clip(p.name))}</text></g>`);
    });
    out.push('</g>');
  }
  out.push('</g>', '</svg>');
  return `${out.join('\n')}\n`;
}

module.exports = { toSvg };
