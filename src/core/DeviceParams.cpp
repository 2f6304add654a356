#include "DeviceParams.h"

#include <spa/param/param.h>
#include <spa/param/profile.h>
#include <spa/param/route.h>
#include <spa/pod/iter.h>
#include <spa/pod/parser.h>
#include <spa/utils/defs.h>

namespace {

Availability availability(const spa_pod* pod) {
    uint32_t id = 0;
    if (spa_pod_get_id(pod, &id) < 0) return Availability::Unknown;
    if (id == SPA_PARAM_AVAILABILITY_yes) return Availability::Yes;
    if (id == SPA_PARAM_AVAILABILITY_no) return Availability::No;
    return Availability::Unknown;
}

std::string text(const spa_pod* pod) {
    const char* s = nullptr;
    return spa_pod_get_string(pod, &s) >= 0 && s ? s : "";
}

int32_t integer(const spa_pod* pod, int32_t fallback) {
    int32_t v = fallback;
    spa_pod_get_int(pod, &v);
    return v;
}

std::vector<int32_t> integers(const spa_pod* pod) {
    std::vector<int32_t> out;
    if (!spa_pod_is_array(pod)) return out;
    const auto* array = reinterpret_cast<const spa_pod_array*>(pod);
    if (array->body.child.type != SPA_TYPE_Int || array->body.child.size != sizeof(int32_t)) return out;
    const int32_t* v;
    SPA_POD_ARRAY_FOREACH(array, v) {
        out.push_back(*v);
    }
    return out;
}

// Struct(Int n, Struct(String class, Int count, ...)...): each class named and counted.
std::vector<ProfileClass> classes(const spa_pod* pod) {
    std::vector<ProfileClass> out;
    if (!spa_pod_is_struct(pod)) return out;
    const void* body = SPA_POD_BODY_CONST(pod);
    uint32_t size = SPA_POD_BODY_SIZE(pod);
    for (auto* entry = static_cast<const spa_pod*>(body); spa_pod_is_inside(body, size, entry);
         entry = static_cast<const spa_pod*>(spa_pod_next(entry))) {
        if (!spa_pod_is_struct(entry)) continue;
        spa_pod_parser prs;
        spa_pod_parser_pod(&prs, entry);
        const char* name = nullptr;
        int32_t count = 0;
        if (spa_pod_parser_get_struct(&prs, SPA_POD_String(&name), SPA_POD_Int(&count)) < 0 || !name) continue;
        out.push_back({name, count});
    }
    return out;
}

}  // namespace

const char* availabilityName(Availability a) {
    switch (a) {
        case Availability::Yes:
            return "yes";
        case Availability::No:
            return "no";
        default:
            return "unknown";
    }
}

bool parseDeviceProfile(const spa_pod* pod, DeviceProfile& out) {
    if (!pod || !spa_pod_is_object_type(pod, SPA_TYPE_OBJECT_ParamProfile)) return false;
    out = DeviceProfile();
    const spa_pod_prop* p;
    SPA_POD_OBJECT_FOREACH(reinterpret_cast<const spa_pod_object*>(pod), p) {
        switch (p->key) {
            case SPA_PARAM_PROFILE_index:
                out.index = integer(&p->value, -1);
                break;
            case SPA_PARAM_PROFILE_name:
                out.name = text(&p->value);
                break;
            case SPA_PARAM_PROFILE_description:
                out.description = text(&p->value);
                break;
            case SPA_PARAM_PROFILE_priority:
                out.priority = integer(&p->value, 0);
                break;
            case SPA_PARAM_PROFILE_available:
                out.available = availability(&p->value);
                break;
            case SPA_PARAM_PROFILE_classes:
                out.classes = classes(&p->value);
                break;
            default:
                break;
        }
    }
    return out.index >= 0;
}

bool parseDeviceRoute(const spa_pod* pod, DeviceRoute& out) {
    if (!pod || !spa_pod_is_object_type(pod, SPA_TYPE_OBJECT_ParamRoute)) return false;
    out = DeviceRoute();
    const spa_pod_prop* p;
    SPA_POD_OBJECT_FOREACH(reinterpret_cast<const spa_pod_object*>(pod), p) {
        switch (p->key) {
            case SPA_PARAM_ROUTE_index:
                out.index = integer(&p->value, -1);
                break;
            case SPA_PARAM_ROUTE_direction: {
                uint32_t d = SPA_DIRECTION_OUTPUT;
                spa_pod_get_id(&p->value, &d);
                out.output = d == SPA_DIRECTION_OUTPUT;
                break;
            }
            case SPA_PARAM_ROUTE_device:
                out.device = integer(&p->value, -1);
                break;
            case SPA_PARAM_ROUTE_name:
                out.name = text(&p->value);
                break;
            case SPA_PARAM_ROUTE_description:
                out.description = text(&p->value);
                break;
            case SPA_PARAM_ROUTE_priority:
                out.priority = integer(&p->value, 0);
                break;
            case SPA_PARAM_ROUTE_available:
                out.available = availability(&p->value);
                break;
            case SPA_PARAM_ROUTE_devices:
                out.devices = integers(&p->value);
                break;
            case SPA_PARAM_ROUTE_profiles:
                out.profiles = integers(&p->value);
                break;
            default:
                break;
        }
    }
    return out.index >= 0;
}

spa_pod* buildProfileSelection(spa_pod_builder* b, int32_t index) {
    return static_cast<spa_pod*>(spa_pod_builder_add_object(b, SPA_TYPE_OBJECT_ParamProfile, SPA_PARAM_Profile,
                                                            SPA_PARAM_PROFILE_index, SPA_POD_Int(index),
                                                            SPA_PARAM_PROFILE_save, SPA_POD_Bool(true)));
}

spa_pod* buildRouteSelection(spa_pod_builder* b, int32_t index, int32_t device) {
    return static_cast<spa_pod*>(spa_pod_builder_add_object(
        b, SPA_TYPE_OBJECT_ParamRoute, SPA_PARAM_Route, SPA_PARAM_ROUTE_index, SPA_POD_Int(index),
        SPA_PARAM_ROUTE_device, SPA_POD_Int(device), SPA_PARAM_ROUTE_save, SPA_POD_Bool(true)));
}
