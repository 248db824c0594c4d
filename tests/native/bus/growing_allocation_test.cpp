#include "bus/growing_allocation.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <string>

namespace tolvar::bus {
namespace {

using stream::Allocation;

constexpr size_t kPiece = Allocation::kMappingAlignment;
constexpr size_t kMapped = Allocation::kMappedFrom;

uint8_t mark(size_t at) { return static_cast<uint8_t>(at / 4096 * 13 + at % 241 + 1); }

struct Growth {
    const char* name;
    size_t from;
    size_t kept;
    size_t to;
};

class GrowAllocation : public ::testing::TestWithParam<Growth> {};

// Whether the pages move (a mapping into a mapping, where the system can) or
// the bytes are copied (from the heap, or where pages cannot move), the kept
// bytes are there afterwards, and the memory is large enough.
TEST_P(GrowAllocation, KeepsTheBytesItIsToldTo) {
    const Growth& g = GetParam();
    Allocation memory = Allocation::uninitialised(g.from);
    ASSERT_TRUE(memory);
    for (size_t at = 0; at < memory.size(); at += 37) memory.data()[at] = mark(at);
    ASSERT_TRUE(grow_allocation(memory, g.kept, g.to));
    ASSERT_TRUE(memory);
    EXPECT_GE(memory.size(), g.to);
    EXPECT_EQ(memory.mapped(), memory.size() >= kMapped);
    const size_t kept = g.kept < g.from ? g.kept : g.from;
    for (size_t at = 0; at < kept; at += 37) ASSERT_EQ(memory.data()[at], mark(at)) << "at " << at;
    memory.data()[memory.size() - 1] = 0x42;
    EXPECT_EQ(memory.data()[memory.size() - 1], 0x42);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, GrowAllocation,
    ::testing::Values(Growth{"HeapToHeap", 1000, 1000, 5000}, Growth{"HeapToMapping", 100000, 99999, kMapped},
                      Growth{"MappingToLargerMapping", kMapped, kMapped, 3 * kMapped},
                      Growth{"MappingWithinItsLastPiece", kMapped + 1, kMapped + 1, kMapped + kPiece / 2},
                      Growth{"PartOfAMappingKept", 3 * kPiece + 7, kPiece + 3, 5 * kPiece},
                      Growth{"MoreKeptThanHeld", 2000, 1 << 20, 9000},
                      Growth{"LargeEnoughAlready", kMapped, kMapped, kMapped - 1}),
    [](const ::testing::TestParamInfo<Growth>& info) { return std::string(info.param.name); });

TEST(GrowAllocation, MemoryThatCannotBeHadLeavesTheOldAsItWas) {
    Allocation memory = Allocation::uninitialised(kMapped);
    ASSERT_TRUE(memory);
    for (size_t at = 0; at < memory.size(); at += 37) memory.data()[at] = mark(at);
    uint8_t* data = memory.data();
    EXPECT_FALSE(grow_allocation(memory, kMapped, SIZE_MAX - 4 * kPiece + 1));
    EXPECT_EQ(memory.data(), data);
    EXPECT_EQ(memory.size(), kMapped);
    for (size_t at = 0; at < kMapped; at += 37) ASSERT_EQ(memory.data()[at], mark(at)) << "at " << at;
}

}  // namespace
}  // namespace tolvar::bus
