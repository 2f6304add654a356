#include "JsValues.h"

namespace js {

namespace {

const char* const kNames[kKeyCount] = {
    "id",         "name",        "type",         "version",  "inputPorts", "outputPorts", "isInput",
    "isOutput",   "nodeId",      "direction",    "portType", "srcNodeId",  "srcPortId",   "sinkNodeId",
    "sinkPortId", "srcNodeName", "sinkNodeName", "format",   "found",      "linkId",      "bytes",
    "drops",      "rate",        "state",        "srcNode",  "sinkNode",
};

v8::Eternal<v8::String> gKeys[kKeyCount];

}  // namespace

v8::Local<v8::String> key(Key k) {
    v8::Isolate* isolate = v8::Isolate::GetCurrent();
    if (gKeys[k].IsEmpty()) {
        gKeys[k].Set(isolate,
                     v8::String::NewFromUtf8(isolate, kNames[k], v8::NewStringType::kInternalized).ToLocalChecked());
    }
    return gKeys[k].Get(isolate);
}

v8::Local<v8::Function> compiledFunction(v8::Eternal<v8::Function>& slot, const char* source) {
    v8::Isolate* isolate = v8::Isolate::GetCurrent();
    if (slot.IsEmpty()) {
        v8::Local<v8::Value> fn =
            Nan::RunScript(Nan::CompileScript(Nan::New(source).ToLocalChecked()).ToLocalChecked()).ToLocalChecked();
        slot.Set(isolate, fn.As<v8::Function>());
    }
    return slot.Get(isolate);
}

}  // namespace js
