// Formats as the daemon may send them in a link's info or a port's Format
// param, including ones no test daemon negotiates.
#include <gtest/gtest.h>

#include <spa/param/audio/format-utils.h>
#include <spa/param/video/format-utils.h>
#include <spa/pod/builder.h>

#include "pipewire/MediaFormat.h"

namespace {

const spa_pod* audioRaw(spa_pod_builder* b, uint32_t channels, const uint32_t* positions) {
    spa_audio_info_raw info{};
    info.format = SPA_AUDIO_FORMAT_S16_LE;
    info.rate = 44100;
    info.channels = channels;
    if (positions)
        for (uint32_t i = 0; i < channels; i++) info.position[i] = positions[i];
    else
        info.flags = SPA_AUDIO_FLAG_UNPOSITIONED;
    return spa_format_audio_raw_build(b, SPA_PARAM_Format, &info);
}

TEST(MediaFormat, RawAudioWithPositionsDspAndVideo) {
    uint8_t buffer[1024];
    spa_pod_builder b = SPA_POD_BUILDER_INIT(buffer, sizeof buffer);
    const uint32_t positions[] = {SPA_AUDIO_CHANNEL_FL, SPA_AUDIO_CHANNEL_FR};
    FormatRef f = parseMediaFormat(audioRaw(&b, 2, positions));
    ASSERT_TRUE(f);
    EXPECT_STREQ(f->mediaType, "audio");
    EXPECT_STREQ(f->mediaSubtype, "raw");
    EXPECT_STREQ(f->sampleFormat, "S16LE");
    EXPECT_EQ(f->rate, 44100u);
    EXPECT_EQ(f->channels, 2u);
    ASSERT_EQ(f->positions.size(), 2u);
    EXPECT_STREQ(f->positions[1], "FR");

    // Unpositioned: channels without positions; equal formats compare equal.
    b = SPA_POD_BUILDER_INIT(buffer, sizeof buffer);
    FormatRef plain = parseMediaFormat(audioRaw(&b, 2, nullptr));
    ASSERT_TRUE(plain);
    EXPECT_TRUE(plain->positions.empty());
    EXPECT_FALSE(sameFormat(f, plain));
    b = SPA_POD_BUILDER_INIT(buffer, sizeof buffer);
    EXPECT_TRUE(sameFormat(f, parseMediaFormat(audioRaw(&b, 2, positions))));
    EXPECT_TRUE(sameFormat(nullptr, nullptr));
    EXPECT_FALSE(sameFormat(f, nullptr));

    b = SPA_POD_BUILDER_INIT(buffer, sizeof buffer);
    spa_video_info_raw video{};
    video.format = SPA_VIDEO_FORMAT_RGB;
    video.size = SPA_RECTANGLE(320, 240);
    FormatRef v = parseMediaFormat(spa_format_video_raw_build(&b, SPA_PARAM_Format, &video));
    ASSERT_TRUE(v);
    EXPECT_STREQ(v->mediaType, "video");
    EXPECT_STREQ(v->sampleFormat, "RGB");
    EXPECT_EQ(v->rate, 0u);
}

TEST(MediaFormat, NotAFormatOrUnknownIdsGiveNullOrNoNames) {
    EXPECT_FALSE(parseMediaFormat(nullptr));
    uint8_t buffer[512];
    spa_pod_builder b = SPA_POD_BUILDER_INIT(buffer, sizeof buffer);
    EXPECT_FALSE(parseMediaFormat(static_cast<const spa_pod*>(spa_pod_builder_add_object(
        &b, SPA_TYPE_OBJECT_ParamBuffers, SPA_PARAM_Buffers, SPA_PARAM_BUFFERS_buffers, SPA_POD_Int(2)))));
    // A format without its media type is no format.
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
    EXPECT_EQ(f->sampleFormat, nullptr);
    EXPECT_EQ(f->channels, 500u);
    EXPECT_TRUE(f->positions.empty());
}

}  // namespace
