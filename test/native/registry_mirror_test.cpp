// Announcements no test daemon produces, straight into the mirror handlers:
// the side a node or port is on decides what the lists and by-name links
// pick; what the announcer gives is kept within bounds.
#include <gtest/gtest.h>

#include <string>
#include <tuple>
#include <utility>
#include <vector>

#include "connection/PwContext.h"
#include "connection/RegistryMirror.h"
#include "core/PackedProps.h"

namespace {

void announce(PwContext& ctx, uint32_t id, const char* type, const char* key, const char* value) {
    spa_dict_item item = SPA_DICT_ITEM_INIT(key, value);
    spa_dict dict = SPA_DICT_INIT(&item, 1);
    onRegistryGlobal(&ctx, id, 0, type, 3, &dict);
}

TEST(Mirror, MediaClassAndPortDirectionDecideTheSidesPropertiesKeptWithinBounds) {
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

    // The properties of any object kept within the infos' bounds.
    ctx.nodes.clear(), ctx.ports.clear();
    std::vector<std::string> keys;
    for (uint32_t i = 0; i < kMaxProps + 500; i++) keys.push_back("k." + std::to_string(i));
    std::string big(kMaxPropsBytes, 'v');
    std::vector<spa_dict_item> items;
    for (const std::string& k : keys) items.push_back(SPA_DICT_ITEM_INIT(k.c_str(), "v"));
    spa_dict many = SPA_DICT_INIT(items.data(), uint32_t(items.size()));
    spa_dict_item huge = SPA_DICT_ITEM_INIT("huge", big.c_str());
    spa_dict large = SPA_DICT_INIT(&huge, 1);
    for (const char* type : {PW_TYPE_INTERFACE_Node, PW_TYPE_INTERFACE_Port, PW_TYPE_INTERFACE_Link}) {
        onRegistryGlobal(&ctx, 300, 0, type, 3, &many);
        onRegistryGlobal(&ctx, 301, 0, type, 3, &large);
    }
    for (const std::string* props : {&ctx.nodes[0].props, &ctx.ports[0].props, &ctx.links[0].props}) {
        size_t n = 0;
        forEachProp(*props, [&](std::string_view, std::string_view) { n++; });
        EXPECT_EQ(n, kMaxProps);
    }
    for (const std::string* props : {&ctx.nodes[1].props, &ctx.ports[1].props, &ctx.links[1].props})
        EXPECT_EQ(*props, "");
}

}  // namespace
