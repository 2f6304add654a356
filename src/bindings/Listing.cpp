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
#include <algorithm>
#include <cstring>
#include <memory>
#include <optional>
#include <string>
#include <unordered_map>

#include "Exports.h"
#include "InfoValues.h"
#include "JsValues.h"
#include "../core/PackedProps.h"
#include "../connection/PwContext.h"

namespace {

// Each builder comes plain (the listings of the nineteen) and with the
// Graph's columns: the same object, with `props` and the live info last (a
// link's `format` is then the negotiated format). The Graph's extra text
// columns come before the props arguments.
#define PROPS_PARAMS ", F, fv, vs"
#define PROPS_PRELUDE ""
#define PROPS_FIELD ", props: F[fv[2 * i]](vs, fv[2 * i + 1])"
#define NODE_INFO_PARAMS ", states, errors" PROPS_PARAMS
#define NODE_INFO_FIELDS PROPS_FIELD ", state: states[i], error: errors[i]"
#define PORT_INFO_PARAMS ", formats" PROPS_PARAMS
#define PORT_INFO_FIELDS PROPS_FIELD ", format: formats[i]"
#define LINK_INFO_PARAMS ", states, errors" PROPS_PARAMS
#define LINK_INFO_FIELDS PROPS_FIELD ", state: states[i], error: errors[i]"

#define NODE_BUILDER(PARAMS, PRELUDE, PROPS)                                                         \
    "(function (out, u, names, types" PARAMS ") {" PRELUDE                                           \
    " for (let i = 0; i < out.length; i++) { const j = i * 6;"                                       \
    " out[i] = { id: u[j], name: names[i], type: types[i], version: u[j + 1], inputPorts: u[j + 2]," \
    " outputPorts: u[j + 3], isInput: (u[j + 4] & 1) === 1, isOutput: (u[j + 5] & 1) === 1" PROPS " }; } })"
#define PORT_BUILDER(PARAMS, PRELUDE, PROPS)                   \
    "(function (out, u, names" PARAMS ") {" PRELUDE            \
    " for (let i = 0; i < out.length; i++) { const j = i * 4;" \
    " out[i] = { id: u[j], nodeId: u[j + 1], name: names[i], direction: u[j + 2], portType: u[j + 3]" PROPS " }; } })"
#define LINK_BUILDER(PARAMS, PRELUDE, PROPS)                                                                 \
    "(function (out, u, srcNames, sinkNames, formats" PARAMS ") {" PRELUDE                                   \
    " for (let i = 0; i < out.length; i++) {"                                                                \
    " const j = i * 5; out[i] = { id: u[j], srcNodeId: u[j + 1], srcPortId: u[j + 2], sinkNodeId: u[j + 3]," \
    " sinkPortId: u[j + 4], srcNodeName: srcNames[i], sinkNodeName: sinkNames[i], format: formats[i]" PROPS " }; } })"

const char* const kBuilders[2][3] = {
    {NODE_BUILDER("", "", ""), PORT_BUILDER("", "", ""), LINK_BUILDER("", "", "")},
    {NODE_BUILDER(NODE_INFO_PARAMS, PROPS_PRELUDE, NODE_INFO_FIELDS),
     PORT_BUILDER(PORT_INFO_PARAMS, PROPS_PRELUDE, PORT_INFO_FIELDS),
     LINK_BUILDER(LINK_INFO_PARAMS, PROPS_PRELUDE, LINK_INFO_FIELDS)},
};
enum Builder { kNodes, kPorts, kLinks };
v8::Eternal<v8::Function> gBuilders[2][3];

// The properties of the records. Records whose keys come in the same order
// share a small compiled function that makes their object as a literal: V8
// makes such objects many times faster than defining the properties one by
// one. The functions are compiled once per key sequence and kept; they read
// only their arguments, so no user code runs. Every key is an ordinary data
// property ("__proto__" is written as a computed key), and a key the daemon
// repeated keeps its first value, as the mirror's own lookups do.
class PropsColumn {
public:
    // As many properties as the mirror keeps of an object's info.
    static constexpr size_t kMaxKeys = 1024;

    explicit PropsColumn(bool enabled) : enabled_(enabled) {
        if (!enabled_) return;
        seen_.resize(kMaxKeys);
        lastKeys_.resize(kMaxKeys);
        lastValueTexts_.resize(kMaxKeys);
        lastValues_.resize(kMaxKeys);
    }

