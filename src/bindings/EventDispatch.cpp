// The JavaScript side of the event hand-off: the listener registry, the
// wake-up callback and the dispatcher that drains the queue.
#include <nan.h>

#include <algorithm>
#include <cstring>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "../connection/EventQueue.h"
#include "../connection/PwContext.h"
#include "../core/DeviceParams.h"
#include "../features/links/LinkRemoval.h"
#include "../features/meters/Meters.h"
#include "ArgCheck.h"
#include "ControlValues.h"
#include "Exports.h"
#include "InfoValues.h"
#include "JsState.h"
#include "JsValues.h"
#include "ObjectBuilders.h"
#include "WakeupHandle.h"

namespace {

// The listeners of on(), one per event name, and the Graph's own listener
// (one function that gets every event it receives as (kind, payload) and
// spreads it to any number of JavaScript listeners) are in jsState().

// One kept object per payload shape built here (see js::keepShape); the
// records of the Graph's events are object literals of the package's builders.
enum Shape { kNodeShape, kLinkShape, kOutcomeShape, kNodeAnswerShape, kMeterLevelShape, kShapeCount };
v8::Eternal<v8::Object> gShapes[kShapeCount];

void eraseListener(const std::string& name) {
    auto& listeners = jsState().listeners;
    auto it = listeners.find(name);
    if (it == listeners.end()) return;
    // Safe even for the listener being called: the call holds its own handle
    // on the function and does not touch the Nan::Callback afterwards.
    delete it->second;
    listeners.erase(it);
}

Nan::Callback* listenerFor(const char* name) {
    auto& listeners = jsState().listeners;
    auto it = listeners.find(name);
    return it == listeners.end() ? nullptr : it->second;
}

// The dispatch run under way: its async resource is made for the run's first
// listener call and shared by the rest (one per wake-up that delivers events,
// rather than one per call); a run that calls nobody makes none, so a wake-up
// with nothing to deliver never calls into JavaScript.
struct DispatchRun {
    Nan::AsyncResource* resource = nullptr;  // the run's, or one kept by the caller
    std::unique_ptr<Nan::AsyncResource> owned;
};
DispatchRun* gRun = nullptr;

void callListener(Nan::Callback* listener, int argc, v8::Local<v8::Value>* argv) {
    // As any Node.js callback: ticks and promise jobs queued by the listener
    // run after it; a throw goes to Node's uncaught-exception handling.
    if (gRun) {
        if (!gRun->resource) {
            gRun->owned = std::make_unique<Nan::AsyncResource>("quorvane:events");
            gRun->resource = gRun->owned.get();
        }
        listener->Call(argc, argv, gRun->resource);
        return;
    }
    Nan::AsyncResource resource("quorvane:events");
    listener->Call(argc, argv, &resource);
}

void callListener(Nan::Callback* listener, v8::Local<v8::Value> arg) {
    callListener(listener, 1, &arg);
}

void dispatch(const PwEvent& event) {
    switch (event.type) {
        case NodeCreated:
            if (Nan::Callback* cb = listenerFor("node-created")) {
                v8::Local<v8::Object> o = Nan::New<v8::Object>();
                js::set(o, js::kId, js::num(event.node.id));
                js::set(o, js::kName, js::str(event.node.name));
                js::set(o, js::kType, js::str(event.node.mediaClass));
                callListener(cb, js::keepShape(gShapes[kNodeShape], o));
            }
            break;
        case NodeDestroyed:
            if (Nan::Callback* cb = listenerFor("node-destroyed")) callListener(cb, js::num(event.id));
            break;
        case LinkCreated:
            if (Nan::Callback* cb = listenerFor("link-created")) {
                v8::Local<v8::Object> o = Nan::New<v8::Object>();
                js::set(o, js::kId, js::num(event.link.id));
                js::set(o, js::kSrcNodeId, js::num(event.link.srcNodeId));
                js::set(o, js::kSrcPortId, js::num(event.link.srcPortId));
                js::set(o, js::kSinkNodeId, js::num(event.link.sinkNodeId));
                js::set(o, js::kSinkPortId, js::num(event.link.sinkPortId));
                callListener(cb, js::keepShape(gShapes[kLinkShape], o));
            }
            break;
        case LinkDestroyed:
            if (Nan::Callback* cb = listenerFor("link-destroyed")) callListener(cb, js::num(event.id));
            break;
        default:  // the Graph's own events
            break;
    }
}

// An array of the values, made whole in one call.
v8::Local<v8::Array> decibels(const std::vector<double>& values) {
    v8::Isolate* isolate = v8::Isolate::GetCurrent();
    v8::Local<v8::Value> items[kMaxMeterChannels];
    size_t n = std::min(values.size(), size_t(kMaxMeterChannels));
    for (size_t i = 0; i < n; i++) items[i] = v8::Number::New(isolate, values[i]);
    return v8::Array::New(isolate, items, n);
}

// { id, t, peak, rms } of a meter's levels. Many a second: one shape, kept.
v8::Local<v8::Value> meterLevel(const TakenLevel& taken) {
    v8::Local<v8::Context> context = Nan::GetCurrentContext();
    v8::Local<v8::Object> o = Nan::New<v8::Object>();
    js::set(context, o, js::kId, js::num(taken.meterId));
    js::set(context, o, js::kT, Nan::New(taken.levels.t));
    js::set(context, o, js::kPeak, decibels(taken.levels.peak));
    js::set(context, o, js::kRms, decibels(taken.levels.rms));
    return js::keepShape(gShapes[kMeterLevelShape], o);
}

// The properties of the record of a created or changed event: those of a
// change kept for the record's next change (see js::PropsObjects).
v8::Local<v8::Object> propsOf(const PwEvent& event, js::PropsObjects::Kind kind, uint32_t id, const std::string& packed,
                              js::StringCache& cache) {
    bool changed = event.type == NodeChanged || event.type == PortChanged || event.type == LinkChanged;
    return changed ? jsState().changedProps.get(kind, id, packed, cache) : js::propsObject(packed, cache);
}

// The object the package's builder `kind` makes of `argv` (an object
// literal: far cheaper than defining each property through the API); null
// when there is none (see js::build).
template <size_t N>
v8::Local<v8::Value> built(js::Builder kind, v8::Local<v8::Value> (&argv)[N]) {
    v8::Local<v8::Value> o;
    return js::build(kind, int(N), argv).ToLocal(&o) ? o : v8::Local<v8::Value>(Nan::Null());
}

// The created events carry the objects as the Graph's listings make them.
v8::Local<v8::Value> graphPayload(const PwEvent& event) {
    js::StringCache cache;
    switch (event.type) {
        case NodeCreated:
        case NodeChanged: {
            js::NodeControlValues controls = js::nodeControlValues(event.node);
            v8::Local<v8::Value> argv[] = {
                js::num(event.node.id),
                js::str(event.node.name),
                js::str(event.node.mediaClass),
                js::num(event.node.version),
                js::num(event.node.inputPorts),
                js::num(event.node.outputPorts),
                Nan::New(event.node.isInput),
                Nan::New(event.node.isOutput),
                propsOf(event, js::PropsObjects::Node, event.node.id, event.node.props, cache),
                js::nodeState(event.node.state),
                js::errorText(event.node.error),
                controls.volume,
                controls.channelVolumes,
                controls.mute};
            return built(js::Builder::NodeEvent, argv);
        }
        case PortCreated:
        case PortChanged: {
            const char* type = event.port.dataType;
            v8::Local<v8::Value> argv[] = {
                js::num(event.port.id),
                js::num(event.port.nodeId),
                js::str(event.port.name),
                js::num(event.port.direction),
                js::num(event.port.portType),
                type ? v8::Local<v8::Value>(cache.get(type)) : v8::Local<v8::Value>(Nan::Null()),
                propsOf(event, js::PropsObjects::Port, event.port.id, event.port.props, cache),
                js::formatObject(event.port.format)};
            return built(js::Builder::PortEvent, argv);
        }
        case LinkCreated:
        case LinkChanged: {
            v8::Local<v8::Value> argv[] = {
                js::num(event.link.id),
                js::num(event.link.srcNodeId),
                js::num(event.link.srcPortId),
                js::num(event.link.sinkNodeId),
                js::num(event.link.sinkPortId),
                propsOf(event, js::PropsObjects::Link, event.link.id, event.link.props, cache),
                js::linkState(event.link.state),
                js::errorText(event.link.error),
                js::formatObject(event.link.format)};
            return built(js::Builder::LinkEvent, argv);
        }
        default:
            break;
    }
    v8::Local<v8::Object> o = Nan::New<v8::Object>();
    switch (event.type) {
        case NodeDestroyed:
        case PortDestroyed:
        case LinkDestroyed:
            jsState().changedProps.forget(event.type == NodeDestroyed   ? js::PropsObjects::Node
                                          : event.type == PortDestroyed ? js::PropsObjects::Port
                                                                        : js::PropsObjects::Link,
                                          event.id);
            return js::num(event.id);
        case MetadataChanged:
            if (!event.metadata) return Nan::Null();
            return js::metadataChange(*event.metadata);
        case NodeRequestAnswered:
            js::set(o, js::kOutcome, js::num(event.outcome));
            js::set(o, js::kId, js::num(event.id));
            js::set(o, js::kToken, js::num(event.token));
            js::set(o, js::kRes, Nan::New<v8::Int32>(event.res));
            js::set(o, js::kMessage, js::str(event.text));
            return js::keepShape(gShapes[kNodeAnswerShape], o);
        case ProfileReady:
            return profilePayload();
        case DeviceCreated:
        case DeviceChanged:
            return event.device ? deviceValue(*event.device) : v8::Local<v8::Value>(Nan::Null());
        case DeviceDestroyed:
            return js::num(event.id);
        default:
            js::set(o, js::kId, js::num(event.id));
            js::set(o, js::kToken, js::num(event.token));
            js::set(o, js::kRes, Nan::New<v8::Int32>(event.res));
            js::set(o, js::kMessage, js::str(event.text));
            return js::keepShape(gShapes[kOutcomeShape], o);
    }
}

void dispatchToGraph(const PwEvent& event) {
    Nan::Callback* listener = jsState().graphListener;
    if (!listener) return;
    // Changed events carry what changed as a third argument, a link's removal
    // the link's serial (0 when unknown).
    v8::Local<v8::Value> argv[] = {js::num(event.type), graphPayload(event), Nan::Undefined()};
    bool changed = event.type == NodeChanged || event.type == PortChanged || event.type == LinkChanged;
    if (changed) argv[2] = js::changedObject(event.changed);
    if (event.type == LinkDestroyed) argv[2] = Nan::New<v8::Number>(double(event.serial));
    callListener(listener, changed || event.type == LinkDestroyed ? 3 : 2, argv);
}

// One run takes only the events queued when it starts, then yields to the
// event loop (timers, I/O) and continues with another wake-up: a steady
// stream of changes cannot starve the loop. Order and once-only delivery
// are the queue's.
void processEventQueue(PwContext* ctx) {
    size_t budget = queuedEventCount(ctx);
    PwEvent event;
    {
        Nan::HandleScope scope;
        DispatchRun run;
        DispatchRun* outer = gRun;
        gRun = &run;
        while (budget > 0 && takeNextEvent(ctx, event)) {
            budget--;
            Nan::HandleScope eventScope;
            if (event.recipients & ForListeners) dispatch(event);
            if (event.recipients & ForGraph) dispatchToGraph(event);
        }
        gRun = outer;
    }
    if (queuedEventCount(ctx) > 0) signalWakeup(ctx);
    processLinkDestructionQueue(ctx);
}

void onEventAsync(uv_async_t* handle) {
    auto* ctx = static_cast<PwContext*>(handle->data);
    if (ctx) processEventQueue(ctx);
}

}  // namespace

