// The event queue's bounds: changed events joined per object, and an
// overflowing queue caught up from the mirror, so that what each recipient
// builds from its events is the mirror, in an order it can apply.
#include <gtest/gtest.h>

#include <map>
#include <string>
#include <tuple>
#include <vector>

#include <uv.h>

#include "connection/EventQueue.h"
#include "connection/PwContext.h"
#include "core/DeviceParams.h"

namespace {

struct Mirror {
    std::vector<NodeInfo> nodes;
    std::vector<PortInfo> ports;
    std::vector<LinkInfo> links;
    uint8_t receiving = ForListeners | ForGraph;
    MirrorView view() const { return MirrorView{nodes, ports, links, receiving}; }
};

NodeInfo node(uint32_t id, std::string name, std::string props = {}) {
    NodeInfo n;
    n.id = id, n.name = std::move(name), n.props = std::move(props);
    return n;
}

PwEvent created(const NodeInfo& n, uint8_t recipients = ForListeners | ForGraph) {
    PwEvent e = makeEvent(NodeCreated, n.id, recipients);
    e.node = n;
    return e;
}

PwEvent changed(const NodeInfo& n, uint8_t what) {
    PwEvent e = makeEvent(NodeChanged, n.id, ForGraph);
    e.node = n, e.changed = what;
    return e;
}

// What one recipient builds from the events it takes: it fails the test on
// an event it cannot apply.
struct View {
    explicit View(uint8_t a) : recipients(a) {}
    uint8_t recipients;
    std::map<uint32_t, std::string> nodes;  // id -> name + props
    std::map<uint32_t, uint32_t> ports;     // id -> node
    std::map<uint32_t, bool> links;
    std::map<uint32_t, uint8_t> changes;  // node id -> the union of its changed flags
    std::vector<PwEventType> others;

    void apply(const PwEvent& e) {
        if (!(e.recipients & recipients)) return;
        switch (e.type) {
            case NodeCreated:
                EXPECT_FALSE(nodes.count(e.id)) << "node " << e.id << " created twice";
                nodes[e.id] = e.node.name + (recipients == ForGraph ? e.node.props : "");
                break;
            case NodeChanged:
                EXPECT_EQ(recipients, ForGraph);
                EXPECT_TRUE(nodes.count(e.id)) << "node " << e.id << " changed while unknown";
                nodes[e.id] = e.node.name + e.node.props;
                changes[e.id] |= e.changed;
                break;
            case NodeDestroyed:
                EXPECT_TRUE(nodes.erase(e.id)) << "node " << e.id << " destroyed while unknown";
                for (auto& [port, owner] : ports) EXPECT_NE(owner, e.id) << "node " << e.id << " gone before its ports";
                break;
            case PortCreated:
                EXPECT_TRUE(nodes.count(e.port.nodeId)) << "port " << e.id << " before its node";
                ports[e.id] = e.port.nodeId;
                break;
            case PortDestroyed:
                EXPECT_TRUE(ports.erase(e.id));
                break;
            case LinkCreated:
                links[e.id] = true;
                break;
            case LinkDestroyed:
                EXPECT_TRUE(links.erase(e.id));
                break;
            default:
                others.push_back(e.type);
        }
    }

