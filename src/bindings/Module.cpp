// Module record, init function and export table of Quorvane.node.
#include <nan.h>

#include "Exports.h"

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
    {"setNodeListener", setNodeListener},
    {"graphCreateNode", graphCreateNode},
    {"graphDestroyNode", graphDestroyNode},
    {"releaseOwnedNodes", releaseOwnedNodes},
    {"graphNodeControls", graphNodeControls},
    {"graphSetNodeProps", graphSetNodeProps},
    {"graphSetMetadata", graphSetMetadata},
    {"graphMetadata", graphMetadata},
};

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
    for (const ExportEntry& entry : kExportTable) Nan::Export(exports, entry.name, entry.function);
}

// Registered through the `node_register_module_v*` symbol, which Node.js looks
// up on every load, rather than once per process by a static constructor: a
// worker that loads the add-on after the main thread did then reaches the
// check above too, instead of failing with "Module did not self-register".
extern "C" NODE_MODULE_EXPORT void NODE_MODULE_INITIALIZER(v8::Local<v8::Object> exports, v8::Local<v8::Value>,
                                                           v8::Local<v8::Context>) {
    InitAll(exports);
}
