// The registry handlers that keep the graph mirror and feed the event queue.
// They run on the PipeWire thread; the user data is the PwContext.
#pragma once

#include <cstdint>

#include <spa/utils/dict.h>

struct NodeInfo;

void onRegistryGlobal(void* data, uint32_t id, uint32_t permissions, const char* type, uint32_t version,
                      const struct spa_dict* props);
void onRegistryGlobalRemove(void* data, uint32_t id);

// Sets the input/output classification of a node from its media class text.
void classifyNode(NodeInfo& node, const char* mediaClass);

// A numeric property as the registry gives it: base 10, leading white space
// and a sign allowed, parsing stops at the first non-digit, low 32 bits kept.
uint32_t parseIdProperty(const char* text);
