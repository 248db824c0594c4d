#include "stream/system_memory.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <string>

namespace tolvar::stream::system_memory {
namespace {

constexpr size_t kPiece = kMappingAlignment;

// Windows places a mapping on its allocation granularity, every other system
// on a whole piece.
#ifdef _WIN32
constexpr uintptr_t kMappingStart = uintptr_t{64} << 10;
#else
constexpr uintptr_t kMappingStart = kMappingAlignment;
#endif

// A byte that tells where it lies, so that pages moved or copied to the
// wrong place show.
uint8_t mark(size_t at, uint8_t seed) { return static_cast<uint8_t>((at / 4096) * 7 + (at % 251) + seed); }

void fill(uint8_t* memory, size_t size, uint8_t seed) {
    for (size_t at = 0; at < size; at += 97) memory[at] = mark(at, seed);
}

// The first offset in [0, size) whose byte is not what fill() wrote, or size.
size_t first_unlike(const uint8_t* memory, size_t size, uint8_t seed) {
    for (size_t at = 0; at < size; at += 97) {
        if (memory[at] != mark(at, seed)) return at;
    }
    return size;
}

// The first offset in [0, size) whose byte is not zero, or size.
size_t first_nonzero(const uint8_t* memory, size_t size) {
    for (size_t at = 0; at < size; ++at) {
        if (memory[at] != 0) return at;
    }
    return size;
}

class SystemMemoryMaps : public ::testing::TestWithParam<size_t> {};

TEST_P(SystemMemoryMaps, ZeroedWritablePagesOnTheirBoundary) {
    const size_t size = GetParam();
    uint8_t* memory = map_pages(size);
    ASSERT_NE(memory, nullptr);
    EXPECT_EQ(reinterpret_cast<uintptr_t>(memory) % kMappingStart, 0u);
    EXPECT_EQ(first_nonzero(memory, size), size);
    fill(memory, size, 3);
    memory[size - 1] = 0x5A;
    EXPECT_EQ(first_unlike(memory, size - 1, 3), size - 1);
    EXPECT_EQ(memory[size - 1], 0x5A);
    unmap_pages(memory, size);
}

INSTANTIATE_TEST_SUITE_P(Sizes, SystemMemoryMaps, ::testing::Values(kPiece, 2 * kPiece, 5 * kPiece));

class SystemMemoryRefusesToMap : public ::testing::TestWithParam<size_t> {};

TEST_P(SystemMemoryRefusesToMap, SizesThatCannotBeMapped) {
    uint8_t* memory = map_pages(GetParam());
    EXPECT_EQ(memory, nullptr);
    if (memory != nullptr) unmap_pages(memory, GetParam());
}

INSTANTIATE_TEST_SUITE_P(Sizes, SystemMemoryRefusesToMap,
                         ::testing::Values(size_t{0}, size_t{1}, kPiece - 1, kPiece + 4096,
                                           // Past what the address space can hold with the
                                           // boundary added: the sum must not wrap.
                                           SIZE_MAX - kPiece + 1));

struct Move {
    const char* name;
    size_t from_pieces;
    size_t bytes_pieces;
    size_t to_pieces;
    size_t at_piece;
};

class SystemMemoryMoves : public ::testing::TestWithParam<Move> {};

// Where the system moves pages, they arrive with what was written to them and
// replace what the target held there, its other pages left alone; elsewhere
// nothing changes on either side.
TEST_P(SystemMemoryMoves, PagesKeepWhatWasWritten) {
    const Move& m = GetParam();
    const size_t from_size = m.from_pieces * kPiece, to_size = m.to_pieces * kPiece, bytes = m.bytes_pieces * kPiece;
    uint8_t* from = map_pages(from_size);
    uint8_t* to = map_pages(to_size);
    ASSERT_NE(from, nullptr);
    ASSERT_NE(to, nullptr);
    fill(from, from_size, 11);
    fill(to, to_size, 29);
    const bool moved = move_pages(from, from_size, bytes, to + m.at_piece * kPiece);
    EXPECT_EQ(moved, kCanMovePages);
    if (moved) {
        EXPECT_EQ(first_unlike(to, m.at_piece * kPiece, 29), m.at_piece * kPiece);
        uint8_t* arrived = to + m.at_piece * kPiece;
        for (size_t at = 0; at < bytes; at += 97) ASSERT_EQ(arrived[at], mark(at, 11)) << "at " << at;
        // The target's pages past the moved ones, at the offsets fill() wrote.
        const size_t after = (m.at_piece + m.bytes_pieces) * kPiece;
        for (size_t at = (after + 96) / 97 * 97; at < to_size; at += 97) ASSERT_EQ(to[at], mark(at, 29)) << "at " << at;
    } else {
        EXPECT_EQ(first_unlike(from, from_size, 11), from_size);
        EXPECT_EQ(first_unlike(to, to_size, 29), to_size);
        unmap_pages(from, from_size);
    }
    unmap_pages(to, to_size);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, SystemMemoryMoves,
    ::testing::Values(Move{"WholeMappingToTheStart", 2, 2, 4, 0}, Move{"PartOfAMappingToTheMiddle", 3, 1, 4, 2},
                      Move{"IntoTheLastPiece", 1, 1, 3, 2}, Move{"AllOfALargerMapping", 4, 4, 4, 0}),
    [](const ::testing::TestParamInfo<Move>& info) { return std::string(info.param.name); });

struct BadMove {
    const char* name;
    size_t bytes;
    size_t from_offset;
    size_t to_offset;
};

class SystemMemoryRefusesToMove : public ::testing::TestWithParam<BadMove> {};

TEST_P(SystemMemoryRefusesToMove, NothingChangesOnEitherSide) {
    const BadMove& m = GetParam();
    const size_t size = 3 * kPiece;
    uint8_t* from = map_pages(size);
    uint8_t* to = map_pages(size);
    ASSERT_NE(from, nullptr);
    ASSERT_NE(to, nullptr);
    fill(from, size, 5);
    fill(to, size, 17);
    EXPECT_FALSE(move_pages(from + m.from_offset, size - m.from_offset, m.bytes, to + m.to_offset));
    EXPECT_EQ(first_unlike(from, size, 5), size);
    EXPECT_EQ(first_unlike(to, size, 17), size);
    unmap_pages(from, size);
    unmap_pages(to, size);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, SystemMemoryRefusesToMove,
    ::testing::Values(BadMove{"NoBytes", 0, 0, 0}, BadMove{"PartOfAPiece", kPiece / 2, 0, 0},
                      BadMove{"MoreThanTheMappingHolds", 4 * kPiece, 0, 0},
                      BadMove{"SourceOffTheBoundary", kPiece, 4096, 0},
                      BadMove{"TargetOffTheBoundary", kPiece, 0, 4096}),
    [](const ::testing::TestParamInfo<BadMove>& info) { return std::string(info.param.name); });

struct Aligned {
    size_t size;
    size_t alignment;
};

class SystemMemoryAligns : public ::testing::TestWithParam<Aligned> {};

TEST_P(SystemMemoryAligns, HeapBlocksOnTheirBoundary) {
    const Aligned& a = GetParam();
    void* memory = allocate_aligned(a.size, a.alignment);
    ASSERT_NE(memory, nullptr);
    EXPECT_EQ(reinterpret_cast<uintptr_t>(memory) % a.alignment, 0u);
    auto* bytes = static_cast<uint8_t*>(memory);
    if (a.size != 0) {
        bytes[0] = 1;
        bytes[a.size - 1] = 2;
        EXPECT_EQ(bytes[0] + bytes[a.size - 1], a.size == 1 ? 4 : 3);
    }
    free_aligned(memory);
}

INSTANTIATE_TEST_SUITE_P(Cases, SystemMemoryAligns,
                         ::testing::Values(Aligned{0, 64}, Aligned{1, 8}, Aligned{100, 16}, Aligned{100, 64},
                                           Aligned{4096, 4096}, Aligned{size_t{3} << 20, 64}));

struct BadBlock {
    const char* name;
    size_t size;
    size_t alignment;
};

class SystemMemoryRefusesHeapBlocks : public ::testing::TestWithParam<BadBlock> {};

TEST_P(SystemMemoryRefusesHeapBlocks, ThatCannotBeHad) {
    void* memory = allocate_aligned(GetParam().size, GetParam().alignment);
    EXPECT_EQ(memory, nullptr);
    free_aligned(memory);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, SystemMemoryRefusesHeapBlocks,
    ::testing::Values(BadBlock{"LargerThanTheAddressSpace", SIZE_MAX - 16, 64},
                      BadBlock{"LargestSize", SIZE_MAX, 64}, BadBlock{"AlignmentNoPowerOfTwo", 100, 48},
                      BadBlock{"AlignmentBelowAPointer", 100, 2}),
    [](const ::testing::TestParamInfo<BadBlock>& info) { return std::string(info.param.name); });

class SystemMemoryAdvises : public ::testing::TestWithParam<size_t> {};

// Advice over any part of a mapping, even one that starts and ends inside
// pages, leaves what the mapping holds as it was.
TEST_P(SystemMemoryAdvises, WithoutChangingTheBytes) {
    const size_t size = 2 * kPiece, start = GetParam();
    uint8_t* memory = map_pages(size);
    ASSERT_NE(memory, nullptr);
    fill(memory, size, 41);
    advise_huge_pages(memory + start, size - start - start / 2);
    EXPECT_EQ(first_unlike(memory, size, 41), size);
    unmap_pages(memory, size);
}

INSTANTIATE_TEST_SUITE_P(Starts, SystemMemoryAdvises, ::testing::Values(size_t{0}, size_t{1}, size_t{4095}, size_t{12345}));

TEST(SystemMemory, PagesArePowersOfTwoFromFourKibibytes) {
    const size_t page = page_size();
    EXPECT_GE(page, 4096u);
    EXPECT_EQ(page & (page - 1), 0u);
    EXPECT_EQ(kMappingAlignment % page, 0u);
}

}  // namespace
}  // namespace tolvar::stream::system_memory
