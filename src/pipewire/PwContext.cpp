#include "PwContext.h"

#include "PwThread.h"

namespace {
PwContext gContext;
}

PwContext::~PwContext() {
    // A script that exits while connected leaves the PipeWire thread running;
    // it must be stopped before the containers it writes are destroyed.
    stopPwThread(this);
}

PwContext* getContext() {
    return &gContext;
}

void clearContextData(PwContext* ctx) {
    ctx->nodes.clear();
    ctx->ports.clear();
    ctx->links.clear();
}
