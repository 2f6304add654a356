// Module record, init function and export table of Quorvane.node.
#include <nan.h>

#include "Bindings.h"

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
};

}  // namespace

// Takes the full register-function signature so the module record needs no
// function-pointer cast.
void InitAll(v8::Local<v8::Object> exports, v8::Local<v8::Value> /*module*/, void* /*priv*/) {
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

NODE_MODULE(Quorvane, InitAll)
