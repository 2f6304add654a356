// The properties the registry announces with a global, kept as one buffer:
// "key\0value\0key\0value\0..." in announcement order. One allocation per
// record, and the texts stay byte for byte as announced.
#pragma once

#include <cstdint>
#include <cstring>
#include <string>
#include <string_view>

#include <spa/utils/dict.h>

// An object's owner chooses its properties: what we keep of them (from the
// registry and from the info alike) is bounded. Real objects have some 10
// to 60, a few KiB.
constexpr size_t kMaxPropsBytes = 64 * 1024;
constexpr uint32_t kMaxProps = 1024;

// The keys the daemon itself adds to an object's properties (its id and
// serial, its client, factory and module, a port's node, a link's ends):
// what the package pins objects by, kept whatever the owner's own.
inline bool isDaemonKey(const char* key) {
    static const char* const kKeys[] = {"object.serial",    "object.id",       "client.id",      "factory.id",
                                        "module.id",        "node.id",         "port.id",        "link.output.node",
                                        "link.output.port", "link.input.node", "link.input.port"};
    for (const char* k : kKeys)
        if (std::strcmp(key, k) == 0) return true;
    return false;
}

// `maxBytes` and `maxItems` bound what an object's owner can make us keep
// (and every later use of it): properties beyond them are left out, whole.
// The daemon's own keys (isDaemonKey, each at most kMaxDaemonItemBytes) are
// kept first, whatever comes before them; then the others in order, as far
// as the rest of the bounds go. The buffer keeps the announcement order.
constexpr size_t kMaxDaemonItemBytes = 256;
inline std::string packProps(const spa_dict* dict, size_t maxBytes = SIZE_MAX, uint32_t maxItems = UINT32_MAX) {
    std::string packed;
    if (!dict) return packed;
    auto itemSize = [](const spa_dict_item& item) {
        return std::strlen(item.key) + (item.value ? std::strlen(item.value) : 0) + 2;
    };
    auto reserved = [&](const spa_dict_item& item) {
        return isDaemonKey(item.key) && itemSize(item) <= kMaxDaemonItemBytes;
    };
    // The daemon's keys first: what they take is not the others'.
    size_t size = 0;
    uint32_t items = 0;
    for (uint32_t i = 0; i < dict->n_items; i++) {
        const spa_dict_item& item = dict->items[i];
        if (!item.key || !reserved(item) || items >= maxItems || size + itemSize(item) > maxBytes) continue;
        size += itemSize(item), items++;
    }
    // Then the others, in the room left, as they come.
    size_t otherSize = size, daemonSize = 0;
    uint32_t otherItems = items, daemonItems = 0;
    auto takeOther = [&](const spa_dict_item& item) {
        if (otherItems >= maxItems || otherSize + itemSize(item) > maxBytes) return false;
        otherSize += itemSize(item), otherItems++;
        return true;
    };
    for (uint32_t i = 0; i < dict->n_items; i++) {
        const spa_dict_item& item = dict->items[i];
        if (!item.key) continue;
        if (reserved(item)) {
            if (daemonItems >= maxItems || daemonSize + itemSize(item) > maxBytes) continue;
            daemonSize += itemSize(item), daemonItems++;
        } else if (!takeOther(item)) {
            continue;
        }
        packed.append(item.key).push_back('\0');
        packed.append(item.value ? item.value : "").push_back('\0');
    }
    return packed;
}

// Calls f(key, value) for each property, in order.
template <typename F>
void forEachProp(const std::string& packed, F&& f) {
    const char* p = packed.data();
    const char* end = p + packed.size();
    while (p < end) {
        std::string_view key(p);
        p += key.size() + 1;
        if (p > end) break;
        std::string_view value(p);
        p += value.size() + 1;
        f(key, value);
    }
}

// The first value of `key`: a key repeated by the daemon keeps its first
// value everywhere (as spa_dict_lookup and the JavaScript props objects
// have it). Null when absent.
inline const char* findProp(const std::string& packed, std::string_view key) {
    const char* found = nullptr;
    forEachProp(packed, [&](std::string_view k, std::string_view v) {
        if (!found && k == key) found = v.data();
    });
    return found;
}

// An "object.serial" value: decimal digits only, at most 15 of them (a
// whole number JavaScript holds exactly, as lib/connection/serial.js reads
// it); 0 for anything else.
inline uint64_t parseSerial(const char* text) {
    if (!text) return 0;
    size_t n = std::strlen(text);
    if (n == 0 || n > 15) return 0;
    uint64_t serial = 0;
    for (size_t i = 0; i < n; i++) {
        if (text[i] < '0' || text[i] > '9') return 0;
        serial = serial * 10 + uint64_t(text[i] - '0');
    }
    return serial;
}

// "object.serial" of a packed property buffer; 0 if absent.
inline uint64_t packedSerial(const std::string& packed) {
    return parseSerial(findProp(packed, "object.serial"));
}
