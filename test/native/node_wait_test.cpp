// The wait for a named node: matching rules and timing of the polls.
#include <gtest/gtest.h>

#include <chrono>
#include <thread>

#include "pipewire/PwContext.h"
#include "pipewire/RegistryMirror.h"
#include "queries/NodeWait.h"

namespace {

using Clock = std::chrono::steady_clock;

class Wait : public ::testing::Test {
protected:
    PwContext ctx;
    void node(uint32_t id, const char* name, const char* cls) {
        NodeInfo n;
        n.id = id;
        n.name = std::string(name);
        n.mediaClass = cls;
        classifyNode(n, cls);
        LockGuard lock(ctx.mutex);
        ctx.nodes.push_back(n);
    }
    static long msSince(Clock::time_point t) {
        return long(std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - t).count());
    }
};

TEST_F(Wait, MatchesWholeNamesAndTheFirstFittingNode) {
    node(1, "mic", "Audio/Sink");
    node(2, "mic", "Audio/Source");
    node(3, "microphone", "Audio/Source");
    EXPECT_EQ(findNode(&ctx, "mic", DirectionFilter::Any).id, 1u);
    EXPECT_EQ(findNode(&ctx, "mic", DirectionFilter::Input).id, 2u);
    EXPECT_EQ(findNode(&ctx, "mic", DirectionFilter::Output).id, 1u);
    EXPECT_FALSE(findNode(&ctx, "mi", DirectionFilter::Any).found);
    EXPECT_FALSE(findNode(&ctx, "Mic", DirectionFilter::Any).found);
    EXPECT_FALSE(findNode(&ctx, "microphone", DirectionFilter::Output).found);
    NodeMatch m = findNode(&ctx, "microphone", DirectionFilter::Any);
    EXPECT_TRUE(m.found);
    EXPECT_EQ(m.name, "microphone");
}

TEST_F(Wait, NamesWithNulBytesCompareOverTheirWholeLength) {
    node(1, "", "Audio/Sink");
    ctx.nodes[0].name = std::string("a\0b", 3);
    EXPECT_FALSE(findNode(&ctx, "a", DirectionFilter::Any).found);
    EXPECT_TRUE(findNode(&ctx, std::string("a\0b", 3), DirectionFilter::Any).found);
}

TEST_F(Wait, ZeroAndNegativeTimeOutsScanOnceWithoutSleeping) {
    for (int32_t t : {0, -1, INT32_MIN}) {
        auto start = Clock::now();
        EXPECT_FALSE(waitForNode(&ctx, "x", DirectionFilter::Any, t).found);
        EXPECT_LT(msSince(start), 90);
    }
}

TEST_F(Wait, APositiveTimeOutAllowsOneSleepAndOneMoreScan) {
    auto start = Clock::now();
    EXPECT_FALSE(waitForNode(&ctx, "x", DirectionFilter::Any, 1).found);
    long ms = msSince(start);
    EXPECT_GE(ms, 100);
    EXPECT_LT(ms, 250);  // right after that poll, with room for a loaded machine
}

TEST_F(Wait, ANodeAddedByAnotherThreadIsFoundAtTheNextPoll) {
    std::thread producer([this] {
        std::this_thread::sleep_for(std::chrono::milliseconds(250));
        node(9, "late", "Audio/Source");
    });
    auto start = Clock::now();
    NodeMatch m = waitForNode(&ctx, "late", DirectionFilter::Input, 5000);
    long ms = msSince(start);
    producer.join();
    EXPECT_TRUE(m.found);
    EXPECT_EQ(m.id, 9u);
    EXPECT_GE(ms, 250);
    EXPECT_LT(ms, 450);
}

}  // namespace