double deliverMeterLevels(PwContext* ctx) {
    static std::vector<TakenLevel> taken;  // reused: its levels keep their room
    double nextMs = 0;
    size_t n = takeMeterLevels(ctx, taken, nextMs);
    Nan::Callback* listener = jsState().graphListener;
    if (n == 0 || !listener) return nextMs;
    Nan::HandleScope scope;
    // Every meter's levels in one call, with one async resource for every
    // delivery: they come many times a second.
    static Nan::AsyncResource* resource = new Nan::AsyncResource("quorvane:meters");
    v8::Local<v8::Array> levels = Nan::New<v8::Array>(uint32_t(n));
    for (size_t i = 0; i < n; i++) Nan::Set(levels, uint32_t(i), meterLevel(taken[i]));
    v8::Local<v8::Value> argv[] = {js::num(MeterLevel), levels};
    DispatchRun run;
    run.resource = resource;
    DispatchRun* outer = gRun;
    gRun = &run;
    callListener(listener, 2, argv);
    gRun = outer;
    return nextMs;
}

void initEventAsync(PwContext* ctx) {
    if (ctx->asyncInitialized) {
        uv_ref(reinterpret_cast<uv_handle_t*>(ctx->eventAsync));
        return;
    }
    auto* handle = new uv_async_t;
    std::memset(handle, 0, sizeof(*handle));
    uv_async_init(uv_default_loop(), handle, onEventAsync);
    handle->data = ctx;
    ctx->eventAsync = handle;
    ctx->asyncInitialized = true;
}

void releaseEventAsync(PwContext* ctx) {
    if (!ctx->asyncInitialized) return;
    uv_unref(reinterpret_cast<uv_handle_t*>(ctx->eventAsync));
    // Events queued before the stop wait for this wake-up.
    uv_async_send(ctx->eventAsync);
}

NAN_METHOD(on) {
    if (!checkArgs(info, {ArgKind::String, ArgKind::Function}, "on requires (eventName, callback)")) return;
    std::string name = argText(info[0]);
    eraseListener(name);
    jsState().listeners[name] = new Nan::Callback(info[1].As<v8::Function>());
}

NAN_METHOD(setGraphListener) {
    Nan::Callback*& listener = jsState().graphListener;
    delete listener;
    listener = info.Length() >= 1 && info[0]->IsFunction() ? new Nan::Callback(info[0].As<v8::Function>()) : nullptr;
}

NAN_METHOD(off) {
    if (!checkArgs(info, {ArgKind::String}, "off requires (eventName)")) return;
    eraseListener(argText(info[0]));
}