    // `own`: a text of the record the caller has already made (a node's
    // name), used for a value equal to it instead of a cache lookup.
    void add(const std::string& packed, js::StringCache& cache, const std::string* ownText = nullptr,
             v8::Local<v8::Value> own = {}) {
        if (!enabled_) return;
        std::string_view* seen = seen_.data();
        size_t count = 0;
        bool sameKeys = !factories_.empty();  // so far, as the record before
        uint32_t first = uint32_t(values_.size());
        forEachProp(packed, [&](std::string_view k, std::string_view v) {
            // Keys as the record before's (which were told apart already)
            // cannot repeat an earlier key of this one.
            sameKeys = sameKeys && count < lastCount_ && lastKeys_[count] == k;
            if (!sameKeys)
                for (size_t i = 0; i < count; i++)
                    if (seen[i] == k) return;
            if (count == kMaxKeys) return;  // beyond what the mirror keeps of an info
            size_t at = count;
            seen[count++] = k;
            if (ownText && v == *ownText) {
                values_.push_back(own);
            } else if (sameKeys && lastValueTexts_[at] == v && !lastValues_[at].IsEmpty()) {
                // As the record before under the same key ("true", a client id...).
                values_.push_back(lastValues_[at]);
            } else if (repeats(k)) {
                values_.push_back(cache.get(v));
            } else {
                values_.push_back(text(v));
            }
            lastValueTexts_[at] = v;
            lastValues_[at] = values_.back();
        });
        fv_.push_back(sameKeys && count == lastCount_ ? lastIndex_ : factoryIndex(seen, count));
        fv_.push_back(first);
    }

    // The builder's last arguments: the factories, each record's factory and
    // first value, and the values.
    void appendArguments(std::vector<v8::Local<v8::Value>>& argv) {
        if (!enabled_) return;
        argv.push_back(js::array(factories_));
        v8::Isolate* isolate = v8::Isolate::GetCurrent();
        size_t bytes = fv_.size() * sizeof(uint32_t);
        std::shared_ptr<v8::BackingStore> store = v8::ArrayBuffer::NewBackingStore(isolate, bytes);
        if (bytes) std::memcpy(store->Data(), fv_.data(), bytes);
        argv.push_back(v8::Uint32Array::New(v8::ArrayBuffer::New(isolate, store), 0, fv_.size()));
        argv.push_back(js::array(values_));
    }

