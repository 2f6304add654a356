#include "Metadata.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <memory>
#include <new>

#include <pipewire/extensions/metadata.h>
#include <pipewire/pipewire.h>
#include <spa/utils/result.h>

#include "../../connection/EventQueue.h"
#include "../../connection/InfoProxies.h"
#include "../../connection/PwContext.h"
#include "../../connection/PwThread.h"
#include "../../core/ListenerTable.h"
#include "ControlRequests.h"

bool MetadataStore::ownKey(uint32_t subject, const std::string& key) {
    static const char* const kDefaults[] = {"default.audio.sink",
                                            "default.audio.source",
                                            "default.video.source",
                                            "default.configured.audio.sink",
                                            "default.configured.audio.source",
                                            "default.configured.video.source"};
    if (key == "target.object" || key == "target.node") return true;
    if (subject != 0) return false;
    for (const char* k : kDefaults)
        if (key == k) return true;
    return false;
}

bool MetadataStore::own(const Key& key, size_t typeBytes, size_t valueBytes) {
    return typeBytes <= kMaxKeyBytes && valueBytes <= kMaxOwnValueBytes && ownKey(key.first, key.second);
}

void MetadataStore::erase(std::map<Key, Entry>::iterator it, std::vector<MetadataChange>& out) {
    MetadataChange change;
    change.kind = MetadataChange::Deleted;
    change.subject = it->first.first;
    change.key = it->first.second;
    if (own(it->first, it->second.type.size(), it->second.value.size())) {
        owned_--;
    } else {
        others_--;
        bytes_ -= it->first.second.size() + it->second.type.size() + it->second.value.size();
    }
    entries_.erase(it);
    out.push_back(std::move(change));
}

void MetadataStore::apply(uint32_t subject, const char* key, const char* type, const char* value,
                          std::vector<MetadataChange>& out) {
    if (!key) {
        for (auto it = entries_.begin(); it != entries_.end();) {
            auto next = std::next(it);
            if (subject == PW_ID_ANY || it->first.first == subject) erase(it, out);
            it = next;
        }
        return;
    }
    size_t keyBytes = std::strlen(key);
    if (keyBytes > kMaxKeyBytes) {  // never kept
        dropped_ += value != nullptr;
        return;
    }
    Key k(subject, key);
    auto it = entries_.find(k);
    size_t typeBytes = type ? std::strlen(type) : 0, valueBytes = value ? std::strlen(value) : 0;
    if (!value) {
        if (it != entries_.end()) erase(it, out);
        return;
    }
    std::string typeText = type ? type : "";
    if (it != entries_.end() && it->second.type == typeText && it->second.value == value) return;
    // The entry as it was leaves the count first; then the new one must fit
    // in its own kind's bounds.
    bool existed = it != entries_.end();
    if (existed) {
        std::vector<MetadataChange> none;
        erase(it, none);
    }
    bool mine = own(k, typeBytes, valueBytes);
    size_t newBytes = keyBytes + typeBytes + valueBytes;
    bool fits = mine ? owned_ < kMaxOwnEntries
                     : typeBytes <= kMaxKeyBytes && valueBytes <= kMaxValueBytes && bytes_ + newBytes <= kMaxBytes &&
                           others_ < kMaxEntries;
    if (!fits) {
        dropped_++;
        if (existed) {  // it was there: it goes
            MetadataChange change;
            change.kind = MetadataChange::Deleted;
            change.subject = subject;
            change.key = key;
            out.push_back(std::move(change));
        }
        return;
    }
    Entry& entry = entries_[k];
    entry.type = std::move(typeText);
    entry.value = value;
    if (mine) {
        owned_++;
    } else {
        others_++;
        bytes_ += newBytes;
    }
    MetadataChange change;
    change.kind = MetadataChange::Set;
    change.subject = subject;
    change.key = key;
    change.type = entry.type;
    change.value = entry.value;
    out.push_back(std::move(change));
}

