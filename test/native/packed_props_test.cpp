// The bounds on what an object's owner can make the mirror keep.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "pipewire/PackedProps.h"

namespace {

TEST(PackedProps, PropertiesBeyondTheBoundsAreLeftOutWhole) {
    std::vector<std::string> texts;
    for (int i = 0; i < 3000; i++) texts.push_back("k" + std::to_string(i));
    std::vector<spa_dict_item> items;
    for (const std::string& t : texts) items.push_back(SPA_DICT_ITEM_INIT(t.c_str(), "v"));
    items[1].value = nullptr;  // a key without a value packs as ""
    spa_dict dict = SPA_DICT_INIT(items.data(), uint32_t(items.size()));

    auto count = [](const std::string& packed) {
        size_t n = 0;
        forEachProp(packed, [&](std::string_view, std::string_view) { n++; });
        return n;
    };
    EXPECT_EQ(count(packProps(&dict)), 3000u);
    std::string few = packProps(&dict, SIZE_MAX, 10);
    EXPECT_EQ(count(few), 10u);
    EXPECT_EQ(few.substr(0, 8), std::string("k0\0v\0k1\0\0", 8));
    // By bytes: "kN\0v\0" is 5 bytes, "k1\0\0" 4; nothing is cut in half.
    std::string bounded = packProps(&dict, 22);
    EXPECT_EQ(bounded.size(), 19u);
    EXPECT_EQ(count(bounded), 4u);
}

}  // namespace
