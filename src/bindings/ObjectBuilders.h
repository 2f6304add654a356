// How the listings, format values and the Graph's events make their objects:
// with the package's builder functions (lib/connection/object-builders.js)
// when its loader handed them over, else natively, property by property.
// Both make the same objects, properties in the same order.
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

// What builder `kind` returns for the `argc` values of `argv`, laid out as
// lib/connection/object-builders.js describes: a listing fills the array
// `argv[0]` and returns undefined, the others return their object. Empty
// when a handed-over builder throws. Without handed-over builders (the
// shared object required on its own) the objects are made here.
v8::MaybeLocal<v8::Value> build(Builder kind, int argc, v8::Local<v8::Value>* argv);

}  // namespace js

// setObjectBuilders(functions): keeps the kBuilderCount functions for the
// module's life. TypeError, and nothing kept, for anything else.
NAN_METHOD(setObjectBuilders);
