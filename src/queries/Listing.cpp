// getNodes / getPorts / getLinks: snapshots of the mirror as JavaScript arrays.
//
// The objects are made by a small JavaScript function compiled once, from the
// records' numbers (one Uint32Array) and texts (arrays of strings) prepared
// under the graph lock: object literals cost V8 a fraction of what defining
// each property through the C++ API costs, and every object gets its
// properties in the listed order. Nothing the function touches can be changed
// by user code: it reads no globals and calls no methods, and it stores into
// an array whose elements already exist, so no setter a script may have put
// on Array.prototype can run (and re-enter the module) under the lock.
#include <memory>
#include <unordered_map>

#include "../Bindings.h"
#include "../JsValues.h"
#include "../pipewire/PwContext.h"

namespace {

// Each builder comes plain (the listings of the nineteen) and with a `props`
// column (the Graph's listings): the same object, with `props` last.
#define NODE_BUILDER(PARAMS, PROPS)                                                                  \
    "(function (out, u, names, types" PARAMS                                                         \
    ") { for (let i = 0; i < out.length; i++) { const j = i * 6;"                                    \
    " out[i] = { id: u[j], name: names[i], type: types[i], version: u[j + 1], inputPorts: u[j + 2]," \
    " outputPorts: u[j + 3], isInput: (u[j + 4] & 1) === 1, isOutput: (u[j + 5] & 1) === 1" PROPS " }; } })"
#define PORT_BUILDER(PARAMS, PROPS)                               \
    "(function (out, u, names" PARAMS                             \
    ") { for (let i = 0; i < out.length; i++) { const j = i * 4;" \
    " out[i] = { id: u[j], nodeId: u[j + 1], name: names[i], direction: u[j + 2], portType: u[j + 3]" PROPS " }; } })"
#define LINK_BUILDER(PARAMS, PROPS)                                                                          \
    "(function (out, u, srcNames, sinkNames, formats" PARAMS                                                 \
    ") { for (let i = 0; i < out.length; i++) {"                                                             \
    " const j = i * 5; out[i] = { id: u[j], srcNodeId: u[j + 1], srcPortId: u[j + 2], sinkNodeId: u[j + 3]," \
    " sinkPortId: u[j + 4], srcNodeName: srcNames[i], sinkNodeName: sinkNames[i], format: formats[i]" PROPS " }; } })"

const char* const kBuilders[2][3] = {
    {NODE_BUILDER("", ""), PORT_BUILDER("", ""), LINK_BUILDER("", "")},
    {NODE_BUILDER(", props", ", props: props[i]"), PORT_BUILDER(", props", ", props: props[i]"),
     LINK_BUILDER(", props", ", props: props[i]")},
};
enum Builder { kNodes, kPorts, kLinks };
v8::Eternal<v8::Function> gBuilders[2][3];

// The numbers of `count` records, `stride` to a record, and the texts.
class Columns {
public:
    Columns(size_t count, size_t stride, size_t texts) : count_(count), texts_(texts) {
        store_ = v8::ArrayBuffer::NewBackingStore(v8::Isolate::GetCurrent(), count * stride * sizeof(uint32_t));
        numbers = static_cast<uint32_t*>(store_->Data());
        for (auto& column : texts_) column.reserve(count);
    }
    uint32_t* numbers;
    std::vector<v8::Local<v8::Value>>& text(size_t i) { return texts_[i]; }

