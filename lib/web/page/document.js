'use strict';
// The page's document and its style sheet, served as /, and /page.css (the
// script is page.js beside this file).

const html = `<!doctype html>
<html lang="en">
<head>
<meta charset="utf-8">
<meta name="viewport" content="width=device-width, initial-scale=1">
<title>Quorvane patchbay</title>
<link rel="stylesheet" href="/page.css">
<script src="/svg.js" defer></script>
<script src="/page.js" defer></script>
</head>
<body>
<header>
  <h1>Quorvane patchbay</h1>
  <span id="status" class="status">connecting…</span>
  <button id="unlink" type="button" disabled title="Remove the selected link (Delete)">Remove link</button>
  <span class="hint">Drag an output port to an input port (or a node onto a node) to link; click a link and press Delete to remove it.</span>
</header>
<div id="banner" class="banner" hidden></div>
<main>
  <section id="graph" class="graph" aria-label="graph"></section>
  <aside class="panel">
    <div id="messages" class="messages" aria-live="polite"></div>
    <details open><summary>Default devices</summary><div id="defaults"></div></details>
    <details open><summary>Volumes and streams</summary><div id="volumes"></div></details>
    <details open><summary>Virtual devices</summary>
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
header { display: flex; align-items: center; gap: 12px; padding: 6px 12px; background: #24344d; color: #fff; }
header h1 { font-size: 15px; margin: 0; }
header .hint { color: #c9d3e3; font-size: 12px; }
header button { font: inherit; }
.status { padding: 1px 8px; border-radius: 9px; background: #5a6b84; font-size: 12px; }
.status.ok { background: #2f8a4c; }
.status.bad { background: #b53b2f; }
.banner { padding: 6px 12px; background: #fde2b8; border-bottom: 1px solid #d9a85a; }
main { flex: 1; display: flex; min-height: 0; }
.graph { flex: 1; overflow: auto; background: #fff; position: relative; user-select: none; }
.graph svg { display: block; }
.graph .port { cursor: crosshair; }
.graph .port circle { r: 5px; }
.graph .node .head { cursor: grab; }
.graph .link { pointer-events: stroke; cursor: pointer; stroke-width: 2.5; }
.graph .link:hover { stroke: #2f6db5; stroke-opacity: 1; }
.graph .link.selected { stroke: #d0382b; stroke-width: 4; stroke-opacity: 1; }
.graph .port.target circle { r: 7px; fill: #2f8a4c; }
.graph .node.target .box { stroke: #2f8a4c; stroke-width: 3; }
.graph .drag { stroke: #d0382b; stroke-width: 2; stroke-dasharray: 5 4; pointer-events: none; fill: none; }
.panel { width: 380px; overflow: auto; padding: 8px; border-left: 1px solid #ccd; background: #f8f9fb; }
details { margin-bottom: 8px; background: #fff; border: 1px solid #dde; border-radius: 6px; padding: 4px 8px; }
summary { font-weight: bold; cursor: pointer; padding: 2px 0; }
.row { display: grid; grid-template-columns: 1fr auto; gap: 2px 8px; padding: 4px 0; border-top: 1px solid #eef; align-items: center; }
.row:first-child { border-top: 0; }
.row .name { overflow: hidden; text-overflow: ellipsis; white-space: nowrap; }
.row .class { color: #777; font-size: 11px; }
.row input[type=range] { width: 100%; }
.row .pct { font-variant-numeric: tabular-nums; width: 4em; text-align: right; }
.row select { max-width: 100%; }
.defaults label { display: grid; grid-template-columns: 7em 1fr; gap: 6px; padding: 2px 0; }
.create { display: grid; gap: 4px; grid-template-columns: minmax(0, 1fr) minmax(0, 1fr); padding: 4px 0; }
.create label { grid-column: 1 / 3; }
.messages:empty { display: none; }
.messages { margin-bottom: 8px; }
.message { padding: 3px 6px; border-radius: 4px; margin-bottom: 3px; background: #e6f1e8; overflow-wrap: anywhere; }
.message.error { background: #fbe0dc; color: #7a1d12; }
pre { white-space: pre-wrap; overflow-wrap: anywhere; font-size: 11px; max-height: 14em; overflow: auto; background: #f5f5f5; padding: 4px; }
.actions { font-size: 11px; max-height: 16em; overflow: auto; padding-left: 2.5em; }
.empty { color: #888; font-style: italic; }
`;

module.exports = { html, css };
