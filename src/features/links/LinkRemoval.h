// Link removal: removals queued on the JavaScript thread, handed to the
// PipeWire thread at the end of each dispatch run and carried out there. A
// link this process made goes through its own proxy; any other link by its
// registry id, and only while that id still names the link that was meant.
#pragma once

#include <cstddef>
#include <cstdint>

struct LinkInfo;
struct LinkRemoval;
struct PwContext;

// The link's "object.serial": unlike its id, never handed out again. 0 when
// the daemon announced none.
uint64_t linkSerial(const LinkInfo& link);

// Queues a removal and wakes the JavaScript thread. May be called with the
// graph lock held (the queue lock nests inside it).
void requestLinkDestruction(PwContext* ctx, const LinkRemoval& removal);

// Hands every queued removal to the PipeWire thread, as one piece of work.
// When its loop does not run, they are dropped rather than waited on, and
// count as not requested. JavaScript thread, no lock held.
void processLinkDestructionQueue(PwContext* ctx);

// PipeWire thread: when the mirror still holds the link with the serial
// that was meant, destroys our proxy of it, or else asks the registry, and
// follows the request with a round trip.
void destroyLinkOnLoop(PwContext* ctx, const LinkRemoval& removal);

// The daemon's error for a removal we sent, if it is one (true): a link
// that is gone already counts as removed; one that stays is reported, to the
// Graph for its removals, on standard error for the others. PipeWire thread.
bool claimRemovalError(PwContext* ctx, uint32_t id, int seq, int res, const char* message);

// A round trip ended: the removals it followed can get no error any more.
// PipeWire thread.
void settleSentRemovals(PwContext* ctx, int seq);