    // Calls the builder with (result, numbers, texts...) and returns the
    // result array it filled; empty on failure.
    v8::MaybeLocal<v8::Value> build(Builder kind, bool withProps) {
        v8::Isolate* isolate = v8::Isolate::GetCurrent();
        v8::Local<v8::Function> builder = js::compiledFunction(gBuilders[withProps][kind], kBuilders[withProps][kind]);
        std::vector<v8::Local<v8::Value>> slots(count_, v8::Undefined(isolate));
        v8::Local<v8::Array> result = js::array(slots);
        size_t bytes = store_->ByteLength();
        v8::Local<v8::ArrayBuffer> buffer = v8::ArrayBuffer::New(isolate, store_);
        std::vector<v8::Local<v8::Value>> argv = {result, v8::Uint32Array::New(buffer, 0, bytes / sizeof(uint32_t))};
        for (auto& column : texts_) argv.push_back(js::array(column));
        if (builder->Call(isolate->GetCurrentContext(), v8::Undefined(isolate), int(argv.size()), argv.data())
                .IsEmpty())
            return {};
        return result;
    }

private:
    size_t count_;
    std::shared_ptr<v8::BackingStore> store_;
    std::vector<std::vector<v8::Local<v8::Value>>> texts_;
};

void setResult(const Nan::FunctionCallbackInfo<v8::Value>& info, v8::MaybeLocal<v8::Value> result) {
    v8::Local<v8::Value> value;
    if (result.ToLocal(&value)) info.GetReturnValue().Set(value);
}

void listNodes(const Nan::FunctionCallbackInfo<v8::Value>& info, bool withProps) {
    PwContext* ctx = getContext();
    js::StringCache cache;  // media classes and property texts repeat from node to node
    LockGuard lock(ctx->mutex);
    Columns c(ctx->nodes.size(), 6, withProps ? 3 : 2);
    uint32_t* u = c.numbers;
    for (const NodeInfo& n : ctx->nodes) {
        *u++ = n.id;
        *u++ = n.version;
        *u++ = n.inputPorts;
        *u++ = n.outputPorts;
        *u++ = n.isInput;
        *u++ = n.isOutput;
        c.text(0).push_back(js::str(n.name));
        c.text(1).push_back(cache.get(n.mediaClass));
        if (withProps) c.text(2).push_back(js::propsObject(n.props, cache));
    }
    setResult(info, c.build(kNodes, withProps));
}

void listPorts(const Nan::FunctionCallbackInfo<v8::Value>& info, bool withProps) {
    PwContext* ctx = getContext();
    js::StringCache cache;  // port names repeat from node to node
    LockGuard lock(ctx->mutex);
    Columns c(ctx->ports.size(), 4, withProps ? 2 : 1);
    uint32_t* u = c.numbers;
    for (const PortInfo& p : ctx->ports) {
        *u++ = p.id;
        *u++ = p.nodeId;
        *u++ = p.direction;
        *u++ = p.portType;
        c.text(0).push_back(cache.get(p.name));
        if (withProps) c.text(1).push_back(js::propsObject(p.props, cache));
    }
    setResult(info, c.build(kPorts, withProps));
}

void listLinks(const Nan::FunctionCallbackInfo<v8::Value>& info, bool withProps) {
    PwContext* ctx = getContext();
    static const std::string kEmpty, kUnknown = "unknown";
    js::StringCache cache;  // node names repeat from link to link
    LockGuard lock(ctx->mutex);
    // Node names by id, built once per call: linear in nodes + links. A later
    // record with the same id replaces an earlier one, as a walk over the
    // whole node list would.
    std::unordered_map<uint32_t, const std::string*> names;
    if (!ctx->links.empty()) {
        names.reserve(ctx->nodes.size());
        for (const NodeInfo& n : ctx->nodes) names[n.id] = &n.name;
    }
    auto nameOf = [&](uint32_t id) -> const std::string& {
        auto it = names.find(id);
        return it == names.end() ? kEmpty : *it->second;
    };
    Columns c(ctx->links.size(), 5, withProps ? 4 : 3);
    uint32_t* u = c.numbers;
    for (const LinkInfo& l : ctx->links) {
        *u++ = l.id;
        *u++ = l.srcNodeId;
        *u++ = l.srcPortId;
        *u++ = l.sinkNodeId;
        *u++ = l.sinkPortId;
        auto format = ctx->linkFormats.find(l.id);
        c.text(0).push_back(cache.get(nameOf(l.srcNodeId)));
        c.text(1).push_back(cache.get(nameOf(l.sinkNodeId)));
        c.text(2).push_back(cache.get(format == ctx->linkFormats.end() ? kUnknown : format->second));
        if (withProps) c.text(3).push_back(js::propsObject(l.props, cache));
    }
    setResult(info, c.build(kLinks, withProps));
}

}  // namespace

NAN_METHOD(getNodes) {
    listNodes(info, false);
}
NAN_METHOD(getPorts) {
    listPorts(info, false);
}
NAN_METHOD(getLinks) {
    listLinks(info, false);
}
NAN_METHOD(graphNodes) {
    listNodes(info, true);
}
NAN_METHOD(graphPorts) {
    listPorts(info, true);
}
NAN_METHOD(graphLinks) {
    listLinks(info, true);
}
