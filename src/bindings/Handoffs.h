// How an exported function answers a request handed to the PipeWire thread:
// queued, no connection (the caller returns false and JavaScript says "not
// connected"), or a full work queue, a clear Error of its own.
#pragma once

#include <nan.h>

#include <string>

#include "../connection/WorkQueue.h"

// The Error of a full queue; names the bound.
inline const std::string& queueFullMessage() {
    static const std::string message =
        "PipeWire is busy: " + std::to_string(kMaxQueuedRequests) +
        " requests wait for the PipeWire thread already; try again once some have settled";
    return message;
}

// True when queued; throws the Error when the queue is full.
inline bool handedOver(Handoff handoff) {
    if (handoff == Handoff::Full) Nan::ThrowError(queueFullMessage().c_str());
    return handoff == Handoff::Queued;
}
