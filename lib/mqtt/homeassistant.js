'use strict';
// Home Assistant's MQTT discovery: the retained configs that make each sink
// and source of a host a device (volume as a number on wpctl's scale, mute as
// a switch, its state as a sensor), each stream a device with a select of its
// target, the host a device with selects of its default sink and source, and
// each sound card a device with selects of its profile and output and input
// ports.
// Entities are named by the host and the node's name, never by an id, so
// that they are the same entities after a restart.
const { createHash } = require('node:crypto');

const MAX_VOLUME = 1.5; // wpctl's usual ceiling, 150 %

// A topic level Home Assistant takes as a node_id or object_id: letters,
// digits, "_" and "-"; a short hash of the exact text keeps two names that
// differ only by other characters apart.
function slug(text) {
  const plain = text.replace(/[^A-Za-z0-9_-]/g, '_').slice(0, 80);
  return `${plain}_${createHash('sha256').update(text).digest('hex').slice(0, 8)}`;
}

const isDevice = (cls) => /^Audio\/(Sink|Source|Duplex)/.test(cls);
const isStream = (cls) => /^Stream\/(Output|Input)\/Audio/.test(cls);

/**
 * configs({ host, hostTopic, discovery, nodes, devices, version }, cache) →
 * Map of discovery topic → config (JSON text), for `nodes`: [{ key, topic,
 * node }] (the node's state topic and its key in command topics) and
 * `devices`: [{ key, topic, state }] (likewise, with the device's state as
 * its topic holds it). `cache` (a Map
 * kept by the caller between calls) holds each node's configs by what they
 * are made of, so that a graph of hundreds of devices costs a lookup per node
 * when one of them changes; it keeps only what the last call used.
 */
function configs({ host, hostTopic, discovery, nodes, devices = [], version }, cache = new Map()) {
  const out = new Map();
  const hostNode = slug(`quorvane-${host}`);
  const availability = [{ topic: `${hostTopic}/status` }];
  const hostDevice = { identifiers: [`quorvane:${host}`], name: `${host} PipeWire`, manufacturer: 'PipeWire', model: 'Quorvane bridge', sw_version: version };
  const used = new Map();
  const add = (list, component, object, config) => list.push([`${discovery}/${component}/${hostNode}/${slug(object)}/config`, JSON.stringify({ availability, ...config })]);
  // The configs of one signature, made once while it stays in use.
  const cached = (signature, make) => {
    let list = used.get(signature) ?? cache.get(signature);
    if (!list) make((list = []));
    used.set(signature, list);
    for (const [topic, text] of list) out.set(topic, text);
  };

  const sinks = [...new Set(nodes.filter((n) => /^Audio\/Sink/.test(n.node.type)).map((n) => n.node.name))].sort();
  const sources = [...new Set(nodes.filter((n) => /^Audio\/Source/.test(n.node.type)).map((n) => n.node.name))].sort();
  for (const [kind, list, label] of [['audioSink', sinks, 'Default sink'], ['audioSource', sources, 'Default source']]) {
    if (list.length === 0) continue; // a select needs options
    cached(JSON.stringify(['default', kind, list]), (made) =>
      add(made, 'select', `default-${kind}`, {
        name: label,
        unique_id: `quorvane:${host}:default:${kind}`,
        state_topic: `${hostTopic}/defaults`,
        value_template: `{{ value_json.${kind} }}`,
        command_topic: `${hostTopic}/defaults/${kind}/set`,
        options: list,
        device: hostDevice,
      }));
  }

  for (const { key, topic, node } of nodes) {
    const cls = node.type;
    if (!node.name || !(isDevice(cls) || isStream(cls))) continue;
    const description = node.props?.['node.description'] || node.name;
    const targets = isStream(cls) ? (cls.startsWith('Stream/Output') ? sinks : sources) : null;
    const signature = JSON.stringify([key, topic, node.name, cls, description, node.volume !== undefined, node.mute !== undefined, targets]);
    cached(signature, (made) => {
      const id = `quorvane:${host}:${node.name}`;
      const device = { identifiers: [id], name: description, manufacturer: 'PipeWire', model: cls, via_device: `quorvane:${host}` };
      const base = { state_topic: topic, device };
      const commands = `${hostTopic}/node/${key}`;
      if (node.volume !== undefined) {
        add(made, 'number', `${node.name}:volume`, { ...base, name: 'Volume', unique_id: `${id}:volume`, value_template: '{{ value_json.volume }}', command_topic: `${commands}/volume/set`, min: 0, max: MAX_VOLUME, step: 0.01, mode: 'slider' });
      }
      if (node.mute !== undefined) {
        add(made, 'switch', `${node.name}:mute`, { ...base, name: 'Mute', unique_id: `${id}:mute`, value_template: "{{ 'ON' if value_json.mute else 'OFF' }}", command_topic: `${commands}/mute/set`, payload_on: 'ON', payload_off: 'OFF', icon: 'mdi:volume-off' });
      }
      add(made, 'sensor', `${node.name}:state`, { ...base, name: 'State', unique_id: `${id}:state`, value_template: '{{ value_json.state }}', icon: 'mdi:state-machine' });
      if (targets) {
        add(made, 'select', `${node.name}:target`, { ...base, name: 'Target', unique_id: `${id}:target`, value_template: "{{ value_json.target or 'default' }}", command_topic: `${commands}/target/set`, options: ['default', ...targets] });
      }
    });
  }
  for (const { key, topic, state } of devices) {
    if (!state.name) continue;
    const choices = [['profile', 'Profile', state.profiles, 'mdi:tune'], ['output', 'Output port', state.outputs, 'mdi:speaker'], ['input', 'Input port', state.inputs, 'mdi:microphone']];
    cached(JSON.stringify(['device', key, topic, state.name, state.description, state.api, choices]), (made) => {
      const id = `quorvane:${host}:device:${state.name}`;
      const device = { identifiers: [id], name: state.description || state.name, manufacturer: 'PipeWire', model: state.api ? `${state.api} device` : 'device', via_device: `quorvane:${host}` };
      for (const [what, name, options, icon] of choices) {
        if (options.length === 0) continue; // a select needs options
        add(made, 'select', `device:${state.name}:${what}`, {
          name,
          unique_id: `${id}:${what}`,
          state_topic: topic,
          value_template: `{{ value_json.${what} }}`,
          command_topic: `${hostTopic}/device/${key}/${what}/set`,
          options,
          icon,
          device,
        });
      }
    });
  }
  cache.clear();
  for (const [k, v] of used) cache.set(k, v);
  return out;
}

module.exports = { configs, slug, MAX_VOLUME };
