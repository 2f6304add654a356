// The kind of data a port carries, as JACK applications and patchbays tell
// ports apart: audio, MIDI, video or control. PipeWire gives no such field:
// it is read from what the port announces.
#pragma once

#include <cstring>
#include <string>
#include <string_view>

#include "MediaFormat.h"
#include "PackedProps.h"

// portType(packedProps, format) → "audio", "midi", "video" or "control"
// (static texts), or null when the port says nothing of it. In order:
//   - "port.control" = "true": a control port;
//   - "format.dsp", the DSP format every JACK and filter port announces from
//     its start ("32 bit float mono audio", "8 bit raw midi", "32 bit raw
//     UMP" on PipeWire 1.4 and later, "32 bit float RGBA video", "8 bit raw
//     control", "8 bit raw OSC");
//   - the negotiated format's media type (audio, video; application/control
//     for control data), where a port has one.
inline const char* portType(const std::string& packedProps, const MediaFormat* format) {
    const char* control = nullptr;
    const char* dsp = nullptr;
    forEachProp(packedProps, [&](std::string_view k, std::string_view v) {
        if (!control && k == "port.control") control = v.data();
        if (!dsp && k == "format.dsp") dsp = v.data();
    });
    if (control && std::strcmp(control, "true") == 0) return "control";
    if (dsp) {
        std::string_view d(dsp);
        auto has = [&](std::string_view word) { return d.find(word) != std::string_view::npos; };
        if (has("audio")) return "audio";
        if (has("midi") || has("UMP")) return "midi";
        if (has("video")) return "video";
        if (has("control") || has("OSC")) return "control";
    }
    if (format && format->mediaType) {
        if (std::strcmp(format->mediaType, "audio") == 0) return "audio";
        if (std::strcmp(format->mediaType, "video") == 0) return "video";
        if (format->mediaSubtype && std::strcmp(format->mediaSubtype, "control") == 0) return "control";
    }
    return nullptr;
}
