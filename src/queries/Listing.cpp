// getNodes / getPorts / getLinks: snapshots of the mirror as JavaScript arrays.
#include <string_view>
#include <unordered_map>

#include "../Bindings.h"
#include "../pipewire/PwContext.h"
#include "JsValues.h"

namespace {

// Builds one object per record of `list`, all under the graph lock. `fill`
// writes the record's property values in the order of `keys`.
template <size_t N, typename Record, typename Fill>
v8::Local<v8::Array> listUnderLock(const std::vector<Record>& list, const js::Key (&keys)[N], Fill fill) {
    PwContext* ctx = getContext();
    js::ObjectMaker<N> make(keys);
    std::vector<v8::Local<v8::Value>> elements;
    v8::Local<v8::Value> values[N];
    LockGuard lock(ctx->mutex);
    elements.reserve(list.size());
    for (const Record& record : list) {
        fill(values, record);
        elements.push_back(make(values));
    }
    return js::array(elements);
}

constexpr js::Key kNodeKeys[] = {js::kId,         js::kName,        js::kType,    js::kVersion,
                                 js::kInputPorts, js::kOutputPorts, js::kIsInput, js::kIsOutput};
constexpr js::Key kPortKeys[] = {js::kId, js::kNodeId, js::kName, js::kDirection, js::kPortType};
constexpr js::Key kLinkKeys[] = {js::kId,         js::kSrcNodeId,   js::kSrcPortId,    js::kSinkNodeId,
                                 js::kSinkPortId, js::kSrcNodeName, js::kSinkNodeName, js::kFormat};

}  // namespace

NAN_METHOD(getNodes) {
    js::StringCache types;  // media classes repeat from node to node
    info.GetReturnValue().Set(listUnderLock(getContext()->nodes, kNodeKeys, [&](auto& v, const NodeInfo& n) {
        v[0] = js::num(n.id);
        v[1] = js::str(n.name);
        v[2] = types.get(n.mediaClass);
        v[3] = js::num(n.version);
        v[4] = js::num(n.inputPorts);
        v[5] = js::num(n.outputPorts);
        v[6] = Nan::New(n.isInput);
        v[7] = Nan::New(n.isOutput);
    }));
}

NAN_METHOD(getPorts) {
    js::StringCache names;  // port names repeat from node to node
    info.GetReturnValue().Set(listUnderLock(getContext()->ports, kPortKeys, [&](auto& v, const PortInfo& p) {
        v[0] = js::num(p.id);
        v[1] = js::num(p.nodeId);
        v[2] = names.get(p.name);
        v[3] = js::num(p.direction);
        v[4] = js::num(p.portType);
    }));
}

NAN_METHOD(getLinks) {
    PwContext* ctx = getContext();
    // Node names by id, built once per call under the lock: linear in nodes +
    // links. A later record with the same id replaces an earlier one, as a
    // walk over the whole node list would.
    std::unordered_map<uint32_t, const std::string*> names;
    bool indexed = false;
    js::StringCache strings;
    static const std::string kEmpty, kUnknown = "unknown";
    info.GetReturnValue().Set(listUnderLock(ctx->links, kLinkKeys, [&](auto& v, const LinkInfo& l) {
        if (!indexed) {
            names.reserve(ctx->nodes.size());
            for (const NodeInfo& n : ctx->nodes) names[n.id] = &n.name;
            indexed = true;
        }
        auto nameOf = [&](uint32_t id) -> const std::string& {
            auto it = names.find(id);
            return it == names.end() ? kEmpty : *it->second;
        };
        auto format = ctx->linkFormats.find(l.id);
        v[0] = js::num(l.id);
        v[1] = js::num(l.srcNodeId);
        v[2] = js::num(l.srcPortId);
        v[3] = js::num(l.sinkNodeId);
        v[4] = js::num(l.sinkPortId);
        v[5] = strings.get(nameOf(l.srcNodeId));
        v[6] = strings.get(nameOf(l.sinkNodeId));
        v[7] = strings.get(format == ctx->linkFormats.end() ? kUnknown : format->second);
    }));
}
