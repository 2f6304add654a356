// setObjectBuilders: the functions listings build their objects with.
//
// Object literals made by a plain JavaScript function over columns cost V8 a
// fraction of defining each property through the C++ API; the functions live
// in lib/, where they are linted and tested like the rest of the package, and
// the loader hands them over before any script can reach the add-on.
#include "ObjectBuilders.h"

#include <string>

namespace {
v8::Eternal<v8::Function> gBuilders[js::kBuilderCount];
}

namespace js {

v8::MaybeLocal<v8::Function> builder(Builder kind) {
    if (gBuilders[unsigned(kind)].IsEmpty()) {
        Nan::ThrowError(
            "quorvane: the add-on was loaded without its loader: require the package (its object "
            "builders were not handed over)");
        return {};
    }
    return gBuilders[unsigned(kind)].Get(v8::Isolate::GetCurrent());
}

v8::MaybeLocal<v8::Value> build(Builder kind, int argc, v8::Local<v8::Value>* argv) {
    v8::Local<v8::Function> fn;
    if (!builder(kind).ToLocal(&fn)) return {};
    return fn->Call(Nan::GetCurrentContext(), Nan::Undefined(), argc, argv);
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
