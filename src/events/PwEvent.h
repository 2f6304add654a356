// One graph event on its way from the PipeWire thread to the JavaScript thread.
#pragma once

#include <cstdint>

#include "../pipewire/GraphRecords.h"

enum PwEventType : uint32_t {
    NodeCreated = 0,
    NodeDestroyed = 1,
    LinkCreated = 2,
    LinkDestroyed = 3,
};

struct PwEvent {
    PwEventType type = NodeCreated;
    NodeInfo node;  // set for NodeCreated only
    LinkInfo link;  // set for LinkCreated only
    uint32_t id = 0;
};
