// Metadata changes in the event queue: any client writes them, under keys
// of its own choosing, while JavaScript may be busy. The queue stays bounded
// and what the consumer builds (changes, plus a fresh read at each resync)
// is the metadata as it is.
#include <gtest/gtest.h>

#include <map>
#include <memory>
#include <string>
#include <vector>

#include "connection/EventQueue.h"

namespace {

const std::vector<NodeInfo> kNoNodes;
const std::vector<PortInfo> kNoPorts;
const std::vector<LinkInfo> kNoLinks;
const MirrorView kMirror{kNoNodes, kNoPorts, kNoLinks, ForListeners | ForGraph};

// The metadata as the PipeWire thread keeps it: numbered changes.
struct Store {
    std::map<std::string, std::string> entries;
    uint64_t generation = 0;

    PwEvent set(const std::string& key, const std::string& value) {
        auto c = std::make_shared<MetadataChange>();
        c->generation = ++generation;
        c->key = key;
        if (value.empty()) {
            c->kind = MetadataChange::Deleted;
            entries.erase(key);
        } else {
            c->value = value;
            entries[key] = value;
        }
        PwEvent e = makeEvent(MetadataChanged, 7, ForGraph);
        e.metadata = std::move(c);
        return e;
    }
};

// What JavaScript builds: each change newer than its last read, and a read
// of the whole store at a resync.
struct Consumer {
    std::map<std::string, std::string> entries;
    uint64_t generation = 0;
    int resyncs = 0;
    std::vector<uint32_t> nodes;

    void take(EventQueue& q, const Store& store) {
        PwEvent e;
        while (q.take(e)) {
            if (e.type == NodeCreated) nodes.push_back(e.id);
            if (e.type != MetadataChanged) continue;
            if (!e.metadata) {
                resyncs++;
                entries = store.entries;
                generation = store.generation;
                continue;
            }
            if (e.metadata->generation <= generation) continue;
            generation = e.metadata->generation;
            if (e.metadata->kind == MetadataChange::Deleted)
                entries.erase(e.metadata->key);
            else
                entries[e.metadata->key] = e.metadata->value;
        }
    }
};

TEST(MetadataQueue, AStormOfNewKeysStaysBoundedAndEndsAsTheStore) {
    EventQueue q;
    Store store;
    Consumer js;
    size_t most = 0;
    for (int round = 0; round < 3; round++) {
        // New keys set and deleted (nothing left to join), one node among them.
        for (int i = 0; i < 20000; i++) {
            std::string key = "k" + std::to_string(round) + "-" + std::to_string(i);
            q.push(store.set(key, "v"), kMirror);
            q.push(store.set(key, i % 3 ? "" : std::string(300, 'x')), kMirror);
            if (i == 10000) {
                NodeInfo n;
                n.id = uint32_t(100 + round);
                PwEvent e = makeEvent(NodeCreated, n.id, ForGraph);
                e.node = n;
                q.push(std::move(e), kMirror);
            }
            most = std::max(most, q.size());
            ASSERT_LE(q.bytes(), EventQueue::kMaxMetadataBytes + (64 << 10));
        }
        js.take(q, store);
        EXPECT_EQ(js.entries, store.entries);
        EXPECT_EQ(js.generation, store.generation);
    }
    EXPECT_LE(most, EventQueue::kMaxMetadataEvents + 2);
    EXPECT_EQ(js.resyncs, 3);
    EXPECT_EQ(q.metadataResyncs(), 3u);
    EXPECT_EQ(js.nodes, (std::vector<uint32_t>{100, 101, 102}));  // other events are kept

    // A few changes stay changes: no resync.
    for (int i = 0; i < 10; i++) q.push(store.set("few", std::to_string(i + 1)), kMirror);
    js.take(q, store);
    EXPECT_EQ(js.resyncs, 3);
    EXPECT_EQ(js.entries, store.entries);
}

TEST(MetadataQueue, TheGraphStoppingDropsTheResyncAndChangesQueueAgain) {
    EventQueue q;
    Store store;
    for (size_t i = 0; i <= EventQueue::kMaxMetadataEvents; i++)
        q.push(store.set("k" + std::to_string(i), "v"), kMirror);
    EXPECT_EQ(q.size(), 1u);
    q.dropAudience(ForGraph);
    EXPECT_EQ(q.size(), 0u);
    q.push(store.set("after", "v"), kMirror);
    PwEvent e;
    ASSERT_TRUE(q.take(e));
    ASSERT_TRUE(e.metadata);
    EXPECT_EQ(e.metadata->key, "after");
}

}  // namespace