namespace {

// The names the package reads and writes itself.
const char* const kUsedNames[] = {"default"};

const char* lookup(const spa_dict* props, const char* key) {
    return props ? spa_dict_lookup(props, key) : nullptr;
}

// The client calls itself a session manager, and the daemon found it
// unconfined.
bool isSessionManager(const spa_dict* props) {
    const char* name = lookup(props, PW_KEY_APP_NAME);
    const char* access = lookup(props, PW_KEY_ACCESS);
    bool confined = access && (std::strcmp(access, "flatpak") == 0 || std::strcmp(access, "restricted") == 0 ||
                               std::strcmp(access, "portal") == 0);
    return name && !confined &&
           (std::strcmp(name, "WirePlumber") == 0 || std::strcmp(name, "pipewire-media-session") == 0);
}

}  // namespace

int MetadataChoice::rank(const Global& g) const {
    if (g.owner == SPA_ID_INVALID) return 2;
    return std::find(managers_.begin(), managers_.end(), g.owner) != managers_.end() ? 1 : 0;
}

bool MetadataChoice::used(const std::string& name) const {
    for (const char* n : kUsedNames)
        if (name == n) return true;
    return false;
}

// The best of `name` bound, if it may be.
void MetadataChoice::choose(const std::string& name, Moves& moves) {
    auto better = [&](const Global& a, const Global& b) {
        return rank(a) != rank(b) ? rank(a) > rank(b) : a.order < b.order;
    };
    auto current = std::find_if(chosen_.begin(), chosen_.end(), [&](const Global& g) { return g.name == name; });
    auto best = waiting_.end();
    for (auto it = waiting_.begin(); it != waiting_.end(); ++it)
        if (it->name == name && (best == waiting_.end() || better(*it, *best))) best = it;
    if (best == waiting_.end()) return;
    if (current == chosen_.end()) {
        size_t others = 0;
        for (const Global& g : chosen_) others += !used(g.name);
        if (!used(name) && others >= kMaxOtherNames) return;
    } else if (!better(*best, *current)) {
        return;
    } else {
        moves.unbind.push_back(current->id);
        Global was = std::move(*current);
        chosen_.erase(current);
        std::swap(*best, was);  // the one bound till now waits in its place
        chosen_.push_back(std::move(was));
        moves.bind.push_back(chosen_.back());
        return;
    }
    chosen_.push_back(std::move(*best));
    waiting_.erase(best);
    moves.bind.push_back(chosen_.back());
}

MetadataChoice::Moves MetadataChoice::metadataAnnounced(uint32_t id, uint32_t version, const spa_dict* props) {
    Moves moves;
    Global g;
    g.id = id;
    g.version = version;
    if (const char* name = lookup(props, PW_KEY_METADATA_NAME)) g.name = name;
    if (const char* client = lookup(props, PW_KEY_CLIENT_ID)) g.owner = pw_properties_parse_int(client);
    g.order = ++order_;
    if (waiting_.size() >= kMaxWaiting) {
        // Room for a name the package uses, at the cost of another's.
        auto other = std::find_if(waiting_.begin(), waiting_.end(), [&](const Global& w) { return !used(w.name); });
        if (!used(g.name) || other == waiting_.end()) return moves;
        waiting_.erase(other);
    }
    std::string name = g.name;
    waiting_.push_back(std::move(g));
    choose(name, moves);
    return moves;
}

MetadataChoice::Moves MetadataChoice::clientAnnounced(uint32_t id, const spa_dict* props) {
    Moves moves;
    if (!isSessionManager(props) || managers_.size() >= kMaxManagers) return moves;
    managers_.push_back(id);
    std::vector<std::string> names;
    for (const Global& w : waiting_)
        if (w.owner == id) names.push_back(w.name);
    for (const std::string& name : names) choose(name, moves);
    return moves;
}

MetadataChoice::Moves MetadataChoice::removed(uint32_t id) {
    Moves moves;
    // A client's id is given to the next client: what it was goes with it.
    managers_.erase(std::remove(managers_.begin(), managers_.end(), id), managers_.end());
    waiting_.erase(std::remove_if(waiting_.begin(), waiting_.end(), [&](const Global& w) { return w.id == id; }),
                   waiting_.end());
    auto it = std::find_if(chosen_.begin(), chosen_.end(), [&](const Global& g) { return g.id == id; });
    if (it == chosen_.end()) return moves;
    std::string name = it->name;
    moves.unbind.push_back(id);
    chosen_.erase(it);
    choose(name, moves);
    return moves;
}

void MetadataChoice::clear() {
    *this = MetadataChoice();
}

