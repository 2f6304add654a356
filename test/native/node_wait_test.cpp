// The wait for a named node: matching rules and timing of the polls.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <climits>
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

// Wall-clock bounds under load (sanitizers, a shared 2-core machine): each
// timing is the fastest of a few tries, since a descheduled thread only ever
// adds time. A poll interval sleeps at least 100 ms, so a try under 100 ms
// slept no poll interval.
constexpr int kTries = 3;

TEST_F(Wait, ZeroAndNegativeTimeOutsScanOnceWithoutSleeping) {
    for (int32_t t : {0, -1, INT32_MIN}) {
        long fastest = LONG_MAX;
        for (int i = 0; i < kTries; i++) {
            auto start = Clock::now();
            EXPECT_FALSE(waitForNode(&ctx, "x", DirectionFilter::Any, t).found);
            fastest = std::min(fastest, msSince(start));
        }
        EXPECT_LT(fastest, 100) << "time-out " << t;
    }
}

TEST_F(Wait, APositiveTimeOutAllowsOneSleepAndOneMoreScan) {
    long fastest = LONG_MAX;
    for (int i = 0; i < kTries; i++) {
        auto start = Clock::now();
        EXPECT_FALSE(waitForNode(&ctx, "x", DirectionFilter::Any, 1).found);
        long ms = msSince(start);
        EXPECT_GE(ms, 100);
        fastest = std::min(fastest, ms);
    }
    EXPECT_LT(fastest, 200);  // one poll interval, not two
}

TEST_F(Wait, ANodeAddedByAnotherThreadIsFoundAtTheNextPoll) {
    // The node appears half-way between two polls; the wait must return at
    // the next one, less than a poll interval later.
    long fastest = LONG_MAX;
    for (int i = 0; i < kTries; i++) {
        ctx.nodes.clear();
        Clock::time_point added;
        std::thread producer([this, &added] {
            std::this_thread::sleep_for(std::chrono::milliseconds(250));
            node(9, "late", "Audio/Source");
            added = Clock::now();
        });
        NodeMatch m = waitForNode(&ctx, "late", DirectionFilter::Input, 5000);
        auto returned = Clock::now();
        producer.join();
        EXPECT_TRUE(m.found);
        EXPECT_EQ(m.id, 9u);
        fastest =
            std::min(fastest, long(std::chrono::duration_cast<std::chrono::milliseconds>(returned - added).count()));
    }
    EXPECT_LT(fastest, 100);
}

}  // namespace
