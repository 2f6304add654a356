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
// feeds (bounded, so cycles end), then nodes that feed nothing move to the
// last column. Unlinked nodes: sources left, sinks right, others in between.
function assignColumns(entries, edges) {
  const col = new Map(entries.map((e) => [e.node.id, 0]));
  const linked = new Set();
  const feeds = new Set();
  for (const [a, b] of edges) {
    linked.add(a).add(b);
    feeds.add(a);
  }
  for (let i = 0; i < entries.length; i++) {
    let changed = false;
    for (const [a, b] of edges) {
      const want = col.get(a) + 1;
      if (want > col.get(b) && want < entries.length) {
        col.set(b, want);
        changed = true;
      }
    }
    if (!changed) break;
  }
  let last = Math.max(0, ...col.values());
  if (last === 0 && entries.some((e) => e.ins.length) && entries.some((e) => e.outs.length)) last = 1;
  for (const e of entries) {
    const id = e.node.id;
    if (linked.has(id)) {
      if (!feeds.has(id)) col.set(id, last);
    } else if (e.outs.length && !e.ins.length) col.set(id, 0);
    else if (e.ins.length && !e.outs.length) col.set(id, last);
    else col.set(id, e.node.isOutput && !e.node.isInput ? last : e.node.isInput && !e.node.isOutput ? 0 : Math.ceil(last / 2));
  }
  return col;
}

/** Positions of every node box and port, for a snapshot { nodes, ports, links }. */
function layout({ nodes, ports, links }) {
  const entries = nodes.map((node) => ({ node, ins: [], outs: [] }));
  const byId = new Map(entries.map((e) => [e.node.id, e]));
  for (const p of ports) byId.get(p.nodeId)?.[p.direction === 1 ? 'ins' : 'outs'].push(p);
  const edges = links.filter((l) => byId.has(l.srcNodeId) && byId.has(l.sinkNodeId) && l.srcNodeId !== l.sinkNodeId).map((l) => [l.srcNodeId, l.sinkNodeId]);
  const col = assignColumns(entries, edges);
  const columns = [];
  for (const e of entries) {
    const c = col.get(e.node.id);
    (columns[c] ||= []).push(e);
    e.title = clip(e.node.name || '(no name)');
    e.subtitle = clip(`${e.node.id} · ${e.node.type || 'no media class'}`);
    const inW = Math.max(0, ...e.ins.map((p) => textWidth(clip(p.name))));
    const outW = Math.max(0, ...e.outs.map((p) => textWidth(clip(p.name))));
    e.w = Math.ceil(Math.max(textWidth(e.title) + 2 * PAD, textWidth(e.subtitle) + 2 * PAD, inW + outW + 5 * PAD, 120));
    e.h = HEAD_H + Math.max(e.ins.length, e.outs.length, 0) * ROW_H + PAD / 2;
  }
  const filled = columns.filter(Boolean);
  // Order within columns: by class and name, then twice by the mean place
  // of the nodes linked in, so that links cross less.
  const rank = new Map();
  for (const c of filled) {
    c.sort((a, b) => (a.node.type || '').localeCompare(b.node.type || '') || (a.node.name || '').localeCompare(b.node.name || '') || a.node.id - b.node.id);
    c.forEach((e, i) => rank.set(e.node.id, i));
  }
  const preds = new Map();
  for (const [a, b] of edges) (preds.get(b) || preds.set(b, []).get(b)).push(a);
  for (let sweep = 0; sweep < 2; sweep++) {
    for (const c of filled) {
      const key = (e) => {
        const p = preds.get(e.node.id)?.filter((id) => col.get(id) < col.get(e.node.id));
        return p?.length ? p.reduce((s, id) => s + rank.get(id), 0) / p.length : rank.get(e.node.id);
      };
      const keys = new Map(c.map((e) => [e, key(e)]));
      c.sort((a, b) => keys.get(a) - keys.get(b));
      c.forEach((e, i) => rank.set(e.node.id, i));
    }
  }
  let x = MARGIN;
  let height = 0;
  for (const c of filled) {
    const colW = Math.max(...c.map((e) => e.w));
    let y = MARGIN;
    for (const e of c) {
      e.x = x + (colW - e.w) / 2;
      e.y = y;
      y += e.h + GAP_Y;
    }
    height = Math.max(height, y - GAP_Y + MARGIN);
    x += colW + GAP_X;
  }
  const portAt = new Map();
  for (const e of entries) {
    e.ins.forEach((p, i) => portAt.set(p.id, { x: e.x, y: e.y + HEAD_H + i * ROW_H + ROW_H / 2, port: p }));
    e.outs.forEach((p, i) => portAt.set(p.id, { x: e.x + e.w, y: e.y + HEAD_H + i * ROW_H + ROW_H / 2, port: p }));
  }
  const width = Math.max(x - GAP_X + MARGIN, 200);
  return { entries, portAt, width: Math.ceil(width), height: Math.ceil(Math.max(height, 100)) };
}

