#include "metadata/property_map.h"

#include <cstring>
#include <functional>
#include <new>

namespace tolvar::metadata {
namespace {

constexpr uint64_t kMultiplier = 0xC6A4A7935BD1E99Dull;
// The share of slots that may be used before the table grows. Single
// precision on purpose: the capacities it gives decide the slot order that
// callers see.
constexpr float kLoadFactor = 0.85f;
// Far below what the signed 32-bit fields can count, so that no size below
// overflows (the index has up to four times as many slots).
constexpr int64_t kMaxCapacity = int64_t{1} << 28;

uint64_t load_u32(const char* p) {
    uint32_t w;
    std::memcpy(&w, p, 4);
    return w;  // little-endian host
}

uint64_t load_u64(const char* p) {
    uint64_t w;
    std::memcpy(&w, p, 8);
    return w;
}

uint64_t rotate_left(uint64_t x, unsigned bits) { return (x << bits) | (x >> (64 - bits)); }

int32_t home_slot(uint64_t hash, int32_t capacity) {
    return static_cast<int32_t>((static_cast<uint64_t>(capacity) * (hash & 0xFFFFFFFFull)) >> 32);
}

uint64_t lookup_hash(std::string_view key) { return std::hash<std::string_view>{}(key); }

}  // namespace

uint64_t property_hash(const char* key, size_t n) {
    if (n == 0) return 1;
    if (n == 4) return load_u32(key) * kMultiplier;
    if (n == 8) return load_u64(key) * kMultiplier;
    const auto* bytes = reinterpret_cast<const unsigned char*>(key);
    uint64_t h = bytes[0];
    size_t words = n / 8;
    for (size_t i = 0; i < words; ++i) h += load_u64(key + 8 * i) * kMultiplier;
    for (size_t i = words * 8; i < n; ++i) h = h * 1023 - bytes[i];
    return h ^ rotate_left(h, 26);
}

const PropertyMap::Entry* PropertyMap::slot(int32_t i) const {
    if (i < 0 || i >= capacity_ || control_[i] == 0) return nullptr;
    return &entries_[i];
}

void PropertyMap::clear() {
    entries_.reset();
    control_.reset();
    free_link_.reset();
    index_.reset();
    index_mask_ = 0;
    count_ = 0;
    capacity_ = 0;
}

int32_t PropertyMap::find_slot(std::string_view key, uint64_t lookup) const {
    if (count_ == 0) return -1;
    for (uint64_t j = lookup & index_mask_;; j = (j + 1) & index_mask_) {
        const int32_t i = index_[j];
        if (i < 0) return -1;
        if (entries_[i].lookup_hash == lookup && entries_[i].key == key) return i;
    }
}

int32_t PropertyMap::first_free(int32_t i) {
    // The table always keeps an empty slot (it grows long before it is full),
    // so the chain ends. Every link skips only occupied slots, so pointing a
    // slot at its link's link keeps that true.
    while (free_link_[i] != i) {
        free_link_[i] = free_link_[free_link_[i]];
        i = free_link_[i];
    }
    return i;
}

void PropertyMap::place(int32_t i, Entry&& entry, uint8_t control) {
    entries_[i] = std::move(entry);
    control_[i] = control;
    free_link_[i] = i + 1 == capacity_ ? 0 : i + 1;
    uint64_t j = entries_[i].lookup_hash & index_mask_;
    while (index_[j] >= 0) j = (j + 1) & index_mask_;
    index_[j] = i;
}

bool PropertyMap::grow(int64_t request) {
    if (request != count_ && request <= capacity_) return true;
    const float slots = static_cast<float>(request) / kLoadFactor;
    if (!(slots < static_cast<float>(kMaxCapacity))) return false;
    const int32_t capacity = (4 + static_cast<int32_t>(slots)) | 1;
    uint64_t index_size = 4;
    while (index_size < 2 * static_cast<uint64_t>(capacity)) index_size *= 2;

    std::unique_ptr<Entry[]> entries(new (std::nothrow) Entry[capacity]);
    std::unique_ptr<uint8_t[]> control(new (std::nothrow) uint8_t[capacity + 1]);
    std::unique_ptr<int32_t[]> free_link(new (std::nothrow) int32_t[capacity]);
    std::unique_ptr<int32_t[]> index(new (std::nothrow) int32_t[index_size]);
    if (entries == nullptr || control == nullptr || free_link == nullptr || index == nullptr) return false;
    std::memset(control.get(), 0, capacity);
    control[capacity] = 0xFF;
    for (int32_t i = 0; i < capacity; ++i) free_link[i] = i;
    std::memset(index.get(), 0xFF, index_size * sizeof(int32_t));

    // Re-place the old entries in ascending slot order; nothing below can
    // fail (moving a string does not allocate).
    std::unique_ptr<Entry[]> old_entries = std::move(entries_);
    std::unique_ptr<uint8_t[]> old_control = std::move(control_);
    const int32_t old_capacity = capacity_;
    entries_ = std::move(entries);
    control_ = std::move(control);
    free_link_ = std::move(free_link);
    index_ = std::move(index);
    index_mask_ = index_size - 1;
    capacity_ = capacity;
    for (int32_t i = 0; i < old_capacity; ++i) {
        if (old_control[i] == 0) continue;
        Entry& entry = old_entries[i];
        place(first_free(home_slot(entry.hash, capacity_)), std::move(entry), old_control[i]);
    }
    return true;
}

PropertyNode* PropertyMap::find_or_insert(std::string_view key, bool* inserted) {
    *inserted = false;
    const int64_t limit = static_cast<int64_t>(static_cast<float>(capacity_) * kLoadFactor);
    if (count_ + int64_t{2} > limit) {
        if (!grow((int64_t{count_} * 3) / 2)) return nullptr;
    }
    const uint64_t lookup = lookup_hash(key);
    const int32_t present = find_slot(key, lookup);
    if (present >= 0) return &entries_[present].node;

    Entry entry;
    try {
        entry.key.assign(key.data(), key.size());
    } catch (const std::bad_alloc&) {
        return nullptr;
    }
    const uint64_t hash = property_hash(key);
    entry.hash = hash;
    entry.lookup_hash = lookup;
    const int32_t i = first_free(home_slot(hash, capacity_));
    place(i, std::move(entry), control_byte(hash));
    ++count_;
    *inserted = true;
    return &entries_[i].node;
}

const PropertyNode* PropertyMap::find(std::string_view key) const {
    const int32_t i = find_slot(key, lookup_hash(key));
    return i >= 0 ? &entries_[i].node : nullptr;
}

}  // namespace tolvar::metadata
