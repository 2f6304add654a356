// Every function of the package imported by name, as an ES module does (a
// name missing from what Node.js finds as named exports fails the import);
// the test also type-checks this file against the declarations.
import quorvane, {
  createPwThread, destroyPwThread, getNodes, getPorts, getLinks, getOutputNodes, getInputNodes, getInputNodesName,
  getOutputNodesName, linkPorts, unlinkPorts, linkNodesNameToId, unlinkNodesNameToId, waitForNewNode, getLinkFormat,
  getLinkStats, getLinkState, on, off, connect,
} from 'quorvane';
import * as namespace from 'quorvane';

const named = new Map(Object.entries(namespace));
// same: the default export's functions, each the named export of its name; Node.js 23 and later
// also name the CommonJS exports object itself 'module.exports'.
console.log(JSON.stringify({ same: Object.entries(quorvane).filter(([k, fn]) => typeof fn === 'function' && named.get(k) === fn).map(([k]) => k),
  namespace: Object.keys(namespace).filter((k) => k !== 'default' && k !== 'module.exports'), nodes: getNodes(), format: getLinkFormat(5) }));
