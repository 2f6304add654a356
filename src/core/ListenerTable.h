// PipeWire's listener tables (pw_core_events, pw_proxy_events, ...) gain
// trailing members between releases (1.4 added `bound_props`). A table made
// here starts value-initialised, so members this build does not set, or
// does not know, stay null, and naming the members set keeps it warning-free
// under -Wextra whatever the headers' version. V8-free.
#pragma once

#include <cstdint>

// listenerTable<pw_proxy_events>(PW_VERSION_PROXY_EVENTS,
//     &pw_proxy_events::destroy, onDestroy, &pw_proxy_events::error, onError)
template <typename Events>
Events listenerTable(uint32_t version) {
    Events events{};
    events.version = version;
    return events;
}

// Named, so that clang-format 14 and 19 (which space `Type Class::* name`
// differently) agree on how the parameter is written.
template <typename Events, typename Callback>
using MemberOf = Callback Events::*;

template <typename Events, typename Callback, typename... Rest>
Events listenerTable(uint32_t version, MemberOf<Events, Callback> member, Callback callback, Rest... rest) {
    Events events = listenerTable<Events>(version, rest...);
    events.*member = callback;
    return events;
}
