// The daemon's profiles as the profiler's client reads them: the blocks of
// 0.3 (no count of a node's xruns) and of 1.x (the count, and whether the
// node is asynchronous) side by side in one profile.
#include <gtest/gtest.h>

#include <spa/param/profiler.h>
#include <spa/pod/builder.h>

#include "features/profiler/Profiler.h"

namespace {

// A follower block of `id`, finished or not, with 1.x's fields when `xruns` >= 0.
void followerBlock(spa_pod_builder* b, int32_t id, const char* name, int32_t status, int32_t xruns, bool async) {
    spa_pod_frame f;
    spa_pod_builder_prop(b, SPA_PROFILER_followerBlock, 0);
    spa_pod_builder_push_struct(b, &f);
    spa_pod_builder_int(b, id);
    spa_pod_builder_string(b, name);
    for (int64_t t : {100, 200, 300, 400}) spa_pod_builder_long(b, t);
    spa_pod_builder_int(b, status);
    spa_pod_builder_fraction(b, 256, 48000);
    if (xruns >= 0) {
        spa_pod_builder_int(b, xruns);
        spa_pod_builder_bool(b, async);
    }
    spa_pod_builder_pop(b, &f);
}

TEST(Profile, FollowersOfEitherLineAreRead) {
    uint8_t buffer[4096];
    spa_pod_builder b = SPA_POD_BUILDER_INIT(buffer, sizeof(buffer));
    spa_pod_frame outer, object, block;
    spa_pod_builder_push_struct(&b, &outer);
    spa_pod_builder_push_object(&b, &object, SPA_TYPE_OBJECT_Profiler, 0);
    spa_pod_builder_prop(&b, SPA_PROFILER_info, 0);
    spa_pod_builder_add_struct(&b, SPA_POD_Long(1), SPA_POD_Float(0.1f), SPA_POD_Float(0.2f), SPA_POD_Float(0.3f),
                               SPA_POD_Int(4));
    spa_pod_builder_prop(&b, SPA_PROFILER_driverBlock, 0);
    spa_pod_builder_push_struct(&b, &block);
    spa_pod_builder_int(&b, 30);
    spa_pod_builder_string(&b, "sink");
    for (int64_t t : {100, 200, 300, 400}) spa_pod_builder_long(&b, t);
    spa_pod_builder_int(&b, kActivationFinished);
    spa_pod_builder_pop(&b, &block);
    followerBlock(&b, 41, "old-line", 1, -1, false);
    followerBlock(&b, 42, "new-line", 1, 7, true);
    spa_pod_builder_pop(&b, &object);
    auto* pod = static_cast<spa_pod*>(spa_pod_builder_pop(&b, &outer));

    std::vector<ProfileDriver> drivers = parseProfile(pod);
    ASSERT_EQ(drivers.size(), 1u);
    EXPECT_EQ(drivers[0].block.name, "sink");
    EXPECT_EQ(drivers[0].xruns, 4);
    ASSERT_EQ(drivers[0].followers.size(), 2u) << "a block of either line is a follower";
    const ProfileBlock& old = drivers[0].followers[0];
    const ProfileBlock& now = drivers[0].followers[1];
    EXPECT_EQ(old.name, "old-line");
    EXPECT_EQ(old.xrunCount, -1) << "0.3 sends no count";
    EXPECT_FALSE(old.async);
    EXPECT_EQ(old.latencyDenom, 48000u);
    EXPECT_EQ(now.xrunCount, 7);
    EXPECT_TRUE(now.async);
}

}  // namespace
