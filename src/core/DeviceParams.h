// A device's profiles and routes as its "EnumProfile", "Profile",
// "EnumRoute" and "Route" params announce them (a sound card's or a
// Bluetooth headset's), and the params that select one. V8-free.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include <spa/pod/builder.h>
#include <spa/pod/pod.h>

// SPA_PARAM_AVAILABILITY_*: 'unknown', 'no', 'yes'.
enum class Availability : uint8_t { Unknown = 0, No = 1, Yes = 2 };

const char* availabilityName(Availability a);

// One node class a profile gives: "Audio/Sink" x 1.
struct ProfileClass {
    std::string mediaClass;
    int32_t count = 0;
};

struct DeviceProfile {
    int32_t index = -1;
    std::string name, description;
    Availability available = Availability::Unknown;
    int32_t priority = 0;
    std::vector<ProfileClass> classes;
};

struct DeviceRoute {
    int32_t index = -1;
    bool output = true;   // its direction: an output (to speakers) or an input
    int32_t device = -1;  // the active route's card-profile device ("Route" only)
    std::string name, description;
    Availability available = Availability::Unknown;
    int32_t priority = 0;
    std::vector<int32_t> devices;   // the card-profile devices it serves ("EnumRoute")
    std::vector<int32_t> profiles;  // the profiles it is one of
};

// A ParamProfile object; false when `pod` is none or has no index.
bool parseDeviceProfile(const spa_pod* pod, DeviceProfile& out);

// A ParamRoute object; false when `pod` is none or has no index.
bool parseDeviceRoute(const spa_pod* pod, DeviceRoute& out);

// The "Profile" param that selects profile `index`, saved as the user's
// choice as wpctl set-profile saves it; null when `b` has no room.
spa_pod* buildProfileSelection(spa_pod_builder* b, int32_t index);

// The "Route" param that selects route `index` on card-profile device
// `device`, saved; null when `b` has no room.
spa_pod* buildRouteSelection(spa_pod_builder* b, int32_t index, int32_t device);

// A device as the mirror keeps it: its registry id and serial, its info's
// properties (packed, PackedProps.h) and its params as last announced.
struct DeviceRecord {
    uint32_t id = 0;
    uint64_t serial = 0;  // "object.serial"; 0 when not announced
    std::string props;
    std::vector<DeviceProfile> profiles;  // "EnumProfile"
    std::vector<DeviceProfile> profile;   // "Profile": the active one, if any
    std::vector<DeviceRoute> routes;      // "EnumRoute"
    std::vector<DeviceRoute> active;      // "Route": the active one of each card-profile device
};
