// The properties an object's owner announces: kept as announced within
// bounds. (Who made a node, by its properties: devices.test.js.)
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "core/PackedProps.h"

namespace {

using namespace std::string_literals;

TEST(PackedProps, KeptAsAnnouncedAndLeftOutWholeBeyondTheBounds) {
    // A value-less property is an empty text; a key-less item is no
    // property; a repeated key stays.
    std::vector<spa_dict_item> odd = {{"node.name", "app"}, {"no.value", nullptr}, {nullptr, "x"}, {"node.name", "b"}};
    spa_dict dict = SPA_DICT_INIT(odd.data(), 4);
    EXPECT_EQ(packProps(&dict), "node.name\0app\0no.value\0\0node.name\0b\0"s);

    std::vector<std::string> texts;
    for (int i = 0; i < 3000; i++) texts.push_back("k" + std::to_string(i));
    std::vector<spa_dict_item> items;
    for (const std::string& t : texts) items.push_back(SPA_DICT_ITEM_INIT(t.c_str(), "v"));
    items[1].value = nullptr;
    dict = SPA_DICT_INIT(items.data(), uint32_t(items.size()));
    auto count = [](const std::string& packed) {
        size_t n = 0;
        forEachProp(packed, [&](std::string_view, std::string_view) { n++; });
        return n;
    };
    EXPECT_EQ(count(packProps(&dict)), 3000u);
    EXPECT_EQ(count(packProps(&dict, SIZE_MAX, 10)), 10u);
    // By bytes: "kN\0v\0" is 5 bytes, "k1\0\0" 4; nothing is cut in half.
    EXPECT_EQ(packProps(&dict, 22), "k0\0v\0k1\0\0k2\0v\0k3\0v\0"s);

    // 2,000 properties of the owner's, then the daemon's own keys: those
    // are kept whatever the others take, in their place.
    std::string large(30, 'x');
    items.clear();
    for (int i = 0; i < 2000; i++) items.push_back(SPA_DICT_ITEM_INIT(texts[i].c_str(), large.c_str()));
    items.push_back(SPA_DICT_ITEM_INIT("object.serial", "77"));
    items.push_back(SPA_DICT_ITEM_INIT("client.id", "31"));
    dict = SPA_DICT_INIT(items.data(), uint32_t(items.size()));
    std::string packed = packProps(&dict, kMaxPropsBytes, kMaxProps);
    EXPECT_LE(packed.size(), kMaxPropsBytes);
    EXPECT_EQ(packedSerial(packed), 77u);
    EXPECT_EQ(packed.substr(packed.size() - 13), "client.id\0"s + "31\0"s);
    EXPECT_STREQ(findProp(packed, "k0"), large.c_str());

    // A serial is the first value of its key, in digits only.
    EXPECT_EQ(packedSerial("object.serial\0"s + "42\0object.serial\0"s + "7\0"s), 42u);
    EXPECT_EQ(packedSerial("node.name\0x\0"s), 0u);
    for (const char* bad : {"", "12abc", " 12", "-1", "1234567890123456"}) EXPECT_EQ(parseSerial(bad), 0u) << bad;
    EXPECT_EQ(parseSerial("123456789012345"), 123456789012345u);
}

}  // namespace
