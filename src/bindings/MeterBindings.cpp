// graphMeterStart / graphMeterPorts / graphMeterStop: the level meters of
// lib/features/meters. Their end and their state reach the Graph as
// "meter-ended" and "meter-state" events, through the event queue; their
// levels as "meter-level" events, taken from the meters' rings by a timer of
// this thread that runs while meters do, set for when the next of them is
// due.
#include <uv.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <string>

#include "../connection/PwContext.h"
#include "../core/Descriptors.h"
#include "../features/meters/Meters.h"
#include "ArgCheck.h"
#include "Exports.h"
#include "Handoffs.h"
#include "WakeupHandle.h"

namespace {

uv_timer_t* gPoll = nullptr;

// Delivers the levels there are, and looks again when the next is due.
void poll(uv_timer_t* timer) {
    double nextMs = deliverMeterLevels(getContext());
    if (nextMs > 0) uv_timer_start(timer, poll, uint64_t(nextMs), 0);
}

// A meter started: levels are looked for within its interval at the latest.
void startPolling(double rateHz) {
    if (!gPoll) {
        gPoll = new uv_timer_t;
        uv_timer_init(uv_default_loop(), gPoll);
        // The connection keeps the process alive, not its meters.
        uv_unref(reinterpret_cast<uv_handle_t*>(gPoll));
    }
    auto ms = uint64_t(std::max(1.0, std::floor(1000 / rateHz)));
    if (!uv_is_active(reinterpret_cast<uv_handle_t*>(gPoll)) || uv_timer_get_due_in(gPoll) > ms)
        uv_timer_start(gPoll, poll, ms, 0);
}

// The port ids of info[index], an array of at most kMaxMeterChannels numbers
// (kNoPort for a channel whose port is gone); false, with a TypeError
// thrown, otherwise.
bool portIds(Nan::NAN_METHOD_ARGS_TYPE info, int index, const char* usage, std::vector<uint32_t>& out) {
    v8::Local<v8::Array> ports = info[index].As<v8::Array>();
    v8::Local<v8::Context> context = Nan::GetCurrentContext();
    for (uint32_t i = 0; i < ports->Length(); i++) {
        v8::Local<v8::Value> port;
        if (!ports->Get(context, i).ToLocal(&port)) return false;
        if (!port->IsNumber()) {
            Nan::ThrowTypeError(usage);
            return false;
        }
        out.push_back(Nan::To<uint32_t>(port).FromMaybe(0));
    }
    return true;
}

// Throws an Error with `code` 'EMFILE' and `errno`, as Node.js reports a
// system error.
void throwEmfile(const std::string& message) {
    v8::Local<v8::Value> error = Nan::Error(message.c_str());
    v8::Local<v8::Object> fields = error.As<v8::Object>();
    Nan::Set(fields, Nan::New("code").ToLocalChecked(), Nan::New("EMFILE").ToLocalChecked());
    Nan::Set(fields, Nan::New("errno").ToLocalChecked(), Nan::New(EMFILE));
    Nan::ThrowError(error);
}

}  // namespace

// graphMeterStart(meterId, nodeId, [portId, ...], rateHz, sampleRate): false
// without a connection. Throws an Error with code 'EMFILE' when too few
// descriptors are left for the meter's stream, a RangeError past kMaxMeters
// meters.
NAN_METHOD(graphMeterStart) {
    const char* usage = "graphMeterStart requires (meterId, nodeId, portIds, rateHz, sampleRate)";
    if (info.Length() < 5 || !info[4]->IsNumber() || !info[0]->IsNumber() || !info[1]->IsNumber() ||
        !info[2]->IsArray() || !info[3]->IsNumber()) {
        Nan::ThrowTypeError(usage);
        return;
    }
    v8::Local<v8::Array> ports = info[2].As<v8::Array>();
    double rateHz = Nan::To<double>(info[3]).FromMaybe(0);
    if (ports->Length() == 0 || ports->Length() > kMaxMeterChannels || !(rateHz >= 1 && rateHz <= 60)) {
        Nan::ThrowRangeError("graphMeterStart: 1 to 64 ports, 1 to 60 levels a second");
        return;
    }
    uint32_t sampleRate = argUint32(info, 4);
    MeterRequest req{argUint32(info, 0), argUint32(info, 1), {}, rateHz, sampleRate >= 1000 ? sampleRate : 48000};
    if (!portIds(info, 2, usage, req.portIds)) return;
    const long needed = kMeterSpareDescriptors + kMeterStreamDescriptors;
    if (long left = descriptorsLeft(); left < needed) {
        throwEmfile("meter: too few file descriptors left to open its stream (" + std::to_string(left) + ", " +
                    std::to_string(needed) + " needed)");
        return;
    }
    if (openMeters(getContext()) >= kMaxMeters) {
        Nan::ThrowRangeError(("graphMeterStart: at most " + std::to_string(kMaxMeters) + " meters at once").c_str());
        return;
    }
    Handoff handoff = requestMeterStart(getContext(), req);
    if (handoff == Handoff::Queued) startPolling(rateHz);
    info.GetReturnValue().Set(handedOver(handoff));
}

// graphMeterPorts(meterId, [portId, ...]): the measured ports again, one per
// channel as the meter started with (kNoPort, 2^32 - 1, for one gone); false
// without a connection.
NAN_METHOD(graphMeterPorts) {
    const char* usage = "graphMeterPorts requires (meterId, portIds)";
    if (info.Length() < 2 || !info[0]->IsNumber() || !info[1]->IsArray()) {
        Nan::ThrowTypeError(usage);
        return;
    }
    std::vector<uint32_t> ports;
    if (info[1].As<v8::Array>()->Length() > kMaxMeterChannels) {
        Nan::ThrowRangeError("graphMeterPorts: at most 64 ports");
        return;
    }
    if (!portIds(info, 1, usage, ports)) return;
    info.GetReturnValue().Set(handedOver(requestMeterPorts(getContext(), argUint32(info, 0), ports)));
}

// graphMeterStop(meterId): false without a connection (its meter went with it).
NAN_METHOD(graphMeterStop) {
    if (!checkArgs(info, {ArgKind::Number}, "graphMeterStop requires (meterId)")) return;
    info.GetReturnValue().Set(handedOver(requestMeterStop(getContext(), argUint32(info, 0))));
}
