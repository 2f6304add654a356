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

TEST_F(Wait, NamesWithNulBytesCompareOverTheirWholeLength) {
    node(1, "", "Audio/Sink");
    ctx.nodes[0].name = std::string("a\0b", 3);
    EXPECT_FALSE(findNode(&ctx, "a", DirectionFilter::Any).found);
    EXPECT_TRUE(findNode(&ctx, std::string("a\0b", 3), DirectionFilter::Any).found);
}

// Names, directions and time-outs as the JavaScript sees them: queries.test.js.
// Wall-clock bounds under load (sanitizers, a shared 2-core machine): the
// fastest of a few tries, since a descheduled thread only ever adds time.
constexpr int kTries = 3;

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
