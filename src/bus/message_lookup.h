// MessageLookup: which message of one database a frame's identifier names,
// found in constant time: standard identifiers by a table of 2048 entries,
// extended ones by an open-addressing hash, and J1939 messages, where no
// identifier equals the frame's, by their parameter group number. A plain
// value that owns its tables.
#pragma once

#include <cstddef>
#include <cstdint>
#include <utility>
#include <vector>

namespace tolvar::bus {

// The parameter group number of a 29-bit identifier: its 18 bits above the
// source address, the destination address (PDU specific) cleared where the
// PDU format is below 240.
inline uint32_t parameter_group_number(uint32_t identifier) {
    const uint32_t pgn = (identifier >> 8) & 0x3FFFFu;
    return ((pgn >> 8) & 0xFFu) < 240 ? (pgn & ~0xFFu) : pgn;
}

class MessageLookup {
public:
    struct Key {
        uint32_t frame_id;
        bool extended;
        bool j1939;
    };
    // The lookup of keys[i] -> i. Where two keys share an identifier (or
    // two J1939 keys a parameter group number), the later one wins, as a
    // database's look-up by frame id does. False when memory runs out.
    bool build(const std::vector<Key>& keys);

    // The message of a frame, or -1. An identifier must fit its kind.
    int32_t find(uint32_t identifier, bool extended) const {
        if (!extended) return identifier < kStandardCount && !standard_.empty() ? standard_[identifier] : -1;
        const int32_t found = probe(extended_, identifier);
        if (found >= 0 || by_group_.empty()) return found;
        return probe(by_group_, parameter_group_number(identifier));
    }

private:
    static constexpr uint32_t kStandardCount = 2048;
    static constexpr uint32_t kEmpty = 0xFFFFFFFFu;  // no identifier or group number is this
    struct Slot {
        uint32_t key = kEmpty;
        int32_t value = -1;
    };
    static uint32_t hash(uint32_t key) { return key * 0x9E3779B1u; }
    static int32_t probe(const std::vector<Slot>& slots, uint32_t key) {
        if (slots.empty()) return -1;
        const uint32_t mask = static_cast<uint32_t>(slots.size() - 1);
        for (uint32_t i = hash(key) >> 8 & mask;; i = (i + 1) & mask) {
            if (slots[i].key == key) return slots[i].value;
            if (slots[i].key == kEmpty) return -1;
        }
    }
    static bool fill(std::vector<Slot>& slots, const std::vector<std::pair<uint32_t, int32_t>>& entries);

    std::vector<int32_t> standard_;  // empty where no message has a standard identifier
    std::vector<Slot> extended_;     // a power of two, at most half full; empty where none
    std::vector<Slot> by_group_;     // J1939 messages by parameter group number
};

}  // namespace tolvar::bus
