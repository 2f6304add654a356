'use strict';
// Home Assistant's MQTT discovery: the retained configs that make each sink
// and source of a host a device (volume as a number on wpctl's scale, mute as
// a switch, its state as a sensor), each stream a device with a select of its
// target, the host a device with selects of its default sink and source, and
// each sound card a device with selects of its profile and output and input
// ports.
// Entities are named by the host and the node's name, never by an id, so
// that they are the same entities after a restart; nodes that share a name
// are told apart by the order they appeared in (entityNames).
const { createHash } = require('node:crypto');
const { serialOf } = require('../connection/serial');
const { MAX_CUBIC_VOLUME } = require('../protocol/parse-request');

const MAX_VOLUME = MAX_CUBIC_VOLUME; // what a volume command takes: 10 linear, on wpctl's scale
const NONE = '(none)'; // a select's option for "nothing is set": a default, a profile, a port

// The options of a select whose state template renders `current` (null or
// '' rendered as `none`): `list`, with `current` (or `none`) added where it
// is not among them, so that the select always shows one of its options.
function selectOptions(list, current, none = NONE) {
  const shown = current === null || current === undefined || current === '' ? none : current;
  return list.includes(shown) ? list : [...list, shown];
}

/**
 * entityNames(nodes) → Map of node id → the name its entities are made of: the node's name, and for
 * the nodes that share it, in the order they appeared ("object.serial", else the id), NAME~2, NAME~3, ...
 * for the second, the third; so two players named "firefox" are "firefox" and "firefox~2", again
 * after a restart where they come up in the same order.
 */
function entityNames(nodes) {
  const byName = new Map();
  for (const node of nodes) (byName.get(node.name) ?? byName.set(node.name, []).get(node.name)).push(node);
  const names = new Map();
  const order = (n) => serialOf(n) ?? n.id;
  for (const [name, same] of byName) {
    same.sort((a, b) => order(a) - order(b) || a.id - b.id);
    same.forEach((node, i) => names.set(node.id, i === 0 ? name : `${name}~${i + 1}`));
  }
  return names;
}

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
 * configs({ host, hostTopic, discovery, nodes, devices, defaults, version }, cache) →
 * Map of discovery topic → config (JSON text), for `nodes`: [{ key, topic,
 * node, target }] (the node's state topic, its key in command topics and, for
 * a stream, the name of the node it is linked to or null),
 * `devices`: [{ key, topic, state }] (likewise, with the device's state as
 * its topic holds it) and `defaults` ({ audioSink, audioSource }: the default
 * nodes' names, as the defaults topic holds them). Every select's options hold
 * what its template renders. `cache` (a Map
 * kept by the caller between calls) holds each node's configs by what they
 * are made of, so that a graph of hundreds of devices costs a lookup per node
 * when one of them changes; it keeps only what the last call used.
 */
function configs({ host, hostTopic, discovery, nodes, devices = [], defaults = {}, version }, cache = new Map()) {
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
    const options = selectOptions(list, defaults[kind]);
    cached(JSON.stringify(['default', kind, options]), (made) =>
      add(made, 'select', `default-${kind}`, {
        name: label,
        unique_id: `quorvane:${host}:default:${kind}`,
        state_topic: `${hostTopic}/defaults`,
        value_template: `{{ value_json.${kind} or '${NONE}' }}`,
        command_topic: `${hostTopic}/defaults/${kind}/set`,
        options,
        device: hostDevice,
      }));
  }

  const shown = nodes.filter(({ node }) => node.name && (isDevice(node.type) || isStream(node.type)));
  const names = entityNames(shown.map(({ node }) => node));
  for (const { key, topic, node, target } of shown) {
    const cls = node.type;
    const name = names.get(node.id);
    const description = node.props?.['node.description'] || node.name;
    const targets = isStream(cls) ? selectOptions(['default', ...(cls.startsWith('Stream/Output') ? sinks : sources)], target, 'default') : null;
    const signature = JSON.stringify([key, topic, name, cls, description, node.volume !== undefined, node.mute !== undefined, targets]);
    cached(signature, (made) => {
      const id = `quorvane:${host}:${name}`;
      const device = { identifiers: [id], name: description, manufacturer: 'PipeWire', model: cls, via_device: `quorvane:${host}` };
      const base = { state_topic: topic, device };
      const commands = `${hostTopic}/node/${key}`;
      if (node.volume !== undefined) {
        add(made, 'number', `${name}:volume`, { ...base, name: 'Volume', unique_id: `${id}:volume`, value_template: '{{ value_json.volume }}', command_topic: `${commands}/volume/set`, min: 0, max: MAX_VOLUME, step: 0.01, mode: 'slider' });
      }
      if (node.mute !== undefined) {
        add(made, 'switch', `${name}:mute`, { ...base, name: 'Mute', unique_id: `${id}:mute`, value_template: "{{ 'ON' if value_json.mute else 'OFF' }}", command_topic: `${commands}/mute/set`, payload_on: 'ON', payload_off: 'OFF', icon: 'mdi:volume-off' });
      }
      add(made, 'sensor', `${name}:state`, { ...base, name: 'State', unique_id: `${id}:state`, value_template: '{{ value_json.state }}', icon: 'mdi:state-machine' });
      if (targets) {
        add(made, 'select', `${name}:target`, { ...base, name: 'Target', unique_id: `${id}:target`, value_template: "{{ value_json.target or 'default' }}", command_topic: `${commands}/target/set`, options: targets });
      }
    });
  }
  for (const { key, topic, state } of devices) {
    if (!state.name) continue;
    const choices = [['profile', 'Profile', state.profiles, 'mdi:tune'], ['output', 'Output port', state.outputs, 'mdi:speaker'], ['input', 'Input port', state.inputs, 'mdi:microphone']]
      .map(([what, name, list, icon]) => [what, name, list.length === 0 ? list : selectOptions(list, state[what]), icon]);
    cached(JSON.stringify(['device', key, topic, state.name, state.description, state.api, choices]), (made) => {
      const id = `quorvane:${host}:device:${state.name}`;
      const device = { identifiers: [id], name: state.description || state.name, manufacturer: 'PipeWire', model: state.api ? `${state.api} device` : 'device', via_device: `quorvane:${host}` };
      for (const [what, name, options, icon] of choices) {
        if (options.length === 0) continue; // a select needs options
        add(made, 'select', `device:${state.name}:${what}`, {
          name,
          unique_id: `${id}:${what}`,
          state_topic: topic,
          value_template: `{{ value_json.${what} or '${NONE}' }}`,
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

module.exports = { configs, slug, entityNames, MAX_VOLUME, NONE };
