#include "FeatureHooks.h"

#include <cstring>

#include <pipewire/extensions/metadata.h>

#include "../connection/PwContext.h"
#include "cards/Cards.h"
#include "control/ControlRequests.h"
#include "control/Metadata.h"
#include "control/VolumeRequests.h"
#include "effects/Modules.h"
#include "links/LinkProxies.h"
#include "links/LinkRemoval.h"
#include "links/LinksState.h"
#include "meters/Meters.h"
#include "nodes/NodeCreation.h"
#include "profiler/Profiler.h"

namespace {

bool bindGlobal(PwContext* ctx, uint32_t id, const char* type, uint32_t version, const spa_dict* props) {
    // Whose metadata is whose.
    if (std::strcmp(type, PW_TYPE_INTERFACE_Client) == 0) noteMetadataClient(ctx, id, props);
    if (profilerGlobal(ctx, id, type) || cardsGlobal(ctx, id, type, version, props)) return true;
    if (std::strcmp(type, PW_TYPE_INTERFACE_Metadata) != 0) return false;
    bindMetadata(ctx, id, version, props);
    return true;
}

// Before the info proxies and the registry go: the metadata bindings first,
// then the links' and the control requests' bookkeeping of the connection.
void released(PwContext* ctx) {
    releaseModules(ctx);
    releaseMeters(ctx);
    releaseProfiler(ctx);
    releaseCards(ctx);
    releaseLinkBookkeeping(ctx);
    releaseMetadata(ctx);
    forgetControlRequests(ctx);
}

// A round trip ended: removals sent before it can get no error any more,
// removals that waited for it go, and volume requests it did not show are
// sent again.
void coreDone(PwContext* ctx, int seq) {
    settleSentRemovals(ctx, seq);
    settleAbandonedLinks(ctx, seq);
    settleNodeRemovals(ctx, seq);
    settlePropsRequests(ctx, seq);
}

void infoProxyError(PwContext* ctx, uint32_t proxyId, int seq, int res, const char* message) {
    reportControlError(ctx, proxyId, seq, res, message);
}

// A global went: metadata objects, meters measuring it and the profiler end.
void globalGone(PwContext* ctx, uint32_t id) {
    metadataGlobalRemoved(ctx, id);
    meterGlobalGone(ctx, id);
    profilerGlobalGone(ctx, id);
    cardsGlobalGone(ctx, id);
}

// A refusal of a removal: a link's or a node's.
bool removalRefused(PwContext* ctx, uint32_t id, int seq, int res, const char* message) {
    return claimRemovalError(ctx, id, seq, res, message) || claimNodeRemovalError(ctx, id, seq, res, message);
}

const ConnectionHooks kFeatureHooks = {
    .linkAnnounced = claimNamedLinkLocked,
    .globalRemoved = forgetRemovedLinkLocked,
    .globalGone = globalGone,
    .coreError = removalRefused,
    .coreDone = coreDone,
    .released = released,
    .beforeClose = processLinkDestructionQueue,
    .bindGlobal = bindGlobal,
    .infoProxyError = infoProxyError,
    .hiddenAnnounced = meterGlobalAnnounced,
};

}  // namespace

void installFeatureHooks(PwContext* ctx) {
    installLinks(ctx);
    installNodeRequests(ctx);
    installMetadata(ctx);
    installControlRequests(ctx);
    installMeters(ctx);
    installProfiler(ctx);
    installModules(ctx);
    installCards(ctx);
    ctx->hooks = &kFeatureHooks;
}