namespace {

// Lives in its proxy's user data, from the bind to the proxy's destroy event.
struct BoundMetadata {
    PwContext* ctx;
    pw_proxy* proxy;
    uint32_t id;
    std::string name;
    uint32_t owner;       // "client.id" of its maker (the session manager for "default"), or invalid
    MetadataStore store;  // guarded by the graph lock
    spa_hook objectListener{};
    spa_hook proxyListener{};
};

// The feature's state, in the context.
struct MetadataState : FeatureState {
    // Changed on the PipeWire thread under the graph lock; read there without it.
    std::vector<BoundMetadata*> bound;
    uint64_t generation = 0;  // guarded by the graph lock
    // The registry's metadata objects and clients, as the choice of which
    // are bound sees them. PipeWire thread only.
    MetadataChoice choice;
};

MetadataState& state(PwContext* ctx) {
    return static_cast<MetadataState&>(*ctx->features.metadata);
}

// Numbers the changes and queues them for a Graph that listens. Graph lock held.
void reportLocked(BoundMetadata* m, std::vector<MetadataChange>& changes) {
    PwContext* ctx = m->ctx;
    for (MetadataChange& change : changes) {
        change.generation = ++state(ctx).generation;
        change.metadataId = m->id;
        change.name = m->name;
        if (!ctx->graphListening) continue;
        PwEvent event = makeEvent(MetadataChanged, m->id, ForGraph);
        event.metadata = std::make_shared<const MetadataChange>(std::move(change));
        emitEvent(ctx, std::move(event));
    }
}

void reportPresence(BoundMetadata* m, MetadataChange::Kind kind) {
    std::vector<MetadataChange> changes(1);
    changes[0].kind = kind;
    changes[0].owner = m->owner;
    reportLocked(m, changes);
}

int onProperty(void* data, uint32_t subject, const char* key, const char* type, const char* value) {
    auto* m = static_cast<BoundMetadata*>(data);
    std::vector<MetadataChange> changes;
    LockGuard lock(m->ctx->mutex);
    m->store.apply(subject, key, type, value, changes);
    reportLocked(m, changes);
    return 0;
}

void onRemoved(void* data) {
    pw_proxy_destroy(static_cast<BoundMetadata*>(data)->proxy);
}

void onError(void* data, int seq, int res, const char* message) {
    auto* m = static_cast<BoundMetadata*>(data);
    reportControlError(m->ctx, pw_proxy_get_id(m->proxy), seq, res, message);
}

void onDestroy(void* data) {
    auto* m = static_cast<BoundMetadata*>(data);
    spa_hook_remove(&m->objectListener);
    spa_hook_remove(&m->proxyListener);
    markInfoProxy(m->ctx, pw_proxy_get_id(m->proxy), false);
    {
        LockGuard lock(m->ctx->mutex);
        std::vector<BoundMetadata*>& bound = state(m->ctx).bound;
        bound.erase(std::remove(bound.begin(), bound.end(), m), bound.end());
        reportPresence(m, MetadataChange::Removed);
    }
    m->~BoundMetadata();
}

const auto kMetadataEvents =
    listenerTable<pw_metadata_events>(PW_VERSION_METADATA_EVENTS, &pw_metadata_events::property, onProperty);

const auto kProxyEvents =
    listenerTable<pw_proxy_events>(PW_VERSION_PROXY_EVENTS, &pw_proxy_events::destroy, onDestroy,
                                   &pw_proxy_events::removed, onRemoved, &pw_proxy_events::error, onError);

struct SetRequest {
    uint32_t token;
    std::string name;
    uint32_t subject;
    std::string key;
    std::optional<std::string> type, value;
};

void setOnLoop(PwContext* ctx, const SetRequest* req) {
    std::vector<BoundMetadata*>& bound = state(ctx).bound;
    auto it = std::find_if(bound.begin(), bound.end(), [&](BoundMetadata* m) { return m->name == req->name; });
    if (it == bound.end()) {
        failControlRequest(ctx, req->token, -ENOENT, "no \"" + req->name + "\" metadata");
        return;
    }
    pw_proxy* proxy = (*it)->proxy;
    int res = pw_metadata_set_property(reinterpret_cast<pw_metadata*>(proxy), req->subject, req->key.c_str(),
                                       req->value && req->type ? req->type->c_str() : nullptr,
                                       req->value ? req->value->c_str() : nullptr);
    followControlRequest(ctx, req->token, pw_proxy_get_id(proxy), res);
}

}  // namespace

