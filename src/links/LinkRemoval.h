// Link removal: ids queued on the JavaScript thread, handed to the PipeWire
// thread at the end of each dispatch run, destroyed there through the registry.
#pragma once

#include <cstddef>
#include <cstdint>

#include <spa/support/loop.h>

struct PwContext;

// Queues a link id and wakes the JavaScript thread. May be called with the
// graph lock held (the queue lock nests inside it).
void requestLinkDestruction(PwContext* ctx, uint32_t linkId);

// Hands every queued id to the PipeWire thread. When its loop does not run,
// the ids are dropped rather than waited on. JavaScript thread, no lock held.
void processLinkDestructionQueue(PwContext* ctx);

// Runs on the PipeWire thread: asks the registry to destroy the link.
int destroyLinkOnLoop(spa_loop* loop, bool async, uint32_t seq, const void* data, size_t size, void* user);
