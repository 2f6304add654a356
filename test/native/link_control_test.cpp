// A removal the daemon refuses while the link stays: no test daemon does. (Removals
// queued once, through our proxy or by id: links.test.js, ownership.test.js.)
#include <gtest/gtest.h>

#include <string>
#include <tuple>

#include "events/EventQueue.h"
#include "links/LinkRemoval.h"
#include "pipewire/PwContext.h"

namespace {

// The daemon's errors for removals sent are matched by sequence number; a
// link gone meanwhile counts as removed, one that stays is the Graph's to
// hear, and may be asked for again.
TEST(Links, ARemovalErrorIsReportedOnlyWhenTheLinkStays) {
    PwContext ctx;
    ctx.links.push_back(LinkInfo{90, 5, 6, 2, 21, std::string("object.serial") + '\0' + "500" + '\0'});
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
    EXPECT_EQ(std::make_tuple(event.type, event.id, event.res, event.text),
              std::make_tuple(UnlinkFailed, 90u, -1, std::string("refused")));
    EXPECT_EQ(ctx.removalRequested.count(90), 0u);
    EXPECT_TRUE(ctx.sentRemovals.empty());
    ctx.sentRemovals = {SentRemoval{16, 17, false, LinkRemoval{90, 500, true}}};
    settleSentRemovals(&ctx, 17);
    EXPECT_TRUE(ctx.sentRemovals.empty()) << "no error can come after the round trip";
}

}  // namespace
