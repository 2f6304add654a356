// Every function of the package imported by name, as an ES module does; the
// test also type-checks this file against the declarations.
import quorvane, {
  createPwThread, destroyPwThread, getNodes, getPorts, getLinks, getOutputNodes, getInputNodes, getInputNodesName,
  getOutputNodesName, linkPorts, unlinkPorts, linkNodesNameToId, unlinkNodesNameToId, waitForNewNode, getLinkFormat,
  getLinkStats, getLinkState, on, off, connect,
} from 'quorvane';
import * as namespace from 'quorvane';

const named = {
  createPwThread, destroyPwThread, getNodes, getPorts, getLinks, getOutputNodes, getInputNodes, getInputNodesName,
  getOutputNodesName, linkPorts, unlinkPorts, linkNodesNameToId, unlinkNodesNameToId, waitForNewNode, getLinkFormat,
  getLinkStats, getLinkState, on, off, connect,
};
const ofDefault = new Map(Object.entries(quorvane));
const same = Object.entries(named).filter(([name, fn]) => typeof fn === 'function' && fn === ofDefault.get(name));
console.log(
  JSON.stringify({
    same: same.map(([name]) => name),
    namespace: Object.keys(namespace).filter((k) => k !== 'default'),
    defaultKeys: Object.keys(quorvane),
    nodes: getNodes(),
    format: getLinkFormat(5),
  }),
);
