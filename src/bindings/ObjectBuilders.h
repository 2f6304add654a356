// The JavaScript functions the listings, format values and the Graph's events make their objects
// with (lib/connection/object-builders.js), handed over once by the loader.
#pragma once

#include <nan.h>

namespace js {

// In the order lib/connection/object-builders.js exports them.
enum class Builder : unsigned {
    Nodes,
    Ports,
    Links,
    NodesWithInfo,
    PortsWithInfo,
    LinksWithInfo,
    Format,
    NodeEvent,
    PortEvent,
    LinkEvent
};
constexpr unsigned kBuilderCount = unsigned(Builder::LinkEvent) + 1;

// The builder of that kind; empty, with an Error thrown, when the add-on was
// loaded without the package's loader (which hands the builders over).
v8::MaybeLocal<v8::Function> builder(Builder kind);

// What builder `kind` returns for the `argc` values of `argv`; empty when it
// throws or, as builder() says, when there are no builders.
v8::MaybeLocal<v8::Value> build(Builder kind, int argc, v8::Local<v8::Value>* argv);

}  // namespace js

// setObjectBuilders(functions): keeps the kBuilderCount functions for the
// module's life. TypeError, and nothing kept, for anything else.
NAN_METHOD(setObjectBuilders);
