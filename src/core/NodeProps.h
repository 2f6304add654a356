// A node's volume and mute as its "Props" param carries them, and the Props
// object that sets them. Pure pod handling, free of V8 and of the PipeWire
// thread, so that malformed params can be tried in plain C++.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

#include <spa/pod/builder.h>
#include <spa/pod/pod.h>

// As many channels as a PipeWire audio format can have.
constexpr size_t kMaxVolumeChannels = 64;
// The audio converter's range for a channel volume (its PropInfo).
constexpr float kMaxLinearVolume = 10.0f;

struct NodeControls {
    // Linear, one per channel in the node's order; empty when the node's
    // Props carry none.
    std::vector<float> channelVolumes;
    std::vector<uint32_t> channelMap;  // SPA_AUDIO_CHANNEL_* ids, where given
    bool hasMute = false;
    bool mute = false;

    bool hasVolume() const { return !channelVolumes.empty(); }
    bool sameVolume(const NodeControls& o) const {
        return channelVolumes == o.channelVolumes && channelMap == o.channelMap;
    }
    bool sameMute(const NodeControls& o) const { return hasMute == o.hasMute && mute == o.mute; }
};

// Shared and never changed once made, as formats are: records copy it into
// events for free.
using ControlsRef = std::shared_ptr<const NodeControls>;

// Reads the volume data of a Props param of `size` bytes at most. False
// when it is not a Props object or carries neither channel volumes nor
// mute (a node's other Props object, say). Untrusted input: a value of the
// wrong type, a count beyond kMaxVolumeChannels or a volume that is
// negative or not finite leaves that value out.
bool parseNodeProps(const spa_pod* param, size_t size, NodeControls& out);

// A Props object setting `count` channel volumes (none when 0) and, when
// `mute` is 0 or 1, the mute; null when the builder's buffer is too small.
const spa_pod* buildNodeProps(spa_pod_builder* b, const float* volumes, size_t count, int mute);

// The cubic volume (as WirePlumber's mixer shows it) of a linear one, to
// six decimal places.
double cubicVolume(float linear);
