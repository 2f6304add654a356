// The libuv handle that wakes the JavaScript thread for queued events and
// link removals. One handle serves the module's whole life.
#pragma once

struct PwContext;

// Creates the handle on first use; afterwards it only holds the event loop
// open again. JavaScript thread.
void initEventAsync(PwContext* ctx);

// Lets the event loop end without the handle (after a stop). The handle stays
// usable, so events queued before the stop are still delivered if the
// process runs on.
void releaseEventAsync(PwContext* ctx);