    void expectMirror(const Mirror& m) const {
        std::map<uint32_t, std::string> want;
        for (const NodeInfo& n : m.nodes) want[n.id] = n.name + (recipients == ForGraph ? n.props : "");
        EXPECT_EQ(nodes, want);
        EXPECT_EQ(ports.size(), recipients == ForGraph ? m.ports.size() : 0u);
        EXPECT_EQ(links.size(), m.links.size());
    }
};

void drain(EventQueue& q, std::vector<View*> views) {
    PwEvent e;
    while (q.take(e))
        for (View* v : views) v->apply(e);
}

// A device's event, its record told apart by `mark` (as its serial).
PwEvent deviceEvent(PwEventType type, uint32_t id, int mark) {
    PwEvent e = makeEvent(type, id, ForGraph);
    auto record = std::make_shared<DeviceRecord>();
    record->id = id, record->serial = uint64_t(mark);
    e.device = std::move(record);
    return e;
}

TEST(EventQueue, ChangedEventsOfNodesAndDevicesJoinPerObjectLifeKeepingAllThatChanged) {
    EventQueue q;
    Mirror m;
    View graph{ForGraph};
    m.nodes = {node(5, "a")};
    q.push(created(m.nodes[0]), m.view());
    for (int i = 0; i < 1000; i++) {
        m.nodes[0].props = "p" + std::to_string(i);
        q.push(changed(m.nodes[0], i % 2 ? ChangedState : ChangedProps), m.view());
    }
    EXPECT_EQ(q.size(), 2u);
    // Id 5 goes and comes back as another node: its changes are another event.
    q.push(makeEvent(NodeDestroyed, 5, ForListeners | ForGraph), m.view());
    m.nodes = {node(5, "b")};
    q.push(created(m.nodes[0]), m.view());
    m.nodes[0].props = "x";
    q.push(changed(m.nodes[0], ChangedVolume), m.view());
    EXPECT_EQ(q.size(), 5u);

    PwEvent first, joined;
    ASSERT_TRUE(q.take(first) && q.take(joined));
    EXPECT_EQ(std::tie(joined.type, joined.node.props), std::make_tuple(NodeChanged, std::string("p999")));
    EXPECT_EQ(joined.changed, ChangedProps | ChangedState);
    graph.apply(first), graph.apply(joined);
    // Once taken, a change is a new event.
    q.push(changed(m.nodes[0], ChangedMute), m.view());
    drain(q, {&graph});
    EXPECT_EQ(graph.changes[5], ChangedProps | ChangedState | ChangedVolume | ChangedMute);
    graph.expectMirror(m);
    EXPECT_EQ(q.catchUps(), 0u);

    // A device flipping its params while JavaScript is busy queues one change,
    // its latest record; a device of the same id after it has changes of its own.
    q.push(deviceEvent(DeviceCreated, 7, 0), m.view());
    for (int i = 1; i <= 1000; i++) q.push(deviceEvent(DeviceChanged, 7, i), m.view());
    q.push(makeEvent(DeviceDestroyed, 7, ForGraph), m.view());
    q.push(deviceEvent(DeviceCreated, 7, 0), m.view());
    for (int i = 1; i <= 2; i++) q.push(deviceEvent(DeviceChanged, 7, i), m.view());
    std::vector<std::pair<PwEventType, int>> devices;
    for (PwEvent e; q.take(e);) devices.emplace_back(e.type, e.device ? int(e.device->serial) : -1);
    std::vector<std::pair<PwEventType, int>> want = {
        {DeviceCreated, 0}, {DeviceChanged, 1000}, {DeviceDestroyed, -1}, {DeviceCreated, 0}, {DeviceChanged, 2}};
    EXPECT_EQ(devices, want);
}

TEST(EventQueue, AnOverflowCatchesEachRecipientUpFromTheMirror) {
    EventQueue q(16, 1 << 20);
    Mirror m;
    View graph{ForGraph}, listeners{ForListeners};
    // Sent already: nodes 1 and 2, port 10 of node 2, link 20.
    m.nodes = {node(1, "one"), node(2, "two")};
    for (const NodeInfo& n : m.nodes) q.push(created(n), m.view());
    PwEvent portCreated = makeEvent(PortCreated, 10, ForGraph);
    portCreated.port.id = 10, portCreated.port.nodeId = 2;
    m.ports = {portCreated.port};
    q.push(std::move(portCreated), m.view());
    PwEvent linkCreated = makeEvent(LinkCreated, 20, ForListeners | ForGraph);
    linkCreated.link.id = 20;
    m.links = {linkCreated.link};
    q.push(std::move(linkCreated), m.view());
    drain(q, {&graph, &listeners});

    // While nobody takes: the link, the port and node 2 go, id 2 comes back
    // as another node, node 1 changes, nodes come and go in numbers.
    m.links.clear();
    q.push(makeEvent(LinkDestroyed, 20, ForListeners | ForGraph), m.view());
    q.push(makeEvent(SyncDone, 7, ForGraph), m.view());
    m.ports.clear();
    q.push(makeEvent(PortDestroyed, 10, ForGraph), m.view());
    m.nodes.erase(m.nodes.begin() + 1);
    q.push(makeEvent(NodeDestroyed, 2, ForListeners | ForGraph), m.view());
    m.nodes.push_back(node(2, "two again"));
    q.push(created(m.nodes.back()), m.view());
    m.nodes[0].props = "changed";
    q.push(changed(m.nodes[0], ChangedProps), m.view());
    for (uint32_t id = 100; id < 140; id++) {
        m.nodes.push_back(node(id, "churn"));
        q.push(created(m.nodes.back()), m.view());
        if (id % 4) {
            m.nodes.pop_back();
            q.push(makeEvent(NodeDestroyed, id, ForListeners | ForGraph), m.view());
        }
    }
    EXPECT_GE(q.catchUps(), 1u);
    EXPECT_LE(q.size(), m.nodes.size() * 2 + 16 + 1);
    drain(q, {&graph, &listeners});
    graph.expectMirror(m);
    listeners.expectMirror(m);
    EXPECT_EQ(graph.changes[1], ChangedProps);
    EXPECT_EQ(graph.others, std::vector<PwEventType>{SyncDone});
}

TEST(EventQueue, TheGraphCaughtUpFromTheMirrorItListedAndDroppedWhenItStops) {
    EventQueue q(8, 1 << 20);
    Mirror m;
    // The Graph joins a running connection: it lists nodes 1 and 2 itself.
    m.nodes = {node(1, "one", "p"), node(2, "two", "p")};
    for (const NodeInfo& n : m.nodes) q.push(created(n, ForListeners), m.view());
    q.push(makeEvent(Connected, 0, ForGraph), m.view());
    View graph{ForGraph}, listeners{ForListeners};
    graph.nodes = {{1, "onep"}, {2, "twop"}};
    for (uint32_t id = 100; id < 120; id++) {
        m.nodes.push_back(node(id, "n", std::string(100, 'x')));
        q.push(created(m.nodes.back()), m.view());
    }
    m.nodes.erase(m.nodes.begin());
    q.push(makeEvent(NodeDestroyed, 1, ForListeners | ForGraph), m.view());
    EXPECT_GE(q.catchUps(), 1u);
    drain(q, {&graph, &listeners});
    graph.expectMirror(m);
    listeners.expectMirror(m);
    // Its Connected taken, the next catch-up starts from the listing too.
    uint64_t before = q.catchUps();
    for (uint32_t id = 300; id < 320; id++) {
        m.nodes.push_back(node(id, "n"));
        q.push(created(m.nodes.back()), m.view());
    }
    EXPECT_GT(q.catchUps(), before);
    drain(q, {&graph, &listeners});
    graph.expectMirror(m);

    // The Graph stops: what waits for it goes, and the listeners' events
    // keep no properties.
    for (uint32_t id = 200; id < 204; id++) {
        m.nodes.push_back(node(id, "n", std::string(1000, 'y')));
        q.push(created(m.nodes.back()), m.view());
        q.push(changed(m.nodes.back(), ChangedProps), m.view());
    }
    size_t bytes = q.bytes();
    q.dropRecipients(ForGraph);
    EXPECT_EQ(q.size(), 4u);
    EXPECT_LT(q.bytes(), bytes - 4000);
    drain(q, {&listeners});
    listeners.expectMirror(m);
}

TEST(EventQueue, BytesAreBoundedToo) {
    EventQueue q(1 << 20, 64 * 1024);
    Mirror m;
    View graph{ForGraph};
    m.nodes = {node(1, "one")};
    q.push(created(m.nodes[0]), m.view());
    drain(q, {&graph});
    // Objects come and go with large properties, nobody takes.
    for (uint32_t id = 2; id < 1000; id++) {
        m.nodes.push_back(node(id, "big", std::string(4096, 'z')));
        q.push(created(m.nodes.back()), m.view());
        m.nodes.pop_back();
        q.push(makeEvent(NodeDestroyed, id, ForListeners | ForGraph), m.view());
        EXPECT_LE(q.bytes(), 64u * 1024 + 2 * (4096 + sizeof(PwEvent)));
    }
    drain(q, {&graph});
    graph.expectMirror(m);
}

TEST(EventQueue, WakeupsComeOncePerLoopIterationAndAtOnceForAnAnswer) {
    static int woken = 0;
    uv_async_t async;
    uv_async_init(uv_default_loop(), &async, [](uv_async_t*) { woken++; });
    PwContext ctx;
    ctx.eventAsync = &async;
    ctx.asyncInitialized = true;
    LockGuard lock(ctx.mutex);  // as the PipeWire thread queues events
    auto after = [&](auto step) {
        woken = 0;
        step();
        uv_run(uv_default_loop(), UV_RUN_NOWAIT);
        return woken;
    };
    deferWakeups(true);
    EXPECT_EQ(after([&] { emitNodeDestroyed(&ctx, 1), emitNodeDestroyed(&ctx, 2); }), 0) << "not before the end";
    EXPECT_EQ(after([&] { sendDeferredWakeup(&ctx); }), 1);
    EXPECT_EQ(after([&] { sendDeferredWakeup(&ctx); }), 0) << "none for an iteration that queued nothing";
    EXPECT_EQ(after([&] { emitNodeDestroyed(&ctx, 3), wakeNow(&ctx); }), 1) << "an answer wakes at once";
    EXPECT_EQ(after([&] { sendDeferredWakeup(&ctx); }), 0) << "and takes the iteration's wake-up with it";
    deferWakeups(false);
    uv_close(reinterpret_cast<uv_handle_t*>(&async), nullptr);
    uv_run(uv_default_loop(), UV_RUN_DEFAULT);
}

}  // namespace
