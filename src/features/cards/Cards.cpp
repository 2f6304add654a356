#include "Cards.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <mutex>
#include <string>

#include <pipewire/pipewire.h>
#include <spa/param/param.h>
#include <spa/utils/result.h>

#include "../../connection/EventQueue.h"
#include "../../connection/PwContext.h"
#include "../../connection/PwThread.h"
#include "../../core/ListenerTable.h"
#include "../../core/PackedProps.h"
#include "../control/ControlRequests.h"

namespace {

// The four params read, in this order.
constexpr uint32_t kParams[] = {SPA_PARAM_EnumProfile, SPA_PARAM_Profile, SPA_PARAM_EnumRoute, SPA_PARAM_Route};
constexpr size_t kNParams = sizeof kParams / sizeof kParams[0];
// Devices' bit in the context's infoKinds.
constexpr uint8_t kDeviceInfo = 8;

// Lives in its proxy's user data, from the bind to the proxy's destroy event.
// PipeWire thread.
struct BoundDevice {
    PwContext* ctx;
    pw_proxy* proxy;
    DeviceRecord record;  // as the params read so far show it
    bool published;       // DeviceCreated sent
    uint32_t flags[kNParams];
    bool reading[kNParams];  // a read of the param is under way
    int syncSeq;             // the round trip that ends the reads under way
    std::vector<DeviceProfile> freshProfiles[2];
    std::vector<DeviceRoute> freshRoutes[2];
    spa_hook objectListener, proxyListener;
};

struct CardsState : FeatureState {
    std::vector<BoundDevice*> bound;  // PipeWire thread
    std::mutex mutex;
    std::vector<std::shared_ptr<const DeviceRecord>> published;  // under mutex
};

CardsState& state(PwContext* ctx) {
    return static_cast<CardsState&>(*ctx->features.cards);
}

size_t slotOf(uint32_t param) {
    for (size_t i = 0; i < kNParams; i++)
        if (kParams[i] == param) return i;
    return kNParams;
}

// The record as it is now, to the listing and to the Graph.
void publish(BoundDevice* d) {
    PwContext* ctx = d->ctx;
    auto record = std::make_shared<const DeviceRecord>(d->record);
    CardsState& s = state(ctx);
    {
        std::lock_guard<std::mutex> lock(s.mutex);
        auto it = std::find_if(s.published.begin(), s.published.end(), [&](auto& r) { return r->id == record->id; });
        if (it != s.published.end())
            *it = record;
        else
            s.published.push_back(record);
    }
    PwEvent event = makeEvent(d->published ? DeviceChanged : DeviceCreated, record->id, ForGraph);
    event.device = std::move(record);
    d->published = true;
    emitGraphEvent(ctx, std::move(event));
    // What a selection waits for.
    wakeNow(ctx);
}

void commit(BoundDevice* d);

void onInfo(void* data, const pw_device_info* info) {
    auto* d = static_cast<BoundDevice*>(data);
    PwContext* ctx = d->ctx;
    bool changed = false;
    if ((info->change_mask & PW_DEVICE_CHANGE_MASK_PROPS) && info->props) {
        std::string props = packProps(info->props, kMaxPropsBytes, kMaxProps);
        changed = props != d->record.props;
        d->record.props.swap(props);
    }
    bool reading = false, dropped = false;
    if (info->change_mask & PW_DEVICE_CHANGE_MASK_PARAMS) {
        // As pw-dump: a param is read again when its flags changed (the
        // device flips a serial bit at each change of value).
        for (uint32_t i = 0; i < info->n_params; i++) {
            size_t slot = slotOf(info->params[i].id);
            if (slot == kNParams || info->params[i].flags == d->flags[slot]) continue;
            d->flags[slot] = info->params[i].flags;
            if (slot < 2)
                d->freshProfiles[slot].clear();
            else
                d->freshRoutes[slot - 2].clear();
            d->reading[slot] = d->flags[slot] & SPA_PARAM_INFO_READ;
            if (!d->reading[slot]) {
                dropped = true;  // no longer readable: none
                continue;
            }
            pw_device_enum_params(reinterpret_cast<pw_device*>(d->proxy), 0, kParams[slot], 0, UINT32_MAX, nullptr);
            ctx->bindings.requestsSinceSync++;
            reading = true;
        }
    }
    if (reading)
        d->syncSeq = pw_proxy_sync(d->proxy, 0);
    else if (dropped)
        commit(d);
    else if (changed && d->published)
        publish(d);
}

template <typename T>
void keepLatest(std::vector<T>& list, T&& item) {
    for (T& x : list)
        if (x.index == item.index) {
            x = std::move(item);
            return;
        }
    list.push_back(std::move(item));
}

void onParam(void* data, int /*seq*/, uint32_t id, uint32_t, uint32_t, const spa_pod* param) {
    auto* d = static_cast<BoundDevice*>(data);
    size_t slot = slotOf(id);
    // The daemon answers a device's params with the device's own seq, not
    // ours: any param of a read under way counts, the latest of an index
    // replacing an earlier one (of a read asked for before).
    if (slot == kNParams || !d->reading[slot]) return;
    if (slot < 2) {
        DeviceProfile p;
        if (parseDeviceProfile(param, p)) keepLatest(d->freshProfiles[slot], std::move(p));
    } else {
        DeviceRoute r;
        if (parseDeviceRoute(param, r)) keepLatest(d->freshRoutes[slot - 2], std::move(r));
    }
}

// The record takes the params as last read, and is published.
void commit(BoundDevice* d) {
    d->record.profiles = d->freshProfiles[0];
    d->record.profile = d->freshProfiles[1];
    d->record.routes = d->freshRoutes[0];
    d->record.active = d->freshRoutes[1];
    publish(d);
}

// The reads asked for with the info are answered.
void onDone(void* data, int seq) {
    auto* d = static_cast<BoundDevice*>(data);
    if (seq != d->syncSeq) return;
    d->syncSeq = -1;
    std::fill(std::begin(d->reading), std::end(d->reading), false);
    commit(d);
}

// A refusal of a selection reaches the request that sent it.
void onError(void* data, int seq, int res, const char* message) {
    auto* d = static_cast<BoundDevice*>(data);
    reportControlError(d->ctx, pw_proxy_get_id(d->proxy), seq, res, message);
}

void onRemoved(void* data) {
    pw_proxy_destroy(static_cast<BoundDevice*>(data)->proxy);
}

void onDestroy(void* data) {
    auto* d = static_cast<BoundDevice*>(data);
    spa_hook_remove(&d->objectListener);
    spa_hook_remove(&d->proxyListener);
    CardsState& s = state(d->ctx);
    s.bound.erase(std::remove(s.bound.begin(), s.bound.end(), d), s.bound.end());
    d->~BoundDevice();
}

const auto kDeviceEvents = listenerTable<pw_device_events>(PW_VERSION_DEVICE_EVENTS, &pw_device_events::info, onInfo,
                                                           &pw_device_events::param, onParam);
const auto kProxyEvents = listenerTable<pw_proxy_events>(PW_VERSION_PROXY_EVENTS, &pw_proxy_events::destroy, onDestroy,
                                                         &pw_proxy_events::removed, onRemoved, &pw_proxy_events::done,
                                                         onDone, &pw_proxy_events::error, onError);

BoundDevice* findBound(PwContext* ctx, uint32_t id) {
    for (BoundDevice* d : state(ctx).bound)
        if (d->record.id == id) return d;
    return nullptr;
}

void select(PwContext* ctx, uint32_t deviceId, uint64_t serial, uint32_t token, bool route, int32_t index,
            int32_t cardDevice) {
    BoundDevice* d = findBound(ctx, deviceId);
    if (!d || (serial && d->record.serial != serial)) {
        failControlRequest(ctx, token, -ENOENT, "no device " + std::to_string(deviceId));
        return;
    }
    uint8_t buffer[256];
    spa_pod_builder b = SPA_POD_BUILDER_INIT(buffer, sizeof buffer);
    const spa_pod* param = route ? buildRouteSelection(&b, index, cardDevice) : buildProfileSelection(&b, index);
    int res = param ? pw_device_set_param(reinterpret_cast<pw_device*>(d->proxy),
                                          route ? SPA_PARAM_Route : SPA_PARAM_Profile, 0, param)
                    : -ENOSPC;
    followControlRequest(ctx, token, pw_proxy_get_id(d->proxy), res);
}

}  // namespace

