// The exported JavaScript functions, one declaration per row of the export
// table in Quorvane.cpp.
#pragma once

#include <nan.h>

NAN_METHOD(createPwThread);
NAN_METHOD(destroyPwThread);
NAN_METHOD(getNodes);
NAN_METHOD(getPorts);
NAN_METHOD(getLinks);
NAN_METHOD(getOutputNodes);
NAN_METHOD(getInputNodes);
NAN_METHOD(getInputNodesName);
NAN_METHOD(getOutputNodesName);
NAN_METHOD(linkPorts);
NAN_METHOD(unlinkPorts);
NAN_METHOD(linkNodesNameToId);
NAN_METHOD(unlinkNodesNameToId);
NAN_METHOD(waitForNewNode);
NAN_METHOD(getLinkFormat);
NAN_METHOD(getLinkStats);
NAN_METHOD(getLinkState);
NAN_METHOD(on);
NAN_METHOD(off);

// Beyond the nineteen: what the asynchronous Graph layer (lib/) builds on.
NAN_METHOD(openGraph);
NAN_METHOD(closeGraph);
NAN_METHOD(graphSync);
NAN_METHOD(setClientName);
NAN_METHOD(setInfoKinds);
NAN_METHOD(setGraphListener);
NAN_METHOD(graphNodes);
NAN_METHOD(graphPorts);
NAN_METHOD(graphLinks);
NAN_METHOD(graphLink);
NAN_METHOD(graphUnlink);
NAN_METHOD(graphAbandonLink);

// Nodes the Graph creates and removes (src/features/nodes/).
NAN_METHOD(graphCreateNode);
NAN_METHOD(graphDestroyNode);
NAN_METHOD(releaseOwnedNodes);
NAN_METHOD(graphAbandonNode);

// Volume, mute and metadata (src/features/control/).
NAN_METHOD(graphNodeControls);
NAN_METHOD(graphSetNodeProps);
NAN_METHOD(graphSetMetadata);
NAN_METHOD(graphMetadata);
NAN_METHOD(graphMetadataDropped);

// Level meters (src/features/meters/).
NAN_METHOD(graphMeterStart);
NAN_METHOD(graphMeterPorts);
NAN_METHOD(graphMeterStop);

// The daemon's profiler (src/features/profiler/).
NAN_METHOD(graphHasProfiler);
NAN_METHOD(graphProfiler);
// The "profile" event's payload: the latest profile, or null.
v8::Local<v8::Value> profilePayload();

// Modules loaded into the add-on's context: equalisers, loopbacks (src/features/effects/).
NAN_METHOD(graphModuleLoad);
NAN_METHOD(graphModuleUnload);
NAN_METHOD(graphSetControlParams);
NAN_METHOD(graphSetPortConfig);
// The ports' latency (src/bindings/LatencyBindings.cpp).
NAN_METHOD(graphPortLatency);

// addon.constants (src/bindings/Constants.cpp), exported after the table.
v8::Local<v8::Object> constantsObject();

// A PipeWire Device's profiles and routes (src/features/cards/).
NAN_METHOD(graphDevices);
NAN_METHOD(graphSelectDevice);
struct DeviceRecord;
// A device as graphDevices lists it, for the device events' payload.
v8::Local<v8::Value> deviceValue(const DeviceRecord& device);
