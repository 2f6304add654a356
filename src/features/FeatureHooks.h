// The one table through which the connection calls the features: the links'
// bookkeeping and the control requests receive announcements, errors, round
// trips and releases. V8-free.
#pragma once

struct PwContext;

// Installs the table; before the first start. JavaScript thread.
void installFeatureHooks(PwContext* ctx);
