'use strict';
// Which way a node's data goes, in the API's one spelling: 'out' for a node
// that gives data out (a source, a playing stream: output ports), 'in' for
// one that takes it in (a sink, a recording stream: input ports). The
// nineteen's isInput / isOutput say something else: the capture side and
// the playback side (a source and a recording stream are both "input").

// By "media.class": [in, out], or null when the class says nothing.
function classSides(mediaClass) {
  if (!mediaClass) return null;
  if (/Duplex|Bridge/.test(mediaClass)) return [true, true];
  const takes = /Sink|Stream\/Input/.test(mediaClass);
  const gives = /Source|Stream\/Output/.test(mediaClass);
  return takes || gives ? [takes, gives] : null;
}

// nodeSides(node, ports) → { in, out }: from the node's media class, else
// (a JACK client's node, a MIDI bridge of no known class) from the ports it
// has among `ports` (a listing; only the node's own count).
function nodeSides(node, ports) {
  const byClass = classSides(node.type ?? node.props?.['media.class']);
  if (byClass) return { in: byClass[0], out: byClass[1] };
  let takes = false;
  let gives = false;
  for (const p of ports) {
    if (p.nodeId !== node.id) continue;
    if (p.direction === 1) takes = true;
    else gives = true;
  }
  return { in: takes, out: gives };
}

module.exports = { nodeSides, classSides };
