// The metadata objects of the daemon ("default" holds the default devices
// and the streams' targets): bound as the registry announces them, their
// entries kept (bounded: any client may write them) and every change
// reported to the Graph as MetadataChanged. V8-free.
#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include <spa/utils/dict.h>

#include "../../connection/WorkQueue.h"
#include "../../core/PwEvent.h"

struct PwContext;

// The entries of one metadata object, within bounds. Pure: it applies the
// metadata's property events and says what changed. The package's own keys
// (the defaults on subject 0, a stream's "target.object" / "target.node")
// with a small value have bounds of their own: whatever other clients write,
// they are kept. What is not kept is counted.
class MetadataStore {
public:
    static constexpr size_t kMaxEntries = 4096;
    static constexpr size_t kMaxBytes = 1 << 20;  // keys, types and values together
    static constexpr size_t kMaxKeyBytes = 1024;
    static constexpr size_t kMaxValueBytes = 64 * 1024;
    // The package's own keys: a node name's JSON, an id or serial.
    static constexpr size_t kMaxOwnValueBytes = 4096;
    static constexpr size_t kMaxOwnEntries = 8192;

    struct Entry {
        std::string type, value;
    };
    using Key = std::pair<uint32_t, std::string>;  // subject, key

    // One property event (key null: every key of the subject, or of all
    // subjects for PW_ID_ANY; value null: the key goes). Appends a Set or
    // Deleted change per entry that changed, in `out`'s kind, subject, key,
    // type and value; an entry beyond the bounds is not kept (and one that
    // grows beyond them goes).
    void apply(uint32_t subject, const char* key, const char* type, const char* value,
               std::vector<MetadataChange>& out);

    const std::map<Key, Entry>& entries() const { return entries_; }
    size_t bytes() const { return bytes_; }  // of the entries other than the package's own
    // Entries set by a client and not kept (or no longer kept) for the bounds.
    uint64_t dropped() const { return dropped_; }

    // Whether `key` of `subject` is one the package reads and writes itself.
    static bool ownKey(uint32_t subject, const std::string& key);

private:
    void erase(std::map<Key, Entry>::iterator it, std::vector<MetadataChange>& out);
    static bool own(const Key& key, size_t typeBytes, size_t valueBytes);

    std::map<Key, Entry> entries_;
    size_t bytes_ = 0;   // of the others' entries
    size_t others_ = 0;  // the others' entries
    size_t owned_ = 0;   // the package's own entries
    uint64_t dropped_ = 0;
};

// Which of the metadata objects the registry announced are bound: one per
// name, the one its maker says most for. Any client can make one of any
// name, and before the session manager (re)starts: announced first is not
// enough. The "client.id" of a metadata object is written by the daemon's
// metadata module, not by its maker; of that client we trust only what the
// daemon checked (a sandboxed client is never the session manager) and the
// name it gives itself. Best first: the daemon's own (no "client.id", as
// "settings"), then one made by a session manager (a client calling itself
// WirePlumber or pipewire-media-session, not sandboxed), then any other;
// between equals the first announced stays. The names the package uses are
// always bound, others up to kMaxOtherNames; the rest wait, bounded, for the
// one bound of their name to go. Pure: says what to bind and unbind.
class MetadataChoice {
public:
    static constexpr size_t kMaxOtherNames = 32;
    static constexpr size_t kMaxWaiting = 256;
    static constexpr size_t kMaxManagers = 16;

    struct Global {
        uint32_t id = 0;
        uint32_t version = 0;
        std::string name;
        uint32_t owner = 0xffffffff;  // "client.id", or none
        uint64_t order = 0;           // of announcement
    };
    struct Moves {
        std::vector<uint32_t> unbind;  // first
        std::vector<Global> bind;
    };

    // Registry events. `props`: the registry's.
    Moves metadataAnnounced(uint32_t id, uint32_t version, const spa_dict* props);
    Moves clientAnnounced(uint32_t id, const spa_dict* props);
    Moves removed(uint32_t id);  // any global

    // The connection is gone: nothing is announced any more.
    void clear();
    const std::vector<Global>& chosen() const { return chosen_; }
    size_t waiting() const { return waiting_.size(); }

private:
    int rank(const Global& g) const;
    bool used(const std::string& name) const;
    void choose(const std::string& name, Moves& moves);

    std::vector<Global> chosen_, waiting_;
    std::vector<uint32_t> managers_;  // clients that are session managers
    uint64_t order_ = 0;
};

// The registry announced a metadata object, or a client (`props`: the
// registry's); a global went. What MetadataChoice says is bound or
// unbound: the Graph receives each metadata object bound as Added, then its
// entries, and each unbound as Removed. PipeWire thread.
void bindMetadata(PwContext* ctx, uint32_t id, uint32_t version, const spa_dict* props);
void noteMetadataClient(PwContext* ctx, uint32_t id, const spa_dict* props);
void metadataGlobalRemoved(PwContext* ctx, uint32_t id);

// Makes the feature's state in the context, once; before the first start.
void installMetadata(PwContext* ctx);

// Destroys the bindings; the Graph is sent each metadata object's removal. Before
// the registry goes. PipeWire thread.
void releaseMetadata(PwContext* ctx);

// Asks the metadata named `name` (the one bound of that name) to set
// `key` of `subject` (`value` null: to delete it). The outcome reaches the
// Graph as the metadata's change, or as ControlFailed under `token`. Not
// waited for; nothing is sent unless it is Queued. JavaScript thread.
Handoff requestMetadataSet(PwContext* ctx, uint32_t token, const std::string& name, uint32_t subject,
                           const std::string& key, const std::optional<std::string>& type,
                           const std::optional<std::string>& value);

// What the Graph would have received so far: each metadata object as Added,
// then its entries as Set; `generation` is the last change's. JavaScript
// thread.
std::vector<MetadataChange> metadataSnapshot(PwContext* ctx, uint64_t& generation);

// Each bound metadata object's id, name and MetadataStore::dropped().
// JavaScript thread.
struct MetadataDropped {
    uint32_t id;
    std::string name;
    uint64_t dropped;
};
std::vector<MetadataDropped> metadataDropped(PwContext* ctx);
