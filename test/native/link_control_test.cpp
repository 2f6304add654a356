// The link bookkeeping without a daemon: which removals are queued, what the
// maps keep, and that nothing waits on a loop that does not run.
#include <gtest/gtest.h>

#include <vector>

#include "events/EventQueue.h"
#include "links/LinkControl.h"
#include "links/LinkProxies.h"
#include "links/LinkRemoval.h"
#include "pipewire/PwContext.h"
#include "pipewire/RegistryMirror.h"

namespace {

pw_proxy* fakeProxy(uintptr_t n) {
    return reinterpret_cast<pw_proxy*>(n);
}

class Links : public ::testing::Test {
protected:
    PwContext ctx;

    void SetUp() override {
        // Only the JavaScript-thread side runs here: nothing dereferences the core.
        ctx.core = reinterpret_cast<pw_core*>(0x1);
        ctx.connected = true;
    }
    void link(uint32_t id, uint32_t srcNode, uint32_t srcPort, uint32_t sinkNode, uint32_t sinkPort) {
        ctx.links.push_back(LinkInfo{id, srcNode, srcPort, sinkNode, sinkPort, {}});
    }
    void node(uint32_t id, const char* name) {
        NodeInfo n;
        n.id = id;
        n.name = name;
        ctx.nodes.push_back(n);
    }
    std::vector<uint32_t> queued() {
        std::vector<uint32_t> ids;
        for (const LinkRemoval& removal : ctx.linkDestructionQueue) ids.push_back(removal.linkId);
        return ids;
    }
};

TEST_F(Links, EveryOperationNeedsCoreAndConnection) {
    bool requested = true;
    uint32_t count = 7;
    ctx.connected = false;
    EXPECT_EQ(linkPortsById(&ctx, 1, 2), LinkStatus::NotConnected);
    EXPECT_EQ(unlinkPortsById(&ctx, 1, 2, requested), LinkStatus::NotConnected);
    EXPECT_FALSE(requested);
    EXPECT_EQ(linkNodesByName(&ctx, "a", 2, count), LinkStatus::NotConnected);
    EXPECT_EQ(count, 0u);
    ctx.connected = true;
    ctx.core = nullptr;
    EXPECT_EQ(unlinkNodesByName(&ctx, "a", 2, count), LinkStatus::NotConnected);
    EXPECT_TRUE(queued().empty());
}

TEST_F(Links, UnlinkPortsQueuesOnlyLinksWithAProxy) {
    link(50, 1, 11, 2, 21);  // made by name
    link(51, 1, 12, 2, 22);  // made by someone else
    ctx.linkProxies[50] = fakeProxy(0x10);
    ctx.linkFormats[50] = "dynamic";
    ctx.linkFormats[51] = "stale";
    ctx.linkStats[51] = LinkStats{};
    bool requested = false;

    EXPECT_EQ(unlinkPortsById(&ctx, 12, 22, requested), LinkStatus::Ok);
    EXPECT_FALSE(requested);
    EXPECT_EQ(ctx.linkFormats.count(51), 0u) << "format and stats go even without a proxy";
    EXPECT_EQ(ctx.linkStats.count(51), 0u);

    EXPECT_EQ(unlinkPortsById(&ctx, 21, 11, requested), LinkStatus::Ok);  // swapped
    EXPECT_FALSE(requested);

    EXPECT_EQ(unlinkPortsById(&ctx, 11, 21, requested), LinkStatus::Ok);
    EXPECT_TRUE(requested);
    EXPECT_EQ(queued(), std::vector<uint32_t>{50});
    EXPECT_TRUE(ctx.linkProxies.empty());
    EXPECT_TRUE(ctx.linkFormats.empty());

    EXPECT_EQ(unlinkPortsById(&ctx, 11, 21, requested), LinkStatus::Ok);
    EXPECT_FALSE(requested) << "a second request before the removal arrives";
    EXPECT_EQ(queued().size(), 1u);
}

TEST_F(Links, UnlinkPortsIgnoresALinkWithIdZero) {
    link(0, 1, 11, 2, 21);
    ctx.linkProxies[0] = fakeProxy(0x10);
    ctx.linkFormats[0] = "dynamic";
    bool requested = true;
    EXPECT_EQ(unlinkPortsById(&ctx, 11, 21, requested), LinkStatus::Ok);
    EXPECT_FALSE(requested);
    EXPECT_TRUE(queued().empty());
    EXPECT_EQ(ctx.linkFormats.count(0), 1u);
}

TEST_F(Links, UnlinkNodesQueuesEveryLinkBetweenTheNodesInMirrorOrder) {
    node(1, "src");
    node(2, "sink");
    node(3, "src");  // a later node of the same name is not the source
    link(60, 1, 11, 2, 21);
    link(61, 3, 31, 2, 22);
    link(62, 1, 12, 2, 23);
    link(63, 1, 13, 4, 41);
    link(64, 1, 14, 2, 24);
    ctx.linkFormats[62] = "dynamic";
    ctx.linkProxies[62] = fakeProxy(0x20);
    uint32_t count = 0;
    EXPECT_EQ(unlinkNodesByName(&ctx, "src", 2, count), LinkStatus::Ok);
    EXPECT_EQ(count, 3u);
    EXPECT_EQ(queued(), (std::vector<uint32_t>{60, 62, 64}));
    EXPECT_EQ(ctx.linkFormats.count(62), 0u);
    EXPECT_EQ(ctx.linkProxies.count(62), 0u);

    // Asked again before the withdrawals arrive: nothing is queued twice, by
    // name or by ports (the daemon would answer a second destroy with an error).
    EXPECT_EQ(unlinkNodesByName(&ctx, "src", 2, count), LinkStatus::Ok);
    EXPECT_EQ(count, 0u);
    bool requested = true;
    ctx.linkProxies[64] = fakeProxy(0x21);
    EXPECT_EQ(unlinkPortsById(&ctx, 14, 24, requested), LinkStatus::Ok);
    EXPECT_FALSE(requested);
    EXPECT_EQ(queued(), (std::vector<uint32_t>{60, 62, 64}));
    EXPECT_EQ(unlinkNodesByName(&ctx, "sr", 2, count), LinkStatus::Ok);
    EXPECT_EQ(count, 0u);

    // Once withdrawn, the id is free: the daemon hands ids out again.
    installLinkHooks(&ctx);
    onRegistryGlobalRemove(&ctx, 60);
    link(60, 1, 11, 2, 21);
    EXPECT_EQ(unlinkNodesByName(&ctx, "src", 2, count), LinkStatus::Ok);
    EXPECT_EQ(count, 1u);
    EXPECT_EQ(queued(), (std::vector<uint32_t>{60, 62, 64, 60}));

    // An unknown name matches the links of node 0.
    link(70, 0, 11, 2, 21);
    EXPECT_EQ(unlinkNodesByName(&ctx, "nobody", 2, count), LinkStatus::Ok);
    EXPECT_EQ(count, 1u);
}

TEST_F(Links, LinkingNeedsAnOutputThenAnInputAndNeverWaitsOnALoopThatDoesNotRun) {
    ctx.ports.push_back(PortInfo{11, 1, "out", 0, 0, {}});
    ctx.ports.push_back(PortInfo{21, 2, "in", 1, 0, {}});
    ctx.ports.push_back(PortInfo{31, 0, "orphan-out", 0, 0, {}});
    EXPECT_EQ(linkPortsById(&ctx, 21, 11), LinkStatus::NoPortsOrNodes);
    EXPECT_EQ(linkPortsById(&ctx, 11, 11), LinkStatus::NoPortsOrNodes);
    EXPECT_EQ(linkPortsById(&ctx, 31, 21), LinkStatus::NoPortsOrNodes) << "node id 0";
    EXPECT_EQ(linkPortsById(&ctx, 11, 99), LinkStatus::NoPortsOrNodes);
    // Ports found, but no loop runs to take the request: refused without blocking.
    EXPECT_EQ(linkPortsById(&ctx, 11, 21), LinkStatus::ProxyFailed);

    ctx.ports.pop_back();  // the orphan: an unknown name means node 0
    node(1, "src");
    uint32_t count = 9;
    EXPECT_EQ(linkNodesByName(&ctx, "src", 3, count), LinkStatus::NoMatchingPorts);
    EXPECT_EQ(linkNodesByName(&ctx, "other", 2, count), LinkStatus::NoMatchingPorts);
    // Without a running loop every request fails: no error, a count of 0.
    EXPECT_EQ(linkNodesByName(&ctx, "src", 2, count), LinkStatus::Ok);
    EXPECT_EQ(count, 0u);
}

TEST_F(Links, QueuedIdsAreDroppedWhenNoLoopRunsAndTheLoopSideChecksItsArguments) {
    requestLinkDestruction(&ctx, LinkRemoval{5, 0, false});
    requestLinkDestruction(&ctx, LinkRemoval{5, 0, false});
    requestLinkDestruction(&ctx, LinkRemoval{6, 0, false});
    EXPECT_EQ(queued(), (std::vector<uint32_t>{5, 5, 6}));
    processLinkDestructionQueue(&ctx);  // must return at once
    EXPECT_TRUE(queued().empty());
    LinkRemoval removal{5, 0, false};
    EXPECT_EQ(destroyLinkOnLoop(nullptr, false, 0, &removal, 3, &ctx), -1);
    EXPECT_EQ(destroyLinkOnLoop(nullptr, false, 0, &removal, sizeof removal, nullptr), 0);
    EXPECT_EQ(destroyLinkOnLoop(nullptr, false, 0, &removal, sizeof removal, &ctx), 0) << "no registry, no request";
}

TEST_F(Links, ANamedLinkIsEnteredUnderItsRegistryIdWhenAnnounced) {
    LinkProxyData a{&ctx, fakeProxy(0x30), {}, true, 11, 21, SPA_ID_INVALID, 0};
    LinkProxyData b{&ctx, fakeProxy(0x31), {}, true, 12, 22, SPA_ID_INVALID, 0};
    ctx.pendingNamedLinks = {&a, &b};
    claimNamedLinkLocked(&ctx, LinkInfo{80, 1, 12, 2, 22, {}});
    claimNamedLinkLocked(&ctx, LinkInfo{81, 1, 13, 2, 23, {}});  // not ours
    EXPECT_EQ(ctx.linkProxies.at(80), fakeProxy(0x31));
    EXPECT_EQ(ctx.linkFormats.at(80), "dynamic");
    EXPECT_EQ(ctx.linkFormats.count(81), 0u);
    EXPECT_EQ(b.globalId, 80u);
    ASSERT_EQ(ctx.pendingNamedLinks.size(), 1u);
    EXPECT_EQ(ctx.pendingNamedLinks[0], &a);
}

// What no daemon here produces: a refusal that leaves the link in place.
// The daemon's errors for removals sent are matched by sequence number; a
// link gone meanwhile counts as removed, one that stays is the Graph's to
// hear, and may be asked for again.
TEST_F(Links, ARemovalErrorIsReportedOnlyWhenTheLinkStays) {
    ctx.links.push_back(LinkInfo{90, 5, 6, 2, 21,
                                 std::string("object.serial\0"
                                             "500\0",
                                             18)});
    ctx.removalRequested.insert(90);
    ctx.graphListening = true;
    ctx.sentRemovals = {SentRemoval{12, 13, false, LinkRemoval{90, 500, true}},
                        SentRemoval{14, 15, false, LinkRemoval{93, 0, true}}};
    EXPECT_FALSE(claimRemovalError(&ctx, PW_ID_CORE, 99, -2, "other"));
    EXPECT_FALSE(claimRemovalError(&ctx, 3, 12, -2, "a proxy's own error"));
    EXPECT_TRUE(claimRemovalError(&ctx, PW_ID_CORE, 14, -2, "unknown resource"));
    EXPECT_EQ(queuedEventCount(&ctx), 0u);
    EXPECT_TRUE(claimRemovalError(&ctx, PW_ID_CORE, 12, -1, "refused"));
    PwEvent event;
    ASSERT_TRUE(takeNextEvent(&ctx, event));
    EXPECT_EQ(event.type, UnlinkFailed);
    EXPECT_EQ(event.id, 90u);
    EXPECT_EQ(event.res, -1);
    EXPECT_EQ(event.text, "refused");
    EXPECT_EQ(ctx.removalRequested.count(90), 0u);
    EXPECT_TRUE(ctx.sentRemovals.empty());
    ctx.sentRemovals = {SentRemoval{16, 17, false, LinkRemoval{90, 500, true}}};
    settleSentRemovals(&ctx, 17);
    EXPECT_TRUE(ctx.sentRemovals.empty()) << "no error can come after the round trip";
}

}  // namespace
