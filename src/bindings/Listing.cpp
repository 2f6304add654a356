// getNodes / getPorts / getLinks: snapshots of the mirror as JavaScript arrays.
//
// The records are copied under the graph lock, which every PipeWire callback
// needs, and made into JavaScript values once it is released. Each object is
// made at once from its property names and values, so every object gets its
// properties in the listed order, as ordinary data properties: no setter a
// script may have put on Object.prototype runs (and re-enters the module).
#include <algorithm>
#include <initializer_list>
#include <string>
#include <string_view>
#include <unordered_map>

#include "../connection/PwContext.h"
#include "../core/PackedProps.h"
#include "../features/control/Metadata.h"
#include "../features/links/LinkProxies.h"
#include "Exports.h"
#include "InfoValues.h"
#include "JsValues.h"

namespace {

// The objects of one listing, all of one kind: each made from a template of
// its property names (v8::DictionaryTemplate, made once per kind and kept),
// so that every object of a kind shares one hidden class and is made with
// its values at once. Fill `values` (as many as the names), then add().
class Records {
public:
    static constexpr size_t kMaxColumns = 12;

    // `names`: the properties in order; `slot`: where the kind's template is
    // kept once made (the names must be the same at every call with it).
    Records(v8::Eternal<v8::DictionaryTemplate>& slot, std::initializer_list<std::string_view> names, size_t count)
        : isolate_(v8::Isolate::GetCurrent()), context_(isolate_->GetCurrentContext()), columns_(names.size()) {
        if (slot.IsEmpty()) slot.Set(isolate_, v8::DictionaryTemplate::New(isolate_, {names.begin(), names.size()}));
        template_ = slot.Get(isolate_);
        objects_.reserve(count);
    }

    v8::MaybeLocal<v8::Value> values[kMaxColumns];

    // One object of the values set now.
    void add() { objects_.push_back(template_->NewInstance(context_, {values, columns_})); }

    // The objects, in the order added.
    v8::Local<v8::Array> array() { return js::array(objects_); }

private:
    v8::Isolate* isolate_;
    v8::Local<v8::Context> context_;
    v8::Local<v8::DictionaryTemplate> template_;
    size_t columns_;
    std::vector<v8::Local<v8::Value>> objects_;
};

// The templates: plain (the listings of the nineteen) and with the Graph's
// columns (`props` and the live info last; a link's `format` is then the
// negotiated format).
enum Kind { kNodes, kPorts, kLinks };
v8::Eternal<v8::DictionaryTemplate> gTemplates[2][3];

// The properties of the records, each an object made at once from its keys
// and values: no code is made from what a client announced, and nothing is
// kept beyond the listing, whatever keys come. Every key is an ordinary
// data property ("__proto__" too), and a key the daemon repeated keeps its
// first value, as the mirror's own lookups do.
class PropsColumn {
public:
    PropsColumn() {
        seen_.resize(kMaxProps);
        lastKeys_.resize(kMaxProps);
        lastValueTexts_.resize(kMaxProps);
        lastValues_.resize(kMaxProps);
        names_.resize(kMaxProps);
        values_.resize(kMaxProps);
    }

