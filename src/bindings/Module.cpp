// Module record, init function and export table of Quorvane.node.
#include <nan.h>

#include <cstdlib>

#include "../connection/PwContext.h"
#include "../connection/SharedConnection.h"
#include "../core/Descriptors.h"
#include "../features/FeatureHooks.h"
#include "Exports.h"
#include "JsState.h"
#include "ObjectBuilders.h"

namespace {

struct ExportEntry {
    const char* name;
    Nan::FunctionCallback function;
};

// Export order is part of the module's interface.
const ExportEntry kExportTable[] = {
    {"createPwThread", createPwThread},
    {"destroyPwThread", destroyPwThread},
    {"getNodes", getNodes},
    {"getPorts", getPorts},
    {"getLinks", getLinks},
    {"getOutputNodes", getOutputNodes},
    {"getInputNodes", getInputNodes},
    {"getInputNodesName", getInputNodesName},
    {"getOutputNodesName", getOutputNodesName},
    {"linkPorts", linkPorts},
    {"unlinkPorts", unlinkPorts},
    {"linkNodesNameToId", linkNodesNameToId},
    {"unlinkNodesNameToId", unlinkNodesNameToId},
    {"waitForNewNode", waitForNewNode},
    {"getLinkFormat", getLinkFormat},
    {"getLinkStats", getLinkStats},
    {"getLinkState", getLinkState},
    {"on", on},
    {"off", off},
    // Beyond the nineteen, for the asynchronous layer in lib/.
    {"openGraph", openGraph},
    {"closeGraph", closeGraph},
    {"setGraphListener", setGraphListener},
    {"graphSync", graphSync},
    {"graphNodes", graphNodes},
    {"graphPorts", graphPorts},
    {"graphLinks", graphLinks},
    {"graphLink", graphLink},
    {"graphUnlink", graphUnlink},
    {"setClientName", setClientName},
    {"setObjectBuilders", setObjectBuilders},
    {"setInfoKinds", setInfoKinds},
    {"graphCreateNode", graphCreateNode},
    {"graphDestroyNode", graphDestroyNode},
    {"releaseOwnedNodes", releaseOwnedNodes},
    {"graphNodeControls", graphNodeControls},
    {"graphSetNodeProps", graphSetNodeProps},
    {"graphSetMetadata", graphSetMetadata},
    {"graphMetadata", graphMetadata},
    {"graphAbandonNode", graphAbandonNode},
    {"graphAbandonLink", graphAbandonLink},
    {"graphMetadataDropped", graphMetadataDropped},
    {"graphMeterStart", graphMeterStart},
    {"graphMeterPorts", graphMeterPorts},
    {"graphMeterStop", graphMeterStop},
    {"graphHasProfiler", graphHasProfiler},
    {"graphProfiler", graphProfiler},
    {"graphModuleLoad", graphModuleLoad},
    {"graphModuleUnload", graphModuleUnload},
    {"graphSetControlParams", graphSetControlParams},
    {"graphSetPortConfig", graphSetPortConfig},
    {"graphDevices", graphDevices},
    {"graphSelectDevice", graphSelectDevice},
    {"graphPortLatency", graphPortLatency},
};

// The module's one lifetime: its end runs once, while every piece of its
// state is alive, whichever way the process ends. A normal end runs the
// environment's cleanup, with V8 and the event loop still there, so the
// JavaScript side is released too; process.exit() and an uncaught exception
// end in exit(), which runs the handler registered here before the module's
// statics are destroyed. SIGTERM's default action ends the process without
// running any code.
void onEnvironmentCleanup(void*) {
    PwContext* ctx = getContext();
    shutdownModule(ctx);
    releaseJsState(ctx);
}

void onProcessExit() {
    shutdownModule(getContext());
}

}  // namespace

void InitAll(v8::Local<v8::Object> exports) {
    // The module keeps process-wide state on the main thread's event loop;
    // a worker thread would share it unsafely.
    if (node::GetCurrentEventLoop(v8::Isolate::GetCurrent()) != uv_default_loop()) {
        Nan::ThrowError(
            "Quorvane must be loaded on the main thread: it keeps process-wide state and cannot be used from "
            "worker_threads");
        return;
    }
    // Standard input, output and error closed (a daemon's start, a script's
    // own close) would be the numbers PipeWire's next descriptors get.
    guardStandardDescriptors();
    static bool hooked = false;
    if (!hooked) {
        hooked = true;
        // The features' state exists from the first load: every export may
        // be called before any connection.
        installFeatureHooks(getContext());
        node::AddEnvironmentCleanupHook(v8::Isolate::GetCurrent(), onEnvironmentCleanup, nullptr);
        std::atexit(onProcessExit);
    }
    for (const ExportEntry& entry : kExportTable) Nan::Export(exports, entry.name, entry.function);
    // Last: the numbers, names and limits lib/ shares with the native side.
    Nan::Set(exports, Nan::New("constants").ToLocalChecked(), constantsObject());
}

// Registered through the `node_register_module_v*` symbol, which Node.js looks
// up on every load, rather than once per process by a static constructor: a
// worker that loads the add-on after the main thread did then reaches the
// check above too, instead of failing with "Module did not self-register".
extern "C" NODE_MODULE_EXPORT void NODE_MODULE_INITIALIZER(v8::Local<v8::Object> exports, v8::Local<v8::Value>,
                                                           v8::Local<v8::Context>) {
    InitAll(exports);
}
