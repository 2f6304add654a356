// Both threads at once: the registry handlers and producers on one thread (as
// the PipeWire thread runs them) while another drains the queues and takes the
// graph lock (as the JavaScript thread does). Meant for ThreadSanitizer too.
#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include "connection/EventQueue.h"
#include "connection/PwContext.h"
#include "connection/RegistryMirror.h"
#include "features/links/LinkControl.h"
#include "features/links/LinkRemoval.h"
#include "features/links/LinksState.h"
#include "features/nodes/NodeWait.h"

namespace {

void announce(PwContext* ctx, uint32_t id, const char* type, std::vector<spa_dict_item> items) {
    spa_dict dict = SPA_DICT_INIT(items.data(), uint32_t(items.size()));
    onRegistryGlobal(ctx, id, 0, type, 3, &dict);
}

// Node `base` "src", its output port `base + 1`, and link `base + 2` from it to node 7.
void announceLinkedSource(PwContext* ctx, uint32_t base) {
    std::string node = std::to_string(base), port = std::to_string(base + 1);
    announce(ctx, base, PW_TYPE_INTERFACE_Node, {{"node.name", "src"}, {"media.class", "Audio/Source"}});
    announce(ctx, base + 1, PW_TYPE_INTERFACE_Port, {{"node.id", node.c_str()}, {"port.direction", "out"}});
    announce(ctx, base + 2, PW_TYPE_INTERFACE_Link,
             {{"link.output.node", node.c_str()},
              {"link.output.port", port.c_str()},
              {"link.input.node", "7"},
              {"link.input.port", "8"}});
}

TEST(Concurrency, RegistryThreadAndJavaScriptThreadShareTheContext) {
    PwContext ctx;
    ctx.core = reinterpret_cast<pw_core*>(0x1);  // never dereferenced on these paths
    ctx.lifecycle = Lifecycle::Listed;
    installLinks(&ctx);
    LinksState& links = linksState(&ctx);
    constexpr uint32_t kRounds = 3000;
    std::atomic<bool> done{false};

    std::thread registry([&] {
        for (uint32_t i = 0; i < kRounds; i++) {
            uint32_t base = 1000 + i * 4;
            announceLinkedSource(&ctx, base);
            onRegistryGlobalRemove(&ctx, base + 2);
            onRegistryGlobalRemove(&ctx, base + 1);
            onRegistryGlobalRemove(&ctx, base);
        }
        done = true;
    });

    size_t events = 0;
    PwEvent event;
    while (!done) {
        while (takeNextEvent(&ctx, event)) events++;
        uint32_t count = 0;
        unlinkNodesByName(&ctx, "src", 7, count);
        {
            // The count is what went into the removal queue: links from "src" to 7.
            LockGuard lock(ctx.queueMutex);
            EXPECT_EQ(links.linkDestructionQueue.size(), count);
            for (const LinkRemoval& removal : links.linkDestructionQueue) EXPECT_EQ((removal.linkId - 1000) % 4, 2u);
        }
        findNode(&ctx, "src", DirectionFilter::Input);
        processLinkDestructionQueue(&ctx);  // no loop runs: dropped without waiting
        std::this_thread::yield();
    }
    registry.join();
    while (takeNextEvent(&ctx, event)) events++;
    // Node and link, created and destroyed; unless a slow drain let the
    // queue overflow, and objects long gone were left out of its catch-up.
    if (ctx.eventQueue.catchUps() == 0)
        EXPECT_EQ(events, size_t(kRounds) * 4);
    else
        EXPECT_LT(events, size_t(kRounds) * 4);
    EXPECT_TRUE(ctx.nodes.empty() && ctx.links.empty() && links.linkDestructionQueue.empty());
    EXPECT_TRUE(links.removalRequested.empty());

    // Dropped for want of a loop, a removal counts as not requested while its
    // link stands: asking again queues it again (to be sent on a new connection).
    announceLinkedSource(&ctx, 50);
    for (int attempt = 0; attempt < 2; attempt++) {
        uint32_t count = 0;
        unlinkNodesByName(&ctx, "src", 7, count);
        EXPECT_EQ(count, 1u) << "attempt " << attempt;
        processLinkDestructionQueue(&ctx);
        EXPECT_EQ(links.removalRequested.count(52), 0u) << "attempt " << attempt;
    }
}

}  // namespace
