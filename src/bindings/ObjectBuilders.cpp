// setObjectBuilders, and the native builders used without it.
//
// Object literals made by a plain JavaScript function over columns cost V8 a
// fraction of defining each property through the C++ API, so the package's
// loader hands its builders over as it loads the add-on. The add-on is a
// module of its own all the same: required alone, it makes the same objects
// here, as ordinary data properties (no setter a script put on a prototype
// runs), in the same order.
#include "ObjectBuilders.h"

#include <cstdint>
#include <string>
#include <vector>

#include "JsValues.h"

namespace {

v8::Eternal<v8::Function> gBuilders[js::kBuilderCount];

// Where a listing's property comes from: the record's numbers (a number, or
// a flag in its lowest bit) or a column of values, by index.
enum From : uint8_t { kNumber, kFlag, kColumn };
struct Field {
    js::Key key;
    From from;
    uint8_t at;
};
struct Listing {
    unsigned stride;  // numbers per record
    const Field* fields;
    size_t count;
};

// clang-format off
// nodes(out, u, names, types[, states, errors, props])
constexpr Field kNodeFields[] = {
    {js::kId, kNumber, 0}, {js::kName, kColumn, 0}, {js::kType, kColumn, 1}, {js::kVersion, kNumber, 1},
    {js::kInputPorts, kNumber, 2}, {js::kOutputPorts, kNumber, 3}, {js::kIsInput, kFlag, 4}, {js::kIsOutput, kFlag, 5},
    {js::kProps, kColumn, 4}, {js::kState, kColumn, 2}, {js::kError, kColumn, 3}};
// ports(out, u, names[, formats, types, props])
constexpr Field kPortFields[] = {
    {js::kId, kNumber, 0}, {js::kNodeId, kNumber, 1}, {js::kName, kColumn, 0}, {js::kDirection, kNumber, 2},
    {js::kPortType, kNumber, 3}, {js::kType, kColumn, 2}, {js::kProps, kColumn, 3}, {js::kFormat, kColumn, 1}};
// links(out, u, srcNames, sinkNames, formats[, states, errors, latencies, props])
constexpr Field kLinkFields[] = {
    {js::kId, kNumber, 0}, {js::kSrcNodeId, kNumber, 1}, {js::kSrcPortId, kNumber, 2}, {js::kSinkNodeId, kNumber, 3},
    {js::kSinkPortId, kNumber, 4}, {js::kSrcNodeName, kColumn, 0}, {js::kSinkNodeName, kColumn, 1},
    {js::kFormat, kColumn, 2}, {js::kProps, kColumn, 6}, {js::kState, kColumn, 3}, {js::kError, kColumn, 4},
    {js::kLatency, kColumn, 5}};

// By builder: the plain listings take the first fields, those with info all.
constexpr Listing kListings[] = {
    {6, kNodeFields, 8}, {4, kPortFields, 5}, {5, kLinkFields, 8},
    {6, kNodeFields, 11}, {4, kPortFields, 8}, {5, kLinkFields, 12}};

// The positional builders: one property per argument, in order.
constexpr js::Key kFormatKeys[] = {js::kMediaType, js::kMediaSubtype, js::kSampleFormat, js::kRate, js::kChannels,
                                   js::kPositions};
constexpr js::Key kNodeEventKeys[] = {js::kId, js::kName, js::kType, js::kVersion, js::kInputPorts, js::kOutputPorts,
                                      js::kIsInput, js::kIsOutput, js::kProps, js::kState, js::kError, js::kVolume,
                                      js::kChannelVolumes, js::kMute};
constexpr js::Key kPortEventKeys[] = {js::kId,       js::kNodeId, js::kName,  js::kDirection,
                                      js::kPortType, js::kType,   js::kProps, js::kFormat};
constexpr js::Key kLinkEventKeys[] = {js::kId, js::kSrcNodeId, js::kSrcPortId, js::kSinkNodeId, js::kSinkPortId,
                                      js::kProps, js::kState, js::kError, js::kFormat};
// clang-format on

// Fills `argv[0]` (an array of `out.length` elements) with one object per
// record, as the listing's builder does.
v8::MaybeLocal<v8::Value> buildListing(const Listing& listing, int argc, v8::Local<v8::Value>* argv) {
    v8::Isolate* isolate = v8::Isolate::GetCurrent();
    v8::Local<v8::Context> context = isolate->GetCurrentContext();
    v8::Local<v8::Array> out = argv[0].As<v8::Array>();
    v8::Local<v8::Uint32Array> numbers = argv[1].As<v8::Uint32Array>();
    std::vector<uint32_t> u(numbers->Length());
    if (!u.empty()) numbers->CopyContents(u.data(), u.size() * sizeof(uint32_t));
    std::vector<v8::Local<v8::Array>> columns;
    for (int i = 2; i < argc; i++) columns.push_back(argv[i].As<v8::Array>());
    uint32_t count = out->Length();
    for (uint32_t i = 0; i < count; i++) {
        v8::Local<v8::Object> o = v8::Object::New(isolate);
        const uint32_t* record = u.data() + size_t(i) * listing.stride;
        for (size_t f = 0; f < listing.count; f++) {
            const Field& field = listing.fields[f];
            v8::Local<v8::Value> value;
            if (field.from == kNumber) {
                value = js::num(record[field.at]);
            } else if (field.from == kFlag) {
                value = Nan::New((record[field.at] & 1) == 1);
            } else if (field.at >= columns.size() || !columns[field.at]->Get(context, i).ToLocal(&value)) {
                return {};
            }
            js::set(context, o, field.key, value);
        }
        if (!out->CreateDataProperty(context, i, o).FromMaybe(false)) return {};
    }
    return v8::Undefined(isolate);
}

// An object of one property per argument; `skip(i)` leaves argument i out.
template <size_t N, typename Skip>
v8::MaybeLocal<v8::Value> buildRecord(const js::Key (&keys)[N], int argc, v8::Local<v8::Value>* argv, Skip skip) {
    v8::Local<v8::Context> context = Nan::GetCurrentContext();
    v8::Local<v8::Object> o = Nan::New<v8::Object>();
    for (size_t i = 0; i < N && int(i) < argc; i++)
        if (!skip(i)) js::set(context, o, keys[i], argv[i]);
    return o;
}

v8::MaybeLocal<v8::Value> buildNatively(js::Builder kind, int argc, v8::Local<v8::Value>* argv) {
    auto none = [](size_t) { return false; };
    switch (kind) {
        case js::Builder::Format:
            return buildRecord(kFormatKeys, argc, argv, none);
        case js::Builder::NodeEvent: {
            // volume and channelVolumes where the node has a volume, mute where it has one.
            bool noVolume = argc > 12 && argv[12]->IsNull();
            bool noMute = argc > 13 && argv[13]->IsNull();
            return buildRecord(kNodeEventKeys, argc, argv,
                               [&](size_t i) { return (noVolume && (i == 11 || i == 12)) || (noMute && i == 13); });
        }
        case js::Builder::PortEvent:
            return buildRecord(kPortEventKeys, argc, argv, none);
        case js::Builder::LinkEvent:
            return buildRecord(kLinkEventKeys, argc, argv, none);
        default:
            return buildListing(kListings[unsigned(kind)], argc, argv);
    }
}

}  // namespace

