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

#include "../../core/PwEvent.h"

struct PwContext;

// The entries of one metadata object, within bounds. Pure: it applies the
// metadata's property events and says what changed.
class MetadataStore {
public:
    static constexpr size_t kMaxEntries = 4096;
    static constexpr size_t kMaxBytes = 1 << 20;  // keys, types and values together
    static constexpr size_t kMaxKeyBytes = 1024;
    static constexpr size_t kMaxValueBytes = 64 * 1024;

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
    size_t bytes() const { return bytes_; }

private:
    void erase(std::map<Key, Entry>::iterator it, std::vector<MetadataChange>& out);

    std::map<Key, Entry> entries_;
    size_t bytes_ = 0;
};

// Binds a metadata object the registry announced (`props`: the registry's,
// with "metadata.name"). At most kMaxMetadataObjects are kept. PipeWire thread.
constexpr size_t kMaxMetadataObjects = 64;
void bindMetadata(PwContext* ctx, uint32_t id, uint32_t version, const spa_dict* props);

// Destroys the bindings; the Graph hears each metadata object go. Before
// the registry goes. PipeWire thread.
void releaseMetadata(PwContext* ctx);

// Asks the metadata named `name` (the first bound of that name) to set
// `key` of `subject` (`value` null: to delete it). The outcome reaches the
// Graph as the metadata's change, or as ControlFailed under `token`. Not
// waited for; false when the loop does not run. JavaScript thread.
bool requestMetadataSet(PwContext* ctx, uint32_t token, const std::string& name, uint32_t subject,
                        const std::string& key, const std::optional<std::string>& type,
                        const std::optional<std::string>& value);

// What the Graph would have heard so far: each metadata object as Added,
// then its entries as Set; `generation` is the last change's. JavaScript
// thread.
std::vector<MetadataChange> metadataSnapshot(PwContext* ctx, uint64_t& generation);
