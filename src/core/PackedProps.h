// The properties the registry announces with a global, kept as one buffer:
// "key\0value\0key\0value\0..." in announcement order. One allocation per
// record, and the texts stay byte for byte as announced.
#pragma once

#include <cstdint>
#include <cstring>
#include <string>
#include <string_view>

#include <spa/utils/dict.h>

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
