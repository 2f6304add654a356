// What a port carries, from what it announces: its "format.dsp" as each
// PipeWire line and JACK write it, "port.control", else its format. (The
// ports of real JACK clients: jack.test.js.)
#include <gtest/gtest.h>

#include <string>

#include "core/PortType.h"

namespace {

using namespace std::string_literals;

std::string packed(const std::string& key, const std::string& value) {
    return key + '\0' + value + '\0';
}

TEST(PortType, FromTheDspFormatThenControlThenTheFormat) {
    const char* none = nullptr;
    for (const auto& [dsp, type] : {std::pair{"32 bit float mono audio", "audio"},
                                    {"8 bit raw midi", "midi"},
                                    {"32 bit raw UMP", "midi"},
                                    {"32 bit float RGBA video", "video"},
                                    {"8 bit raw control", "control"},
                                    {"8 bit raw OSC", "control"}}) {
        EXPECT_STREQ(portType(packed("format.dsp", dsp), nullptr), type) << dsp;
    }
    EXPECT_STREQ(portType(packed("format.dsp", "something else"), nullptr), none);
    EXPECT_STREQ(portType(""s, nullptr), none);
    // "port.control" wins over the DSP format; only "true" counts.
    EXPECT_STREQ(portType(packed("port.control", "true") + packed("format.dsp", "8 bit raw midi"), nullptr), "control");
    EXPECT_STREQ(portType(packed("port.control", "false") + packed("format.dsp", "8 bit raw midi"), nullptr), "midi");
    // Without a DSP format, the negotiated format's media type.
    MediaFormat audio, video, control, other;
    audio.mediaType = "audio", video.mediaType = "video";
    control.mediaType = "application", control.mediaSubtype = "control";
    other.mediaType = "application", other.mediaSubtype = "octet";
    EXPECT_STREQ(portType(""s, &audio), "audio");
    EXPECT_STREQ(portType(""s, &video), "video");
    EXPECT_STREQ(portType(""s, &control), "control");
    EXPECT_STREQ(portType(""s, &other), none);
    EXPECT_STREQ(portType(packed("format.dsp", "8 bit raw midi"), &audio), "midi");
}

}  // namespace
