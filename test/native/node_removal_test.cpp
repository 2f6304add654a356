// What decides whether a node may be removed, and requests made without a
// running connection.
#include <gtest/gtest.h>

#include "nodes/NodeCreation.h"
#include "pipewire/PackedProps.h"
#include "pipewire/PwContext.h"

namespace {

spa_dict dictOf(const std::vector<spa_dict_item>& items) {
    return SPA_DICT_INIT(items.data(), uint32_t(items.size()));
}

TEST(NodeRemoval, OnlyAMarkedNodeWithTheSameSerial) {
    std::vector<spa_dict_item> marked = {{"object.serial", "42"}, {kCreatedByKey, "script.js"}};
    std::vector<spa_dict_item> unmarked = {{"object.serial", "42"}, {"node.name", "quorvane.created-by"}};
    std::vector<spa_dict_item> emptyMarker = {{kCreatedByKey, ""}, {"object.serial", "7"}};
    std::vector<spa_dict_item> noSerial = {{kCreatedByKey, "x"}};
    spa_dict a = dictOf(marked), b = dictOf(unmarked), c = dictOf(emptyMarker), d = dictOf(noSerial);
    EXPECT_TRUE(mayRemoveNode(&a, 42));
    EXPECT_FALSE(mayRemoveNode(&a, 43));  // the id was handed to another object
    EXPECT_FALSE(mayRemoveNode(&a, 0));
    EXPECT_FALSE(mayRemoveNode(&b, 42));  // not made by this package
    EXPECT_TRUE(mayRemoveNode(&c, 7));    // the key marks it, whatever its value
    EXPECT_FALSE(mayRemoveNode(&d, 0));
    EXPECT_FALSE(mayRemoveNode(nullptr, 42));
}

TEST(NodeRemoval, SerialOfPackedProperties) {
    std::vector<spa_dict_item> items = {{"object.serial.x", "9"}, {"object.serial", "18446744073709551615"}};
    spa_dict dict = dictOf(items);
    EXPECT_EQ(packedSerial(packProps(&dict)), 18446744073709551615ull);
    std::vector<spa_dict_item> none = {{"node.name", "a"}};
    dict = dictOf(none);
    EXPECT_EQ(packedSerial(packProps(&dict)), 0u);
    EXPECT_EQ(packedSerial(""), 0u);
}

TEST(NodeRemoval, RequestsWithoutAConnectionAreRefusedAndLeaveNothing) {
    PwContext ctx;
    EXPECT_FALSE(requestNodeCreation(&ctx, 1, {{"node.name", "a"}}, false));
    EXPECT_FALSE(requestNodeRemoval(&ctx, 2, 5, 5));
    releaseOwnedNodes(&ctx);  // returns at once
    EXPECT_TRUE(takeNodeOutcomes().empty());
}

}  // namespace
