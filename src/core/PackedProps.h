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

// `maxBytes` and `maxItems` bound what an object's owner can make us keep
// (and every later use of it): properties beyond them are left out, whole.
inline std::string packProps(const spa_dict* dict, size_t maxBytes = SIZE_MAX, uint32_t maxItems = UINT32_MAX) {
    std::string packed;
    if (!dict) return packed;
    size_t size = 0;
    uint32_t items = 0;
    for (uint32_t i = 0; i < dict->n_items && items < maxItems; i++) {
        const spa_dict_item& item = dict->items[i];
        if (!item.key) continue;
        size_t itemSize = std::strlen(item.key) + (item.value ? std::strlen(item.value) : 0) + 2;
        if (size + itemSize <= maxBytes) size += itemSize, items++;
    }
    packed.reserve(size);
    items = 0;
    for (uint32_t i = 0; i < dict->n_items && items < maxItems; i++) {
        const spa_dict_item& item = dict->items[i];
        if (!item.key) continue;
        size_t keyLength = std::strlen(item.key), valueLength = item.value ? std::strlen(item.value) : 0;
        if (packed.size() + keyLength + valueLength + 2 > maxBytes) continue;
        items++;
        packed.append(item.key, keyLength).push_back('\0');
        packed.append(item.value ? item.value : "", valueLength).push_back('\0');
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
