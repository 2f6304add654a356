// A negotiated format as the Graph reports it: media type and subtype, and
// for raw audio (and DSP audio, raw video) the sample format, rate, channels
// and positions. Names are PipeWire's own short names ("audio", "raw",
// "F32LE", "FL"): static texts, so a record holds pointers, not copies.
#pragma once

#include <cstdint>
#include <memory>
#include <vector>

#include <spa/pod/pod.h>

struct MediaFormat {
    const char* mediaType = nullptr;
    const char* mediaSubtype = nullptr;
    const char* sampleFormat = nullptr;  // null where the format has none
    uint32_t rate = 0;                   // 0: not given
    uint32_t channels = 0;               // 0: not given
    std::vector<const char*> positions;  // empty: not given

    bool operator==(const MediaFormat& o) const;
    bool operator!=(const MediaFormat& o) const { return !(*this == o); }
};

// Shared and never changed once made: records copy it into events for free.
using FormatRef = std::shared_ptr<const MediaFormat>;

// The format in a Format param pod; null when the pod is not a format (or
// absent). Untrusted input: anything malformed gives null or fewer fields.
FormatRef parseMediaFormat(const spa_pod* pod);

// Whether two formats are the same (both null counts as the same).
bool sameFormat(const FormatRef& a, const FormatRef& b);
