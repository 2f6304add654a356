// graphDevices / graphSelectDevice: the devices' profiles and routes for
// lib/features/cards.js; their changes reach the Graph as the device events.
#include <string>

#include "../connection/PwContext.h"
#include "../core/PackedProps.h"
#include "../features/cards/Cards.h"
#include "ArgCheck.h"
#include "Exports.h"
#include "Handoffs.h"
#include "JsValues.h"

namespace {

void put(v8::Local<v8::Object> o, const char* key, v8::Local<v8::Value> value) {
    Nan::Set(o, Nan::New(key).ToLocalChecked(), value);
}

v8::Local<v8::Array> ints(const std::vector<int32_t>& values) {
    v8::Local<v8::Array> a = Nan::New<v8::Array>(uint32_t(values.size()));
    for (uint32_t i = 0; i < values.size(); i++) Nan::Set(a, i, Nan::New(values[i]));
    return a;
}

v8::Local<v8::Object> profileValue(const DeviceProfile& p) {
    v8::Local<v8::Object> o = Nan::New<v8::Object>();
    put(o, "index", Nan::New(p.index));
    put(o, "name", js::str(p.name));
    put(o, "description", js::str(p.description));
    put(o, "available", Nan::New(availabilityName(p.available)).ToLocalChecked());
    put(o, "priority", Nan::New(p.priority));
    v8::Local<v8::Array> classes = Nan::New<v8::Array>(uint32_t(p.classes.size()));
    for (uint32_t i = 0; i < p.classes.size(); i++) {
        v8::Local<v8::Object> c = Nan::New<v8::Object>();
        put(c, "mediaClass", js::str(p.classes[i].mediaClass));
        put(c, "count", Nan::New(p.classes[i].count));
        Nan::Set(classes, i, c);
    }
    put(o, "classes", classes);
    return o;
}

// An active route (one of "Route") carries its card-profile device.
v8::Local<v8::Object> routeValue(const DeviceRoute& r, bool active) {
    v8::Local<v8::Object> o = Nan::New<v8::Object>();
    put(o, "index", Nan::New(r.index));
    put(o, "name", js::str(r.name));
    put(o, "description", js::str(r.description));
    put(o, "direction", Nan::New(r.output ? "output" : "input").ToLocalChecked());
    put(o, "available", Nan::New(availabilityName(r.available)).ToLocalChecked());
    put(o, "priority", Nan::New(r.priority));
    if (active)
        put(o, "device", Nan::New(r.device));
    else
        put(o, "devices", ints(r.devices));
    put(o, "profiles", ints(r.profiles));
    return o;
}

v8::Local<v8::Value> propOrNull(const std::string& packed, const char* key) {
    const char* v = findProp(packed, key);
    return v ? v8::Local<v8::Value>(Nan::New(v).ToLocalChecked()) : v8::Local<v8::Value>(Nan::Null());
}

}  // namespace

// { id, serial, name, description, api, props, profiles, profile, routes,
// activeRoutes: { output, input } } ("nodes" is lib/'s).
v8::Local<v8::Value> deviceValue(const DeviceRecord& d) {
    js::StringCache cache;
    v8::Local<v8::Object> o = Nan::New<v8::Object>();
    put(o, "id", js::num(d.id));
    put(o, "serial", d.serial ? js::num64(d.serial) : v8::Local<v8::Value>(Nan::Undefined()));
    put(o, "name", propOrNull(d.props, "device.name"));
    v8::Local<v8::Value> description = propOrNull(d.props, "device.description");
    put(o, "description", description->IsNull() ? propOrNull(d.props, "device.nick") : description);
    put(o, "api", propOrNull(d.props, "device.api"));
    put(o, "props", js::propsObject(d.props, cache));
    v8::Local<v8::Array> profiles = Nan::New<v8::Array>(uint32_t(d.profiles.size()));
    for (uint32_t i = 0; i < d.profiles.size(); i++) Nan::Set(profiles, i, profileValue(d.profiles[i]));
    put(o, "profiles", profiles);
    if (d.profile.empty())
        put(o, "profile", Nan::Null());
    else
        put(o, "profile", profileValue(d.profile[0]));
    v8::Local<v8::Array> routes = Nan::New<v8::Array>(uint32_t(d.routes.size()));
    for (uint32_t i = 0; i < d.routes.size(); i++) Nan::Set(routes, i, routeValue(d.routes[i], false));
    put(o, "routes", routes);
    v8::Local<v8::Object> active = Nan::New<v8::Object>();
    put(active, "output", Nan::Null());
    put(active, "input", Nan::Null());
    for (const DeviceRoute& r : d.active) put(active, r.output ? "output" : "input", routeValue(r, true));
    put(o, "activeRoutes", active);
    return o;
}

// graphDevices(): the devices whose params are in.
NAN_METHOD(graphDevices) {
    auto devices = listDevices(getContext());
    v8::Local<v8::Array> list = Nan::New<v8::Array>(uint32_t(devices.size()));
    for (uint32_t i = 0; i < devices.size(); i++) Nan::Set(list, i, deviceValue(*devices[i]));
    info.GetReturnValue().Set(list);
}

// graphSelectDevice(deviceId, serial, token, isRoute, index, cardDevice):
// false without a connection. `serial` 0: any device of that id.
NAN_METHOD(graphSelectDevice) {
    if (!checkArgs(
            info,
            {ArgKind::Number, ArgKind::Number, ArgKind::Number, ArgKind::Number, ArgKind::Number, ArgKind::Number},
            "graphSelectDevice requires (deviceId, serial, token, isRoute, index, cardDevice)"))
        return;
    double serial = info[1].As<v8::Number>()->Value();
    int32_t index = Nan::To<int32_t>(info[4]).FromJust();
    int32_t cardDevice = Nan::To<int32_t>(info[5]).FromJust();
    if (!(serial >= 0 && serial <= 9007199254740991.0) || index < 0)
        return Nan::ThrowRangeError("graphSelectDevice: serial or index out of range");
    info.GetReturnValue().Set(
        handedOver(requestDeviceSelection(getContext(), argUint32(info, 0), uint64_t(serial), argUint32(info, 2),
                                          argUint32(info, 3) != 0, index, cardDevice)));
}
