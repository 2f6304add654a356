// The info of the mirrored nodes, ports and links: each is bound as pw-dump
// binds it (kBinders: its events and version), and its info (properties,
// state, error, format) is kept in its mirror record and reported to the
// Graph as it changes; a global of another type goes to the features'
// bindGlobal hook. PipeWire thread, on the connection's registry.
#pragma once

#include <cstddef>
#include <cstdint>
#include <unordered_map>
#include <vector>

#include <spa/utils/dict.h>
#include <spa/utils/list.h>

struct pw_proxy;

struct PwContext;

// What the bindings of one connection hold. PipeWire thread only.
struct ObjectBindings {
    spa_list proxies{};  // of BoundObject, in their proxies' user data
    bool listReady = false;
    // Proxy ids of the bindings: the daemon's errors about them (a param
    // gone between its announcement and our request) are not printed.
    std::vector<bool> proxyIds;
    // Param requests sent since the info round trip was asked for, and the
    // round trips asked for so far.
    uint32_t requestsSinceSync = 0;
    uint32_t syncRounds = 0;
    // Where each mirror list was last searched: infos come in the order of
    // the records, so a search mostly ends one step further.
    size_t cursor[3] = {0, 0, 0};
    // The bound nodes' proxies by registry id: volume and mute are set
    // through them.
    std::unordered_map<uint32_t, pw_proxy*> nodeProxies;
};

// Binds a node, port or link the registry announced, after its mirror
// record was added; any other type is offered to the features (`props`:
// the registry's). No lock held.
void bindObjectInfo(PwContext* ctx, uint32_t id, const char* type, uint32_t version, const spa_dict* props);

// The registry's initial graph is complete: asks for the round trip after
// which the mirror holds the info of every object announced.
void startInfoRoundTrip(PwContext* ctx);

// A round trip ended: when it is the info round trip, the Graph receives
// Connected (after the whole mirror when it reconnects) (a further round trip is asked for first while
// format requests are outstanding, a few times at most).
void onInfoRoundTrip(PwContext* ctx, int seq);

// Whether `proxyId` is one of the bindings.
bool isObjectInfoProxy(const PwContext* ctx, uint32_t proxyId);

// Counts `proxyId` among the bindings (or no longer): the daemon's errors
// about it are not printed. PipeWire thread.
void markInfoProxy(PwContext* ctx, uint32_t proxyId, bool bound);

// The proxy bound to node `nodeId` for its info (volume and mute are set
// through it); null when there is none. PipeWire thread.
pw_proxy* boundNodeProxy(PwContext* ctx, uint32_t nodeId);

// Destroys every binding; before the registry goes.
void releaseObjectInfo(PwContext* ctx);

// The link `id` is in error with `message`, as the daemon told the link's
// maker: PipeWire 1.3.81 and later destroy a failed link at once, so its
// error may never reach the registry's view of it.
void markLinkFailed(PwContext* ctx, uint32_t id, const char* message);
