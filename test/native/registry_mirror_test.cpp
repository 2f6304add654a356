// Registry announcements no real daemon produces, driven straight into the
// mirror handlers.
#include <gtest/gtest.h>

#include <initializer_list>
#include <tuple>
#include <utility>
#include <vector>

#include "events/EventQueue.h"
#include "pipewire/PwContext.h"
#include "pipewire/RegistryMirror.h"

namespace {

using Props = std::vector<std::pair<const char*, const char*>>;

class Mirror : public ::testing::Test {
protected:
    PwContext ctx;

    void announce(uint32_t id, const char* type, const Props& props, uint32_t version = 3) {
        std::vector<spa_dict_item> items;
        for (auto& [k, v] : props) items.push_back(SPA_DICT_ITEM_INIT(k, v));
        spa_dict dict = SPA_DICT_INIT(items.data(), uint32_t(items.size()));
        onRegistryGlobal(&ctx, id, 0, type, version, &dict);
    }
    void node(uint32_t id, const Props& props) { announce(id, PW_TYPE_INTERFACE_Node, props); }
    void port(uint32_t id, const Props& props) { announce(id, PW_TYPE_INTERFACE_Port, props); }
    void link(uint32_t id, const Props& props) { announce(id, PW_TYPE_INTERFACE_Link, props); }
    void remove(uint32_t id) { onRegistryGlobalRemove(&ctx, id); }

