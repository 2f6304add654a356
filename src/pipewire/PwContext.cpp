#include "PwContext.h"

#include "PwThread.h"
#include "SharedConnection.h"

namespace {
PwContext gContext;
}

PwContext::~PwContext() {
    // A script that exits while connected leaves the connection open: its
    // queued removals are sent, and the PipeWire thread, which outlives
    // connections, is stopped before the containers it writes are destroyed.
    closeAtExit(this);
    shutdownPwThread(this);
}

PwContext* getContext() {
    return &gContext;
}

void clearContextData(PwContext* ctx) {
    ctx->nodes.clear();
    ctx->ports.clear();
    ctx->links.clear();
}
