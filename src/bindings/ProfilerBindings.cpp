// graphHasProfiler / graphProfiler: the daemon's profiler for
// lib/features/profiler.js; profiles reach the Graph as "profile" events.
#include "../connection/PwContext.h"
#include "../features/profiler/Profiler.h"
#include "Exports.h"
#include "Handoffs.h"

// graphHasProfiler(): whether the daemon announced a profiler.
NAN_METHOD(graphHasProfiler) {
    info.GetReturnValue().Set(hasProfiler(getContext()));
}

// graphProfiler(on): starts or stops listening; false without a connection.
NAN_METHOD(graphProfiler) {
    if (info.Length() < 1 || !info[0]->IsBoolean()) {
        Nan::ThrowTypeError("graphProfiler requires (on)");
        return;
    }
    info.GetReturnValue().Set(handedOver(requestProfiler(getContext(), info[0]->IsTrue())));
}

namespace {

v8::Local<v8::Array> pair(uint32_t a, uint32_t b) {
    v8::Local<v8::Array> o = Nan::New<v8::Array>(2);
    Nan::Set(o, 0, Nan::New(a));
    Nan::Set(o, 1, Nan::New(b));
    return o;
}

void setBlock(v8::Local<v8::Object> o, const ProfileBlock& b) {
    Nan::Set(o, Nan::New("id").ToLocalChecked(), Nan::New(b.id));
    Nan::Set(o, Nan::New("name").ToLocalChecked(), Nan::New(b.name).ToLocalChecked());
    Nan::Set(o, Nan::New("signal").ToLocalChecked(), Nan::New(double(b.signal)));
    Nan::Set(o, Nan::New("awake").ToLocalChecked(), Nan::New(double(b.awake)));
    Nan::Set(o, Nan::New("finish").ToLocalChecked(), Nan::New(double(b.finish)));
    Nan::Set(o, Nan::New("status").ToLocalChecked(), Nan::New(b.status));
    Nan::Set(o, Nan::New("errors").ToLocalChecked(), Nan::New(b.errors));
    Nan::Set(o, Nan::New("xrunCount").ToLocalChecked(), Nan::New(b.xrunCount));
    Nan::Set(o, Nan::New("async").ToLocalChecked(), Nan::New(b.async));
    Nan::Set(o, Nan::New("latency").ToLocalChecked(), pair(b.latencyNum, b.latencyDenom));
}

}  // namespace

v8::Local<v8::Value> profilePayload() {
    Profile profile;
    if (!takeProfile(getContext(), profile)) return Nan::Null();
    v8::Local<v8::Array> drivers = Nan::New<v8::Array>(uint32_t(profile.drivers.size()));
    for (uint32_t i = 0; i < profile.drivers.size(); i++) {
        const ProfileDriver& d = profile.drivers[i];
        v8::Local<v8::Object> o = Nan::New<v8::Object>();
        setBlock(o, d.block);
        Nan::Set(o, Nan::New("quantum").ToLocalChecked(), Nan::New(double(d.quantum)));
        Nan::Set(o, Nan::New("rate").ToLocalChecked(), pair(d.rateNum, d.rateDenom));
        v8::Local<v8::Array> load = Nan::New<v8::Array>(3);
        for (uint32_t k = 0; k < 3; k++) Nan::Set(load, k, Nan::New(double(d.load[k])));
        Nan::Set(o, Nan::New("load").ToLocalChecked(), load);
        Nan::Set(o, Nan::New("xruns").ToLocalChecked(), Nan::New(d.xruns));
        v8::Local<v8::Array> followers = Nan::New<v8::Array>(uint32_t(d.followers.size()));
        for (uint32_t k = 0; k < d.followers.size(); k++) {
            v8::Local<v8::Object> f = Nan::New<v8::Object>();
            setBlock(f, d.followers[k]);
            Nan::Set(followers, k, f);
        }
        Nan::Set(o, Nan::New("followers").ToLocalChecked(), followers);
        Nan::Set(drivers, i, o);
    }
    v8::Local<v8::Object> o = Nan::New<v8::Object>();
    Nan::Set(o, Nan::New("t").ToLocalChecked(), Nan::New(profile.t));
    Nan::Set(o, Nan::New("drivers").ToLocalChecked(), drivers);
    return o;
}
