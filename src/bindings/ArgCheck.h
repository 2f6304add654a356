// The one argument check every exported function with required arguments
// uses, so that every rejection reads the same way.
#pragma once

#include <nan.h>

#include <initializer_list>
#include <string>

enum class ArgKind { Number, String, Function };

// Checks the count, then each kind left to right. On failure throws a
// TypeError with `message` and returns false.
inline bool checkArgs(const Nan::FunctionCallbackInfo<v8::Value>& info, std::initializer_list<ArgKind> kinds,
                      const char* message) {
    bool ok = info.Length() >= static_cast<int>(kinds.size());
    int i = 0;
    for (ArgKind kind : kinds) {
        if (!ok) break;
        v8::Local<v8::Value> arg = info[i++];
        ok = kind == ArgKind::Number ? arg->IsNumber() : kind == ArgKind::String ? arg->IsString() : arg->IsFunction();
    }
    if (!ok) Nan::ThrowTypeError(message);
    return ok;
}

// ToUint32 of an argument that passed the check; 0 if the conversion fails.
inline uint32_t argUint32(const Nan::FunctionCallbackInfo<v8::Value>& info, int index) {
    return Nan::To<uint32_t>(info[index]).FromMaybe(0);
}

// UTF-8 text of an argument, up to its first NUL byte.
inline std::string argText(v8::Local<v8::Value> value) {
    Nan::Utf8String utf8(value);
    return std::string(*utf8 ? *utf8 : "");
}
