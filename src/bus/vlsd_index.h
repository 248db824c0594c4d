// VlsdIndex: where each record of a data group's VLSD channel groups lies,
// found by the offset a fixed record gives its value: the byte offset of the
// value's record among the records of its VLSD group (each a 4-byte length
// and the bytes), as the standard addresses them, whatever the order the
// records were written in. Made by one pass over the group's data that frames
// every record and keeps, per VLSD record, its offset and its position
// (8 bytes a record), never its bytes. Owns its entries; the pass borrows the
// plan and its data Stream.
#pragma once

#include <cstdint>
#include <optional>
#include <vector>

namespace tolvar::bus {

class GroupPlan;

class VlsdIndex {
public:
    // The index of every VLSD group of the plan (slots as the plan numbers
    // them); the pass ends, keeping what it found, where the records do
    // (an id of no group, a record cut short). Nothing when memory runs out.
    static std::optional<VlsdIndex> build(const GroupPlan& plan);

    // Where the value at `offset` of VLSD group `slot` lies in the data
    // section: the position of its 4-byte length. Nothing when no record of
    // the group starts at that offset (it lies beyond them, or in the middle
    // of one).
    std::optional<uint64_t> find(uint32_t slot, uint64_t offset) const;
    // Asks the processor to fetch where find(slot, offset) will look first,
    // so that many finds in a row wait for memory together.
    void prefetch(uint32_t slot, uint64_t offset) const;

    // VLSD records indexed, of all groups.
    uint64_t records() const;
    // Bytes the index holds.
    uint64_t bytes() const;

private:
    struct Group;
    // The entries of the block of `group` the offset falls in, and the one
    // it would be at the block's mean record size; false where none can be.
    struct Span;
    static bool span_of(const Group& group, uint64_t offset, Span& span);

    // Records of one group in blocks that share a base: each entry is the
    // offset and the position of its record less the block's base, in 32 bits
    // each; a record whose distance from the base does not fit starts a new
    // block.
    struct Entry {
        uint32_t offset;
        uint32_t position;
    };
    struct Block {
        uint64_t offset;
        uint64_t position;
        uint64_t first;  // its first entry
    };
    struct Group {
        std::vector<Entry> entries;
        std::vector<Block> blocks;
        uint64_t size = 0;  // bytes of all its records: where the next one would start
        bool add(uint64_t offset, uint64_t position);
    };

    std::vector<Group> groups_;
};

}  // namespace tolvar::bus
