// The queue of graph events from the PipeWire thread to the JavaScript thread.
// Producers run on the PipeWire thread, the consumer on the JavaScript thread.
#pragma once

#include <cstdint>

#include "PwEvent.h"

struct PwContext;

void emitNodeCreated(PwContext* ctx, const NodeInfo& node);
void emitNodeDestroyed(PwContext* ctx, uint32_t id);
void emitLinkCreated(PwContext* ctx, const LinkInfo& link);
void emitLinkDestroyed(PwContext* ctx, uint32_t id);

// Wakes the JavaScript thread if the wake-up handle exists. Never called with
// a lock of the module held.
void signalWakeup(PwContext* ctx);

// Takes the oldest event out of the queue; false when the queue is empty.
bool takeNextEvent(PwContext* ctx, PwEvent& out);
