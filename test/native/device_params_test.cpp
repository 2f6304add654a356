// A device's profiles and routes as another process's device announces them:
// well-formed ones read whole, ill-typed fields left out rather than read
// as something else. (As a device exports them, against a real daemon:
// devices-params.test.js.)
#include <gtest/gtest.h>

#include <spa/param/param.h>
#include <spa/param/profile.h>
#include <spa/param/route.h>
#include <spa/pod/builder.h>

#include "core/DeviceParams.h"

namespace {

using namespace std::string_literals;

TEST(DeviceParams, ProfileReadWholeWithItsClassesRouteIllTypedFieldsLeftOut) {
    uint8_t buffer[2048];
    spa_pod_builder b = SPA_POD_BUILDER_INIT(buffer, sizeof buffer);
    spa_pod_frame f[2];
    spa_pod_builder_push_object(&b, &f[0], SPA_TYPE_OBJECT_ParamProfile, SPA_PARAM_EnumProfile);
    spa_pod_builder_add(&b, SPA_PARAM_PROFILE_index, SPA_POD_Int(2), SPA_PARAM_PROFILE_name,
                        SPA_POD_String("a2dp-sink"), SPA_PARAM_PROFILE_description, SPA_POD_String("High Fidelity"),
                        SPA_PARAM_PROFILE_priority, SPA_POD_Int(40), SPA_PARAM_PROFILE_available,
                        SPA_POD_Id(SPA_PARAM_AVAILABILITY_no), 0);
    spa_pod_builder_prop(&b, SPA_PARAM_PROFILE_classes, 0);
    spa_pod_builder_push_struct(&b, &f[1]);
    spa_pod_builder_int(&b, 2);
    spa_pod_builder_add_struct(&b, SPA_POD_String("Audio/Sink"), SPA_POD_Int(1));
    spa_pod_builder_add_struct(&b, SPA_POD_Int(7), SPA_POD_Int(1));  // no class name: left out
    spa_pod_builder_add_struct(&b, SPA_POD_String("Audio/Source"), SPA_POD_Int(2));
    spa_pod_builder_pop(&b, &f[1]);
    auto* pod = static_cast<spa_pod*>(spa_pod_builder_pop(&b, &f[0]));
    DeviceProfile p;
    ASSERT_TRUE(parseDeviceProfile(pod, p));
    EXPECT_EQ(std::tie(p.index, p.name, p.description, p.priority),
              std::make_tuple(2, "a2dp-sink"s, "High Fidelity"s, 40));
    EXPECT_STREQ(availabilityName(p.available), "no");
    ASSERT_EQ(p.classes.size(), 2u);
    EXPECT_EQ(std::tie(p.classes[1].mediaClass, p.classes[1].count), std::make_tuple("Audio/Source"s, 2));
    DeviceRoute r;
    EXPECT_FALSE(parseDeviceRoute(pod, r)) << "a profile is no route";

    // A route whose name, availability and devices are of the wrong types.
    int64_t longs[] = {1, 2};
    int32_t ints[] = {3, 4};
    pod = static_cast<spa_pod*>(spa_pod_builder_add_object(
        &b, SPA_TYPE_OBJECT_ParamRoute, SPA_PARAM_EnumRoute, SPA_PARAM_ROUTE_index, SPA_POD_Int(5),
        SPA_PARAM_ROUTE_direction, SPA_POD_Id(SPA_DIRECTION_INPUT), SPA_PARAM_ROUTE_name, SPA_POD_Int(9),
        SPA_PARAM_ROUTE_available, SPA_POD_String("yes"), SPA_PARAM_ROUTE_devices,
        SPA_POD_Array(sizeof(int64_t), SPA_TYPE_Long, 2, longs), SPA_PARAM_ROUTE_profiles,
        SPA_POD_Array(sizeof(int32_t), SPA_TYPE_Int, 2, ints)));
    ASSERT_TRUE(parseDeviceRoute(pod, r));
    EXPECT_EQ(std::tie(r.index, r.output, r.name), std::make_tuple(5, false, ""s));
    EXPECT_STREQ(availabilityName(r.available), "unknown");
    EXPECT_TRUE(r.devices.empty());
    EXPECT_EQ(r.profiles, (std::vector<int32_t>{3, 4}));
    auto* noIndex = static_cast<spa_pod*>(spa_pod_builder_add_object(&b, SPA_TYPE_OBJECT_ParamRoute, SPA_PARAM_Route,
                                                                     SPA_PARAM_ROUTE_index, SPA_POD_String("1")));
    EXPECT_FALSE(parseDeviceRoute(noIndex, r));
}

}  // namespace
