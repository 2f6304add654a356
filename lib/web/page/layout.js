'use strict';
// The web page's layout of the graph: a layered drawing, links reading left
// to right. Sources (nodes whose links only leave them) in the first layer,
// sinks (links only arrive) in the last, the nodes with links both ways
// between, each at one more than the longest chain of such nodes before it;
// a node with no link goes by its side (its class): with the sources, with
// the sinks, or, for one that would go between, in a layer of its own after
// the sinks (where it lies across no link).
// Each layer is a row of columns of boxes, one under the other, a column
// wrapping into the next one past a height: the source layer's columns grow
// leftwards from x = 0, every other layer's rightwards, so that a column
// added to the first or the last layer moves nothing else. Boxes never
// overlap: a column skips the places of the boxes a person put somewhere
// (pinned), which the layout never moves.
//
// Served to the page as /layout.js (it defines globalThis.QuorvaneLayout)
// and loaded by Node.js as a module (the tests), with no DOM.
(function (root) {
  const SOURCE = 0;
  const MIDDLE = 1;
  const SINK = 2;
  // Layer keys past any chain: the sinks', then the unlinked in-betweens'.
  const LAST = 1e9;
  const IDLE = LAST + 1;

  /**
   * The layer of each node: 0 for a source, 1..k for the nodes with links
   * both ways (the longest chain of them before it, a cycle cut where it is
   * entered), then the sinks, then the nodes with no link that would go
   * between. `items`: Map id -> { side } (SOURCE, MIDDLE, SINK: where a node
   * with no link goes); `edges`: [from, to] node ids (links; others ignored).
   * Returns Map id -> layer key: 0, a depth 1..k, LAST for the sinks, IDLE
   * (so that a new depth between moves no sink's key).
   */
  function layersOf(items, edges) {
    const ins = new Map();
    const outs = new Map();
    for (const [a, b] of edges) {
      if (a === b || !items.has(a) || !items.has(b)) continue;
      if (!outs.has(a)) outs.set(a, []);
      if (!ins.has(b)) ins.set(b, []);
      outs.get(a).push(b);
      ins.get(b).push(a);
    }
    const key = new Map();
    const middle = [];
    for (const [id, item] of items) {
      const i = ins.has(id);
      const o = outs.has(id);
      const side = i && o ? MIDDLE : o ? SOURCE : i ? SINK : item.side;
      if (side === SOURCE) key.set(id, 0);
      else if (side === SINK) key.set(id, LAST);
      else if (!i) key.set(id, IDLE);
      else middle.push(id);
    }
    // Longest chains among the nodes between (Kahn's order); what a cycle
    // leaves is taken up lowest id first, as if the links into it were not there.
    const depth = new Map(middle.map((id) => [id, 1]));
    const indegree = new Map(middle.map((id) => [id, (ins.get(id) || []).filter((u) => depth.has(u)).length]));
    const queue = middle.filter((id) => indegree.get(id) === 0);
    const left = [...middle].sort((a, b) => a - b);
    let next = 0;
    const done = new Set();
    for (;;) {
      while (queue.length) {
        const u = queue.pop();
        if (done.has(u)) continue;
        done.add(u);
        for (const v of outs.get(u) || []) {
          if (!depth.has(v) || done.has(v)) continue;
          depth.set(v, Math.max(depth.get(v), depth.get(u) + 1));
          indegree.set(v, indegree.get(v) - 1);
          if (indegree.get(v) === 0) queue.push(v);
        }
      }
      while (next < left.length && done.has(left[next])) next++;
      if (next === left.length) break;
      queue.push(left[next]);
    }
    for (const [id, d] of depth) key.set(id, d);
    return key;
  }

  /**
   * Crossings of the links, layer pair by layer pair: two links between the
   * same two layers cross when their ends are in opposite orders. `order`:
   * Map id -> [layer key, place in the layer]. O(E log E).
   */
  function crossings(order, edges) {
    const groups = new Map();
    for (const [a, b] of edges) {
      const pa = order.get(a);
      const pb = order.get(b);
      if (!pa || !pb || a === b) continue;
      const g = `${pa[0]}>${pb[0]}`;
      if (!groups.has(g)) groups.set(g, []);
      groups.get(g).push([pa[1], pb[1]]);
    }
    let total = 0;
    for (const list of groups.values()) {
      list.sort((p, q) => p[0] - q[0] || p[1] - q[1]);
      total += inversions(list.map((p) => p[1]));
    }
    return total;
  }

  // Pairs i < j with xs[i] > xs[j], by merge sort.
  function inversions(xs) {
    let count = 0;
    let a = xs.slice();
    let b = new Array(a.length);
    for (let width = 1; width < a.length; width *= 2) {
      for (let lo = 0; lo < a.length; lo += 2 * width) {
        const mid = Math.min(lo + width, a.length);
        const hi = Math.min(lo + 2 * width, a.length);
        let i = lo;
        let j = mid;
        let k = lo;
        while (i < mid && j < hi) {
          if (a[j] < a[i]) {
            count += mid - i;
            b[k++] = a[j++];
          } else b[k++] = a[i++];
        }
        while (i < mid) b[k++] = a[i++];
        while (j < hi) b[k++] = a[j++];
      }
      [a, b] = [b, a];
    }
    return count;
  }

  class Layout {
    /**
     * Sizes in the picture's units: `width` of every box, `gapY` between
     * boxes of a column, `pitch` from one column to the next (the box and room
     * for the curves), `minColumn` the least height a column wraps at.
     */
    constructor({ width = 240, gapY = 22, pitch = 380, minColumn = 1000 } = {}) {
      Object.assign(this, { width, gapY, pitch, minColumn });
      this.columnHeight = minColumn;
      this.layers = new Map(); // layer key -> columns, each an array of ids
      this.layerOf = new Map(); // id -> layer key
    }

    /**
     * Lays every node out anew: layers as layersOf, the nodes of each layer
     * in the order that crosses fewest links (barycentres, a few sweeps each
     * way; `rank` first, then linked nodes before the others), columns wrapped
     * at a height that gives the whole about the area's `aspect` (width /
     * height). `items`: Map id -> { h, hidden, side, rank } of the nodes laid
     * out (not the pinned ones); `pinned`: [{ x, y, h }] boxes to keep clear
     * of. Returns Map id -> [x, y].
     */
    arrange(items, edges, pinned = [], aspect = 1.5) {
      const key = layersOf(items, edges);
      const layered = new Map();
      for (const id of [...items.keys()].sort((a, b) => items.get(a).rank - items.get(b).rank)) {
        const k = key.get(id);
        if (!layered.has(k)) layered.set(k, []);
        layered.get(k).push(id);
      }
      const keys = [...layered.keys()].sort((a, b) => a - b);
      const ordered = orderLayers(keys.map((k) => layered.get(k)), keys, edges, key);
      let total = 0;
      for (const [, item] of items) if (!item.hidden) total += item.h + this.gapY;
      this.columnHeight = Math.max(this.minColumn, Math.sqrt((total * this.pitch) / Math.max(0.2, aspect)));
      this.layers = new Map();
      this.layerOf = new Map();
      keys.forEach((k, i) => {
        const columns = [[]];
        let y = 0;
        for (const id of ordered[i]) {
          const item = items.get(id);
          const h = item.hidden ? 0 : item.h + this.gapY;
          if (y > 0 && y + h > this.columnHeight) {
            columns.push([]);
            y = 0;
          }
          columns[columns.length - 1].push(id);
          y += h;
          this.layerOf.set(id, k);
        }
        this.layers.set(k, columns);
      });
      return this.#place(items, pinned);
    }

    /**
     * Keeps the layout and brings it up to date: a node gone leaves its
     * column (the ones under it move up), a new node goes at the bottom of
     * its layer's last column, a node whose links moved it to another layer
     * leaves its column for the bottom of that layer's; a column past its
     * height passes its last boxes on to the next one of its layer. Arguments
     * and result as for arrange().
     */
    update(items, edges, pinned = []) {
      const key = layersOf(items, edges);
      for (const [id, k] of this.layerOf) {
        if (items.has(id) && key.get(id) === k) continue;
        const columns = this.layers.get(k);
        for (const column of columns) {
          const i = column.indexOf(id);
          if (i >= 0) {
            column.splice(i, 1);
            break;
          }
        }
        this.layerOf.delete(id);
      }
      for (const id of items.keys()) {
        if (this.layerOf.has(id)) continue;
        const k = key.get(id);
        if (!this.layers.has(k)) this.layers.set(k, []);
        const columns = this.layers.get(k);
        if (!columns.length) columns.push([]);
        columns[columns.length - 1].push(id);
        this.layerOf.set(id, k);
      }
      return this.#place(items, pinned);
    }

    // Every box's place: columns stacked top down, clear of the pinned
    // boxes, wrapped past the column height; empty columns and layers dropped.
    #place(items, pinned) {
      const at = new Map();
      for (const [k, columns] of this.layers) {
        for (let c = columns.length - 1; c >= 0; c--) if (!columns[c].length) columns.splice(c, 1);
        if (!columns.length) this.layers.delete(k);
      }
      const keys = [...this.layers.keys()].sort((a, b) => a - b);
      let x = this.pitch; // the next column right of the sources'
      for (const k of keys) {
        const columns = this.layers.get(k);
        for (let c = 0; c < columns.length; c++) {
          const cx = k === 0 ? -c * this.pitch : x;
          const clear = pinned.filter((p) => p.x < cx + this.width + this.gapY && p.x + this.width + this.gapY > cx).sort((a, b) => a.y - b.y);
          const column = columns[c];
          let y = 0;
          let shown = 0;
          for (let i = 0; i < column.length; i++) {
            const item = items.get(column[i]);
            if (item.hidden) {
              at.set(column[i], [cx, y]);
              continue;
            }
            for (const p of clear) if (p.y < y + item.h + this.gapY && p.y + p.h + this.gapY > y) y = p.y + p.h + this.gapY;
            if (shown > 0 && y + item.h > this.columnHeight) {
              // The rest goes on at the top of the next column.
              if (c + 1 === columns.length) columns.push([]);
              columns[c + 1].unshift(...column.splice(i));
              break;
            }
            at.set(column[i], [cx, y]);
            y += item.h + this.gapY;
            shown++;
          }
          if (k !== 0) x += this.pitch;
        }
      }
      return at;
    }
  }

  // The nodes of each layer in an order that crosses few links: sweeps down
  // and up, each sorting a layer by the mean place of its neighbours in the
  // layers before (or after) it; linked nodes before the unlinked ones, which
  // keep their order. The best order seen is kept.
  function orderLayers(lists, keys, edges, key) {
    const preds = new Map();
    const succs = new Map();
    for (const [a, b] of edges) {
      if (a === b || !key.has(a) || !key.has(b) || key.get(a) === key.get(b)) continue;
      const [u, v] = key.get(a) < key.get(b) ? [a, b] : [b, a];
      if (!succs.has(u)) succs.set(u, []);
      if (!preds.has(v)) preds.set(v, []);
      succs.get(u).push(v);
      preds.get(v).push(u);
    }
    const pos = new Map();
    const order = new Map();
    const index = (list, k) => list.forEach((id, i) => {
      pos.set(id, list.length > 1 ? i / (list.length - 1) : 0.5);
      order.set(id, [k, i]);
    });
    const sortBy = (list, near) => {
      const linked = [];
      const alone = [];
      for (const id of list) (preds.has(id) || succs.has(id) ? linked : alone).push(id);
      const bc = new Map(linked.map((id) => {
        const ns = near.get(id);
        return [id, ns && ns.length ? ns.reduce((s, n) => s + pos.get(n), 0) / ns.length : pos.get(id)];
      }));
      linked.sort((a, b) => bc.get(a) - bc.get(b) || pos.get(a) - pos.get(b));
      return [...linked, ...alone];
    };
    lists.forEach((list, i) => index(list, keys[i]));
    lists = lists.map((list) => sortBy(list, new Map()));
    lists.forEach((list, i) => index(list, keys[i]));
    let best = lists.map((l) => l.slice());
    let fewest = crossings(order, edges);
    for (let sweep = 0; sweep < 8 && fewest > 0; sweep++) {
      const down = sweep % 2 === 0;
      for (let j = 0; j < lists.length; j++) {
        const i = down ? j : lists.length - 1 - j;
        lists[i] = sortBy(lists[i], down ? preds : succs);
        index(lists[i], keys[i]);
      }
      const n = crossings(order, edges);
      if (n < fewest) {
        fewest = n;
        best = lists.map((l) => l.slice());
      }
    }
    return best;
  }

  const api = { Layout, layersOf, crossings, SOURCE, MIDDLE, SINK, LAST, IDLE };
  if (typeof module === 'object' && module.exports) module.exports = api;
  else root.QuorvaneLayout = api;
})(typeof globalThis === 'object' ? globalThis : this);
