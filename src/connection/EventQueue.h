// The queue of graph events from the PipeWire thread to the JavaScript thread.
// Producers run on the PipeWire thread (and, for the Graph's own snapshots,
// on the JavaScript thread); the consumer runs on the JavaScript thread.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "../core/PwEvent.h"

struct PwContext;

// The four changes the listeners of `on` hear. `audience` says whether the
// Graph hears them too. May be called with the graph lock held.
void emitNodeCreated(PwContext* ctx, const NodeInfo& node, uint8_t audience = ForListeners);
void emitNodeDestroyed(PwContext* ctx, uint32_t id, uint8_t audience = ForListeners);
void emitLinkCreated(PwContext* ctx, const LinkInfo& link, uint8_t audience = ForListeners);
void emitLinkDestroyed(PwContext* ctx, uint32_t id, uint8_t audience = ForListeners);

// Events for the Graph only. The port events are called with the graph
// lock held; emitGraphEvent takes it, and queues only while the Graph listens.
void emitPortCreated(PwContext* ctx, const PortInfo& port);
void emitPortDestroyed(PwContext* ctx, uint32_t id);
void emitGraphEvent(PwContext* ctx, PwEventType type, uint32_t id, uint32_t token = 0, int32_t res = 0,
                    std::string text = {});

// The Graph stops listening: what waits in the queue for it is dropped.
// Graph lock held.
void dropGraphEventsLocked(PwContext* ctx);

PwEvent makeEvent(PwEventType type, uint32_t id, uint8_t audience);

// Queues one event and wakes the consumer.
void emitEvent(PwContext* ctx, PwEvent&& event);

// The mirror as the Graph hears it appear (nodes, ports, links, in mirror
// order), appended to `out`. Graph lock held.
void appendMirrorCreatedLocked(PwContext* ctx, std::vector<PwEvent>& out);

// Appends several events under one lock and wakes the consumer once.
void emitEvents(PwContext* ctx, std::vector<PwEvent>&& events);

// Wakes the JavaScript thread if the wake-up handle exists. Never called with
// the queue lock held.
void signalWakeup(PwContext* ctx);

// On the calling thread (the PipeWire thread, while its loop runs), queued
// events only note that a wake-up is due; sendDeferredWakeup sends it (before
// the loop waits again, and once it has ended). No lock held.
void deferWakeups(bool deferred);
void sendDeferredWakeup(PwContext* ctx);

// Takes the oldest event out of the queue; false when the queue is empty.
bool takeNextEvent(PwContext* ctx, PwEvent& out);

// How many events wait in the queue right now.
size_t queuedEventCount(PwContext* ctx);