function props(o) {
  return Object.entries(o || {})
    .map(([k, v]) => `${k} = ${v}`)
    .join('\n');
}

/** A self-contained SVG document for a snapshot { nodes, ports, links }. */
function toSvg(snapshot, { title = 'PipeWire graph' } = {}) {
  const { entries, portAt, width, height } = layout(snapshot);
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
    const a = portAt.get(l.srcPortId);
    const b = portAt.get(l.sinkPortId);
    if (!a || !b) continue;
    const dx = Math.max(60, Math.abs(b.x - a.x) / 2);
    const d = `M${a.x.toFixed(1)},${a.y.toFixed(1)} C${(a.x + dx).toFixed(1)},${a.y.toFixed(1)} ${(b.x - dx).toFixed(1)},${b.y.toFixed(1)} ${b.x.toFixed(1)},${b.y.toFixed(1)}`;
    out.push(`<path class="link" id="link-${l.id}" d="${d}"><title>${xml(`link ${l.id}: ${a.port.name} → ${b.port.name}`)}</title></path>`);
  }
  out.push('</g>', '<g class="nodes">');
  for (const e of entries) {
    const { node } = e;
    out.push(`<g class="node" id="node-${node.id}" transform="translate(${e.x.toFixed(1)},${e.y.toFixed(1)})">`);
    out.push(`<title>${xml(`${node.name}\n${props(node.props)}`)}</title>`);
    out.push(`<rect class="box" width="${e.w}" height="${e.h}" rx="5"/>`);
    out.push(`<path class="head" d="M0.5,${HEAD_H - 4}V5.5a5,5 0 0 1 5,-5H${e.w - 5.5}a5,5 0 0 1 5,5V${HEAD_H - 4}Z"/>`);
    out.push(`<text class="name" x="${PAD}" y="16">${xml(e.title)}</text>`);
    out.push(`<text class="sub" x="${PAD}" y="29">${xml(e.subtitle)}</text>`);
    e.ins.forEach((p, i) => {
      const y = HEAD_H + i * ROW_H + ROW_H / 2;
      out.push(`<circle class="pin" cx="0" cy="${y}" r="3.5"/><text class="pname" x="${PAD}" y="${y + 4}">${xml(clip(p.name))}</text>`);
    });
    e.outs.forEach((p, i) => {
      const y = HEAD_H + i * ROW_H + ROW_H / 2;
      out.push(`<circle class="pout" cx="${e.w}" cy="${y}" r="3.5"/><text class="pname" x="${e.w - PAD}" y="${y + 4}" text-anchor="end">${xml(clip(p.name))}</text>`);
    });
    out.push('</g>');
  }
  out.push('</g>', '</svg>');
  return `${out.join('\n')}\n`;
}

module.exports = { toSvg, layout };
