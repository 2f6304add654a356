// Announcements no test daemon produces, straight into the mirror handlers:
// the side a node or port is on decides what the lists and by-name links pick.
#include <gtest/gtest.h>

#include <tuple>
#include <utility>

#include "connection/PwContext.h"
#include "connection/RegistryMirror.h"

namespace {

void announce(PwContext& ctx, uint32_t id, const char* type, const char* key, const char* value) {
    spa_dict_item item = SPA_DICT_ITEM_INIT(key, value);
    spa_dict dict = SPA_DICT_INIT(&item, 1);
    onRegistryGlobal(&ctx, id, 0, type, 3, &dict);
}

TEST(Mirror, MediaClassAndPortDirectionDecideTheSides) {
    PwContext ctx;
    const std::tuple<const char*, bool, bool> classes[] = {
        {"Audio/Sink", false, true},         {"Audio/Source", true, false},
        {"Stream/Output/Audio", true, true}, {"Stream/Input/Audio", true, false},
        {"Audio/Duplex", true, true},        {"Audio/Sink/Input", true, true},
        {"audio/sink", false, false},        {"", false, false},
    };
    for (auto& [cls, in, out] : classes) {
        announce(ctx, 100, PW_TYPE_INTERFACE_Node, "media.class", cls);
        EXPECT_EQ(std::make_pair(ctx.nodes.back().isInput, ctx.nodes.back().isOutput), std::make_pair(in, out)) << cls;
    }

    // Only "in" exactly is an input port.
    const std::pair<const char*, uint32_t> directions[] = {{"in", 1}, {"out", 0}, {"In", 0}, {"inx", 0}, {"", 0}};
    for (auto& [text, expected] : directions) {
        announce(ctx, 200, PW_TYPE_INTERFACE_Port, "port.direction", text);
        EXPECT_EQ(ctx.ports.back().direction, expected) << text;
    }
}

}  // namespace