    std::vector<PwEvent> drain() {
        std::vector<PwEvent> out;
        PwEvent e;
        while (takeNextEvent(&ctx, e)) out.push_back(e);
        return out;
    }
};

TEST_F(Mirror, RecordsTakeWhatIsAnnouncedAndNothingElse) {
    announce(40, PW_TYPE_INTERFACE_Node, {{"node.name", "mic"}, {"media.class", "Audio/Source"}}, 7);
    onRegistryGlobal(&ctx, 9, 0, PW_TYPE_INTERFACE_Node, 3, nullptr);
    ASSERT_EQ(ctx.nodes.size(), 2u);
    const NodeInfo& n = ctx.nodes[0];
    EXPECT_EQ(std::make_tuple(n.id, n.name, n.mediaClass, n.version, n.inputPorts, n.outputPorts),
              std::make_tuple(40u, std::string("mic"), std::string("Audio/Source"), 7u, 0u, 0u));
    EXPECT_EQ(std::make_tuple(ctx.nodes[1].name, ctx.nodes[1].isInput, ctx.nodes[1].isOutput),
              std::make_tuple(std::string(), false, false));
    link(70, {{"link.output.node", "40"}, {"link.output.port", "52"}, {"link.input.node", "45"}});
    const LinkInfo& l = ctx.links.at(0);
    EXPECT_EQ(std::make_tuple(l.id, l.srcNodeId, l.srcPortId, l.sinkNodeId, l.sinkPortId),
              std::make_tuple(70u, 40u, 52u, 45u, 0u));
    auto events = drain();
    ASSERT_EQ(events.size(), 3u);
    EXPECT_EQ(events[1].id, 9u);
    EXPECT_EQ(events[2].type, LinkCreated);
    EXPECT_EQ(events[2].link.sinkNodeId, 45u);

    // Other interface types, and a missing type, change nothing.
    announce(3, PW_TYPE_INTERFACE_Client, {{"node.name", "x"}});
    announce(4, "PipeWire:Interface:Nodes", {{"node.name", "x"}});
    announce(5, "pipewire:interface:node", {{"node.name", "x"}});
    onRegistryGlobal(&ctx, 6, 0, nullptr, 3, nullptr);
    EXPECT_EQ(ctx.nodes.size() + ctx.links.size(), 3u);
    EXPECT_TRUE(ctx.ports.empty());

    // Ports: numbers parse like strtol, "in" only is input; no events.
    const std::pair<const char*, uint32_t> ids[] = {{"12abc", 12},       {"abc", 0},        {" 7", 7}, {"+8", 8},
                                                    {"-1", 4294967295u}, {"4294967296", 0}, {"", 0}};
    for (auto& [text, expected] : ids) {
        port(1, {{"node.id", text}, {"port.name", "p"}});
        EXPECT_EQ(ctx.ports.back().nodeId, expected) << '"' << text << '"';
        EXPECT_EQ(ctx.ports.back().name, "p");
    }
    const std::pair<const char*, uint32_t> directions[] = {{"in", 1}, {"out", 0}, {"In", 0}, {"inx", 0}, {"", 0}};
    for (auto& [text, expected] : directions) {
        port(2, {{"port.direction", text}, {"node.id", "5"}});
        EXPECT_EQ(ctx.ports.back().direction, expected) << text;
    }
    port(3, {{"node.id", "5"}});
    EXPECT_EQ(ctx.ports.back().direction, 0u);
    EXPECT_EQ(ctx.ports.back().portType, 0u);
    EXPECT_TRUE(drain().empty());
}

TEST_F(Mirror, MediaClassTable) {
    struct Case {
        const char* cls;
        bool in, out;
    };
    const Case cases[] = {
        {"Audio/Sink", false, true},
        {"Audio/Source", true, false},
        {"Stream/Output/Audio", true, true},
        {"Stream/Input/Audio", true, false},
        {"Audio/Duplex", true, true},
        {"Video/Source", true, false},
        {"Midi/Bridge", false, false},
        {"", false, false},
        {"Audio/Source/Virtual", true, false},
        {"Audio/Sink/Input", true, true},
        {"audio/sink", false, false},
        {"Duplex", true, true},
        {"Output", false, true},
        {"Input", true, false},
    };
    uint32_t id = 100;
    for (const Case& c : cases) {
        node(id, {{"media.class", c.cls}});
        EXPECT_EQ(ctx.nodes.back().isInput, c.in) << c.cls;
        EXPECT_EQ(ctx.nodes.back().isOutput, c.out) << c.cls;
        EXPECT_EQ(ctx.nodes.back().mediaClass, c.cls);
        id++;
    }
    node(id, {{"node.name", "no class"}});
    EXPECT_FALSE(ctx.nodes.back().isInput);
    EXPECT_FALSE(ctx.nodes.back().isOutput);
}

TEST_F(Mirror, WithdrawalsTakeEveryRecordOfTheirIdOnlyAndKeepTheOrderOfTheRest) {
    node(30, {{"node.name", "first"}});
    node(10, {{"node.name", "n"}});
    port(11, {{"node.id", "10"}});
    port(12, {{"node.id", "10"}});
    link(13, {{"link.output.port", "11"}});
    node(30, {{"node.name", "second"}});  // a duplicate id: held twice, withdrawn together
    node(14, {{"node.name", "m"}});
    drain();
    remove(30);
    remove(12);   // a port: erased, no event
    remove(999);  // unknown
    remove(10);   // a node: its port and link stay until their own withdrawal
    ASSERT_EQ(ctx.nodes.size(), 1u);
    EXPECT_EQ(ctx.nodes[0].name, "m");
    EXPECT_EQ(ctx.ports.size(), 1u);
    EXPECT_EQ(ctx.links.size(), 1u);
    remove(13);
    EXPECT_TRUE(ctx.links.empty());
    auto events = drain();
    ASSERT_EQ(events.size(), 3u);
    EXPECT_EQ(std::make_pair(events[0].type, events[0].id), std::make_pair(NodeDestroyed, 30u));
    EXPECT_EQ(std::make_pair(events[1].type, events[1].id), std::make_pair(NodeDestroyed, 10u));
    EXPECT_EQ(std::make_pair(events[2].type, events[2].id), std::make_pair(LinkDestroyed, 13u));
    for (uint32_t id : {1u, 2u, 3u, 4u}) node(id, {});
    remove(2);
    std::vector<uint32_t> left;
    for (const NodeInfo& n : ctx.nodes) left.push_back(n.id);
    EXPECT_EQ(left, (std::vector<uint32_t>{14, 1, 3, 4}));
}

TEST_F(Mirror, EventsQueueInProductionOrderWithTheCopyTakenAtAnnouncement) {
    node(20, {{"node.name", "brief"}, {"media.class", "Audio/Sink"}});
    link(21, {{"link.output.node", "20"}});
    remove(20);
    remove(21);
    node(22, {{"node.name", "later"}});
    auto events = drain();
    ASSERT_EQ(events.size(), 5u);
    EXPECT_EQ(events[0].type, NodeCreated);
    EXPECT_EQ(events[0].node.name, "brief");
    EXPECT_EQ(events[0].node.mediaClass, "Audio/Sink");
    EXPECT_TRUE(events[0].node.isOutput);
    EXPECT_EQ(events[1].type, LinkCreated);
    EXPECT_EQ(events[1].id, 21u);
    EXPECT_EQ(events[2].type, NodeDestroyed);
    EXPECT_EQ(events[2].id, 20u);
    EXPECT_EQ(events[3].type, LinkDestroyed);
    EXPECT_EQ(events[4].node.name, "later");
}

TEST_F(Mirror, ClearContextDataEmptiesOnlyTheMirror) {
    node(1, {});
    port(2, {});
    link(3, {});
    ctx.linkFormats[3] = "dynamic";
    clearContextData(&ctx);
    EXPECT_TRUE(ctx.nodes.empty());
    EXPECT_TRUE(ctx.ports.empty());
    EXPECT_TRUE(ctx.links.empty());
    EXPECT_EQ(ctx.linkFormats.size(), 1u);
    EXPECT_EQ(drain().size(), 2u) << "queued events survive";
}

}  // namespace
