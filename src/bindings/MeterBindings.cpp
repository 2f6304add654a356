// graphMeterStart / graphMeterStop: the level meters of
// lib/features/meters. Their levels and their end reach the Graph as
// "meter-level" and "meter-ended" events, through the event queue.
#include "../connection/PwContext.h"
#include "../features/meters/Meters.h"
#include "ArgCheck.h"
#include "Exports.h"
#include "Handoffs.h"

// graphMeterStart(meterId, nodeId, [portId, ...], rateHz, sampleRate): false
// without a connection.
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
    v8::Local<v8::Context> context = Nan::GetCurrentContext();
    for (uint32_t i = 0; i < ports->Length(); i++) {
        v8::Local<v8::Value> port;
        if (!ports->Get(context, i).ToLocal(&port)) return;
        if (!port->IsNumber()) {
            Nan::ThrowTypeError(usage);
            return;
        }
        req.portIds.push_back(Nan::To<uint32_t>(port).FromMaybe(0));
    }
    info.GetReturnValue().Set(handedOver(requestMeterStart(getContext(), req)));
}

// graphMeterStop(meterId): false without a connection (its meter went with it).
NAN_METHOD(graphMeterStop) {
    if (!checkArgs(info, {ArgKind::Number}, "graphMeterStop requires (meterId)")) return;
    info.GetReturnValue().Set(handedOver(requestMeterStop(getContext(), argUint32(info, 0))));
}