void installCards(PwContext* ctx) {
    if (!ctx->features.cards) ctx->features.cards = std::make_unique<CardsState>();
}

std::vector<std::shared_ptr<const DeviceRecord>> listDevices(PwContext* ctx) {
    CardsState& s = state(ctx);
    std::lock_guard<std::mutex> lock(s.mutex);
    return s.published;
}

Handoff requestDeviceSelection(PwContext* ctx, uint32_t deviceId, uint64_t serial, uint32_t token, bool route,
                               int32_t index, int32_t cardDevice) {
    return postWork(ctx, [=](PwContext* c) { select(c, deviceId, serial, token, route, index, cardDevice); });
}

bool cardsGlobal(PwContext* ctx, uint32_t id, const char* type, uint32_t version, const spa_dict* props) {
    if (std::strcmp(type, PW_TYPE_INTERFACE_Device) != 0) return false;
    // Not asked for (a one-shot listing of nodes): devices are not read.
    if (!ctx->registry || !(ctx->infoKinds.load(std::memory_order_relaxed) & kDeviceInfo)) return true;
    auto* proxy = static_cast<pw_proxy*>(
        pw_registry_bind(ctx->registry, id, type, std::min<uint32_t>(version, PW_VERSION_DEVICE), sizeof(BoundDevice)));
    if (!proxy) return true;
    auto* d = new (pw_proxy_get_user_data(proxy)) BoundDevice{};
    d->ctx = ctx;
    d->proxy = proxy;
    d->record.id = id;
    d->record.serial = props ? parseSerial(spa_dict_lookup(props, PW_KEY_OBJECT_SERIAL)) : 0;
    d->syncSeq = -1;
    state(ctx).bound.push_back(d);
    pw_proxy_add_object_listener(proxy, &d->objectListener, &kDeviceEvents, d);
    pw_proxy_add_listener(proxy, &d->proxyListener, &kProxyEvents, d);
    return true;
}

void cardsGlobalGone(PwContext* ctx, uint32_t id) {
    CardsState& s = state(ctx);
    bool was;
    {
        std::lock_guard<std::mutex> lock(s.mutex);
        auto it = std::find_if(s.published.begin(), s.published.end(), [&](auto& r) { return r->id == id; });
        was = it != s.published.end();
        if (was) s.published.erase(it);
    }
    if (was) emitGraphEvent(ctx, DeviceDestroyed, id);
}

void releaseCards(PwContext* ctx) {
    CardsState& s = state(ctx);
    while (!s.bound.empty()) pw_proxy_destroy(s.bound.back()->proxy);
    std::vector<uint32_t> gone;
    {
        std::lock_guard<std::mutex> lock(s.mutex);
        for (const auto& r : s.published) gone.push_back(r->id);
        s.published.clear();
    }
    // The devices go with the connection, as the mirror's nodes do: the
    // Graph is told of each.
    for (uint32_t id : gone) emitGraphEvent(ctx, DeviceDestroyed, id);
}