    // The object of the record's properties `packed`. `own`: a text of the
    // record the caller has already made (a node's name), used for a value
    // equal to it instead of a cache lookup.
    v8::Local<v8::Value> make(const std::string& packed, js::StringCache& cache, const std::string* ownText = nullptr,
                              v8::Local<v8::Value> own = {}) {
        std::string_view* seen = seen_.data();
        size_t count = 0;
        bool sameKeys = made_;  // so far, as the record before
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
        made_ = true;
        v8::Isolate* isolate = v8::Isolate::GetCurrent();
        if (prototype_.IsEmpty()) prototype_ = js::objectPrototype(isolate);
        return v8::Object::New(isolate, prototype_, names_.data(), values_.data(), count);
    }

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
    bool made_ = false;  // an object was made: the record before's keys are known
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
};

void listNodes(const Nan::FunctionCallbackInfo<v8::Value>& info, bool withProps) {
    PwContext* ctx = getContext();
    std::vector<NodeInfo> nodes;
    {
        LockGuard lock(ctx->mutex);
        nodes = ctx->nodes;
    }
    js::StringCache cache;  // media classes and property texts repeat from node to node
    PropsColumn props;
    Records r = withProps
                    ? Records(gTemplates[1][kNodes],
                              {"id", "name", "type", "version", "inputPorts", "outputPorts", "isInput", "isOutput",
                               "props", "state", "error"},
                              nodes.size())
                    : Records(gTemplates[0][kNodes],
                              {"id", "name", "type", "version", "inputPorts", "outputPorts", "isInput", "isOutput"},
                              nodes.size());
    v8::MaybeLocal<v8::Value>* v = r.values;
    for (const NodeInfo& n : nodes) {
        // With properties, the name is made once for the column and "node.name".
        v8::Local<v8::Value> name = js::str(n.name);
        v[0] = js::num(n.id);
        v[1] = name;
        v[2] = cache.get(n.mediaClass);
        v[3] = js::num(n.version);
        v[4] = js::num(n.inputPorts);
        v[5] = js::num(n.outputPorts);
        v[6] = Nan::New(bool(n.isInput & 1));
        v[7] = Nan::New(bool(n.isOutput & 1));
        if (withProps) {
            v[8] = props.make(n.props, cache, &n.name, name);
            v[9] = js::nodeState(n.state);
            v[10] = js::errorText(n.error);
        }
        r.add();
    }
    info.GetReturnValue().Set(r.array());
}

void listPorts(const Nan::FunctionCallbackInfo<v8::Value>& info, bool withProps) {
    PwContext* ctx = getContext();
    std::vector<PortInfo> ports;
    {
        LockGuard lock(ctx->mutex);
        ports = ctx->ports;
    }
    js::StringCache cache;  // port names repeat from node to node
    PropsColumn props;
    Records r = withProps
                    ? Records(gTemplates[1][kPorts],
                              {"id", "nodeId", "name", "direction", "portType", "props", "format"}, ports.size())
                    : Records(gTemplates[0][kPorts], {"id", "nodeId", "name", "direction", "portType"}, ports.size());
    v8::MaybeLocal<v8::Value>* v = r.values;
    for (const PortInfo& p : ports) {
        v[0] = js::num(p.id);
        v[1] = js::num(p.nodeId);
        v[2] = cache.get(p.name);
        v[3] = js::num(p.direction);
        v[4] = js::num(p.portType);
        if (withProps) {
            v[5] = props.make(p.props, cache);
            v[6] = js::formatObject(p.format);
        }
        r.add();
    }
    info.GetReturnValue().Set(r.array());
}

void listLinks(const Nan::FunctionCallbackInfo<v8::Value>& info, bool withProps) {
    PwContext* ctx = getContext();
    static const std::string kUnknown = "unknown";
    std::vector<LinkInfo> links;
    // Per link: its nodes' names and, for the nineteen's listing, its format text.
    std::vector<std::string> texts;
    {
        LockGuard lock(ctx->mutex);
        links = ctx->links;
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
    PropsColumn props;
    // The Graph's `format` is the negotiated format, the nineteen's its text.
    Records r = withProps ? Records(gTemplates[1][kLinks],
                                    {"id", "srcNodeId", "srcPortId", "sinkNodeId", "sinkPortId", "srcNodeName",
                                     "sinkNodeName", "format", "props", "state", "error"},
                                    links.size())
                          : Records(gTemplates[0][kLinks],
                                    {"id", "srcNodeId", "srcPortId", "sinkNodeId", "sinkPortId", "srcNodeName",
                                     "sinkNodeName", "format"},
                                    links.size());
    v8::MaybeLocal<v8::Value>* v = r.values;
    const std::string* text = texts.data();
    for (const LinkInfo& l : links) {
        v[0] = js::num(l.id);
        v[1] = js::num(l.srcNodeId);
        v[2] = js::num(l.srcPortId);
        v[3] = js::num(l.sinkNodeId);
        v[4] = js::num(l.sinkPortId);
        v[5] = cache.get(text[0]);
        v[6] = cache.get(text[1]);
        v[7] = withProps ? js::formatObject(l.format) : v8::Local<v8::Value>(cache.get(text[2]));
        if (withProps) {
            v[8] = props.make(l.props, cache);
            v[9] = js::linkState(l.state);
            v[10] = js::errorText(l.error);
        }
        text += 3;
        r.add();
    }
    info.GetReturnValue().Set(r.array());
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