namespace js {

v8::MaybeLocal<v8::Value> build(Builder kind, int argc, v8::Local<v8::Value>* argv) {
    v8::Eternal<v8::Function>& given = gBuilders[unsigned(kind)];
    if (given.IsEmpty()) return buildNatively(kind, argc, argv);
    return given.Get(v8::Isolate::GetCurrent())->Call(Nan::GetCurrentContext(), Nan::Undefined(), argc, argv);
}

}  // namespace js

NAN_METHOD(setObjectBuilders) {
    v8::Local<v8::Context> context = Nan::GetCurrentContext();
    v8::Local<v8::Value> given = info[0];
    const std::string usage =
        "setObjectBuilders: expected an array of " + std::to_string(js::kBuilderCount) + " functions";
    if (!given->IsArray() || given.As<v8::Array>()->Length() != js::kBuilderCount)
        return Nan::ThrowTypeError(usage.c_str());
    v8::Local<v8::Function> functions[js::kBuilderCount];
    for (unsigned i = 0; i < js::kBuilderCount; i++) {
        v8::Local<v8::Value> f;
        if (!given.As<v8::Array>()->Get(context, i).ToLocal(&f)) return;
        if (!f->IsFunction()) return Nan::ThrowTypeError(usage.c_str());
        functions[i] = f.As<v8::Function>();
    }
    for (unsigned i = 0; i < js::kBuilderCount; i++) gBuilders[i].Set(info.GetIsolate(), functions[i]);
}
