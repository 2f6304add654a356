'use strict';
// The page's document, its style sheet and its icon, served as /, /page.css
// and /favicon.ico (the scripts are layout.js and page.js beside this file).
// None holds anything secret: the token comes with the URL's fragment, which
// the page reads.

const html = `<!doctype html>
<html lang="en">
<head>
<meta charset="utf-8">
<meta name="viewport" content="width=device-width, initial-scale=1">
<meta name="referrer" content="no-referrer">
<title>Quorvane patchbay</title>
<link rel="stylesheet" href="/page.css">
<script src="/layout.js" defer></script>
<script src="/page.js" defer></script>
</head>
<body>
<header>
  <h1>Quorvane patchbay</h1>
  <select id="host" aria-label="host" title="The host shown (of those on the broker)" hidden></select>
  <span id="status" class="status">connecting…</span>
  <span id="signal" class="signal" title="The drivers' quantum, rate and xruns, from the daemon's profiler" hidden></span>
  <input id="search" type="search" placeholder="find a node (name or property)" aria-label="find a node" autocomplete="off">
  <span id="found" class="found-count"></span>
  <button id="fit" type="button" title="Show the whole graph">Fit</button>
  <button id="arrange" type="button" title="Lay every node out anew (those you moved stay where you put them)">Arrange</button>
  <label><input id="hide-unlinked" type="checkbox"> hide unlinked</label>
  <label><input id="hide-monitors" type="checkbox"> hide monitors</label>
  <label title="A level meter beside each node in view that has an audio output (each one a capture stream on the daemon, linked to the node's outputs)"><input id="levels" type="checkbox"> levels</label>
  <select id="class-filter" aria-label="media class shown"><option value="">every class</option></select>
  <button id="unlink" type="button" disabled title="Remove the selected link (Delete)">Remove link</button>
  <button id="panel-toggle" type="button" aria-controls="panel" aria-expanded="false" title="Volumes, defaults, devices and messages">Panel</button>
</header>
<div id="banner" class="banner" hidden></div>
<main>
  <section id="graph" class="graph" aria-label="graph" title="Drag a port onto a port, or a node onto a node, to link; drag a node elsewhere to move it; wheel to zoom, drag the background to pan"></section>
  <aside id="panel" class="panel">
    <div id="messages" class="messages" aria-live="polite"></div>
    <details id="fleet-panel" open hidden><summary>Streams to other hosts</summary>
      <p class="hint">Drag a node of this host onto a sink of another host to stream its audio there.</p>
      <div id="fleet-targets" class="fleet-targets"></div>
      <div id="fleet-streams"></div>
    </details>
    <details open><summary>Default devices</summary><div id="defaults" class="defaults"></div></details>
    <details open><summary>Volumes and streams</summary><div id="volumes"></div></details>
    <details id="cards-panel" open hidden><summary>Devices</summary><div id="cards"></div></details>
    <details id="virtual-panel" open hidden><summary>Virtual devices</summary>
      <form id="create" class="create">
        <input id="create-name" name="name" placeholder="name" required maxlength="200">
        <select id="create-kind" name="kind">
          <option value="sink">sink (Audio/Sink)</option>
          <option value="mic">microphone (Audio/Source/Virtual)</option>
          <option value="duplex">duplex (Audio/Duplex)</option>
        </select>
        <input id="create-channels" name="channels" value="FL,FR" title="channels, comma-separated">
        <label><input id="create-linger" type="checkbox"> keep after the server ends</label>
        <button type="submit">Create</button>
      </form>
      <div id="devices"></div>
    </details>
    <details id="patchbay" open hidden><summary>Patchbay rules</summary>
      <pre id="rules"></pre>
      <ol id="actions" class="actions" reversed></ol>
    </details>
  </aside>
</main>
</body>
</html>
`;

