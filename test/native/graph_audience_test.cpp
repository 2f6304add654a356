// What the Graph hears: every property as announced, every change once while
// it listens and nothing after it stopped, even what was queued already.
#include <gtest/gtest.h>

#include <string>
#include <utility>
#include <vector>

#include "events/EventQueue.h"
#include "pipewire/ObjectInfo.h"
#include "pipewire/PackedProps.h"
#include "pipewire/PwContext.h"
#include "pipewire/RegistryMirror.h"
#include "pipewire/SharedConnection.h"

namespace {

std::vector<std::pair<std::string, std::string>> unpack(const std::string& packed) {
    std::vector<std::pair<std::string, std::string>> out;
    forEachProp(packed, [&](std::string_view k, std::string_view v) { out.emplace_back(k, v); });
    return out;
}

class Audience : public ::testing::Test {
protected:
    PwContext ctx;

    // No PipeWire thread runs here, whatever a test pretended.
    void TearDown() override { ctx.threadStarted = false; }

    void announce(uint32_t id, const char* type, std::vector<spa_dict_item> items) {
        spa_dict dict = SPA_DICT_INIT(items.data(), uint32_t(items.size()));
        onRegistryGlobal(&ctx, id, 0, type, 3, &dict);
    }
    std::vector<PwEvent> drain() {
        std::vector<PwEvent> out;
        PwEvent e;
        while (takeNextEvent(&ctx, e)) out.push_back(e);
        return out;
    }
    static std::vector<std::pair<int, uint32_t>> kinds(const std::vector<PwEvent>& events, uint8_t audience) {
        std::vector<std::pair<int, uint32_t>> out;
        for (const PwEvent& e : events)
            if (e.audience & audience) out.emplace_back(e.type, e.id);
        return out;
    }
};

TEST_F(Audience, PropertiesAreKeptAsAnnouncedWhateverTheirTexts) {
    announce(5, PW_TYPE_INTERFACE_Node,
             {SPA_DICT_ITEM_INIT("node.name", "app"), SPA_DICT_ITEM_INIT("empty", ""),
              SPA_DICT_ITEM_INIT("no.value", nullptr), SPA_DICT_ITEM_INIT(nullptr, "no key"),
              SPA_DICT_ITEM_INIT("node.name", "second"), SPA_DICT_ITEM_INIT("utf8", "Lautsprecher \xc3\xbc")});
    announce(6, PW_TYPE_INTERFACE_Port, {SPA_DICT_ITEM_INIT("audio.channel", "FL")});
    onRegistryGlobal(&ctx, 7, 0, PW_TYPE_INTERFACE_Link, 3, nullptr);
    using P = std::vector<std::pair<std::string, std::string>>;
    // A value-less property is an empty text; a key-less item is no property;
    // a repeated key stays as announced (the first one is the node's name).
    EXPECT_EQ(unpack(ctx.nodes[0].props), (P{{"node.name", "app"},
                                             {"empty", ""},
                                             {"no.value", ""},
                                             {"node.name", "second"},
                                             {"utf8", "Lautsprecher \xc3\xbc"}}));
    EXPECT_EQ(ctx.nodes[0].name, "app");
    EXPECT_EQ(unpack(ctx.ports[0].props), (P{{"audio.channel", "FL"}}));
    EXPECT_EQ(unpack(ctx.links[0].props), P{});
}

TEST_F(Audience, TheGraphHearsChangesOnlyWhileItListens) {
    announce(10, PW_TYPE_INTERFACE_Node, {});
    // A connection the script holds, as if its thread ran: the Graph joins it.
    ctx.initialized = true;
    ctx.threadStarted = true;
    ctx.loopState = LoopState::Running;
    ctx.connected = true;
    ctx.initialSyncDone = true;
    ctx.infoSyncDone = true;
    ASSERT_TRUE(openForGraph(&ctx, false));
    announce(11, PW_TYPE_INTERFACE_Port, {SPA_DICT_ITEM_INIT("node.id", "10")});
    onRegistryGlobalRemove(&ctx, 11);
    auto events = drain();
    // Connected (what was there it lists from the mirror), then the changes;
    // the listeners of `on` hear only nodes and links.
    EXPECT_EQ(kinds(events, ForGraph),
              (std::vector<std::pair<int, uint32_t>>{{Connected, 0}, {PortCreated, 11}, {PortDestroyed, 11}}));
    EXPECT_EQ(kinds(events, ForListeners), (std::vector<std::pair<int, uint32_t>>{{NodeCreated, 10}}));

    // Queued for the Graph but not yet dispatched when it stops: dropped for
    // it, kept for the listeners.
    announce(12, PW_TYPE_INTERFACE_Node, {});
    closeForGraph(&ctx);
    announce(13, PW_TYPE_INTERFACE_Node, {});
    events = drain();
    EXPECT_EQ(kinds(events, ForGraph), (std::vector<std::pair<int, uint32_t>>{}));
    EXPECT_EQ(kinds(events, ForListeners),
              (std::vector<std::pair<int, uint32_t>>{{NodeCreated, 12}, {NodeCreated, 13}}));
}

TEST_F(Audience, TheGraphHearsTheMirrorOnceTheInfoRoundTripEnds) {
    ctx.initialized = true;
    ctx.threadStarted = true;
    ctx.loopState = LoopState::Running;
    ctx.connected = true;
    ctx.initialSyncDone = true;
    ctx.infoSyncSeq = 7;
    announce(10, PW_TYPE_INTERFACE_Node, {});
    ASSERT_TRUE(openForGraph(&ctx, false));
    announce(11, PW_TYPE_INTERFACE_Port, {SPA_DICT_ITEM_INIT("node.id", "10")});
    announce(12, PW_TYPE_INTERFACE_Node, {});
    onRegistryGlobalRemove(&ctx, 12);
    onInfoRoundTrip(&ctx, 6);  // another round trip
    EXPECT_EQ(kinds(drain(), ForGraph), (std::vector<std::pair<int, uint32_t>>{}));
    // Then, for a reconnect, the mirror as it is, once, and the changes after it.
    ctx.graphWantsMirror = true;
    onInfoRoundTrip(&ctx, 7);
    onInfoRoundTrip(&ctx, 7);
    onRegistryGlobalRemove(&ctx, 11);
    EXPECT_EQ(kinds(drain(), ForGraph),
              (std::vector<std::pair<int, uint32_t>>{
                  {NodeCreated, 10}, {PortCreated, 11}, {Connected, 0}, {PortDestroyed, 11}}));
}

}  // namespace
