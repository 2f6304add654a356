// The daemon's devices (sound cards, Bluetooth headsets: its
// PipeWire:Interface:Device globals), bound as pw-dump binds them: their
// properties and their "EnumProfile", "Profile", "EnumRoute" and "Route"
// params, read again whenever the device announces one changed, kept as one
// record per device and reported to the Graph whole (DeviceCreated once its
// first params are in, DeviceChanged, DeviceDestroyed). The active profile
// and route are selected with the device's set_param; a refusal reaches the
// request as ControlFailed. V8-free.
#pragma once

#include <spa/utils/dict.h>
#include <cstdint>
#include <memory>
#include <vector>

#include "../../connection/WorkQueue.h"
#include "../../core/DeviceParams.h"

struct PwContext;

void installCards(PwContext* ctx);

// The devices whose first params are in, in the order they came. Any thread.
std::vector<std::shared_ptr<const DeviceRecord>> listDevices(PwContext* ctx);

// Asks device `deviceId` (refused when `serial` is not 0 and is not its
// serial: the id went to another device) to select profile `index`, or
// when `route`, route `index` on card-profile device `cardDevice`. A
// refusal, or no such device, comes as ControlFailed under `token`; the
// new selection as DeviceChanged.
Handoff requestDeviceSelection(PwContext* ctx, uint32_t deviceId, uint64_t serial, uint32_t token, bool route,
                               int32_t index, int32_t cardDevice);

// Hooks (FeatureHooks.cpp), PipeWire thread.
bool cardsGlobal(PwContext* ctx, uint32_t id, const char* type, uint32_t version, const spa_dict* props);
void cardsGlobalGone(PwContext* ctx, uint32_t id);
void releaseCards(PwContext* ctx);
