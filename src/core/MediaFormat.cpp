#include "MediaFormat.h"

#include <cstring>

#include <spa/debug/types.h>
#include <spa/param/audio/format-utils.h>
#include <spa/param/audio/type-info.h>
#include <spa/param/format-utils.h>
#include <spa/param/type-info.h>
#include <spa/param/video/format-utils.h>
#include <spa/param/video/type-info.h>

namespace {

bool sameText(const char* a, const char* b) {
    return a == b || (a && b && std::strcmp(a, b) == 0);
}

const char* shortName(const spa_type_info* table, uint32_t id) {
    return spa_debug_type_find_short_name(table, id);
}

// The parser stores the daemon's id in an enumeration field whatever its
// value: read as the number it is.
template <typename Enum>
uint32_t idOf(const Enum& field) {
    static_assert(sizeof(Enum) == sizeof(uint32_t), "an id field");
    uint32_t id;
    std::memcpy(&id, &field, sizeof id);
    return id;
}

}  // namespace

bool MediaFormat::operator==(const MediaFormat& o) const {
    if (!sameText(mediaType, o.mediaType) || !sameText(mediaSubtype, o.mediaSubtype) ||
        !sameText(sampleFormat, o.sampleFormat) || rate != o.rate || channels != o.channels ||
        positions.size() != o.positions.size())
        return false;
    for (size_t i = 0; i < positions.size(); i++)
        if (!sameText(positions[i], o.positions[i])) return false;
    return true;
}

bool sameFormat(const FormatRef& a, const FormatRef& b) {
    if (!a || !b) return !a && !b;
    return a == b || *a == *b;
}

FormatRef parseMediaFormat(const spa_pod* pod) {
    if (!pod || !spa_pod_is_object_type(pod, SPA_TYPE_OBJECT_Format)) return nullptr;
    uint32_t type = 0, subtype = 0;
    if (spa_format_parse(pod, &type, &subtype) < 0) return nullptr;
    auto format = std::make_shared<MediaFormat>();
    format->mediaType = shortName(spa_type_media_type, type);
    format->mediaSubtype = shortName(spa_type_media_subtype, subtype);
    if (type == SPA_MEDIA_TYPE_audio && subtype == SPA_MEDIA_SUBTYPE_raw) {
        spa_audio_info_raw raw{};
        if (spa_format_audio_raw_parse(pod, &raw) >= 0) {
            format->sampleFormat = shortName(spa_type_audio_format, idOf(raw.format));
            format->rate = raw.rate;
            format->channels = raw.channels;
            // The parser stops at its own array's size; positions are given
            // only when they cover the channels.
            uint32_t given = raw.channels <= SPA_AUDIO_MAX_CHANNELS ? raw.channels : 0;
            if (!(raw.flags & SPA_AUDIO_FLAG_UNPOSITIONED))
                for (uint32_t i = 0; i < given; i++) {
                    const char* name = shortName(spa_type_audio_channel, raw.position[i]);
                    if (!name) break;
                    format->positions.push_back(name);
                }
            if (format->positions.size() != given) format->positions.clear();
        }
    } else if (type == SPA_MEDIA_TYPE_audio && subtype == SPA_MEDIA_SUBTYPE_dsp) {
        spa_audio_info_dsp dsp{};
        if (spa_format_audio_dsp_parse(pod, &dsp) >= 0)
            format->sampleFormat = shortName(spa_type_audio_format, idOf(dsp.format));
    } else if (type == SPA_MEDIA_TYPE_video && subtype == SPA_MEDIA_SUBTYPE_raw) {
        spa_video_info_raw raw{};
        if (spa_format_video_raw_parse(pod, &raw) >= 0)
            format->sampleFormat = shortName(spa_type_video_format, idOf(raw.format));
    }
    return format;
}
