'use strict';
// Linking by name while other clients link too: on a desktop the session
// manager has usually linked some ports already. A link of this script is one
// whose port pair was not linked before its request; pairs already linked are
// left alone (the daemon refuses to link them twice, and PipeWire prints a
// "File exists" error line for each), and only the script's own links are
// ever removed.

const pairKey = (out, inp) => `${out}:${inp}`;

function until(condition, timeoutMs) {
  return new Promise((resolve) => {
    const end = Date.now() + timeoutMs;
    const poll = () => (condition() ? resolve(true) : Date.now() > end ? resolve(false) : setTimeout(poll, 10));
    poll();
  });
}

/** The [outPort, inPort] pairs linkNodesNameToId(srcName, dstId) asks for: pairwise in port-list order. */
function pairsByName(q, srcName, dstId) {
  const src = q.getNodes().find((n) => n.name === srcName);
  const ports = q.getPorts();
  const outs = src ? ports.filter((p) => p.nodeId === src.id && p.direction === 0) : [];
  const ins = ports.filter((p) => p.nodeId === dstId && p.direction === 1);
  return outs.slice(0, ins.length).map((p, i) => [p.id, ins[i].id]);
}

/**
 * Links the outputs of the node named `srcName` to the inputs of node `dstId`
 * and waits (up to `timeoutMs`) for the daemon to make the links that were
 * not there. Resolves to { already: [pairs], own: [{ id, out, in }],
 * missing: [pairs the daemon did not make: refused] }.
 */
async function linkByName(q, srcName, dstId, timeoutMs = 5000) {
  const pairs = pairsByName(q, srcName, dstId);
  if (pairs.length === 0) throw new Error(`no output ports of "${srcName}" or no input ports of node ${dstId}`);
  const before = new Set(q.getLinks().map((l) => pairKey(l.srcPortId, l.sinkPortId)));
  const already = pairs.filter(([o, i]) => before.has(pairKey(o, i)));
  const wanted = pairs.filter(([o, i]) => !before.has(pairKey(o, i)));
  if (wanted.length > 0) q.linkNodesNameToId(srcName, dstId);
  const made = () => {
    const ids = new Map(q.getLinks().map((l) => [pairKey(l.srcPortId, l.sinkPortId), l.id]));
    return wanted.filter(([o, i]) => ids.has(pairKey(o, i))).map(([o, i]) => ({ id: ids.get(pairKey(o, i)), out: o, in: i }));
  };
  await until(() => made().length === wanted.length, timeoutMs);
  const own = made();
  const missing = wanted.filter(([o, i]) => !own.some((l) => l.out === o && l.in === i));
  return { already, own, missing };
}

/** Removes the script's own links (from linkByName); resolves to how many are gone within `timeoutMs`. */
async function unlinkOwn(q, own, timeoutMs = 5000) {
  for (const l of own) q.unlinkPorts(l.out, l.in);
  const gone = () => {
    const ids = new Set(q.getLinks().map((l) => l.id));
    return own.filter((l) => !ids.has(l.id)).length;
  };
  await until(() => gone() === own.length, timeoutMs);
  return gone();
}

module.exports = { linkByName, unlinkOwn, pairsByName, until };
