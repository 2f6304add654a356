// getNodes / getPorts / getLinks: snapshots of the mirror as JavaScript arrays.
//
// The records are copied under the graph lock, which every PipeWire callback
// needs, and made into JavaScript values once it is released. The objects
// are made by the package's builder functions (lib/connection/object-builders.js)
// from the records' numbers (one Uint32Array) and texts (arrays of values).
#include <algorithm>
#include <iterator>
#include <memory>
#include <string>
#include <unordered_map>

#include "../connection/PwContext.h"
#include "../core/PackedProps.h"
#include "../features/control/Metadata.h"
#include "../features/links/LinkProxies.h"
#include "Exports.h"
#include "InfoValues.h"
#include "JsValues.h"
#include "ObjectBuilders.h"

namespace {

// The kinds of listing; each has a builder plain (the listings of the
// nineteen) and one with the Graph's columns (lib/connection/object-builders.js).
enum Listed { kNodes, kPorts, kLinks };

// The properties of the records, each an object made at once from its keys
// and values: no code is made from what a client announced, and nothing is
// kept beyond the listing, whatever keys come. Every key is an ordinary
// data property ("__proto__" too), and a key the daemon repeated keeps its
// first value, as the mirror's own lookups do.
class PropsColumn {
public:
    explicit PropsColumn(bool enabled) : enabled_(enabled) {
        if (!enabled_) return;
        seen_.resize(kMaxProps);
        lastKeys_.resize(kMaxProps);
        lastValueTexts_.resize(kMaxProps);
        lastValues_.resize(kMaxProps);
        names_.resize(kMaxProps);
        values_.resize(kMaxProps);
    }

    // `own`: a text of the record the caller has already made (a node's
    // name), used for a value equal to it instead of a cache lookup.
    void add(const std::string& packed, js::StringCache& cache, const std::string* ownText = nullptr,
             v8::Local<v8::Value> own = {}) {
        if (!enabled_) return;
        std::string_view* seen = seen_.data();
        size_t count = 0;
        bool sameKeys = !objects_.empty();  // so far, as the record before
        forEachProp(packed, [&](std::string_view k, std::string_view v) {
            // Keys as the record before's (which were told apart already)
            // cannot repeat an earlier key of this one.
            sameKeys = sameKeys && count < lastCount_ && lastKeys_[count] == k;
            if (!sameKeys)
                for (size_t i = 0; i < count; i++)
                    if (seen[i] == k) return;
            if (count == kMaxProps) return;  // beyond what the mirror keeps of an object
            size_t at = count;
            seen[count++] = k;
            if (!sameKeys) names_[at] = cache.get(k);
            v8::Local<v8::Value> value;
            if (ownText && v == *ownText) {
                value = own;
            } else if (sameKeys && lastValueTexts_[at] == v && !lastValues_[at].IsEmpty()) {
                // As the record before under the same key ("true", a client id...).
                value = lastValues_[at];
            } else if (repeats(k)) {
                value = cache.get(v);
            } else {
                value = text(v);
            }
            values_[at] = value;
            lastValueTexts_[at] = v;
            lastValues_[at] = value;
        });
        if (!(sameKeys && count == lastCount_)) {
            std::copy(seen, seen + count, lastKeys_.begin());
            lastCount_ = count;
        }
        v8::Isolate* isolate = v8::Isolate::GetCurrent();
        if (prototype_.IsEmpty()) prototype_ = js::objectPrototype(isolate);
        objects_.push_back(v8::Object::New(isolate, prototype_, names_.data(), values_.data(), count));
    }

    // The builder's last argument: the objects.
    void appendArguments(std::vector<v8::Local<v8::Value>>& argv) {
        if (enabled_) argv.push_back(js::array(objects_));
    }

    void reserve(size_t records) {
        if (enabled_) objects_.reserve(records);
    }

    bool enabled() const { return enabled_; }

    // Values of these keys repeat from record to record (one factory, client
    // or class for many objects, a node's name on each of its ports): they
    // are made once per listing.
    static bool repeats(std::string_view key) {
        // By length first: this runs for every property of every record.
        switch (key.size()) {
            case 7:
                return key == "node.id";
            case 9:
                return key == "client.id" || key == "node.name" || key == "port.name";
            case 10:
                return key == "factory.id" || key == "format.dsp";
            case 11:
                return key == "media.class";
            case 13:
                return key == "audio.channel";
            case 14:
                return key == "port.direction";
            case 15:
                return key == "link.input.node";
            case 16:
                return key == "link.output.node";
            default:
                return false;
        }
    }