namespace {

void bindOne(PwContext* ctx, const MetadataChoice::Global& g) {
    auto* proxy = static_cast<pw_proxy*>(pw_registry_bind(ctx->registry, g.id, PW_TYPE_INTERFACE_Metadata,
                                                          std::min<uint32_t>(g.version, PW_VERSION_METADATA),
                                                          sizeof(BoundMetadata)));
    if (!proxy) return;
    auto* m = new (pw_proxy_get_user_data(proxy)) BoundMetadata{ctx, proxy, g.id, g.name, g.owner, {}, {}, {}};
    pw_proxy_add_object_listener(proxy, &m->objectListener, &kMetadataEvents, m);
    pw_proxy_add_listener(proxy, &m->proxyListener, &kProxyEvents, m);
    // Its errors reach a request's Promise, or nobody: never standard error.
    markInfoProxy(ctx, pw_proxy_get_id(proxy), true);
    LockGuard lock(ctx->mutex);
    state(ctx).bound.push_back(m);
    reportPresence(m, MetadataChange::Added);
}

void apply(PwContext* ctx, const MetadataChoice::Moves& moves) {
    for (uint32_t id : moves.unbind) {
        // Gone already when its proxy was told the object is removed.
        std::vector<BoundMetadata*>& bound = state(ctx).bound;
        auto it = std::find_if(bound.begin(), bound.end(), [&](BoundMetadata* m) { return m->id == id; });
        if (it != bound.end()) pw_proxy_destroy((*it)->proxy);
    }
    if (!ctx->registry) return;
    for (const MetadataChoice::Global& g : moves.bind) bindOne(ctx, g);
}

}  // namespace

void bindMetadata(PwContext* ctx, uint32_t id, uint32_t version, const spa_dict* props) {
    apply(ctx, state(ctx).choice.metadataAnnounced(id, version, props));
}

void noteMetadataClient(PwContext* ctx, uint32_t id, const spa_dict* props) {
    apply(ctx, state(ctx).choice.clientAnnounced(id, props));
}

void metadataGlobalRemoved(PwContext* ctx, uint32_t id) {
    apply(ctx, state(ctx).choice.removed(id));
}

void installMetadata(PwContext* ctx) {
    if (!ctx->features.metadata) ctx->features.metadata = std::make_unique<MetadataState>();
}

void releaseMetadata(PwContext* ctx) {
    MetadataState& s = state(ctx);
    s.choice.clear();
    // Each destroy event takes its object off the list.
    while (!s.bound.empty()) pw_proxy_destroy(s.bound.front()->proxy);
}

Handoff requestMetadataSet(PwContext* ctx, uint32_t token, const std::string& name, uint32_t subject,
                           const std::string& key, const std::optional<std::string>& type,
                           const std::optional<std::string>& value) {
    auto req = std::make_shared<const SetRequest>(SetRequest{token, name, subject, key, type, value});
    return postWork(ctx, [req](PwContext* c) { setOnLoop(c, req.get()); });
}

std::vector<MetadataDropped> metadataDropped(PwContext* ctx) {
    std::vector<MetadataDropped> out;
    LockGuard lock(ctx->mutex);
    for (const BoundMetadata* m : state(ctx).bound) out.push_back({m->id, m->name, m->store.dropped()});
    return out;
}

std::vector<MetadataChange> metadataSnapshot(PwContext* ctx, uint64_t& generation) {
    std::vector<MetadataChange> out;
    LockGuard lock(ctx->mutex);
    for (const BoundMetadata* m : state(ctx).bound) {
        MetadataChange added;
        added.kind = MetadataChange::Added;
        added.metadataId = m->id;
        added.name = m->name;
        added.owner = m->owner;
        out.push_back(added);
        for (const auto& [k, entry] : m->store.entries()) {
            MetadataChange set = added;
            set.kind = MetadataChange::Set;
            set.subject = k.first;
            set.key = k.second;
            set.type = entry.type;
            set.value = entry.value;
            out.push_back(std::move(set));
        }
    }
    generation = state(ctx).generation;
    return out;
}
