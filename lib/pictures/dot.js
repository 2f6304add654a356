'use strict';
// The graph in Graphviz DOT: each node a box with its input ports on the left
// and its output ports on the right, each link an edge between two ports.
// Every text from the daemon goes into a label, escaped; ids are made here.

// Characters Graphviz's HTML-like labels must not see raw; control
// characters are dropped (a label is no place for them).
function htmlText(text) {
  return String(text)
    .replace(/[\u0000-\u0008\u000b\u000c\u000e-\u001f\u007f]/g, '')
    .replace(/[&<>"\n\r\t]/g, (c) => ({ '&': '&amp;', '<': '&lt;', '>': '&gt;', '"': '&quot;', '\n': ' ', '\r': ' ', '\t': ' ' })[c]);
}

// A quoted DOT string (for attributes that are not HTML-like).
function quoted(text) {
  return `"${String(text)
    .replace(/[\u0000-\u001f\u007f]/g, ' ')
    .replace(/["\\]/g, (c) => `\\${c}`)}"`;
}

function propLines(props) {
  return Object.entries(props || {})
    .map(([k, v]) => `${htmlText(k)} = ${htmlText(v)}<BR ALIGN="LEFT"/>`)
    .join('');
}

function portCell(port, all) {
  if (!port) return '<TD BORDER="0"></TD>';
  const lines = all ? propLines(port.props) : '';
  const extra = lines ? `<BR/><FONT POINT-SIZE="8">${lines}</FONT>` : ''; // Graphviz refuses an empty FONT
  const align = port.direction === 1 ? 'LEFT' : 'RIGHT';
  return `<TD PORT="p${port.id}" ALIGN="${align}" BGCOLOR="${port.direction === 1 ? '#dbe8f7' : '#f7e5d2'}">${htmlText(port.name)}${extra}</TD>`;
}

function nodeStatement(node, ins, outs, all) {
  const rows = [];
  const title = `<B>${htmlText(node.name || '(no name)')}</B><BR/><FONT POINT-SIZE="9">${node.id} · ${htmlText(node.type || 'no media class')}</FONT>`;
  rows.push(`<TR><TD COLSPAN="2" BGCOLOR="#eeeeee">${title}</TD></TR>`);
  if (all && node.props && Object.keys(node.props).length) {
    rows.push(`<TR><TD COLSPAN="2" ALIGN="LEFT" BALIGN="LEFT"><FONT POINT-SIZE="8">${propLines(node.props)}</FONT></TD></TR>`);
  }
  for (let i = 0; i < Math.max(ins.length, outs.length); i++) {
    rows.push(`<TR>${portCell(ins[i], all)}${portCell(outs[i], all)}</TR>`);
  }
  const table = `<TABLE BORDER="1" CELLBORDER="0" CELLSPACING="2" CELLPADDING="3">${rows.join('')}</TABLE>`;
  return `  n${node.id} [id=${quoted(`node-${node.id}`)} label=<${table}>];`;
}

/**
 * DOT text for a snapshot { nodes, ports, links } as graph.nodes() /
 * ports() / links() list them. `all` adds every property.
 */
function toDot({ nodes, ports, links }, { all = false } = {}) {
  const portsOf = new Map(nodes.map((n) => [n.id, { ins: [], outs: [] }]));
  const portById = new Map();
  for (const p of ports) {
    portById.set(p.id, p);
    portsOf.get(p.nodeId)?.[p.direction === 1 ? 'ins' : 'outs'].push(p);
  }
  const out = [
    'digraph quorvane {',
    '  rankdir=LR;',
    '  graph [fontname="Helvetica" nodesep=0.3 ranksep=1.2];',
    '  node [shape=plaintext fontname="Helvetica" fontsize=10];',
    '  edge [color="#4a6fa5" arrowsize=0.6];',
  ];
  for (const n of nodes) {
    const { ins, outs } = portsOf.get(n.id);
    out.push(nodeStatement(n, ins, outs, all));
  }
  for (const l of links) {
    if (!portsOf.has(l.srcNodeId) || !portsOf.has(l.sinkNodeId)) continue; // an end is not in the graph (yet)
    const tail = portById.get(l.srcPortId)?.nodeId === l.srcNodeId ? `n${l.srcNodeId}:p${l.srcPortId}:e` : `n${l.srcNodeId}`;
    const head = portById.get(l.sinkPortId)?.nodeId === l.sinkNodeId ? `n${l.sinkNodeId}:p${l.sinkPortId}:w` : `n${l.sinkNodeId}`;
    const attrs = [`id=${quoted(`link-${l.id}`)}`, `tooltip=${quoted(`link ${l.id}`)}`];
    if (all && l.props && Object.keys(l.props).length) {
      attrs.push(`label=<<FONT POINT-SIZE="8">link ${l.id}<BR ALIGN="LEFT"/>${propLines(l.props)}</FONT>>`);
    }
    out.push(`  ${tail} -> ${head} [${attrs.join(' ')}];`);
  }
  out.push('}');
  return `${out.join('\n')}\n`;
}

module.exports = { toDot };
