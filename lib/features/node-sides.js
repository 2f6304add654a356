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

// portSides(ports) → Map of node id to { in, out }: whether the node has
// input ports, output ports, among `ports` (a listing). One pass, for
// looking at many nodes.
function portSides(ports) {
  const sides = new Map();
  for (const p of ports) {
    let s = sides.get(p.nodeId);
    if (!s) sides.set(p.nodeId, (s = { in: false, out: false }));
    if (p.direction === 1) s.in = true;
    else s.out = true;
  }
  return sides;
}

// nodeSides(node, ports) → { in, out }: from the node's media class, else
// (a JACK client's node, which PipeWire 0.3 gives no class; a MIDI bridge
// of no known class) from the ports it has among `ports`: a listing (only
// the node's own count) or portSides' Map of one.
function nodeSides(node, ports) {
  const byClass = classSides(node.type ?? node.props?.['media.class']);
  if (byClass) return { in: byClass[0], out: byClass[1] };
  const sides = ports instanceof Map ? ports.get(node.id) : portSides(ports.filter((p) => p.nodeId === node.id)).get(node.id);
  return { in: sides?.in ?? false, out: sides?.out ?? false };
}

// legacySides(node, ports) → { isInput, isOutput } as the nineteen's
// getInputNodes / getOutputNodes select (the capture and the playback side,
// by media class); a node without a media class by its ports: "input" with
// input ports, "output" with output ports (nodeSides' `ports`).
function legacySides(node, ports) {
  if (node.type ?? node.props?.['media.class']) return { isInput: node.isInput, isOutput: node.isOutput };
  const sides = nodeSides(node, ports);
  return { isInput: sides.in, isOutput: sides.out };
}

module.exports = { nodeSides, classSides, portSides, legacySides };