const css = `* { box-sizing: border-box; }
body { margin: 0; font: 13px/1.4 "DejaVu Sans", system-ui, sans-serif; color: #1a1a1a; background: #f3f4f6; height: 100vh; display: flex; flex-direction: column; }
header { display: flex; flex-wrap: wrap; align-items: center; gap: 6px 12px; padding: 6px 12px; background: #24344d; color: #fff; }
header h1 { font-size: 15px; margin: 0; }
header button, header input, header select { font: inherit; }
header label { font-size: 12px; color: #dfe6f0; white-space: nowrap; }
#search { width: 18em; }
.found-count { font-size: 12px; color: #c9d3e3; min-width: 5em; }
.status { padding: 1px 8px; border-radius: 9px; background: #5a6b84; font-size: 12px; }
.status.ok { background: #2f8a4c; }
.status.bad { background: #b53b2f; }
.banner { padding: 6px 12px; background: #fde2b8; border-bottom: 1px solid #d9a85a; }
main { flex: 1; display: flex; min-height: 0; position: relative; }
.graph { flex: 1; min-width: 0; overflow: hidden; background: #fff; position: relative; user-select: none; touch-action: none; cursor: grab; }
.graph.panning { cursor: grabbing; }
.graph svg { display: block; width: 100%; height: 100%; font-family: "DejaVu Sans Mono", Menlo, Consolas, monospace; font-size: 12px; }
.graph .hidden, .graph .away { display: none; }
.graph svg.mid .sub, .graph svg.mid .pname, .graph svg.far text, .graph svg.far .port, .graph svg.far .meter { display: none; }
.graph .box { fill: #fbfbfb; stroke: #5a5a5a; stroke-width: 1; }
.graph .head { fill: #e4e9f0; cursor: move; }
.graph .name { font-weight: bold; fill: #1a1a1a; }
.graph .sub { fill: #666; font-size: 10px; }
.graph .pin { fill: #2f6db5; }
.graph .pout { fill: #c76a1c; }
.graph .pname { fill: #333; }
.graph .node { cursor: move; }
.graph .node.moving { pointer-events: none; opacity: .8; }
.graph .node.found .box { stroke: #e0a100; stroke-width: 4; }
.graph .node.current .box { stroke: #d0382b; }
.graph .port { cursor: crosshair; }
.graph .port circle { r: 5px; }
.graph .link { fill: none; stroke: #4a6fa5; stroke-opacity: .75; pointer-events: stroke; cursor: pointer; stroke-width: 2.5; }
.graph .link:hover { stroke: #2f6db5; stroke-opacity: 1; }
.graph .link.selected { stroke: #d0382b; stroke-width: 4; stroke-opacity: 1; }
.graph .port.target circle { r: 7px; fill: #2f8a4c; }
.graph .node.target .box { stroke: #2f8a4c; stroke-width: 3; }
.graph .meter .mbar { fill: #dfe3e8; }
.graph .meter .mlevel { fill: #2f8a4c; }
.graph .meter .mlevel.hot { fill: #d0382b; }
.graph .meter .moff { fill: #888; font-size: 10px; display: none; }
.graph .meter.off .moff { display: inline; }
.graph .meter.off rect { display: none; }
.signal { font-size: 12px; color: #dfe6f0; font-variant-numeric: tabular-nums; }
.signal.xruns { color: #ffb4a8; }
.graph .drag { stroke: #d0382b; stroke-width: 2; stroke-dasharray: 5 4; pointer-events: none; fill: none; }
.panel { width: 380px; flex: none; overflow-x: hidden; overflow-y: auto; padding: 8px; border-left: 1px solid #ccd; background: #f8f9fb; }
details { margin-bottom: 8px; background: #fff; border: 1px solid #dde; border-radius: 6px; padding: 4px 8px; min-width: 0; }
summary { font-weight: bold; cursor: pointer; padding: 2px 0; }
.row { display: grid; grid-template-columns: minmax(0, 1fr) auto; gap: 2px 8px; padding: 4px 0; border-top: 1px solid #eef; align-items: center; }
.row:first-child { border-top: 0; }
.row > * { min-width: 0; }
.row .name { overflow: hidden; text-overflow: ellipsis; white-space: nowrap; }
.row .class { color: #777; font-size: 11px; overflow: hidden; text-overflow: ellipsis; white-space: nowrap; }
.row input[type=range] { width: 100%; }
.row .pct { font-variant-numeric: tabular-nums; width: 4em; text-align: right; }
.row select { width: 100%; min-width: 0; grid-column: 1 / 3; }
.row select[hidden] { display: none; }
.defaults label { display: grid; grid-template-columns: 7em minmax(0, 1fr); gap: 6px; padding: 2px 0; }
.defaults select { width: 100%; min-width: 0; }
.card label { grid-column: 1 / 3; display: grid; grid-template-columns: 7em minmax(0, 1fr); gap: 6px; align-items: center; }
.card label[hidden] { display: none; }
.card label select { grid-column: auto; }
.create { display: grid; gap: 4px; grid-template-columns: minmax(0, 1fr) minmax(0, 1fr); padding: 4px 0; }
.create > * { min-width: 0; }
.create label { grid-column: 1 / 3; }
.messages:empty { display: none; }
.messages { margin-bottom: 8px; }
.message { padding: 3px 6px; border-radius: 4px; margin-bottom: 3px; background: #e6f1e8; overflow-wrap: anywhere; }
.message.error { background: #fbe0dc; color: #7a1d12; }
.message.warning { background: #fdf0c8; color: #6a4b00; }
pre { white-space: pre-wrap; overflow-wrap: anywhere; font-size: 11px; max-height: 14em; overflow: auto; background: #f5f5f5; padding: 4px; }
.actions { font-size: 11px; max-height: 16em; overflow: auto; padding-left: 2.5em; }
.empty { color: #888; font-style: italic; }
.hint { margin: 2px 0 4px; color: #666; font-size: 11px; }
.fleet-target { display: grid; grid-template-columns: minmax(0, 1fr); padding: 3px 6px; margin: 3px 0; border: 1px dashed #aab; border-radius: 4px; }
.fleet-target > * { overflow: hidden; text-overflow: ellipsis; white-space: nowrap; }
.fleet-target .host { color: #777; font-size: 11px; }
body.dragging .fleet-target { border-color: #2f8a4c; background: #eef7f0; }
body.dragging .fleet-target.target { border-style: solid; background: #2f8a4c; color: #fff; }
body.dragging .fleet-target.target .host { color: #e6f1e8; }
#fleet-streams .row .class.refused, #fleet-streams .row .class.error { color: #7a1d12; white-space: normal; overflow-wrap: anywhere; }
#panel-toggle { display: none; }
#panel-toggle.alert { background: #fbe0dc; color: #7a1d12; }
/* A narrow screen: the graph takes the width, the panel folds away behind a button. */
@media (max-width: 900px) {
  header { gap: 4px 8px; padding: 4px 8px; }
  header h1 { display: none; }
  #search { width: auto; flex: 1 1 8em; min-width: 6em; }
  #panel-toggle { display: inline-block; }
  .panel { position: absolute; top: 0; right: 0; bottom: 0; width: min(380px, 100%); z-index: 2; border-left: 1px solid #99a; box-shadow: -4px 0 12px rgba(0, 0, 0, .25); }
  body:not(.panel-open) .panel { display: none; }
}
`;