    void reserve(size_t records) {
        if (!enabled_) return;
        fv_.reserve(records * 2);
        values_.reserve(records * 8);
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
    // Records of one kind mostly come with the same keys in a row: add()
    // reuses the last index for those, without making the signature. The
    // keys are the mirror's texts, read under the graph lock like every add().
    uint32_t factoryIndex(const std::string_view* keys, size_t count) {
        std::copy(keys, keys + count, lastKeys_.begin());
        lastCount_ = count;
        signature_.clear();
        for (size_t i = 0; i < count; i++) signature_.append(keys[i]).push_back('\0');
        auto used = used_.find(signature_);
        if (used != used_.end()) return lastIndex_ = used->second;
        v8::Local<v8::Function> factory = factoryFor(keys, count);
        uint32_t index = uint32_t(factories_.size());
        factories_.push_back(factory);
        used_.emplace(signature_, index);
        return lastIndex_ = index;
    }

    v8::Local<v8::Function> factoryFor(const std::string_view* keys, size_t count) {
        static std::unordered_map<std::string, std::unique_ptr<v8::Eternal<v8::Function>>> compiled;
        auto it = compiled.find(signature_);
        if (it == compiled.end()) {
            // Key sequences are few (one per kind of object); a daemon that
            // announced ever new ones would only make the cache start over.
            if (compiled.size() >= 1024) compiled.clear();
            std::string source = "(function (v, o) { return {";
            for (size_t i = 0; i < count; i++) {
                if (i) source += ",";
                bool proto = keys[i] == "__proto__";
                if (proto) source += "[";
                quote(source, keys[i]);
                if (proto) source += "]";
                source += ": v[o + " + std::to_string(i) + "]";
            }
            source += "}; })";
            it = compiled.emplace(signature_, std::make_unique<v8::Eternal<v8::Function>>()).first;
            js::compiledFunction(*it->second, source.c_str());
        }
        return it->second->Get(v8::Isolate::GetCurrent());
    }

    // A JavaScript string literal of the text (UTF-8 passes through).
    static void quote(std::string& out, std::string_view text) {
        static const char kHex[] = "0123456789abcdef";
        out.push_back('"');
        for (char ch : text) {
            unsigned char c = static_cast<unsigned char>(ch);
            if (c == '"' || c == '\\') {
                out.push_back('\\');
                out.push_back(ch);
            } else if (c < 0x20) {
                out += "\\u00";
                out.push_back(kHex[c >> 4]);
                out.push_back(kHex[c & 15]);
            } else {
                out.push_back(ch);
            }
        }
        out.push_back('"');
    }

    bool enabled_;
    std::string signature_;
    std::vector<std::string_view> seen_, lastKeys_;
    // The values of the record before, by place: the mirror's texts, read
    // under the graph lock like the keys.
    std::vector<std::string_view> lastValueTexts_;
    std::vector<v8::Local<v8::Value>> lastValues_;
    size_t lastCount_ = 0;
    uint32_t lastIndex_ = 0;
    std::unordered_map<std::string, uint32_t> used_;
    std::vector<v8::Local<v8::Value>> factories_, values_;
    std::vector<uint32_t> fv_;  // each record's factory and first value
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
    v8::MaybeLocal<v8::Value> build(Builder kind, PropsColumn& props) {
        bool withProps = props.enabled();
        v8::Isolate* isolate = v8::Isolate::GetCurrent();
        v8::Local<v8::Function> builder = js::compiledFunction(gBuilders[withProps][kind], kBuilders[withProps][kind]);
        std::vector<v8::Local<v8::Value>> slots(count_, v8::Undefined(isolate));
        v8::Local<v8::Array> result = js::array(slots);
        size_t bytes = store_->ByteLength();
        v8::Local<v8::ArrayBuffer> buffer = v8::ArrayBuffer::New(isolate, store_);
        std::vector<v8::Local<v8::Value>> argv = {result, v8::Uint32Array::New(buffer, 0, bytes / sizeof(uint32_t))};
        for (auto& column : texts_) argv.push_back(js::array(column));
        props.appendArguments(argv);
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
    std::optional<Columns> c;
    PropsColumn props(withProps);
    {
        LockGuard lock(ctx->mutex);
        c.emplace(ctx->nodes.size(), 6, withProps ? 4 : 2);
        props.reserve(ctx->nodes.size());
        uint32_t* u = c->numbers;
        for (const NodeInfo& n : ctx->nodes) {
            *u++ = n.id;
            *u++ = n.version;
            *u++ = n.inputPorts;
            *u++ = n.outputPorts;
            *u++ = n.isInput;
            *u++ = n.isOutput;
            // With properties, the name is made once for the column and "node.name".
            v8::Local<v8::Value> name = js::str(n.name);
            c->text(0).push_back(name);
            c->text(1).push_back(cache.get(n.mediaClass));
            props.add(n.props, cache, &n.name, name);
            if (withProps) {
                c->text(2).push_back(js::nodeState(n.state));
                c->text(3).push_back(js::errorText(n.error));
            }
        }
    }
    // Built once the lock is released: nothing of the mirror is read any
    // more, and whatever the objects' creation may run cannot block on it.
    setResult(info, c->build(kNodes, props));
}

void listPorts(const Nan::FunctionCallbackInfo<v8::Value>& info, bool withProps) {
    PwContext* ctx = getContext();
    js::StringCache cache;  // port names repeat from node to node
    std::optional<Columns> c;
    PropsColumn props(withProps);
    {
        LockGuard lock(ctx->mutex);
        c.emplace(ctx->ports.size(), 4, withProps ? 2 : 1);
        props.reserve(ctx->ports.size());
        uint32_t* u = c->numbers;
        for (const PortInfo& p : ctx->ports) {
            *u++ = p.id;
            *u++ = p.nodeId;
            *u++ = p.direction;
            *u++ = p.portType;
            c->text(0).push_back(cache.get(p.name));
            props.add(p.props, cache);
            if (withProps) c->text(1).push_back(js::formatObject(p.format));
        }
    }
    // Built once the lock is released: nothing of the mirror is read any
    // more, and whatever the objects' creation may run cannot block on it.
    setResult(info, c->build(kPorts, props));
}

void listLinks(const Nan::FunctionCallbackInfo<v8::Value>& info, bool withProps) {
    PwContext* ctx = getContext();
    static const std::string kEmpty, kUnknown = "unknown";
    js::StringCache cache;  // node names repeat from link to link
    std::optional<Columns> c;
    PropsColumn props(withProps);
    {
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
        c.emplace(ctx->links.size(), 5, withProps ? 5 : 3);
        props.reserve(ctx->links.size());
        uint32_t* u = c->numbers;
        for (const LinkInfo& l : ctx->links) {
            *u++ = l.id;
            *u++ = l.srcNodeId;
            *u++ = l.srcPortId;
            *u++ = l.sinkNodeId;
            *u++ = l.sinkPortId;
            auto format = ctx->linkFormats.find(l.id);
            c->text(0).push_back(cache.get(nameOf(l.srcNodeId)));
            c->text(1).push_back(cache.get(nameOf(l.sinkNodeId)));
            if (withProps) {
                c->text(2).push_back(js::formatObject(l.format));
                c->text(3).push_back(js::linkState(l.state));
                c->text(4).push_back(js::errorText(l.error));
            } else {
                c->text(2).push_back(cache.get(format == ctx->linkFormats.end() ? kUnknown : format->second));
            }
            props.add(l.props, cache);
        }
    }
    // Built once the lock is released: nothing of the mirror is read any
    // more, and whatever the objects' creation may run cannot block on it.
    setResult(info, c->build(kLinks, props));
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
