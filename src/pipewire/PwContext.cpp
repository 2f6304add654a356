#include "PwContext.h"

#include "SharedConnection.h"

namespace {
PwContext gContext;
}

PwContext::~PwContext() {
    // A script that exits while connected leaves the PipeWire thread running:
    // its queued removals are sent, and it is stopped before the containers
    // it writes are destroyed.
    closeAtExit(this);
}

PwContext* getContext() {
    return &gContext;
}

void clearContextData(PwContext* ctx) {
    ctx->nodes.clear();
    ctx->ports.clear();
    ctx->links.clear();
}