// A 16 x 16 icon, as an ICO file (one 32-bit image, its alpha the mask): two
// ports, an output and an input, linked by a curve, on the header's colour.
function icon() {
  const size = 16;
  const pixels = Buffer.alloc(size * size * 4);
  const set = (x, y, [r, g, b]) => {
    const at = ((size - 1 - y) * size + x) * 4; // rows bottom up
    pixels.set([b, g, r, 255], at);
  };
  const inside = (x, y) => {
    const dx = Math.max(3 - x, 0, x - 12);
    const dy = Math.max(3 - y, 0, y - 12);
    return dx * dx + dy * dy <= 9;
  };
  for (let y = 0; y < size; y++) for (let x = 0; x < size; x++) if (inside(x, y)) set(x, y, [0x24, 0x34, 0x4d]);
  for (let t = 0; t <= 1; t += 0.02) {
    const x = Math.round((1 - t) ** 3 * 5 + 3 * (1 - t) ** 2 * t * 9 + 3 * (1 - t) * t * t * 6 + t ** 3 * 10);
    const y = Math.round((1 - t) ** 3 * 5 + 3 * (1 - t) ** 2 * t * 5 + 3 * (1 - t) * t * t * 10 + t ** 3 * 10);
    set(x, y, [0xdf, 0xe6, 0xf0]);
  }
  for (let y = 0; y < size; y++) {
    for (let x = 0; x < size; x++) {
      if ((x - 4) ** 2 + (y - 5) ** 2 <= 4) set(x, y, [0xe8, 0x8a, 0x3c]);
      if ((x - 11) ** 2 + (y - 10) ** 2 <= 4) set(x, y, [0x8f, 0xb8, 0xec]);
    }
  }
  const mask = Buffer.alloc(size * 4); // 1 bit a pixel, rows of 4 bytes: all drawn (alpha decides)
  const header = Buffer.alloc(40);
  header.writeUInt32LE(40, 0);
  header.writeInt32LE(size, 4);
  header.writeInt32LE(size * 2, 8); // the image and its mask
  header.writeUInt16LE(1, 12);
  header.writeUInt16LE(32, 14);
  header.writeUInt32LE(pixels.length + mask.length, 20);
  const image = Buffer.concat([header, pixels, mask]);
  const dir = Buffer.alloc(22);
  dir.writeUInt16LE(1, 2); // an icon
  dir.writeUInt16LE(1, 4); // one image
  dir.writeUInt8(size, 6);
  dir.writeUInt8(size, 7);
  dir.writeUInt16LE(1, 10);
  dir.writeUInt16LE(32, 12);
  dir.writeUInt32LE(image.length, 14);
  dir.writeUInt32LE(22, 18);
  return Buffer.concat([dir, image]);
}

module.exports = { html, css, icon };
