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

// Hands the meters' levels measured since the last call to the Graph's
// listener, as one "meter-level" event whose payload is the list of them
// (src/features/meters); returns in how
// many ms to call again (0: no meter runs). JavaScript thread.
double deliverMeterLevels(PwContext* ctx);