    // Other values (serials, paths, ids) mostly differ from record to record,
    // so they are made directly; ASCII, the usual case, without UTF-8
    // decoding.
    static v8::Local<v8::Value> text(std::string_view v) {
        v8::Isolate* isolate = v8::Isolate::GetCurrent();
        for (char ch : v) {
            if (static_cast<unsigned char>(ch) >= 0x80)
                return Nan::New(v.data(), static_cast<int>(v.size())).ToLocalChecked();
        }
        return v8::String::NewFromOneByte(isolate, reinterpret_cast<const uint8_t*>(v.data()),
                                          v8::NewStringType::kNormal, static_cast<int>(v.size()))
            .ToLocalChecked();
    }

private:
    bool enabled_;
    // The keys of this record and of the record before; the texts are the
    // listing's copies of the records.
    std::vector<std::string_view> seen_, lastKeys_;
    size_t lastCount_ = 0;
    // The values of the record before, by place.
    std::vector<std::string_view> lastValueTexts_;
    std::vector<v8::Local<v8::Value>> lastValues_;
    std::vector<v8::Local<v8::Name>> names_;  // of the record being made: the record before's while the keys are
    std::vector<v8::Local<v8::Value>> values_;
    v8::Local<v8::Value> prototype_;  // Object.prototype, once looked up
    std::vector<v8::Local<v8::Value>> objects_;
};

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
    // `props`: the props column of the Graph's listings, or a disabled one.
    v8::MaybeLocal<v8::Value> build(Listed kind, PropsColumn& props) {
        v8::Isolate* isolate = v8::Isolate::GetCurrent();
        std::vector<v8::Local<v8::Value>> slots(count_, v8::Undefined(isolate));
        v8::Local<v8::Array> result = js::array(slots);
        size_t bytes = store_->ByteLength();
        v8::Local<v8::ArrayBuffer> buffer = v8::ArrayBuffer::New(isolate, store_);
        std::vector<v8::Local<v8::Value>> argv = {result, v8::Uint32Array::New(buffer, 0, bytes / sizeof(uint32_t))};
        for (auto& column : texts_) argv.push_back(js::array(column));
        props.appendArguments(argv);
        js::Builder builder =
            js::Builder(props.enabled() ? kind + unsigned(js::Builder::NodesWithInfo) : unsigned(kind));
        if (js::build(builder, int(argv.size()), argv.data()).IsEmpty()) return {};
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

// The node a Graph listing is narrowed to: `only` is true and `node` set
// when its first argument is a node id; false when it has none. Throws a
// TypeError (and returns false) for anything else.
bool narrowedTo(const Nan::FunctionCallbackInfo<v8::Value>& info, const char* usage, bool& only, uint32_t& node) {
    only = info.Length() > 0 && !info[0]->IsUndefined();
    if (!only) return true;
    if (!info[0]->IsUint32()) {
        Nan::ThrowTypeError(usage);
        return false;
    }
    node = Nan::To<uint32_t>(info[0]).FromJust();
    return true;
}

// `node`: when `only`, the one node listed (none if it is not there);
// copied alone under the lock, so that a caller after one node does not
// pay for the whole graph.
void listNodes(const Nan::FunctionCallbackInfo<v8::Value>& info, bool withProps, bool only = false, uint32_t node = 0) {
    PwContext* ctx = getContext();
    std::vector<NodeInfo> nodes;
    {
        LockGuard lock(ctx->mutex);
        if (!only)
            nodes = ctx->nodes;
        else
            std::copy_if(ctx->nodes.begin(), ctx->nodes.end(), std::back_inserter(nodes),
                         [node](const NodeInfo& n) { return n.id == node; });
    }
    js::StringCache cache;  // media classes and property texts repeat from node to node
    Columns c(nodes.size(), 6, withProps ? 4 : 2);
    PropsColumn props(withProps);
    props.reserve(nodes.size());
    uint32_t* u = c.numbers;
    for (const NodeInfo& n : nodes) {
        *u++ = n.id;
        *u++ = n.version;
        *u++ = n.inputPorts;
        *u++ = n.outputPorts;
        *u++ = n.isInput;
        *u++ = n.isOutput;
        // With properties, the name is made once for the column and "node.name".
        v8::Local<v8::Value> name = js::str(n.name);
        c.text(0).push_back(name);
        c.text(1).push_back(cache.get(n.mediaClass));
        props.add(n.props, cache, &n.name, name);
        if (withProps) {
            c.text(2).push_back(js::nodeState(n.state));
            c.text(3).push_back(js::errorText(n.error));
        }
    }
    setResult(info, c.build(kNodes, props));
}

// `node`: when `only`, the ports of that node alone.
void listPorts(const Nan::FunctionCallbackInfo<v8::Value>& info, bool withProps, bool only = false, uint32_t node = 0) {
    PwContext* ctx = getContext();
    std::vector<PortInfo> ports;
    {
        LockGuard lock(ctx->mutex);
        if (!only)
            ports = ctx->ports;
        else
            std::copy_if(ctx->ports.begin(), ctx->ports.end(), std::back_inserter(ports),
                         [node](const PortInfo& p) { return p.nodeId == node; });
    }
    js::StringCache cache;  // port names repeat from node to node
    Columns c(ports.size(), 4, withProps ? 3 : 1);
    PropsColumn props(withProps);
    props.reserve(ports.size());
    uint32_t* u = c.numbers;
    for (const PortInfo& p : ports) {
        *u++ = p.id;
        *u++ = p.nodeId;
        *u++ = p.direction;
        *u++ = p.portType;
        c.text(0).push_back(cache.get(p.name));
        props.add(p.props, cache);
        if (withProps) {
            c.text(1).push_back(js::formatObject(p.format));
            c.text(2).push_back(p.dataType ? v8::Local<v8::Value>(cache.get(p.dataType))
                                           : v8::Local<v8::Value>(Nan::Null()));
        }
    }
    setResult(info, c.build(kPorts, props));
}

void listLinks(const Nan::FunctionCallbackInfo<v8::Value>& info, bool withProps) {
    PwContext* ctx = getContext();
    static const std::string kUnknown = "unknown";
    std::vector<LinkInfo> links;
    // Per link: its nodes' names and, for the nineteen's listing, its format text.
    std::vector<std::string> texts;
    // For the Graph's listing: the latency of each link's output port.
    std::vector<LatencyRef> latencies;
    {
        LockGuard lock(ctx->mutex);
        links = ctx->links;
        if (withProps && !links.empty()) {
            std::unordered_map<uint32_t, const LatencyRef*> byPort;
            byPort.reserve(ctx->ports.size());
            for (const PortInfo& p : ctx->ports)
                if (p.latency) byPort[p.id] = &p.latency;
            latencies.reserve(links.size());
            for (const LinkInfo& l : links) {
                auto it = byPort.find(l.srcPortId);
                latencies.push_back(it == byPort.end() ? nullptr : *it->second);
            }
        }
        // Node names by id, built once per call: linear in nodes + links. A
        // later record with the same id replaces an earlier one, as a walk
        // over the whole node list would.
        std::unordered_map<uint32_t, const std::string*> names;
        if (!links.empty()) {
            names.reserve(ctx->nodes.size());
            for (const NodeInfo& n : ctx->nodes) names[n.id] = &n.name;
        }
        auto nameOf = [&](uint32_t id) {
            auto it = names.find(id);
            return it == names.end() ? std::string() : *it->second;
        };
        texts.reserve(links.size() * 3);
        for (const LinkInfo& l : links) {
            texts.push_back(nameOf(l.srcNodeId));
            texts.push_back(nameOf(l.sinkNodeId));
            const std::string* format = withProps ? nullptr : linkFormatLocked(ctx, l.id);
            texts.push_back(format ? *format : kUnknown);
        }
    }
    js::StringCache cache;  // node names repeat from link to link
    Columns c(links.size(), 5, withProps ? 6 : 3);
    js::LatencyObjects latencyObjects;
    PropsColumn props(withProps);
    props.reserve(links.size());
    uint32_t* u = c.numbers;
    const std::string* text = texts.data();
    for (const LinkInfo& l : links) {
        *u++ = l.id;
        *u++ = l.srcNodeId;
        *u++ = l.srcPortId;
        *u++ = l.sinkNodeId;
        *u++ = l.sinkPortId;
        c.text(0).push_back(cache.get(text[0]));
        c.text(1).push_back(cache.get(text[1]));
        if (withProps) {
            c.text(2).push_back(js::formatObject(l.format));
            c.text(3).push_back(js::linkState(l.state));
            c.text(4).push_back(js::errorText(l.error));
            c.text(5).push_back(latencyObjects.get(latencies[&l - links.data()], SPA_DIRECTION_INPUT));
        } else {
            c.text(2).push_back(cache.get(text[2]));
        }
        text += 3;
        props.add(l.props, cache);
    }
    setResult(info, c.build(kLinks, props));
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
// graphNodes([nodeId]), graphPorts([nodeId]): the Graph's listings, of
// every node (port), or of the one node (its ports) when an id is given.
NAN_METHOD(graphNodes) {
    bool only;
    uint32_t node = 0;
    if (narrowedTo(info, "graphNodes: expected a node id or nothing", only, node)) listNodes(info, true, only, node);
}
NAN_METHOD(graphPorts) {
    bool only;
    uint32_t node = 0;
    if (narrowedTo(info, "graphPorts: expected a node id or nothing", only, node)) listPorts(info, true, only, node);
}
NAN_METHOD(graphLinks) {
    listLinks(info, true);
}

// graphMetadataDropped(): [{ id, name, dropped }], one per bound metadata
// object: how many entries other clients set that its bounds left out.
NAN_METHOD(graphMetadataDropped) {
    v8::Local<v8::Context> context = Nan::GetCurrentContext();
    std::vector<v8::Local<v8::Value>> list;
    for (const MetadataDropped& m : metadataDropped(getContext())) {
        v8::Local<v8::Object> o = Nan::New<v8::Object>();
        js::set(context, o, js::kId, js::num(m.id));
        js::set(context, o, js::kName, js::str(m.name));
        static_cast<void>(o->CreateDataProperty(context, Nan::New("dropped").ToLocalChecked(), js::num64(m.dropped))
                              .FromMaybe(false));
        list.push_back(o);
    }
    info.GetReturnValue().Set(js::array(list));
}
