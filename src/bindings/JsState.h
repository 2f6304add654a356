// What the bindings hold on the JavaScript side: the listeners the module
// calls. One record, made at the
// first load and released by the environment's cleanup while V8 and the
// event loop still run; after a process.exit() the process ends without it.
// JavaScript thread only.
#pragma once

#include <nan.h>
#include <uv.h>

#include <map>
#include <string>

#include "JsValues.h"

struct PwContext;

struct JsState {
    std::map<std::string, Nan::Callback*> listeners;  // of on(), one per event name
    Nan::Callback* graphListener = nullptr;           // setGraphListener
    js::PropsObjects changedProps;                    // of the records of change events
};

JsState& jsState();

// The environment ends: the module's end has run; the callbacks are freed
// and the handles closed.
void releaseJsState(PwContext* ctx);
