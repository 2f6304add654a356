// Formats as the daemon may send them in a link's info or a port's Format
// param, that no test daemon negotiates (those it does: info.test.js).
#include <gtest/gtest.h>

#include <string>
#include <tuple>

#include <spa/param/audio/format-utils.h>
#include <spa/param/video/format-utils.h>
#include <spa/pod/builder.h>

#include "pipewire/MediaFormat.h"

namespace {

const spa_pod* audioRaw(spa_pod_builder* b, const uint32_t* positions) {
    spa_audio_info_raw info{};
    info.format = SPA_AUDIO_FORMAT_S16_LE;
    info.rate = 44100;
    info.channels = 2;
    if (positions)
        for (uint32_t i = 0; i < 2; i++) info.position[i] = positions[i];
    else
        info.flags = SPA_AUDIO_FLAG_UNPOSITIONED;
    return spa_format_audio_raw_build(b, SPA_PARAM_Format, &info);
}

TEST(MediaFormat, UnpositionedAudioVideoAndWhatIsNoFormat) {
    uint8_t buffer[1024];
    spa_pod_builder b = SPA_POD_BUILDER_INIT(buffer, sizeof buffer);
    FormatRef plain = parseMediaFormat(audioRaw(&b, nullptr));
    ASSERT_TRUE(plain);
    EXPECT_EQ(std::make_tuple(plain->channels, plain->positions.size()), std::make_tuple(2u, size_t(0)));
    const uint32_t positions[] = {SPA_AUDIO_CHANNEL_FL, SPA_AUDIO_CHANNEL_FR};
    b = SPA_POD_BUILDER_INIT(buffer, sizeof buffer);
    EXPECT_FALSE(sameFormat(plain, parseMediaFormat(audioRaw(&b, positions))));
    b = SPA_POD_BUILDER_INIT(buffer, sizeof buffer);
    EXPECT_TRUE(sameFormat(plain, parseMediaFormat(audioRaw(&b, nullptr))));
    EXPECT_FALSE(sameFormat(plain, nullptr));

    b = SPA_POD_BUILDER_INIT(buffer, sizeof buffer);
    spa_video_info_raw video{};
    video.format = SPA_VIDEO_FORMAT_RGB;
    FormatRef v = parseMediaFormat(spa_format_video_raw_build(&b, SPA_PARAM_Format, &video));
    ASSERT_TRUE(v);
    EXPECT_EQ(std::make_tuple(std::string(v->mediaType), std::string(v->sampleFormat), v->rate),
              std::make_tuple(std::string("video"), std::string("RGB"), 0u));

    // No format, or one without its media type.
    EXPECT_FALSE(parseMediaFormat(nullptr));
    b = SPA_POD_BUILDER_INIT(buffer, sizeof buffer);
    EXPECT_FALSE(parseMediaFormat(static_cast<const spa_pod*>(spa_pod_builder_add_object(
        &b, SPA_TYPE_OBJECT_Format, SPA_PARAM_Format, SPA_FORMAT_AUDIO_rate, SPA_POD_Int(1)))));
    // Ids the tables do not know, and more channels than positions can be
    // given for: names null, no positions.
    b = SPA_POD_BUILDER_INIT(buffer, sizeof buffer);
    const uint32_t odd[] = {0xdead};
    FormatRef f = parseMediaFormat(static_cast<const spa_pod*>(spa_pod_builder_add_object(
        &b, SPA_TYPE_OBJECT_Format, SPA_PARAM_Format, SPA_FORMAT_mediaType, SPA_POD_Id(SPA_MEDIA_TYPE_audio),
        SPA_FORMAT_mediaSubtype, SPA_POD_Id(SPA_MEDIA_SUBTYPE_raw), SPA_FORMAT_AUDIO_format, SPA_POD_Id(0xbeef),
        SPA_FORMAT_AUDIO_channels, SPA_POD_Int(500), SPA_FORMAT_AUDIO_position,
        SPA_POD_Array(sizeof(uint32_t), SPA_TYPE_Id, 1, odd))));
    ASSERT_TRUE(f);
    EXPECT_EQ(std::make_tuple(f->sampleFormat, f->channels, f->positions.size()),
              std::make_tuple(static_cast<const char*>(nullptr), 500u, size_t(0)));
}

}  // namespace
