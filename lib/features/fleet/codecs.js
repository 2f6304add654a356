'use strict';
// The codecs a stream between hosts may take, and the UDP ports each takes
// at the receiving end (ROC: source, repair and control; RTP: one). Free of
// the add-on, so that what reads records from the broker loads without it.
const PORTS = { roc: 3, rtp: 1 };

/** isPortList(ports, codec) → whether `ports` are the UDP port numbers `codec` takes, as many as it takes. */
const isPortList = (ports, codec) => Object.hasOwn(PORTS, codec) && Array.isArray(ports) && ports.length === PORTS[codec] && ports.every((p) => Number.isInteger(p) && p > 0 && p < 65536);

module.exports = { PORTS, isPortList };
