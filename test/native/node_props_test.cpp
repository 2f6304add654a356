// A node's Props param as any node's owner may send it, and the metadata
// entries any client may write: both are kept only within bounds. (Well-formed
// ones, against a real daemon: control.test.js.)
#include <gtest/gtest.h>

#include <cmath>
#include <string>
#include <tuple>
#include <vector>

#include <pipewire/core.h>
#include <spa/param/audio/raw.h>
#include <spa/param/format.h>
#include <spa/param/props.h>
#include <spa/pod/builder.h>

#include "core/NodeProps.h"
#include "features/control/Metadata.h"

namespace {

enum Elements { Floats, Ints, Sizeless };

// A Props object: a mute, `n` channel volumes of `value`, and a channel map
// of `mapped` positions when not 0. Floats: a Bool mute and Float volumes, as
// they should be; else an Int mute and Int volumes, or volumes of size 0.
const spa_pod* props(spa_pod_builder* b, uint32_t n, float value, Elements elements, uint32_t mapped) {
    std::vector<float> volumes(n, value);
    std::vector<int32_t> ints(n, 1);
    std::vector<uint32_t> map(mapped, SPA_AUDIO_CHANNEL_FL);
    spa_pod_frame f;
    spa_pod_builder_push_object(b, &f, SPA_TYPE_OBJECT_Props, SPA_PARAM_Props);
    if (elements == Floats) {
        spa_pod_builder_add(b, SPA_PROP_mute, SPA_POD_Bool(true), 0);
        spa_pod_builder_prop(b, SPA_PROP_channelVolumes, 0);
        spa_pod_builder_array(b, sizeof(float), SPA_TYPE_Float, n, volumes.data());
    } else {
        spa_pod_builder_add(b, SPA_PROP_mute, SPA_POD_Int(1), 0);
        spa_pod_builder_prop(b, SPA_PROP_channelVolumes, 0);
        spa_pod_builder_array(b, elements == Ints ? sizeof(int32_t) : 0, SPA_TYPE_Int, n, ints.data());
    }
    if (mapped) {
        spa_pod_builder_prop(b, SPA_PROP_channelMap, 0);
        spa_pod_builder_array(b, sizeof(uint32_t), SPA_TYPE_Id, mapped, map.data());
    }
    return static_cast<const spa_pod*>(spa_pod_builder_pop(b, &f));
}

TEST(NodeProps, MalformedPropsLeaveOutWhatIsWrong) {
    // n, value, elements, map size; parsed, volumes and map kept.
    const std::tuple<uint32_t, float, Elements, uint32_t, bool, size_t, size_t> cases[] = {
        {2, 0.5f, Floats, 2, true, 2, 2},  {1, 1.0f, Floats, 2, true, 1, 0}, {65, 0.5f, Floats, 0, true, 0, 0},
        {2, -1.0f, Floats, 0, true, 0, 0}, {2, NAN, Floats, 0, true, 0, 0},  {2, INFINITY, Floats, 0, true, 0, 0},
        {0, 1.0f, Floats, 0, true, 0, 0},  {2, 0.5f, Ints, 0, false, 0, 0},  {2, 0.5f, Sizeless, 0, false, 0, 0},
    };
    uint8_t buffer[4096];
    for (auto& [n, value, elements, mapped, parsed, volumes, map] : cases) {
        spa_pod_builder b = SPA_POD_BUILDER_INIT(buffer, sizeof buffer);
        const spa_pod* pod = props(&b, n, value, elements, mapped);
        NodeControls c;
        ASSERT_EQ(parseNodeProps(pod, SPA_POD_SIZE(pod), c), parsed) << n << " " << value;
        EXPECT_EQ(std::make_tuple(c.channelVolumes.size(), c.channelMap.size(), c.hasMute),
                  std::make_tuple(volumes, map, parsed))
            << n << " " << value;
        EXPECT_FALSE(parseNodeProps(pod, SPA_POD_SIZE(pod) - 1, c)) << "cut short";
    }
    // Not a Props object, or no object at all.
    spa_pod_builder b = SPA_POD_BUILDER_INIT(buffer, sizeof buffer);
    const spa_pod* pod = static_cast<const spa_pod*>(spa_pod_builder_add_object(
        &b, SPA_TYPE_OBJECT_Format, SPA_PARAM_Format, SPA_FORMAT_mediaType, SPA_POD_Id(SPA_MEDIA_TYPE_audio)));
    NodeControls c;
    EXPECT_FALSE(parseNodeProps(pod, SPA_POD_SIZE(pod), c));
    b = SPA_POD_BUILDER_INIT(buffer, sizeof buffer);
    spa_pod_builder_int(&b, 3);
    EXPECT_FALSE(parseNodeProps(reinterpret_cast<const spa_pod*>(buffer), 8, c));
    EXPECT_FALSE(parseNodeProps(nullptr, 0, c));
    EXPECT_EQ(cubicVolume(0.343f), 0.7) << "as wpctl prints it";
}

TEST(MetadataStore, KeepsEntriesWithinBoundsAndSaysWhatChanged) {
    MetadataStore store;
    std::vector<MetadataChange> out;
    // Too long: never kept; a kept key that grows too long goes.
    std::string big(MetadataStore::kMaxValueBytes + 1, 'x');
    store.apply(7, "target.object", "Spa:Id", "42", out);
    store.apply(7, "target.object", "Spa:Id", "42", out);  // no change
    store.apply(1, "big", nullptr, big.c_str(), out);
    store.apply(7, "target.object", "Spa:Id", big.c_str(), out);
    ASSERT_EQ(out.size(), 2u);
    EXPECT_EQ(std::make_tuple(out[0].kind, out[0].value, out[1].kind),
              std::make_tuple(MetadataChange::Set, std::string("42"), MetadataChange::Deleted));
    EXPECT_TRUE(store.entries().empty());
    // Thousands of keys: the first kMaxEntries are kept, in bytes too.
    out.clear();
    for (size_t i = 0; i < MetadataStore::kMaxEntries + 100; i++)
        store.apply(2, ("k" + std::to_string(i)).c_str(), nullptr, "v", out);
    EXPECT_EQ(store.entries().size(), MetadataStore::kMaxEntries);
    EXPECT_EQ(out.size(), MetadataStore::kMaxEntries);
    MetadataStore other;
    std::vector<MetadataChange> kept;
    std::string most(MetadataStore::kMaxValueBytes, 'y');
    for (int i = 0; i < 32; i++) other.apply(0, ("h" + std::to_string(i)).c_str(), nullptr, most.c_str(), kept);
    EXPECT_EQ(kept.size(), 15u);  // 1 MiB of 64 KiB values and their keys
    EXPECT_LE(other.bytes(), MetadataStore::kMaxBytes);
    // Full of others' entries to the last 10 bytes, it still keeps the
    // package's own keys, and counts what it left out.
    other.apply(0, "fill", nullptr, std::string(MetadataStore::kMaxBytes - other.bytes() - 14, 'z').c_str(), kept);
    ASSERT_EQ(other.bytes(), MetadataStore::kMaxBytes - 10);
    kept.clear();
    other.apply(0, "default.configured.audio.sink", "Spa:String:JSON", "{\"name\":\"s\"}", kept);
    other.apply(57, "target.object", "Spa:Id", "1234", kept);
    other.apply(0, "default.audio.sink", "Spa:String:JSON", most.c_str(), kept);  // too large to be one
    EXPECT_EQ(kept.size(), 2u);
    EXPECT_EQ(other.dropped(), 17u + 1u);
    // A subject cleared (key null), then everything (PW_ID_ANY): nothing left.
    out.clear();
    store.apply(2, nullptr, nullptr, nullptr, out);
    EXPECT_EQ(out.size(), MetadataStore::kMaxEntries);
    other.apply(PW_ID_ANY, nullptr, nullptr, nullptr, out);
    EXPECT_TRUE(store.entries().empty() && other.entries().empty());
    EXPECT_EQ(store.bytes() + other.bytes(), 0u);
}

}  // namespace
