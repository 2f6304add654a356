#include "NodeProps.h"

#include <cmath>
#include <cstring>

#include <spa/param/param.h>
#include <spa/param/props.h>
#include <spa/pod/iter.h>

namespace {

// The element count of an array pod whose elements are `type` of `size`
// bytes, within 1..kMaxVolumeChannels; 0 otherwise.
size_t arrayCount(const spa_pod* pod, uint32_t type, uint32_t size) {
    if (!spa_pod_is_array(pod)) return 0;
    const auto* array = reinterpret_cast<const spa_pod_array*>(pod);
    if (array->body.child.type != type || array->body.child.size != size) return 0;
    size_t n = (pod->size - sizeof(spa_pod_array_body)) / size;
    return n <= kMaxVolumeChannels ? n : 0;
}

bool readVolumes(const spa_pod* pod, std::vector<float>& out) {
    size_t n = arrayCount(pod, SPA_TYPE_Float, sizeof(float));
    if (n == 0) return false;
    std::vector<float> values(n);
    std::memcpy(values.data(), SPA_POD_ARRAY_VALUES(pod), n * sizeof(float));
    for (float v : values)
        if (!std::isfinite(v) || v < 0) return false;
    out.swap(values);
    return true;
}

void readChannelMap(const spa_pod* pod, std::vector<uint32_t>& out) {
    size_t n = arrayCount(pod, SPA_TYPE_Id, sizeof(uint32_t));
    out.resize(n);
    if (n) std::memcpy(out.data(), SPA_POD_ARRAY_VALUES(pod), n * sizeof(uint32_t));
}

}  // namespace

bool parseNodeProps(const spa_pod* param, size_t size, NodeControls& out) {
    if (!param || size < sizeof(spa_pod) || SPA_POD_SIZE(param) > size) return false;
    if (!spa_pod_is_object_type(param, SPA_TYPE_OBJECT_Props)) return false;
    NodeControls c;
    const auto* object = reinterpret_cast<const spa_pod_object*>(param);
    const spa_pod_prop* prop;
    SPA_POD_OBJECT_FOREACH(object, prop) {
        switch (prop->key) {
            case SPA_PROP_channelVolumes:
                readVolumes(&prop->value, c.channelVolumes);
                break;
            case SPA_PROP_channelMap:
                readChannelMap(&prop->value, c.channelMap);
                break;
            case SPA_PROP_mute: {
                bool mute;
                if (spa_pod_get_bool(&prop->value, &mute) == 0) c.hasMute = true, c.mute = mute;
                break;
            }
            default:
                break;
        }
    }
    if (!c.hasVolume() && !c.hasMute) return false;
    // A map that does not fit the volumes tells nothing about them.
    if (c.channelMap.size() != c.channelVolumes.size()) c.channelMap.clear();
    out = std::move(c);
    return true;
}

const spa_pod* buildNodeProps(spa_pod_builder* b, const float* volumes, size_t count, int mute) {
    if (count > kMaxVolumeChannels) return nullptr;
    spa_pod_frame frame;
    spa_pod_builder_push_object(b, &frame, SPA_TYPE_OBJECT_Props, SPA_PARAM_Props);
    if (count) {
        spa_pod_builder_prop(b, SPA_PROP_channelVolumes, 0);
        spa_pod_builder_array(b, sizeof(float), SPA_TYPE_Float, uint32_t(count), volumes);
    }
    if (mute == 0 || mute == 1) {
        spa_pod_builder_prop(b, SPA_PROP_mute, 0);
        spa_pod_builder_bool(b, mute == 1);
    }
    auto* pod = static_cast<const spa_pod*>(spa_pod_builder_pop(b, &frame));
    return b->state.offset <= b->size ? pod : nullptr;
}

double cubicVolume(float linear) {
    // To six places: what was set as 0.7 reads back as 0.7, not as the cube
    // root of the float nearest to 0.343.
    return std::round(std::cbrt(double(linear)) * 1e6) / 1e6;
}
