// getInputNodes / getOutputNodes / getInputNodesName / getOutputNodesName:
// the nodes of one side, as short objects or as names. Each pair of twins is
// one procedure; the selecting flag is the only difference.
#include "../connection/PwContext.h"
#include "Exports.h"
#include "JsValues.h"

namespace {

using NodeFlag = bool NodeInfo::*;

v8::Local<v8::Value> shortNode(const NodeInfo& n) {
    v8::Local<v8::Object> o = Nan::New<v8::Object>();
    js::set(o, js::kId, js::num(n.id));
    js::set(o, js::kName, js::str(n.name));
    js::set(o, js::kType, js::str(n.mediaClass));
    js::set(o, js::kIsInput, Nan::New(n.isInput));
    js::set(o, js::kIsOutput, Nan::New(n.isOutput));
    return o;
}

v8::Local<v8::Value> nodeName(const NodeInfo& n) {
    return js::str(n.name);
}

template <NodeFlag flag, v8::Local<v8::Value> (*element)(const NodeInfo&)>
NAN_METHOD(selectNodes) {
    PwContext* ctx = getContext();
    // Copied under the graph lock, made into values once it is released.
    std::vector<NodeInfo> nodes;
    {
        LockGuard lock(ctx->mutex);
        for (const NodeInfo& node : ctx->nodes)
            if (node.*flag) nodes.push_back(node);
    }
    std::vector<v8::Local<v8::Value>> elements;
    for (const NodeInfo& node : nodes) elements.push_back(element(node));
    info.GetReturnValue().Set(js::array(elements));
}

}  // namespace

NAN_METHOD(getInputNodes) {
    selectNodes<&NodeInfo::isInput, shortNode>(info);
}
NAN_METHOD(getOutputNodes) {
    selectNodes<&NodeInfo::isOutput, shortNode>(info);
}
NAN_METHOD(getInputNodesName) {
    selectNodes<&NodeInfo::isInput, nodeName>(info);
}
NAN_METHOD(getOutputNodesName) {
    selectNodes<&NodeInfo::isOutput, nodeName>(info);
}
