// PipeWire modules loaded into the add-on's own context (as `pw-cli -m
// load-module` does): the filter-chain and loopback modules, and the RTP and
// ROC network sinks and sources of audio between hosts, whose streams
// are this process's nodes, processed in this process. Each module has
// an id chosen by JavaScript; its load is answered with a ModuleAnswered
// event (`id`; `res` 0, or the negative errno and `text`), its end with a
// ModuleEnded event (`id`, `text`: why). V8-free.
#pragma once

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "../../connection/WorkQueue.h"

struct PwContext;

// The modules a script may load: no other name is handed to PipeWire.
bool isLoadableModule(const std::string& name);

// Makes the feature's state in the context; before the first start.
void installModules(PwContext* ctx);

// Loads module `name` (libpipewire-module-...) with `args` (SPA JSON) as
// module `moduleId`, on the connection's core. Not waited for; nothing is
// asked unless it is Queued.
Handoff requestModuleLoad(PwContext* ctx, uint32_t moduleId, const std::string& name, const std::string& args);

// Unloads module `moduleId`: its streams and nodes go, and ModuleEnded
// ("closed") is reported, for a module that has ended already too.
Handoff requestModuleUnload(PwContext* ctx, uint32_t moduleId);

// Sets the "params" of node `nodeId`'s Props: name/value pairs of a
// filter-chain's controls ("band1:Gain", 6.0), changed live. A refusal is
// reported as ControlFailed with `token`.
Handoff requestControlParams(PwContext* ctx, uint32_t token, uint32_t nodeId,
                             const std::vector<std::pair<std::string, float>>& params);

// Sets node `nodeId`'s ports up as a session manager would: one port per
// channel (`channels`, positioned as the modules' streams are: MONO, FL FR,
// else AUX0...), on its `output` or input side, with monitor ports when
// `monitor`. PipeWire 1.4 leaves a stream whose format is not fixed a single
// port otherwise. A refusal is reported as ControlFailed with `token`.
Handoff requestPortConfig(PwContext* ctx, uint32_t token, uint32_t nodeId, bool output, bool monitor,
                          uint32_t channels);

// The connection is released: every module goes with its core, without
// events. PipeWire thread.
void releaseModules(PwContext* ctx);
