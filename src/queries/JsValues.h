// Small helpers that turn mirror values into JavaScript values.
#pragma once

#include <nan.h>

#include <cstdint>
#include <string>

namespace js {

inline v8::Local<v8::String> str(const std::string& s) {
    // Over the whole length, so an embedded NUL byte stays in the string.
    return Nan::New(s.data(), static_cast<int>(s.size())).ToLocalChecked();
}

inline v8::Local<v8::Number> num(uint32_t v) { return Nan::New<v8::Number>(static_cast<double>(v)); }

inline v8::Local<v8::Number> num64(uint64_t v) { return Nan::New<v8::Number>(static_cast<double>(v)); }

inline void set(v8::Local<v8::Object> obj, const char* key, v8::Local<v8::Value> value) {
    Nan::Set(obj, Nan::New(key).ToLocalChecked(), value);
}

}  // namespace js
