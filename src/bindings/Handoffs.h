// How an exported function answers a request handed to the PipeWire thread:
// queued, no connection (the caller returns false and JavaScript says "not
// connected"), or a full work queue, a clear Error of its own.
#pragma once

#include <nan.h>

#include "../connection/WorkQueue.h"

constexpr const char* kQueueFullMessage =
    "PipeWire is busy: 16384 requests wait for the PipeWire thread already; try again once some have settled";
static_assert(kMaxQueuedRequests == 16384, "kQueueFullMessage names the bound");

// True when queued; throws the Error when the queue is full.
inline bool handedOver(Handoff handoff) {
    if (handoff == Handoff::Full) Nan::ThrowError(kQueueFullMessage);
    return handoff == Handoff::Queued;
}
