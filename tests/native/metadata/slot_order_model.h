// A second, deliberately plain derivation of where the property table puts
// its keys (hash, home slot, linear probing, growth with single-precision load
// factors), so tests can state the expected key order without asking the
// table under test.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace slot_order_model {

inline uint64_t word_at(const std::string& key, size_t at, size_t bytes) {
    uint64_t word = 0;
    for (size_t i = 0; i < bytes; ++i) word |= uint64_t{static_cast<unsigned char>(key[at + i])} << (8 * i);
    return word;
}

inline uint64_t hash(const std::string& key) {
    const uint64_t m = 0xC6A4A7935BD1E99Dull;
    if (key.empty()) return 1;
    if (key.size() == 4) return word_at(key, 0, 4) * m;
    if (key.size() == 8) return word_at(key, 0, 8) * m;
    uint64_t h = static_cast<unsigned char>(key[0]);
    size_t at = 0;
    for (; at + 8 <= key.size(); at += 8) h += word_at(key, at, 8) * m;
    for (; at < key.size(); ++at) h = h * 1023 - static_cast<unsigned char>(key[at]);
    return h ^ ((h << 26) | (h >> 38));
}

struct Table {
    std::vector<std::string> slots;
    std::vector<uint64_t> hashes;
    std::vector<uint8_t> used;
    int count = 0;

    size_t probe(const std::string& key, uint64_t h) const {
        size_t i = (slots.size() * (h & 0xFFFFFFFFu)) >> 32;
        while (used[i] && (hashes[i] != h || slots[i] != key)) i = (i + 1) % slots.size();
        return i;
    }

    void add(const std::string& key) {
        volatile float load = 0.85f;  // keep the arithmetic in single precision
        float limit = static_cast<float>(slots.size()) * load;
        if (count + 2 > static_cast<int>(limit)) {
            int request = count * 3 / 2;
            if (request == count || request > static_cast<int>(slots.size())) {
                float wanted = static_cast<float>(request) / load;
                std::vector<std::string> old;
                for (size_t i = 0; i < slots.size(); ++i)
                    if (used[i]) old.push_back(slots[i]);
                size_t capacity = static_cast<size_t>((4 + static_cast<int>(wanted)) | 1);
                slots.assign(capacity, std::string());
                hashes.assign(capacity, 0);
                used.assign(capacity, 0);
                for (const std::string& k : old) {
                    size_t j = probe(k, hash(k));
                    slots[j] = k;
                    hashes[j] = hash(k);
                    used[j] = 1;
                }
            }
        }
        size_t i = probe(key, hash(key));
        if (used[i]) return;
        slots[i] = key;
        hashes[i] = hash(key);
        used[i] = 1;
        ++count;
    }

    std::vector<std::string> keys() const {
        std::vector<std::string> out;
        for (size_t i = 0; i < slots.size(); ++i)
            if (used[i]) out.push_back(slots[i]);
        return out;
    }
};

// Keys in slot order for the paths met in document order (repeats included).
inline std::vector<std::string> order(const std::vector<std::string>& paths, size_t* capacity = nullptr) {
    Table table;
    for (const std::string& p : paths) table.add(p);
    if (capacity != nullptr) *capacity = table.slots.size();
    return table.keys();
}

}  // namespace slot_order_model
