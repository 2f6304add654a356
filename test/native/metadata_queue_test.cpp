// Metadata changes in the event queue: any client writes them, under keys
// of its own choosing, while JavaScript may be busy. The queue stays bounded
// and what the consumer builds (changes, plus a fresh read at each resync)
// is the metadata as it is.
#include <gtest/gtest.h>

#include <map>
#include <string>
#include <vector>

#include "connection/EventQueue.h"

namespace {

const std::vector<NodeInfo> kNoNodes;
const std::vector<PortInfo> kNoPorts;
const std::vector<LinkInfo> kNoLinks;
const MirrorView kMirror{kNoNodes, kNoPorts, kNoLinks, ForListeners | ForGraph};

using Entries = std::map<std::string, std::string>;

// The PipeWire thread's side: numbered changes of one metadata (an empty
// value deletes).
PwEvent change(Entries& store, uint64_t& generation, const std::string& key, const std::string& value) {
    auto c = std::make_shared<MetadataChange>();
    c->generation = ++generation;
    c->key = key, c->value = value;
    c->kind = value.empty() ? MetadataChange::Deleted : MetadataChange::Set;
    value.empty() ? void(store.erase(key)) : void(store[key] = value);
    PwEvent e = makeEvent(MetadataChanged, 7, ForGraph);
    e.metadata = std::move(c);
    return e;
}

TEST(MetadataQueue, AStormOfNewKeysStaysBoundedAndEndsAsTheStore) {
    EventQueue q;
    Entries store, js;
    uint64_t generation = 0, jsGeneration = 0;
    int resyncs = 0;
    std::vector<uint32_t> nodes;
    // What JavaScript does: each change newer than its last read; a whole read at a resync.
    auto drain = [&] {
        for (PwEvent e; q.take(e);) {
            if (e.type == NodeCreated) nodes.push_back(e.id);
            if (e.type != MetadataChanged) continue;
            if (!e.metadata) {
                resyncs++, js = store, jsGeneration = generation;
            } else if (e.metadata->generation > jsGeneration) {
                jsGeneration = e.metadata->generation;
                e.metadata->value.empty() ? void(js.erase(e.metadata->key))
                                          : void(js[e.metadata->key] = e.metadata->value);
            }
        }
    };
    size_t most = 0;
    for (uint32_t round = 0; round < 3; round++) {
        // New keys set and deleted (nothing to join), one node among them.
        for (int i = 0; i < 20000; i++) {
            std::string key = std::to_string(round) + "-" + std::to_string(i);
            q.push(change(store, generation, key, "v"), kMirror);
            q.push(change(store, generation, key, i % 3 ? "" : std::string(300, 'x')), kMirror);
            if (i == 10000) q.push(makeEvent(NodeCreated, 100 + round, ForGraph), kMirror);
            most = std::max(most, q.size());
            ASSERT_LE(q.bytes(), EventQueue::kMaxMetadataBytes + (64 << 10));
        }
        drain();
        EXPECT_EQ(js, store);
        EXPECT_EQ(jsGeneration, generation);
    }
    EXPECT_LE(most, EventQueue::kMaxMetadataEvents + 2);
    EXPECT_EQ(resyncs, 3);
    EXPECT_EQ(nodes, (std::vector<uint32_t>{100, 101, 102}));  // other events are kept

    // A few changes stay changes.
    for (int i = 0; i < 10; i++) q.push(change(store, generation, "few", std::to_string(i + 1)), kMirror);
    drain();
    EXPECT_EQ(resyncs, 3);
    EXPECT_EQ(js, store);

    // The Graph stopping drops a resync; changes queue again after it.
    for (size_t i = 0; i <= EventQueue::kMaxMetadataEvents; i++)
        q.push(change(store, generation, "k", "v" + std::to_string(i)), kMirror);
    EXPECT_EQ(q.size(), 1u);
    q.dropRecipients(ForGraph);
    EXPECT_EQ(q.size(), 0u);
    q.push(change(store, generation, "after", "v"), kMirror);
    PwEvent e;
    ASSERT_TRUE(q.take(e) && e.metadata);
    EXPECT_EQ(e.metadata->key, "after");
}

}  // namespace
