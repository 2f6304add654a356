// Which metadata objects are bound when any client may make them, of any
// name and in any number, before the session manager (re)starts.
#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <string>
#include <vector>

#include <pipewire/extensions/metadata.h>
#include <pipewire/keys.h>

#include "features/control/Metadata.h"

namespace {

struct Props {
    std::vector<spa_dict_item> items;
    spa_dict dict{};
    Props(std::initializer_list<std::pair<const char*, const char*>> pairs) {
        for (auto& [k, v] : pairs)
            if (v) items.push_back(SPA_DICT_ITEM_INIT(k, v));
        dict = SPA_DICT_INIT(items.data(), uint32_t(items.size()));
    }
    Props(const Props&) = delete;
};

void applyMoves(std::map<std::string, uint32_t>& bound, const MetadataChoice::Moves& moves) {
    for (uint32_t id : moves.unbind) {
        auto it = std::find_if(bound.begin(), bound.end(), [&](auto& b) { return b.second == id; });
        if (it != bound.end()) bound.erase(it);
    }
    for (const auto& g : moves.bind) {
        EXPECT_FALSE(bound.count(g.name)) << "two bound of " << g.name;
        bound[g.name] = g.id;
    }
}

TEST(MetadataChoice, TheSessionManagersDefaultWinsAndDecoysStayBounded) {
    MetadataChoice choice;
    std::map<std::string, uint32_t> bound;
    auto metadata = [&](uint32_t id, const char* name, const char* client) {
        Props p{{PW_KEY_METADATA_NAME, name}, {PW_KEY_CLIENT_ID, client}};
        applyMoves(bound, choice.metadataAnnounced(id, 3, &p.dict));
    };
    // The daemon's own "settings", then a client's: the daemon's stays.
    metadata(1, "settings", nullptr);
    metadata(2, "settings", "40");
    EXPECT_EQ(bound["settings"], 1u);
    // A client makes a "default", and hundreds of others, before the session
    // manager (client 50) comes: those of other names are bound up to a bound.
    metadata(3, "default", "40");
    EXPECT_EQ(bound["default"], 3u);
    for (uint32_t i = 0; i < 400; i++)
        metadata(100 + i, (i % 2 ? "default" : ("x-" + std::to_string(i)).c_str()), "40");
    EXPECT_EQ(bound.size(), 2 + MetadataChoice::kMaxOtherNames - 1);
    EXPECT_EQ(choice.waiting(), MetadataChoice::kMaxWaiting);
    // Its "default" announced before the client itself (ids are reused, and
    // the registry announces in id order), and still taken; a sandboxed
    // client calling itself WirePlumber is not the session manager.
    metadata(4, "default", "50");
    EXPECT_EQ(bound["default"], 3u);
    Props sandboxed{{PW_KEY_APP_NAME, "WirePlumber"}, {PW_KEY_ACCESS, "flatpak"}};
    applyMoves(bound, choice.clientAnnounced(60, &sandboxed.dict));
    metadata(5, "default", "60");
    Props manager{{PW_KEY_APP_NAME, "WirePlumber"}, {PW_KEY_ACCESS, "unrestricted"}};
    applyMoves(bound, choice.clientAnnounced(50, &manager.dict));
    EXPECT_EQ(bound["default"], 4u);
    // A later one of another client does not take its place; once it goes,
    // the best waiting one is bound, and the manager's next one wins again.
    metadata(6, "default", "41");
    EXPECT_EQ(bound["default"], 4u);
    applyMoves(bound, choice.removed(4));
    EXPECT_EQ(bound["default"], 3u);
    metadata(7, "default", "50");
    EXPECT_EQ(bound["default"], 7u);
    // The client's id goes to another client: its metadata ranks as any other.
    applyMoves(bound, choice.removed(50));
    applyMoves(bound, choice.removed(7));
    EXPECT_EQ(bound["default"], 3u);
}

}  // namespace
