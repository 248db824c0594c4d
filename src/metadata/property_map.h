// PropertyMap: the open-addressing table from a dotted property path to the
// property's attributes and value, iterated in slot order (the order callers
// see). Owns its entries and their strings; borrows nothing.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

namespace tolvar::metadata {

// One property of the recording. Strings are UTF-8 as the XML parser
// delivered them; every field starts empty.
struct PropertyNode {
    std::string name;         // attribute "name"
    std::string description;  // attribute "description"
    std::string unit;         // attribute "unit"
    std::string type;         // attribute "type"
    std::string value;        // character data of the element
    bool read_only = false;   // attribute "ro" is exactly "true"
};

// The hash of an n-byte key. Keys of 4 and 8 bytes are one multiplied word,
// every other length is mixed byte-wise and folded with a rotation.
uint64_t property_hash(const char* key, size_t n);
inline uint64_t property_hash(std::string_view key) { return property_hash(key.data(), key.size()); }

// The control byte of an occupied slot: the hash's low byte with the top bit
// set, so that 0 can mark an empty slot.
inline uint8_t control_byte(uint64_t hash) { return static_cast<uint8_t>(hash) | 0x80u; }

class PropertyMap {
public:
    struct Entry {
        std::string key;
        uint64_t hash = 0;         // property_hash(key): decides the slot
        uint64_t lookup_hash = 0;  // a well-mixed hash of key for the lookup index
        PropertyNode node;
    };

    PropertyMap() = default;
    PropertyMap(PropertyMap&&) noexcept = default;
    PropertyMap& operator=(PropertyMap&&) noexcept = default;
    PropertyMap(const PropertyMap&) = delete;
    PropertyMap& operator=(const PropertyMap&) = delete;

    // Finds the entry of key, or inserts one with an empty node (then
    // *inserted is true). Grows the table first when it is too full, even
    // when the key turns out to be present. Returns nullptr, without an entry
    // for key, when the table or the key could not be allocated. Node pointers stay valid until the table grows, which only
    // this call does (capacity() then changes).
    PropertyNode* find_or_insert(std::string_view key, bool* inserted);

    // The node of key, or nullptr. Never grows the table.
    const PropertyNode* find(std::string_view key) const;
    PropertyNode* find(std::string_view key) {
        return const_cast<PropertyNode*>(static_cast<const PropertyMap*>(this)->find(key));
    }

    int32_t size() const { return count_; }
    int32_t capacity() const { return capacity_; }
    bool empty() const { return count_ == 0; }

    // capacity() + 1 control bytes (0 empty, hash byte | 0x80 occupied, 0xFF
    // after the last slot), or nullptr for a map that never held an entry.
    const uint8_t* control() const { return control_.get(); }
    // The entry in slot i, or nullptr for an empty slot.
    const Entry* slot(int32_t i) const;

    // Releases every entry and both arrays: the map is new again.
    void clear();

    // Occupied slots in ascending slot order; the sentinel control byte ends
    // the walk.
    class const_iterator {
    public:
        const Entry& operator*() const { return map_->entries_[slot_]; }
        const Entry* operator->() const { return &map_->entries_[slot_]; }
        const_iterator& operator++() {
            ++slot_;
            skip_empty();
            return *this;
        }
        bool operator==(const const_iterator& other) const { return slot_ == other.slot_; }
        bool operator!=(const const_iterator& other) const { return slot_ != other.slot_; }

    private:
        friend class PropertyMap;
        const_iterator(const PropertyMap* map, int32_t slot) : map_(map), slot_(slot) { skip_empty(); }
        void skip_empty() {
            if (map_->control_ == nullptr) return;
            while (map_->control_[slot_] == 0) ++slot_;
        }
        const PropertyMap* map_;  // borrowed
        int32_t slot_;
    };
    const_iterator begin() const { return const_iterator(this, 0); }
    const_iterator end() const { return const_iterator(this, capacity_); }

private:
    // Makes room for the request r as the growth rule says; false when the
    // new arrays could not be allocated (the map is then unchanged).
    bool grow(int64_t request);
    // The slot that holds key, or -1.
    int32_t find_slot(std::string_view key, uint64_t lookup_hash) const;
    // The first empty slot at or after slot i, wrapping at the end: where
    // linear probing from i would stop for a key that is absent.
    int32_t first_free(int32_t i);
    // Occupies slot i with entry (moved in) and records it in the index.
    void place(int32_t i, Entry&& entry, uint8_t control);

    // Slots, in the order callers see.
    std::unique_ptr<Entry[]> entries_;    // capacity_ slots
    std::unique_ptr<uint8_t[]> control_;  // capacity_ + 1 bytes
    int32_t count_ = 0;
    int32_t capacity_ = 0;

    // Linear probing over keys that share long prefixes (as property paths
    // do) builds long runs of occupied slots, and walking them made reading a
    // large configuration quadratic. The slot of every key is still exactly
    // where linear probing puts it, but it is found with two helpers instead:
    // free_link_ chains each occupied slot towards the next empty one
    // (shortened as it is walked), and index_ is a second, sparse table
    // from the lookup hash to the slot.
    std::unique_ptr<int32_t[]> free_link_;  // capacity_ links; an empty slot links to itself
    std::unique_ptr<int32_t[]> index_;      // index_mask_ + 1 slots numbers, -1 for none
    uint64_t index_mask_ = 0;
};

}  // namespace tolvar::metadata
