// A node's Props param as any node's owner may send it, and the metadata
// entries any client may write: both are kept only within bounds.
#include <gtest/gtest.h>

#include <cmath>
#include <string>
#include <vector>

#include <pipewire/core.h>
#include <spa/param/audio/raw.h>
#include <spa/param/format.h>
#include <spa/param/props.h>
#include <spa/pod/builder.h>

#include "control/Metadata.h"
#include "pipewire/NodeProps.h"

namespace {

// A Props object whose channelVolumes is `n` floats of `value`, with mute.
const spa_pod* propsWith(spa_pod_builder* b, uint32_t n, float value) {
    std::vector<float> volumes(n, value);
    spa_pod_frame f;
    spa_pod_builder_push_object(b, &f, SPA_TYPE_OBJECT_Props, SPA_PARAM_Props);
    spa_pod_builder_add(b, SPA_PROP_mute, SPA_POD_Bool(true), 0);
    spa_pod_builder_prop(b, SPA_PROP_channelVolumes, 0);
    spa_pod_builder_array(b, sizeof(float), SPA_TYPE_Float, n, volumes.data());
    return static_cast<const spa_pod*>(spa_pod_builder_pop(b, &f));
}

TEST(NodeProps, BuiltPropsReadBackAndVolumesOnTheCubicScale) {
    uint8_t buffer[1024];
    spa_pod_builder b = SPA_POD_BUILDER_INIT(buffer, sizeof buffer);
    const float volumes[] = {0.125f, 0.343f};
    const spa_pod* pod = buildNodeProps(&b, volumes, 2, 1);
    ASSERT_NE(pod, nullptr);
    NodeControls c;
    ASSERT_TRUE(parseNodeProps(pod, SPA_POD_SIZE(pod), c));
    EXPECT_EQ(c.channelVolumes, std::vector<float>({0.125f, 0.343f}));
    EXPECT_TRUE(c.hasMute && c.mute);
    EXPECT_EQ(cubicVolume(c.channelVolumes[0]), 0.5);
    EXPECT_EQ(cubicVolume(c.channelVolumes[1]), 0.7);

    // Mute alone; a buffer too small for the object gives none.
    b = SPA_POD_BUILDER_INIT(buffer, sizeof buffer);
    pod = buildNodeProps(&b, nullptr, 0, 0);
    ASSERT_TRUE(parseNodeProps(pod, SPA_POD_SIZE(pod), c));
    EXPECT_FALSE(c.hasVolume());
    EXPECT_TRUE(c.hasMute && !c.mute);
    spa_pod_builder tiny = SPA_POD_BUILDER_INIT(buffer, 24);
    EXPECT_EQ(buildNodeProps(&tiny, volumes, 2, 1), nullptr);
}

TEST(NodeProps, MalformedPropsLeaveOutWhatIsWrong) {
    uint8_t buffer[4096];
    spa_pod_builder b = SPA_POD_BUILDER_INIT(buffer, sizeof buffer);
    NodeControls c;

    // Not a Props object, or cut short.
    const spa_pod* pod = static_cast<const spa_pod*>(spa_pod_builder_add_object(
        &b, SPA_TYPE_OBJECT_Format, SPA_PARAM_Format, SPA_FORMAT_mediaType, SPA_POD_Id(SPA_MEDIA_TYPE_audio)));
    EXPECT_FALSE(parseNodeProps(pod, SPA_POD_SIZE(pod), c));
    b = SPA_POD_BUILDER_INIT(buffer, sizeof buffer);
    spa_pod_builder_int(&b, 3);
    EXPECT_FALSE(parseNodeProps(reinterpret_cast<const spa_pod*>(buffer), 8, c));
    b = SPA_POD_BUILDER_INIT(buffer, sizeof buffer);
    pod = propsWith(&b, 2, 0.5f);
    EXPECT_FALSE(parseNodeProps(pod, SPA_POD_SIZE(pod) - 1, c));
    EXPECT_FALSE(parseNodeProps(nullptr, 0, c));

    // Wrong types: volumes as one float, mute as an int, volumes of ints.
    b = SPA_POD_BUILDER_INIT(buffer, sizeof buffer);
    const int32_t ints[] = {1, 2};
    spa_pod_frame f;
    spa_pod_builder_push_object(&b, &f, SPA_TYPE_OBJECT_Props, SPA_PARAM_Props);
    spa_pod_builder_add(&b, SPA_PROP_channelVolumes, SPA_POD_Float(0.5f), SPA_PROP_mute, SPA_POD_Int(1), 0);
    spa_pod_builder_prop(&b, SPA_PROP_channelVolumes, 0);
    spa_pod_builder_array(&b, sizeof(int32_t), SPA_TYPE_Int, 2, ints);
    pod = static_cast<const spa_pod*>(spa_pod_builder_pop(&b, &f));
    EXPECT_FALSE(parseNodeProps(pod, SPA_POD_SIZE(pod), c));

    // Absurd counts and values: the volumes are left out, the mute kept.
    for (auto [n, value] : {std::pair<uint32_t, float>{65, 0.5f}, {2, -1.0f}, {2, NAN}, {2, INFINITY}, {0, 1.0f}}) {
        b = SPA_POD_BUILDER_INIT(buffer, sizeof buffer);
        pod = propsWith(&b, n, value);
        c = NodeControls();
        ASSERT_TRUE(parseNodeProps(pod, SPA_POD_SIZE(pod), c)) << n << " " << value;
        EXPECT_FALSE(c.hasVolume()) << n << " " << value;
        EXPECT_TRUE(c.hasMute);
    }

    // An array whose elements claim no size, and a channel map that does not
    // fit the volumes.
    b = SPA_POD_BUILDER_INIT(buffer, sizeof buffer);
    spa_pod_builder_push_object(&b, &f, SPA_TYPE_OBJECT_Props, SPA_PARAM_Props);
    spa_pod_builder_prop(&b, SPA_PROP_channelVolumes, 0);
    spa_pod_builder_array(&b, 0, SPA_TYPE_Float, 0, nullptr);
    pod = static_cast<const spa_pod*>(spa_pod_builder_pop(&b, &f));
    EXPECT_FALSE(parseNodeProps(pod, SPA_POD_SIZE(pod), c));
    b = SPA_POD_BUILDER_INIT(buffer, sizeof buffer);
    const float one[] = {1.0f};
    const uint32_t map[] = {SPA_AUDIO_CHANNEL_FL, SPA_AUDIO_CHANNEL_FR};
    spa_pod_builder_push_object(&b, &f, SPA_TYPE_OBJECT_Props, SPA_PARAM_Props);
    spa_pod_builder_prop(&b, SPA_PROP_channelVolumes, 0);
    spa_pod_builder_array(&b, sizeof(float), SPA_TYPE_Float, 1, one);
    spa_pod_builder_prop(&b, SPA_PROP_channelMap, 0);
    spa_pod_builder_array(&b, sizeof(uint32_t), SPA_TYPE_Id, 2, map);
    pod = static_cast<const spa_pod*>(spa_pod_builder_pop(&b, &f));
    ASSERT_TRUE(parseNodeProps(pod, SPA_POD_SIZE(pod), c));
    EXPECT_EQ(c.channelVolumes.size(), 1u);
    EXPECT_TRUE(c.channelMap.empty());
}

TEST(MetadataStore, KeepsEntriesWithinBoundsAndSaysWhatChanged) {
    MetadataStore store;
    std::vector<MetadataChange> out;
    store.apply(0, "default.audio.sink", "Spa:String:JSON", "{\"name\":\"a\"}", out);
    store.apply(0, "default.audio.sink", "Spa:String:JSON", "{\"name\":\"a\"}", out);  // no change
    store.apply(7, "target.object", "Spa:Id", "42", out);
    ASSERT_EQ(out.size(), 2u);
    EXPECT_EQ(out[1].kind, MetadataChange::Set);
    EXPECT_EQ(out[1].subject, 7u);
    EXPECT_EQ(out[1].value, "42");

    // Too long: never kept; a kept key that grows too long goes.
    out.clear();
    std::string big(MetadataStore::kMaxValueBytes + 1, 'x');
    store.apply(1, "big", nullptr, big.c_str(), out);
    store.apply(7, "target.object", "Spa:Id", big.c_str(), out);
    ASSERT_EQ(out.size(), 1u);
    EXPECT_EQ(out[0].kind, MetadataChange::Deleted);
    EXPECT_EQ(store.entries().size(), 1u);

    // Thousands of keys: the first kMaxEntries are kept, in bytes too.
    out.clear();
    for (size_t i = 0; i < MetadataStore::kMaxEntries + 100; i++)
        store.apply(2, ("k" + std::to_string(i)).c_str(), nullptr, "v", out);
    EXPECT_EQ(store.entries().size(), MetadataStore::kMaxEntries);
    EXPECT_EQ(out.size(), MetadataStore::kMaxEntries - 1);
    MetadataStore other;
    std::vector<MetadataChange> kept;
    std::string most(MetadataStore::kMaxValueBytes, 'y');
    for (int i = 0; i < 32; i++) other.apply(0, ("h" + std::to_string(i)).c_str(), nullptr, most.c_str(), kept);
    EXPECT_EQ(kept.size(), 15u);  // 1 MiB of 64 KiB values and their keys
    EXPECT_LE(other.bytes(), MetadataStore::kMaxBytes);

    // A key deleted; a subject cleared (key null); everything (PW_ID_ANY).
    out.clear();
    store.apply(2, "k0", nullptr, nullptr, out);
    store.apply(2, "k0", nullptr, nullptr, out);  // gone already
    ASSERT_EQ(out.size(), 1u);
    EXPECT_EQ(out[0].key, "k0");
    store.apply(2, nullptr, nullptr, nullptr, out);
    EXPECT_EQ(out.size(), MetadataStore::kMaxEntries - 1);
    store.apply(PW_ID_ANY, nullptr, nullptr, nullptr, out);
    EXPECT_TRUE(store.entries().empty());
    EXPECT_EQ(store.bytes(), 0u);
}

}  // namespace
