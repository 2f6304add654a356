// waitForNewNode(name, direction?, timeoutMs?): blocks until a named node is
// in the mirror or the time-out has passed.
#include <cstring>

#include "../connection/PwContext.h"
#include "../features/nodes/NodeWait.h"
#include "ArgCheck.h"
#include "Exports.h"
#include "JsValues.h"

namespace {
constexpr int32_t kDefaultTimeoutMs = 5000;
}

NAN_METHOD(waitForNewNode) {
    // ToString of whatever came first; an exception from it propagates.
    v8::Local<v8::String> nameValue;
    if (!Nan::To<v8::String>(info[0]).ToLocal(&nameValue)) return;
    std::string name = argText(nameValue);

    DirectionFilter filter = DirectionFilter::Any;
    if (info.Length() >= 2 && info[1]->IsString()) {
        std::string direction = argText(info[1]);
        if (direction == "Input") filter = DirectionFilter::Input;
        if (direction == "Output") filter = DirectionFilter::Output;
    }
    int32_t timeoutMs = kDefaultTimeoutMs;
    if (info.Length() >= 3 && info[2]->IsNumber()) timeoutMs = Nan::To<int32_t>(info[2]).FromMaybe(0);

    NodeMatch match = waitForNode(getContext(), name, filter, timeoutMs);
    v8::Local<v8::Object> result = Nan::New<v8::Object>();
    js::set(result, js::kFound, Nan::New(match.found));
    if (match.found) {
        js::set(result, js::kId, js::num(match.id));
        js::set(result, js::kName, js::str(match.name));
    }
    info.GetReturnValue().Set(result);
}
