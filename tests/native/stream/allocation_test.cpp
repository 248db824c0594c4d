#include "stream/allocation.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <utility>

#include "stream/system_memory.h"

namespace tolvar::stream {
namespace {

constexpr size_t kPiece = Allocation::kMappingAlignment;

uint8_t mark(size_t at, uint8_t seed) { return static_cast<uint8_t>(at / 4096 + at % 253 + seed); }

void fill(Allocation& a, uint8_t seed) {
    for (size_t at = 0; at < a.size(); at += 61) a.data()[at] = mark(at, seed);
}

// The first offset in [from, to) whose byte is not what fill() wrote, or `to`.
size_t first_unlike(const uint8_t* memory, size_t from, size_t to, uint8_t seed) {
    for (size_t at = from + (61 - from % 61) % 61; at < to; at += 61) {
        if (memory[at] != mark(at, seed)) return at;
    }
    return to;
}

class AllocationSizes : public ::testing::TestWithParam<size_t> {};

// Every size, from the heap or mapped, is zero throughout, writable to its
// last byte, and starts on the boundary that vector loads need.
TEST_P(AllocationSizes, ZeroedOnTheBoundaryAndMappedFromTheThreshold) {
    const size_t size = GetParam();
    Allocation a = Allocation::zeroed(size);
    ASSERT_TRUE(a);
    EXPECT_EQ(a.size(), size == 0 ? 1 : size);
    EXPECT_EQ(a.mapped(), size >= Allocation::kMappedFrom);
    EXPECT_EQ(reinterpret_cast<uintptr_t>(a.data()) % Allocation::kAlignment, 0u);
    size_t nonzero = a.size();
    for (size_t i = 0; i < a.size(); ++i) {
        if (a.data()[i] != 0) {
            nonzero = i;
            break;
        }
    }
    EXPECT_EQ(nonzero, a.size());
    a.data()[a.size() - 1] = 0xEE;
    EXPECT_EQ(a.data()[a.size() - 1], 0xEE);
}

INSTANTIATE_TEST_SUITE_P(Sizes, AllocationSizes,
                         ::testing::Values(size_t{0}, size_t{1}, size_t{63}, size_t{64}, size_t{65}, size_t{4096},
                                           Allocation::kMappedFrom - 1, Allocation::kMappedFrom,
                                           Allocation::kMappedFrom + 1, 3 * kPiece + 5));

class AllocationRefuses : public ::testing::TestWithParam<size_t> {};

TEST_P(AllocationRefuses, SizesNoSystemCanGive) {
    EXPECT_FALSE(Allocation::zeroed(GetParam()));
    EXPECT_FALSE(Allocation::uninitialised(GetParam()));
}

INSTANTIATE_TEST_SUITE_P(Sizes, AllocationRefuses,
                         ::testing::Values(SIZE_MAX, SIZE_MAX - kPiece, SIZE_MAX - 2 * kPiece + 1));

TEST(Allocation, MovesLeaveTheSourceEmptyAndFreeWhatTheTargetHeld) {
    Allocation heap = Allocation::zeroed(100);
    Allocation mapped = Allocation::zeroed(Allocation::kMappedFrom);
    ASSERT_TRUE(heap);
    ASSERT_TRUE(mapped);
    uint8_t* mapped_data = mapped.data();
    heap = std::move(mapped);
    EXPECT_FALSE(mapped);
    EXPECT_EQ(mapped.size(), 0u);
    EXPECT_FALSE(mapped.mapped());
    EXPECT_EQ(heap.data(), mapped_data);
    EXPECT_TRUE(heap.mapped());
    Allocation moved(std::move(heap));
    EXPECT_FALSE(heap);
    EXPECT_EQ(moved.data(), mapped_data);
    EXPECT_EQ(moved.size(), Allocation::kMappedFrom);
}

struct HandOver {
    const char* name;
    size_t from_size;
    size_t to_size;
    size_t bytes;
    size_t to_offset;
    bool possible;  // where the system moves pages
};

class AllocationHandsOver : public ::testing::TestWithParam<HandOver> {};

// Where pages move, they arrive with what was written to them, the rest of
// the target stays as it was, and the source is empty; where they cannot,
// nothing changes on either side, so that the caller can copy instead.
TEST_P(AllocationHandsOver, PagesWithTheirBytesOrNothing) {
    const HandOver& h = GetParam();
    Allocation from = Allocation::uninitialised(h.from_size);
    Allocation to = Allocation::uninitialised(h.to_size);
    ASSERT_TRUE(from);
    ASSERT_TRUE(to);
    fill(from, 7);
    fill(to, 91);
    uint8_t* to_data = to.data();
    const bool moved = from.hand_over(h.bytes, to, h.to_offset);
    EXPECT_EQ(moved, h.possible && system_memory::kCanMovePages);
    EXPECT_EQ(to.data(), to_data);
    EXPECT_EQ(to.size(), h.to_size);
    if (moved) {
        EXPECT_FALSE(from);
        EXPECT_FALSE(from.mapped());
        EXPECT_EQ(first_unlike(to.data(), 0, h.to_offset, 91), h.to_offset);
        for (size_t at = 0; at < h.bytes && at < h.from_size; at += 61) {
            ASSERT_EQ(to.data()[h.to_offset + at], mark(at, 7)) << "at " << at;
        }
        EXPECT_EQ(first_unlike(to.data(), h.to_offset + h.bytes, h.to_size, 91), h.to_size);
    } else {
        ASSERT_TRUE(from);
        EXPECT_EQ(from.size(), h.from_size);
        EXPECT_EQ(first_unlike(from.data(), 0, h.from_size, 7), h.from_size);
        EXPECT_EQ(first_unlike(to.data(), 0, h.to_size, 91), h.to_size);
    }
}

constexpr size_t kMapped = Allocation::kMappedFrom;

INSTANTIATE_TEST_SUITE_P(
    Cases, AllocationHandsOver,
    ::testing::Values(HandOver{"AllPiecesToTheStart", kMapped + 100, 4 * kPiece, 3 * kPiece, 0, true},
                      HandOver{"FirstPieceToTheMiddle", 3 * kPiece, 5 * kPiece, kPiece, 2 * kPiece, true},
                      HandOver{"IntoTheLastPiece", kMapped, 3 * kPiece + 1, kPiece, 3 * kPiece, true},
                      HandOver{"FromTheHeap", 1000, 4 * kPiece, kPiece, 0, false},
                      HandOver{"ToTheHeap", kMapped, 1000, kPiece, 0, false},
                      HandOver{"NoBytes", kMapped, kMapped, 0, 0, false},
                      HandOver{"PartOfAPiece", kMapped, kMapped, kPiece - 4096, 0, false},
                      HandOver{"OffsetOffThePieces", kMapped, 2 * kMapped, kPiece, 4096, false},
                      HandOver{"MoreThanTheSourceSpans", kMapped, 4 * kMapped, 3 * kPiece, 0, false},
                      HandOver{"PastTheTargetsEnd", kMapped, kMapped, kPiece, kMapped, false},
                      HandOver{"OverTheTargetsEnd", kMapped, kMapped, 2 * kPiece, kPiece, false}),
    [](const ::testing::TestParamInfo<HandOver>& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace tolvar::stream
